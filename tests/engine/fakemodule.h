#ifndef FAKEMODULE_H
#define FAKEMODULE_H

#include <QMutex>
#include <QMutexLocker>
#include <QPixmap>
#include <QStringList>
#include <QThread>
#include <atomic>

#include "module.h"

// A module object that records every call (with the thread it came from) and answers as told, so
// the engine's use of the module interface can be checked without hardware.
class FakeModule : public Module
{
    Q_OBJECT

public:
    explicit FakeModule(bool* destroyedFlag = nullptr) : destroyed(destroyedFlag) {}
    ~FakeModule() override
    {
        if (destroyed)
            *destroyed = true;
    }

    // Answers of the operations.
    bool openResult = true;
    bool startResult = true;
    bool stopResult = true;
    bool closeResult = true;
    // Slots (1 to 16) whose open fails even when openResult is true.
    QList<int> unopenableSlots;
    QString serialText = QStringLiteral("SN-0042");
    QString modification = QStringLiteral("VEK72-1-8");
    // Thread to look at while close runs (the engine's module thread): whether it was still running.
    QThread* watchedThread = nullptr;
    std::atomic<bool> watchedRunningAtClose{false};

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
    QThread* lastCallThread() const
    {
        QMutexLocker lock(&mutex);
        return lastThread;
    }
    bool opened() const { return openState; }
    bool running() const { return runState; }
    void setState(bool isOpen, bool isRun)
    {
        openState = isOpen;
        runState = isRun;
    }

    void loadSettings(QSettings*) override { record(QStringLiteral("loadSettings")); }
    QString name(bool withModification) const override
    {
        record(QStringLiteral("name(%1)").arg(withModification ? "true" : "false"));
        return withModification && openState ? modification : QStringLiteral("VEK72");
    }
    int moduleId() const override
    {
        record(QStringLiteral("moduleId"));
        return 8995;
    }
    QPixmap icon() const override
    {
        record(QStringLiteral("icon"));
        return QPixmap();
    }
    void createGui(QWidget*, QWidget*, QWidget*, QWidget*, QWidget*) override { record(QStringLiteral("createGui")); }
    bool open(QString& crateSerial, quint16 slot) override
    {
        record(QStringLiteral("open(%1,%2)").arg(crateSerial).arg(slot));
        if (!openResult || unopenableSlots.contains(slot))
            return false;
        openState = true;
        return true;
    }
    QString serial() const override
    {
        record(QStringLiteral("serial"));
        return openState ? serialText : QStringLiteral("?");
    }
    void resetOptions() override { record(QStringLiteral("resetOptions")); }
    void applyOptions(QSettings*) override { record(QStringLiteral("applyOptions")); }
    bool setParameter(QString& name, double value) override
    {
        record(QStringLiteral("setParameter(%1,%2)").arg(name).arg(value));
        return false;
    }
    bool checkParameter(QString& name, double, QString& errorText) override
    {
        errorText = name;
        return false;
    }
    bool isOpened() const override
    {
        record(QStringLiteral("isOpened"));
        return openState;
    }
    bool start(bool suppress) override
    {
        record(QStringLiteral("start(%1)").arg(suppress ? "true" : "false"));
        if (suppress)
            return false;
        runState = true;
        return startResult;
    }
    bool isRunning() const override
    {
        record(QStringLiteral("isRunning"));
        return runState;
    }
    bool stop() override
    {
        record(QStringLiteral("stop"));
        if (!stopResult)
            return false;
        runState = false;
        return true;
    }
    bool close() override
    {
        record(QStringLiteral("close"));
        if (watchedThread)
            watchedRunningAtClose = watchedThread->isRunning();
        if (!closeResult)
            return false;
        openState = false;
        runState = false;
        return true;
    }
    const QString* infoValue(QString&) const override { return nullptr; }

private:
    void record(const QString& call) const
    {
        QMutexLocker lock(&mutex);
        log.append(call);
        lastThread = QThread::currentThread();
    }

    bool* destroyed;
    std::atomic<bool> openState{false};
    std::atomic<bool> runState{false};
    mutable QMutex mutex;
    mutable QStringList log;
    mutable QThread* lastThread = nullptr;
};

#endif
