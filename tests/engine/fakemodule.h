#ifndef FAKEMODULE_H
#define FAKEMODULE_H

#include <QMutex>
#include <QPixmap>
#include <QStringList>
#include <QThread>
#include <atomic>

#include "module.h"

// A module object that answers as told and records the calls that change its state (open, start,
// stop, close), so the engine's decisions around the module can be checked without hardware.
class FakeModule : public Module
{
    Q_OBJECT

public:
    // The operations that fail: any of "open", "start", "stop", "close".
    QStringList failing;
    std::atomic<bool> opened{false};
    std::atomic<bool> running{false};
    // Whether the thread the module lives on still ran when close was called.
    std::atomic<bool> threadRanAtClose{false};

    QStringList calls() const
    {
        QMutexLocker lock(&mutex);
        return log;
    }
    void clearCalls()
    {
        QMutexLocker lock(&mutex);
        log.clear();
    }

    bool open(QString& crateSerial, quint16 slot) override
    {
        const bool ok = record(QStringLiteral("open(%1,%2)").arg(crateSerial).arg(slot), "open");
        if (ok)
            opened = true;
        return ok;
    }
    bool start(bool) override
    {
        const bool ok = record(QStringLiteral("start"), "start");
        if (ok)
            running = true;
        return ok;
    }
    bool stop() override
    {
        const bool ok = record(QStringLiteral("stop"), "stop");
        if (ok)
            running = false;
        return ok;
    }
    bool close() override
    {
        threadRanAtClose = thread()->isRunning();
        const bool ok = record(QStringLiteral("close"), "close");
        if (ok)
            opened = running = false;
        return ok;
    }
    bool isOpened() const override { return opened; }
    bool isRunning() const override { return running; }
    QString serial() const override { return QStringLiteral("SN-0042"); }
    QString name(bool) const override { return QStringLiteral("VEK72"); }
    int moduleId() const override { return 8995; }

    void loadSettings(QSettings*) override {}
    QPixmap icon() const override { return {}; }
    void createGui(QWidget*, QWidget*, QWidget*, QWidget*, QWidget*) override {}
    void resetOptions() override {}
    void applyOptions(QSettings*) override {}
    bool setParameter(QString&, double) override { return false; }
    bool checkParameter(QString&, double, QString&) override { return false; }
    const QString* infoValue(QString&) const override { return nullptr; }

private:
    // Records the call; false when the operation is to fail.
    bool record(const QString& call, const char* operation)
    {
        QMutexLocker lock(&mutex);
        log.append(call);
        return !failing.contains(QLatin1String(operation));
    }

    mutable QMutex mutex;
    QStringList log;
};

#endif
