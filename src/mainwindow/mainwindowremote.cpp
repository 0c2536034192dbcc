// Remote control in the window: the server started on a thread of its own from group "Remote" of
// the settings, stopped before the engine; and the window's part of the commands, which the server
// asks for on its thread and which are done here on the window's thread, as the selectors do.
#include "mainwindow.h"
#include "module.h"
#include "setupstore.h"
#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <QStorageInfo>

#include <QLabel>
#include <QStatusBar>

#include <QComboBox>
#include <QEventLoop>
#include <QLabel>
#include <QSettings>
#include <QTimer>

#include <cstdio>
#include <cstdlib>

#include "remoteserver.h"
#include "remotesettings.h"
#include "ui_mainwindow.h"
#include "widgetsync.h"

namespace {

// How long closing waits for the server to finish the line it runs: the longest wait of a line is
// the one for a restart (*OPC?), itself bounded well within this.
constexpr int remoteStopBoundMs = 45000;
// How long a thread that has said it finished may take to end.
constexpr int remoteEndMs = 1000;
// A selection opens a module through the crate service, every call of which is bounded.
constexpr int selectionBoundMs = 30000;

} // namespace

void MainWindow::startRemoteControl()
{
    const RemoteSettings remote = readRemoteSettings(settings);
    settings->sync();
    if (!remote.enabled)
        return;
    remoteThread = new QThread;
    remoteThread->setObjectName(QStringLiteral("remote"));
    remoteServer = new RemoteServer(engine->moduleObject(), this);
    RemoteServer::Policy policy;
    policy.allowed = remote.allowed;
    policy.idleTimeoutMs = remote.idleTimeoutMs;
    remoteServer->setPolicy(policy);
    remoteServer->moveToThread(remoteThread);
    connect(remoteThread, &QThread::finished, remoteServer, &QObject::deleteLater);
    // A label of its own at the right of the status bar (the other labels carry what comes and goes):
    // where remote control listens and who may connect, or why it does not run.
    const auto showRemote = [this](const QString& text) {
        auto* remoteLabel = new QLabel(text);
        remoteLabel->setObjectName(QStringLiteral("labelRemoteControl"));
        statusBar()->addPermanentWidget(remoteLabel);
    };
    const QString who = remote.allowed.isEmpty() ? QStringLiteral("только с этого компьютера")
                                                 : QStringLiteral("разрешены %1").arg(remote.allowed.text());
    connect(remoteServer, &RemoteServer::listening, this, [this, showRemote, who](const QString& address, quint16 port) {
        remoteAddress = QStringLiteral("%1:%2").arg(address).arg(port);
        showRemote(QStringLiteral("Удалённое управление: %1 (%2)").arg(remoteAddress, who));
    });
    connect(remoteServer, &RemoteServer::unavailable, this, [showRemote](const QString& reason) {
        showRemote(QStringLiteral("Удалённое управление не запущено: %1").arg(reason));
    });
    remoteThread->start();
    QMetaObject::invokeMethod(remoteServer, "listen", Qt::QueuedConnection, Q_ARG(QString, remote.address),
                              Q_ARG(quint16, quint16(remote.port)));
}

void MainWindow::stopRemoteControl()
{
    if (!remoteThread)
        return;
    remoteServer->stopCommands();
    QMetaObject::invokeMethod(remoteServer, "shutdown", Qt::QueuedConnection);
    remoteThread->quit();
    // The line the server runs may need this thread (its widgets): events are served meanwhile.
    if (!remoteThread->isFinished()) {
        QEventLoop waitFinished;
        connect(remoteThread, &QThread::finished, &waitFinished, &QEventLoop::quit);
        QTimer bound;
        bound.setSingleShot(true);
        connect(&bound, &QTimer::timeout, &waitFinished, &QEventLoop::quit);
        bound.start(remoteStopBoundMs);
        if (!remoteThread->isFinished())
            waitFinished.exec();
    }
    // finished() comes from the thread just before it ends: a moment more lets it end.
    if (!remoteThread->wait(remoteEndMs)) {
        // Its line is inside a call that does not come back: the module must not be stopped and
        // destroyed under it, so the process ends here.
        qCritical("Завершение работы без остановки удалённого управления: команда не завершилась вовремя");
        settings->sync();
        std::fflush(nullptr);
        std::_Exit(0);
    }
    delete remoteThread;
    remoteThread = nullptr;
    remoteServer = nullptr;
    remoteAddress.clear();
}

QList<RemoteHost::CatalogEntry> MainWindow::moduleCatalog()
{
    return widgetsync::query<QList<CatalogEntry>>(this, [this] {
        QList<CatalogEntry> entries;
        for (const Engine::Crate& crate : listedCrates) {
            for (const Engine::CrateModule& module : crate.modules)
                entries.append(CatalogEntry{ crate.crateSerial, module.slotNumber, module.moduleName });
        }
        return entries;
    }, {});
}

RemoteHost::Selection MainWindow::selectModule(const QString& crate, int slot)
{
    return widgetsync::query<Selection>(this, [this, crate, slot] { return selectModuleHere(crate, slot); },
                                        Selection::Busy, selectionBoundMs);
}

RemoteHost::Selection MainWindow::selectModuleHere(const QString& crate, int slot)
{
    if (lifecycle != Lifecycle::Running || !selectionAllowed())
        return Selection::Busy;
    const QList<Engine::Crate>& crates = engine->crateList();
    int crateIndex = -1;
    int moduleIndex = -1;
    for (int i = 0; i < crates.size() && moduleIndex < 0; ++i) {
        if (crates.at(i).crateSerial != crate)
            continue;
        for (int j = 0; j < crates.at(i).modules.size() && moduleIndex < 0; ++j) {
            if (crates.at(i).modules.at(j).slotNumber == slot) {
                crateIndex = i;
                moduleIndex = j;
            }
        }
    }
    if (moduleIndex < 0)
        return Selection::NotListed;

    // As the operator picks them: the crate (whose first module its selector makes current), then
    // the slot; the module already current is left as it is.
    bool tried = false;
    if (ui->comboBoxCrate->currentIndex() != crateIndex) {
        ui->comboBoxCrate->setCurrentIndex(crateIndex);
        tried = moduleIndex == 0;
    }
    if (ui->comboBoxSlot->currentIndex() != moduleIndex) {
        ui->comboBoxSlot->setCurrentIndex(moduleIndex);
    } else if (!tried && (engine->selectedCrateIndex() != crateIndex || engine->selectedModuleIndex() != moduleIndex)) {
        useModuleAndShow(crateIndex, moduleIndex);
    }
    return engine->selectedCrateIndex() == crateIndex && engine->selectedModuleIndex() == moduleIndex
               ? Selection::Done : Selection::Failed;
}

namespace {

// What remote control learns of the current module: its crate, slot, name and serial.
struct CurrentModule
{
    bool known = false;
    QString crate;
    int slot = 0;
    QString name;
    QString serial;
};

} // namespace

// The current module as the engine's list has it; none while a discovery is out (the engine's thread
// rewrites the list then) or the window closes.
static CurrentModule currentOf(Engine* engine, bool usable)
{
    CurrentModule current;
    if (!usable)
        return current;
    const QList<Engine::Crate>& crates = engine->crateList();
    const int i = engine->selectedCrateIndex();
    const int j = engine->selectedModuleIndex();
    if (i >= 0 && i < crates.size() && j >= 0 && j < crates.at(i).modules.size()) {
        const Engine::CrateModule& module = crates.at(i).modules.at(j);
        current = CurrentModule{ true, crates.at(i).crateSerial, module.slotNumber, module.moduleName, module.moduleSerial };
    }
    return current;
}

bool MainWindow::currentModule(QString* crate, int* slot)
{
    const CurrentModule current = widgetsync::query<CurrentModule>(this, [this] {
        return currentOf(engine, lifecycle == Lifecycle::Running && selectionAllowed());
    }, CurrentModule{});
    *crate = current.crate;
    *slot = current.slot;
    return current.known;
}

void MainWindow::identity(QString* name, QString* serial)
{
    const CurrentModule current = widgetsync::query<CurrentModule>(this, [this] {
        return currentOf(engine, lifecycle == Lifecycle::Running && selectionAllowed());
    }, CurrentModule{});
    *name = current.known ? current.name : QStringLiteral("VEK72");
    *serial = current.known && !current.serial.isEmpty() ? current.serial : QStringLiteral("?");
}

// The file of a remote setup command: a plain name or a number, in the setups folder only.
static bool remoteSetupPath(SetupStore* store, const QString& file, int number, QString* path)
{
    if (number > 0) {
        *path = store->numberedPath(number);
        return !path->isEmpty() && SetupStore::isOwnFile(*path);
    }
    return store->remotePath(file, path);
}

RemoteHost::SetupResult MainWindow::saveSetup(const QString& file, int number)
{
    SetupStore* store = setupStore();
    if (!store || !engine->moduleObject()->isOpened())
        return SetupResult::NoModule;
    QString path;
    if (!remoteSetupPath(store, file, number, &path))
        return SetupResult::BadName;
    QString error;
    if (store->save(path, &error, SetupStore::Origin::Remote))
        return SetupResult::Done;
    qWarning().noquote() << error;
    return SetupResult::Failed;
}

RemoteHost::SetupResult MainWindow::recallSetup(const QString& file, int number)
{
    SetupStore* store = setupStore();
    if (!store || !engine->moduleObject()->isOpened())
        return SetupResult::NoModule;
    QString path;
    if (!remoteSetupPath(store, file, number, &path))
        return SetupResult::BadName;
    if (!QFileInfo(path).isFile())
        return SetupResult::NotFound;
    QStringList notes;
    QString error;
    const bool opened = store->open(path, &notes, &error, SetupStore::Origin::Remote);
    if (!notes.isEmpty())
        qWarning().noquote() << SetupStore::notesText(path, notes);
    if (opened)
        return SetupResult::Done;
    qWarning().noquote() << error;
    return SetupResult::Failed;
}

QList<RemoteHost::StoredFile> MainWindow::setupFiles(qint64* freeBytes)
{
    *freeBytes = -1;
    QList<StoredFile> files;
    SetupStore* store = setupStore();
    if (!store)
        return files;
    const QDir folder(store->folder());
    for (const QFileInfo& info : folder.entryInfoList({ QStringLiteral("*.vek72") }, QDir::Files | QDir::NoSymLinks, QDir::Name)) {
        if (SetupStore::isOwnFile(info.filePath()))
            files.append({ info.fileName(), info.size() });
    }
    const QStorageInfo disk(folder.absolutePath());
    if (disk.isValid())
        *freeBytes = disk.bytesAvailable();
    return files;
}
