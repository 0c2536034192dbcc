#ifndef MODULE_H
#define MODULE_H

#include <QObject>
#include <QPixmap>
#include <QString>
#include <QStringList>
#include <QVariantMap>
#include <QVariant>

class QSettings;
class QWidget;

// A hardware module as the engine and the main window see it. Everything that depends on the kind
// of module sits behind this interface; the engine owns exactly one implementation.
class Module : public QObject
{
    Q_OBJECT

public:
    using QObject::QObject;
    ~Module() override = default;

    virtual void loadSettings(QSettings* settings) = 0;
    virtual QString name(bool withModification) const = 0;
    virtual int moduleId() const = 0;
    virtual QPixmap icon() const = 0;
    virtual void createGui(QWidget* settingsHost, QWidget* controlsHost, QWidget* reportHost,
                           QWidget* infoHost, QWidget* optionsHost) = 0;
    virtual bool open(QString& crateSerial, quint16 slot) = 0;
    virtual QString serial() const = 0;
    virtual void resetOptions() = 0;
    virtual void applyOptions(QSettings* settings) = 0;
    virtual bool setParameter(QString& name, double value) = 0;
    virtual bool checkParameter(QString& name, double value, QString& errorText) = 0;
    virtual bool isOpened() const = 0;
    virtual bool start(bool suppress) = 0;
    virtual bool isRunning() const = 0;
    virtual bool stop() = 0;
    virtual bool close() = 0;
    virtual const QString* infoValue(QString& key) const = 0;

    // Opens the module in that slot only long enough to learn its name with its modification, and
    // closes it again, leaving the panels as they are. False when it cannot be opened or used.
    virtual bool probe(QString& crateSerial, quint16 slot, QString& nameWithModification)
    {
        if (!open(crateSerial, slot)) {
            if (isOpened())
                close();
            return false;
        }
        nameWithModification = name(true);
        close();
        return !isOpened();
    }

    // The operator's start/stop: on asks for output with what the panels show, off stops it and
    // drives the outputs to 0 V, as the panel's button does. Returns at once; called on any thread.
    virtual void requestOutput(bool on) { Q_UNUSED(on) }

    // Everything the panels hold for the open module, in the form of src/setups/panelsetup.h;
    // empty when the panels are not prepared for a module. Called on any thread.
    virtual QVariantMap panelSetup() const { return {}; }
    // Sets the panels exactly as `setup` says, brought into the module's limits (`notes`: one line
    // per value or channel that had to change). A running output is stopped first, the operator's
    // way; nothing starts. False with `error` (naming the first bad entry) when the setup cannot be
    // used: the panels are then unchanged. Called on any thread; a caller on a thread other than the
    // module's and the panels' returns once the output has stopped.
    virtual bool applyPanelSetup(const QVariantMap& setup, QStringList& notes, QString& error)
    {
        Q_UNUSED(setup)
        Q_UNUSED(notes)
        error = QStringLiteral("модуль не принимает настройки");
        return false;
    }
    // --- Remote control. Called on the remote-control server's thread only, never on the GUI
    // thread or the module's own thread (they wait on both).

    enum class SettingResult {
        Done,
        UnknownKey,        // the module has no such setting
        OutOfRange,        // the value lies outside what the setting's field takes; nothing changed
        IllegalValue,      // not one of the values the setting knows
        SettingsConflict,  // the setting does not apply now (e.g. a frequency for a DC channel)
        NoModule,          // no module is open, or the channel is not on the module
        NoAnswer,          // the panels did not answer in time (the change may still be made)
    };

    // Changes one setting as the operator's edit of its control would, the same panel logic
    // following it; the change is made once what earlier changes set off has been done. `channel` 1..8 for a channel's setting, 0 for the module's. Keys: "enabled"
    // (bool), "function" ("AC", "DC", "CUSTOM"), "shape" (0 sine .. 4 line), "voltage" (V: RMS for
    // AC, the level for DC, the amplitude for CUSTOM), "offset" (V), "frequency" (Hz), "range"
    // ("FULL", "TENTH"); module-wide: "rate" (Hz), "mode" ("CYCLIC", "STREAM"), "output" (true:
    // start, or restart with what the panels show when output runs).
    // `reason` (when given) gets the program's text for a value refused for what it would play.
    virtual SettingResult changeSetting(const QString& key, int channel, const QVariant& value,
                                        QString* reason = nullptr)
    {
        Q_UNUSED(key) Q_UNUSED(channel) Q_UNUSED(value) Q_UNUSED(reason)
        return SettingResult::UnknownKey;
    }
    // What a setting shows now (the same keys, and "channelCount" and "firmware" of the open
    // module); invalid when there is none.
    virtual QVariant setting(const QString& key, int channel) const
    {
        Q_UNUSED(key) Q_UNUSED(channel)
        return {};
    }
    // While held, restart requests are collected; on release at most one restart follows, when
    // something asked for one, or when a value changed while output runs.
    virtual void holdRestarts(bool hold) { Q_UNUSED(hold) }
    // Waits, at most timeoutMs, until the module has done everything asked of it so far and what
    // that caused (restarts included). False when it had not by then.
    virtual bool settle(int timeoutMs)
    {
        Q_UNUSED(timeoutMs)
        return true;
    }
    // Output stopped the operator's way, the panels as after opening the module. False when no
    // module is open or the panels did not answer in time.
    virtual bool resetPanels() { return false; }
    // What failed or was refused of what remote control asked since the last call (a start, a
    // restart or a stop that its changes set off), in the program's words, oldest first. Each is in
    // the journal already and was shown in no error box.
    virtual QStringList takeRemoteFailures() { return {}; }

signals:
    // The connection to the module went away by itself (the service was lost): output has stopped,
    // the module is closed. Emitted once per loss, on the module's thread.
    void connectionLost();
    // A line about the output for the window's status bar (it is in the journal already).
    void statusMessage(QString text);
    // Whether the outputs are where the window shows them: false while a stop or the outputs' zeroing
    // has not been confirmed by the module (it may still play, or hold a level), true once it has.
    void outputsConfirmed(bool confirmed);
};

#endif
