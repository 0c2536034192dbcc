#ifndef ENGINE_H
#define ENGINE_H

#include <QList>
#include <QObject>
#include <QPixmap>
#include <QString>
#include <QThread>

#include "serviceaddress.h"
#include "vekapi.h"

class Module;
class QSettings;
class QWidget;

// The object between the main window and the hardware. It owns the one module object and the thread
// that object lives on, keeps the connection to the crate service, discovers the crates and the
// slots that hold a module of this program's kind, makes one module current and shuts everything
// down in order. The main window moves it to a thread of its own and invokes the slots "start",
// "stop" and "refreshHardware" by name, queued; the plain operations are called directly from the
// main window's thread.
class Engine : public QObject
{
    Q_OBJECT

public:
    // A module of this program's kind found in a crate slot.
    struct CrateModule
    {
        int slotNumber = 0;      // 1 to 16
        quint16 moduleType = 0;  // always the module object's moduleId() for listed entries
        QString moduleName;      // name(true) while it was open during discovery ("VEK72" in emulator mode)
        QString moduleSerial;    // empty after discovery; filled by useModule
    };

    // A crate as the service reports it, with its matching modules in ascending slot order.
    struct Crate
    {
        QString crateSerial;
        QList<CrateModule> modules;
    };

    // Registered with the meta-type system under the name "ModuleUsage"; no signal carries it.
    enum ModuleUsage { ModuleReleased, ModuleInUse };
    Q_ENUM(ModuleUsage)

    // Creates the DAC module object and starts the module thread.
    Engine();
    // Same with a module object of the caller's (taken over); for other module kinds and tests.
    explicit Engine(Module* moduleObject);
    ~Engine() override;

    void setEmulator(bool on);
    void setDisplayPeriod(int ms);
    QList<Crate>& crateList();
    bool useModule(int crateIndex, int moduleIndex);
    bool closeModule();
    void createGui(QWidget* settingsHost, QWidget* controlsHost, QWidget* reportHost, QWidget* infoHost,
                   QWidget* optionsHost);
    void loadSettings(QSettings* settings);
    QString name(bool withModification) const;
    QPixmap icon() const;
    void resetOptions();
    void applyOptions(QSettings* settings);
    // The operator's start/stop of the current module's output (see Module::requestOutput).
    void requestOutput(bool on);

    // The current module as indices into crateList() and its crate's modules; -1 when none.
    int selectedCrateIndex() const { return selectedCrate; }
    int selectedModuleIndex() const { return selectedSlot; }
    bool isEmulator() const { return emulator; }
    // The thread the module object lives on.
    QThread* moduleWorkerThread() { return &moduleThread; }
    // The module object: its thread-safe operations serve setups and remote control (and tests).
    Module* moduleObject() const { return module; }

signals:
    void started();
    void stopped();
    void readyCrate(QList<Engine::Crate>& listCrate);
    void readyModuleChangeUsage();
    void postMessage(QString message);
    void postInfo(QString message);
    void popupMessage(QString message, bool success);
    // The current module's connection went away by itself; it has stopped and is closed.
    void moduleLost();
    // Whether the current module's outputs are where the window shows them (Module::outputsConfirmed).
    void moduleOutputsConfirmed(bool confirmed);

public slots:
    void start();
    void stop();
    void refreshHardware();

private:
    // Stops the module when it runs and closes it; results are not examined.
    void releaseModule();
    void refreshEmulated();
    void refreshFromService();
    void clearSelection();

    TVEK serviceHandle;
    // The address the service connection was opened for.
    ServiceAddress serviceOpenedFor;
    bool emulator;
    QThread moduleThread;
    Module* module;
    QList<Crate> crates;
    int selectedCrate;
    int selectedSlot;
};

#endif
