#ifndef MODULE_H
#define MODULE_H

#include <QObject>
#include <QPixmap>
#include <QString>
#include <QStringList>
#include <QVariantMap>

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

signals:
    // The connection to the module went away by itself (the service was lost): output has stopped,
    // the module is closed. Emitted once per loss, on the module's thread.
    void connectionLost();
    // A line about the output for the window's status bar (it is in the journal already).
    void statusMessage(QString text);
};

#endif
