#include "engine.h"

#include <QMetaType>
#include <cstring>

#include "module.h"
#include "serviceaddress.h"
#include "modulevek72.h"

namespace {

// The one crate that emulator mode reports.
const char* const emulatorCrateSerial = "2D355915";

} // namespace

Engine::Engine() : Engine(new ModuleVek72()) {}

Engine::Engine(Module* moduleObject)
    : QObject(nullptr), emulator(false), module(moduleObject), selectedCrate(-1), selectedSlot(-1)
{
    // The handle is prepared by start(); until then it holds no connection.
    std::memset(&serviceHandle, 0, sizeof serviceHandle);
    serviceHandle.socket = -1;

    qRegisterMetaType<QList<Engine::Crate>>("QList<Engine::Crate>&");
    qRegisterMetaType<Engine::ModuleUsage>("ModuleUsage");

    // A module that lost its connection by itself: the window shows it.
    connect(module, &Module::connectionLost, this, &Engine::moduleLost);
    // What the module says about its output goes to the window's status bar.
    connect(module, &Module::statusMessage, this, &Engine::postMessage);
    connect(module, &Module::outputsConfirmed, this, &Engine::moduleOutputsConfirmed);

    module->moveToThread(&moduleThread);
    moduleThread.start(QThread::InheritPriority);
}

Engine::~Engine()
{
    // stop() normally ends the module thread; an engine that was never stopped must not destroy a
    // running thread.
    if (moduleThread.isRunning()) {
        moduleThread.quit();
        moduleThread.wait();
    }
    delete module;
    // Releases the service connection of an engine that was never stopped (no-op otherwise).
    VEK_Close(&serviceHandle);
}

void Engine::setEmulator(bool on)
{
    emulator = on;
}

void Engine::setDisplayPeriod(int ms)
{
    QString parameterName = QStringLiteral("Период отображения");
    module->setParameter(parameterName, double(ms));
}

QList<Engine::Crate>& Engine::crateList()
{
    return crates;
}

void Engine::clearSelection()
{
    selectedCrate = -1;
    selectedSlot = -1;
}

bool Engine::useModule(int crateIndex, int moduleIndex)
{
    if (emulator) {
        // The emulated module is never opened: any indices are taken as they come.
        selectedCrate = crateIndex;
        selectedSlot = moduleIndex;
        return true;
    }

    if (module->isOpened()) {
        const bool sameModule = crateIndex == selectedCrate && moduleIndex == selectedSlot;
        if (sameModule && !module->isRunning())
            return module->start(false);
        // Another module: the current one is stopped and closed first (a running current module
        // asked for again is opened again as it is).
        if (!sameModule && !closeModule()) {
            clearSelection();
            return false;
        }
    }

    const bool listed = crateIndex >= 0 && crateIndex < crates.size() && moduleIndex >= 0
                        && moduleIndex < crates[crateIndex].modules.size();
    QString crateSerial = listed ? crates[crateIndex].crateSerial : QString();
    if (!listed || !module->open(crateSerial, quint16(crates[crateIndex].modules[moduleIndex].slotNumber))) {
        clearSelection();
        return false;
    }
    CrateModule& entry = crates[crateIndex].modules[moduleIndex];
    entry.moduleSerial = module->serial();
    selectedCrate = crateIndex;
    selectedSlot = moduleIndex;
    return module->start(false);
}

bool Engine::closeModule()
{
    if (!module->isOpened())
        return false;
    if (module->isRunning() && !module->stop())
        return false;
    if (!module->close())
        return false;
    clearSelection();
    return true;
}

void Engine::createGui(QWidget* settingsHost, QWidget* controlsHost, QWidget* reportHost, QWidget* infoHost,
                       QWidget* optionsHost)
{
    module->createGui(settingsHost, controlsHost, reportHost, infoHost, optionsHost);
}

void Engine::loadSettings(QSettings* settings)
{
    module->loadSettings(settings);
}

QString Engine::name(bool withModification) const
{
    return module->name(withModification);
}

QPixmap Engine::icon() const
{
    return module->icon();
}

void Engine::resetOptions()
{
    module->resetOptions();
}

void Engine::applyOptions(QSettings* settings)
{
    module->applyOptions(settings);
}

void Engine::requestOutput(bool on)
{
    module->requestOutput(on);
}

void Engine::start()
{
    // Only prepares the handle: the first discovery connects to the service.
    VEK_Init(&serviceHandle);
    emit started();
}

void Engine::releaseModule()
{
    // Output is stopped the operator's way (the start button shows "Старт" again), also when the
    // connection has gone already: the button, the lights and the animation tell the truth.
    if (module->isRunning())
        module->stop();
    if (module->isOpened())
        module->close();
    // After the close, which reads the module back and says what is left: the button's own stop
    // then finds the module let go and only shows "Старт".
    module->requestOutput(false);
}

void Engine::stop()
{
    if (!emulator)
        releaseModule();
    moduleThread.quit();
    moduleThread.wait();
    if (VEK_IsOpened(&serviceHandle) == 0)
        VEK_Close(&serviceHandle);
    emit stopped();
}

void Engine::refreshHardware()
{
    if (emulator)
        refreshEmulated();
    else
        refreshFromService();
}

void Engine::refreshEmulated()
{
    crates.clear();
    Crate crate;
    crate.crateSerial = QLatin1String(emulatorCrateSerial);
    CrateModule entry;
    entry.slotNumber = 1;
    entry.moduleType = quint16(module->moduleId());
    entry.moduleName = module->name(false);
    crate.modules.append(entry);
    crates.append(crate);
    emit readyCrate(crates);
}

void Engine::refreshFromService()
{
    // Discovery leaves the module object closed: nothing stays selected.
    releaseModule();
    clearSelection();

    // The service's address may have changed since its connection was opened (options dialog).
    const ServiceAddress service = configuredService();
    if (VEK_IsOpened(&serviceHandle) == 0 && service != serviceOpenedFor)
        VEK_Close(&serviceHandle);
    if (VEK_IsOpened(&serviceHandle) != 0) {
        serviceOpenedFor = service;
        if (VEK_OpenSvcControl(&serviceHandle, service.host, service.port) != 0)
            qCritical("Нет связи со службой %s", qUtf8Printable(serviceAddressText()));
    }
    if (VEK_IsOpened(&serviceHandle) != 0)
        return;

    char serials[VEK_MAX_CRATES][VEK_SERIAL_SIZE];
    std::memset(serials, 0, sizeof serials);
    // A service that does not answer lists no crates: that is not a list without crates, so the
    // window keeps the one it shows.
    if (VEK_GetCrates(&serviceHandle, serials) != 0) {
        qCritical("Нет связи со службой %s", qUtf8Printable(serviceAddressText()));
        return;
    }

    crates.clear();
    const quint16 wanted = quint16(module->moduleId());
    for (int entryIndex = 0; entryIndex < VEK_MAX_CRATES; ++entryIndex) {
        if (serials[entryIndex][0] == 0)
            continue;
        TVEK crateHandle;
        VEK_Init(&crateHandle);
        Crate crate;
        // An entry that fills all 16 bytes has no terminator of its own.
        crate.crateSerial = QString::fromUtf8(serials[entryIndex], int(qstrnlen(serials[entryIndex], VEK_SERIAL_SIZE)));
        const QByteArray serialText = crate.crateSerial.toUtf8();
        if (VEK_OpenCrate(&crateHandle, service.host, service.port, 0, serialText.constData()) == 0) {
            quint16 ids[VEK_SLOT_COUNT];
            std::memset(ids, 0, sizeof ids);
            VEK_GetCrateModules(&crateHandle, ids);
            for (int slot = 1; slot <= VEK_SLOT_COUNT; ++slot) {
                const quint16 id = ids[slot - 1];
                if (id == 0 || id != wanted)
                    continue;
                // The probe leaves the panels alone: they keep what the operator set for the module
                // that is made current again after the discovery. A module that could not be used
                // or let go again is not offered.
                QString probeSerial = crate.crateSerial;
                CrateModule entry;
                if (!module->probe(probeSerial, quint16(slot), entry.moduleName))
                    continue;
                entry.slotNumber = slot;
                entry.moduleType = id;
                crate.modules.append(entry);
            }
            VEK_Close(&crateHandle);
        }
        crates.append(crate);
    }
    emit readyCrate(crates);
}
