// A module and a window for remote control that keep what they are told and answer as set up, so
// that the command set and the sessions can be checked without panels or a crate service.
#ifndef FAKEREMOTE_H
#define FAKEREMOTE_H

#include <QMap>
#include <QMutex>
#include <QStringList>
#include <QVariant>

#include "module.h"
#include "remotehost.h"

class FakeRemoteModule : public Module
{
public:
    bool opened = true;
    bool running = false;
    bool settles = true;
    bool logSync = false;   // hold, release and settle calls go to the log too
    // The answer of changeSetting by key (Done when absent); a Done change is kept.
    QMap<QString, SettingResult> results;
    QMap<QString, QString> reasons;   // the program's words for a refused key
    QMap<QString, QVariant> values;   // "key/channel"
    QStringList failures;             // what takeRemoteFailures hands over next

    QStringList log() const
    {
        QMutexLocker lock(&mutex);
        return calls;
    }

    SettingResult changeSetting(const QString& key, int channel, const QVariant& value, QString* reason = nullptr) override
    {
        note(QStringLiteral("%1 %2 %3").arg(key).arg(channel).arg(value.toString()));
        const SettingResult result = results.value(key, SettingResult::Done);
        if (reason)
            *reason = reasons.value(key);
        if (result == SettingResult::Done)
            values[QStringLiteral("%1/%2").arg(key).arg(channel)] = value;
        // Arbitrary points make the custom signal's shape the arbitrary one, as on the panels.
        if (result == SettingResult::Done && key == QLatin1String("waveform"))
            values[QStringLiteral("shape/%1").arg(channel)] = 5;
        // "output" off is the operator's stop.
        if (result == SettingResult::Done && key == QLatin1String("output") && !value.toBool())
            running = false;
        return result;
    }
    QVariant setting(const QString& key, int channel) const override
    {
        return opened ? values.value(QStringLiteral("%1/%2").arg(key).arg(channel)) : QVariant();
    }
    void holdRestarts(bool hold) override
    {
        if (logSync)
            note(hold ? QStringLiteral("hold") : QStringLiteral("release"));
    }
    bool settle(int timeoutMs) override
    {
        if (logSync)
            note(QStringLiteral("settle %1").arg(timeoutMs));
        return settles;
    }
    bool resetPanels() override
    {
        note(QStringLiteral("reset"));
        return true;
    }
    void requestOutput(bool on) override
    {
        note(on ? QStringLiteral("output on") : QStringLiteral("output off"));
        if (!on)
            running = false;
    }
    QStringList takeRemoteFailures() override
    {
        QStringList taken;
        taken.swap(failures);
        return taken;
    }
    bool isOpened() const override { return opened; }
    bool isRunning() const override { return running; }

    void loadSettings(QSettings*) override {}
    QString name(bool) const override { return QStringLiteral("VEK72"); }
    int moduleId() const override { return 8995; }
    QPixmap icon() const override { return {}; }
    void createGui(QWidget*, QWidget*, QWidget*, QWidget*, QWidget*) override {}
    bool open(QString&, quint16) override { return true; }
    QString serial() const override { return QStringLiteral("SN1"); }
    void resetOptions() override {}
    void applyOptions(QSettings*) override {}
    bool setParameter(QString&, double) override { return false; }
    bool checkParameter(QString&, double, QString&) override { return false; }
    bool start(bool) override { return true; }
    bool stop() override { return true; }
    bool close() override { return true; }
    const QString* infoValue(QString&) const override { return nullptr; }

private:
    void note(const QString& call) const
    {
        QMutexLocker lock(&mutex);
        calls << call;
    }
    mutable QMutex mutex;
    mutable QStringList calls;
};

class FakeRemoteHost : public RemoteHost
{
public:
    QList<CatalogEntry> catalog{ { QStringLiteral("4B210736"), 3, QStringLiteral("VEK72-1-8") },
                                 { QStringLiteral("4B210736"), 7, QStringLiteral("VEK72-2-4") } };
    QString crate = QStringLiteral("4B210736");
    int slot = 3;

    QList<CatalogEntry> moduleCatalog() override { return catalog; }
    // Crates named "unlisted", "busy" and "failed" are refused so; any other is taken.
    Selection selectModule(const QString& c, int s) override
    {
        const Selection result = c == "unlisted" ? Selection::NotListed : c == "busy" ? Selection::Busy
                                 : c == "failed" ? Selection::Failed : Selection::Done;
        if (result == Selection::Done) {
            crate = c;
            slot = s;
        }
        return result;
    }
    bool currentModule(QString* c, int* s) override
    {
        *c = crate;
        *s = slot;
        return slot > 0;
    }
    void identity(QString* name, QString* serial) override
    {
        *name = slot > 0 ? QStringLiteral("VEK72-1-8") : QStringLiteral("VEK72");
        *serial = slot > 0 ? QStringLiteral("72A10419") : QStringLiteral("?");
    }
    // Setups: what was asked, as "save setup-3" / "recall name.vek72"; files named "missing" are not there.
    QStringList setups;
    SetupResult saveSetup(const QString& file, int number) override { return setup("save", file, number); }
    SetupResult recallSetup(const QString& file, int number) override { return setup("recall", file, number); }
    QList<StoredFile> files{ { QStringLiteral("bench.vek72"), 2048 }, { QStringLiteral("setup-1.vek72"), 1536 } };
    QList<StoredFile> setupFiles(qint64* freeBytes) override
    {
        *freeBytes = 1000000;
        return files;
    }
    SetupResult setup(const char* what, const QString& file, int number)
    {
        const QString name = number > 0 ? QStringLiteral("setup-%1").arg(number) : file;
        setups << QStringLiteral("%1 %2").arg(QLatin1String(what), name);
        return name.contains(QLatin1String("missing")) ? SetupResult::NotFound : SetupResult::Done;
    }
};

#endif
