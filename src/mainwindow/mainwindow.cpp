#include "mainwindow.h"

#include <QAbstractSpinBox>
#include <QAction>
#include <QCloseEvent>
#include <QComboBox>
#include <QDateTime>
#include <QEventLoop>
#include <QGuiApplication>
#include <QKeySequence>
#include <QLabel>
#include <QLocale>
#include <QMessageBox>
#include <QScreen>
#include <QScrollBar>
#include <QSettings>
#include <QShowEvent>
#include <QTabBar>
#include <QTimer>

#include <cstdio>
#include <cstdlib>

#include "appsettings.h"
#include "journal.h"
#include "multimeterpage.h"
#include "serviceaddress.h"
#include "options.h"
#include "setupscontroller.h"
#include "ui_mainwindow.h"
#include "verificationpage.h"
#include "version.h"

namespace {

// A connection that cannot be made is a programming error: the program cannot run without it.
void requireConnection(const QMetaObject::Connection& connection, const char* what)
{
    if (!connection)
        qFatal("Не удалось соединить %s", what);
}

// How long closing waits for the engine to stop the module, milliseconds: every call to the crate
// service is bounded well within it; a service that still holds a call after it is left behind.
constexpr int shutdownBoundMs = 2500;

// Extra room of a selector beyond its minimum size hint and icon, pixels.
constexpr int selectorSpare = 42;

// Room a window manager takes around a window (title bar and borders) while the window's own
// frame is not known yet, pixels.
constexpr int frameAllowanceWidth = 16;
constexpr int frameAllowanceHeight = 48;

} // namespace

MainWindow::MainWindow(QWidget* parent)
    : QMainWindow(parent),
      ui(new Ui::MainWindow),
      settings(new QSettings(settingsFilePath(), QSettings::IniFormat)),
      options(new Options(this)),
      statusLabel(new QLabel),
      infoLabel(new QLabel),
      firstShow(true),
      engine(new Engine),
      busy(0),
      grayPixmap(QStringLiteral(":/icons/bullet_gray.png")),
      greenPixmap(QStringLiteral(":/icons/bullet_green.png")),
      redPixmap(QStringLiteral(":/icons/bullet_red.png")),
      displayUpdateMs(500),
      pendingDiscoveries(0),
      lifecycle(Lifecycle::Running),
      moreErrors(0)
{
    // In Latin digits whatever the system locale writes numbers with, like the journal's time stamps.
    const QString startTime = QLocale::c().toString(QDateTime::currentDateTime(), QStringLiteral("yyyy.MM.dd hh:mm:ss"));
    qInfo("Запуск программы (версия %s) %s", STENDIX_VERSION, qUtf8Printable(startTime));
    qDebug("Сборка от %s %s", __DATE__, __TIME__);

    options->setWindowFlags(options->windowFlags() & ~Qt::WindowContextHelpButtonHint);

    ui->setupUi(this);
    // A long message is cut at the window's edge rather than widening the window past the screen.
    for (QLabel* label : {statusLabel, infoLabel})
        label->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    ui->statusBar->addWidget(statusLabel, 1);
    ui->statusBar->addWidget(infoLabel, 1);
    infoLabel->hide();   // shown while it has something to say
    statusLabel->setText(QStringLiteral("Запуск программы %1").arg(startTime));

    if (QWidget* manualPage = ui->tabWidget->findChild<QWidget*>(QStringLiteral("tabManual")))
        ui->tabWidget->setCurrentWidget(manualPage);

    readSettings();

    engine->moveToThread(&engineThread);
    requireConnection(connect(engine, &Engine::readyCrate, this, &MainWindow::readyCrate), "readyCrate");
    options->setDisplayPeriodRange(displayPeriodMinimum, displayPeriodMaximum);
    requireConnection(connect(engine, &Engine::postMessage, this, &MainWindow::postMessage), "postMessage");
    requireConnection(connect(engine, &Engine::postInfo, this, &MainWindow::postInfo), "postInfo");
    requireConnection(connect(engine, &Engine::popupMessage, this, &MainWindow::popupMessage), "popupMessage");
    requireConnection(connect(engine, &Engine::moduleLost, this, &MainWindow::moduleLost), "moduleLost");
    requireConnection(connect(engine, &Engine::moduleOutputsConfirmed, this, &MainWindow::moduleOutputsConfirmed),
                      "moduleOutputsConfirmed");

    engineThread.start(QThread::InheritPriority);
    {
        QEventLoop waitStarted;
        requireConnection(connect(engine, &Engine::started, &waitStarted, &QEventLoop::quit), "started");
        QMetaObject::invokeMethod(engine, "start", Qt::QueuedConnection);
        waitStarted.exec();
    }

    engine->createGui(ui->widgetModuleSettings, ui->widgetModuleControls, ui->widgetModuleReport,
                      ui->widgetModuleInfo, options->moduleOptionsWidget());
    // A module that builds nothing beside the scenario leaves it the page's whole width.
    if (ui->widgetModuleReport->children().isEmpty())
        ui->widgetModuleReport->hide();
    // The scenario above takes most of the height, the settings of its step the rest.
    ui->splitterTree->setStretchFactor(0, 3);
    ui->splitterTree->setStretchFactor(1, 2);

    setWindowTitle(engine->name(false) + QStringLiteral("_dovi - ")
                   + QStringLiteral(STENDIX_VERSION).remove(QLatin1Char('v')));
    setWindowIcon(engine->icon());
    setups = new SetupsController(this, engine, settings, ui->menuSetups, ui->actionSetupOpen,
                                  ui->actionSetupSave);
    requireConnection(connect(setups, &SetupsController::status, this, &MainWindow::postMessage), "setups status");
    // "Файл" ends with "Выход", which closes the window as its title bar's button does.
    auto* quit = new QAction(QStringLiteral("Выход"), this);
    quit->setObjectName(QStringLiteral("actionQuit"));
    quit->setShortcut(QKeySequence(QStringLiteral("Ctrl+Q")));
    quit->setShortcutContext(Qt::WindowShortcut);
    addAction(quit);
    connect(quit, &QAction::triggered, this, &QWidget::close);
    setups->setLastMenuAction(quit);
    startRemoteControl();

    // Their shortcuts are live while the window has focus; nothing is connected to them.
    addAction(ui->actionListGet);
    addAction(ui->actionListPut);

    // The form also carries a verification bench: the generator is not driven; the multimeter and
    // the page "Поверка" come back below when the settings name a multimeter.
    ui->widgetMultimeterConnection->hide();
    ui->widgetGeneratorConnection->hide();
    ui->groupBoxMultimeter->hide();
    ui->groupBoxGenerator->hide();
    const MultimeterSettings meterSettings = readMultimeterSettings(settings);
    if (!meterSettings.present()) {
        ui->tabWidget->removeTab(ui->tabWidget->indexOf(ui->tabAutotest));
        ui->tabWidget->tabBar()->hide();
    }

    // The bench's multimeter, when the settings name one: its light in the top row and its group on
    // the page come back.
    MultimeterPage::Widgets meter;
    meter.connection = ui->widgetMultimeterConnection;
    meter.light = ui->labelMultimeterLed;
    meter.name = ui->labelMultimeter;
    meter.group = ui->groupBoxMultimeter;
    meter.dc = ui->radioButtonMeasureDC;
    meter.ac = ui->radioButtonMeasureAC;
    meter.frequency = ui->radioButtonMeasureFreq;
    meter.off = ui->radioButtonMeasureOff;
    meter.result = ui->lineEditMeasureResult;
    meter.unit = ui->labelMeasureUnitResult;
    meter.filterLabel = ui->labelACFilter;
    meter.filter = ui->comboBoxACFilter;
    meter.inputLabel = ui->labelMultimeterInput;
    meter.input = ui->comboBoxMultimeterInput;
    multimeter = new MultimeterPage(meter, meterSettings, displayUpdateMs, this);
    requireConnection(connect(multimeter, &MultimeterPage::status, this, &MainWindow::postMessage), "multimeter status");

    VerificationPage::Widgets page;
    page.page = ui->tabAutotest;
    page.steps = ui->treeViewMain;
    page.settings = ui->treeViewInner;
    page.original = ui->pushButtonListOriginal;
    page.open = ui->pushButtonListOpen;
    page.save = ui->pushButtonListSave;
    page.addCategory = ui->pushButtonListAddSubStep;
    page.addStep = ui->pushButtonListAddStep;
    page.remove = ui->pushButtonListDeleteStep;
    page.duplicate = ui->pushButtonListCopy;
    page.clear = ui->pushButtonListClear;
    page.progress = ui->progressBar;
    page.autoSave = ui->checkBoxReportAutoSave;
    page.startStop = ui->pushButtonStartStop;
    page.saveReport = ui->pushButtonReportSave;
    page.operatorName = ui->lineEditOperator;
    page.conditions = ui->lineEditConditions;
    verification = new VerificationPage(page, engine, settings, meterSettings, this);
    requireConnection(connect(verification, &VerificationPage::status, this, &MainWindow::postMessage), "verification status");
    requireConnection(connect(verification, &VerificationPage::runningChanged, this, &MainWindow::verificationRunning),
                      "verification running");

    // A run of repeated messages that has gone quiet gets its count into the journal without waiting
    // for the next message.
    auto* repeats = new QTimer(this);
    connect(repeats, &QTimer::timeout, this, [] { flushQuietRepeats(); });
    repeats->start(1000);

    // The form's size, within the screen; the first show grows it to the panels built meanwhile.
    resize(size().boundedTo(screenRoom()));
    ui->scrollAreaManualContents->installEventFilter(this);
    for (QWidget* field : ui->scrollAreaManualContents->findChildren<QWidget*>()) {
        if (qobject_cast<QAbstractSpinBox*>(field) || qobject_cast<QComboBox*>(field))
            field->installEventFilter(this);
    }
}

MainWindow::~MainWindow()
{
    // A window destroyed without having been closed still ends the engine in order.
    shutDown();
    delete ui;
    delete statusLabel;
    delete infoLabel;
    delete engine;
    delete options;
    delete settings;
}

void MainWindow::readSettings()
{
    const GlobalSettings values = readGlobalSettings(settings);
    displayUpdateMs = values.displayUpdateMs;
    engine->setDisplayPeriod(displayUpdateMs);
    engine->setEmulator(values.emulator());
    setConfiguredService(values.crateService);
    engine->loadSettings(settings);
    settings->sync();
}

bool MainWindow::eventFilter(QObject* watched, QEvent* event)
{
    // The manual page's contents changed their layout (panels built, shown or hidden): once every
    // layout has settled, see whether the window should grow.
    if (watched == ui->scrollAreaManualContents && event->type() == QEvent::LayoutRequest)
        QTimer::singleShot(0, this, &MainWindow::fitToContents);
    // The wheel over a field or selector the operator is not working in scrolls the page instead of
    // changing a value on the way.
    if (event->type() == QEvent::Wheel && watched != ui->scrollAreaManualContents) {
        auto* field = static_cast<QWidget*>(watched);
        if (!field->hasFocus()) {
            QCoreApplication::sendEvent(ui->scrollAreaManual->verticalScrollBar(), event);
            return true;
        }
    }
    return QMainWindow::eventFilter(watched, event);
}

QSize MainWindow::screenRoom() const
{
    const QScreen* shownOn = screen() ? screen() : QGuiApplication::primaryScreen();
    if (!shownOn)
        return QSize(QWIDGETSIZE_MAX, QWIDGETSIZE_MAX);
    // The frame the window manager has put around the window once it is known, else a typical one.
    QSize frame = frameGeometry().size() - geometry().size();
    if (frame.height() <= 0)
        frame = QSize(frameAllowanceWidth, frameAllowanceHeight);
    return shownOn->availableGeometry().size() - frame;
}

void MainWindow::fitToContents()
{
    const QSize contents = ui->scrollAreaManualContents->sizeHint();
    if (!isVisible() || contents == fittedContentsHint)
        return;  // a layout pass that asks for no other size: the window keeps the size it was given
    const bool first = !fittedContentsHint.isValid();
    fittedContentsHint = contents;
    const QSize room = screenRoom();
    // What the page could show without scroll bars (they may be there just now, for the contents
    // of a moment ago).
    QSize wanted = size() + contents - ui->scrollAreaManual->maximumViewportSize();
    // Where the screen is too small one way, the page scrolls that way and its scroll bar takes room
    // the other way.
    if (wanted.height() > room.height())
        wanted.rwidth() += ui->scrollAreaManual->verticalScrollBar()->sizeHint().width();
    if (wanted.width() > room.width())
        wanted.rheight() += ui->scrollAreaManual->horizontalScrollBar()->sizeHint().height();
    wanted = wanted.boundedTo(room);
    // The first fit gives the window the size its panels ask for (the form's size is only where it
    // starts); later ones only grow it, so that a size the operator has chosen stays.
    resize(first ? wanted : size().expandedTo(wanted));
}

void MainWindow::setModuleWidgetsEnabled(bool enabled)
{
    moduleWidgetsOn = enabled;
    const bool panels = enabled && !(verification && verification->isRunning());
    ui->widgetModuleSettings->setEnabled(panels);
    ui->widgetModuleControls->setEnabled(panels);
    options->setModuleOptionsEnabled(enabled);
    // The page's start button follows the module (and stays usable to stop a run).
    if (verification)
        verification->setModuleUsable(enabled);
    else
        ui->pushButtonStartStop->setEnabled(enabled);
}

void MainWindow::verificationRunning(bool running)
{
    ui->pushButtonUpdate->setEnabled(!running);
    ui->comboBoxCrate->setEnabled(!running);
    ui->comboBoxSlot->setEnabled(!running);
    ui->pushButtonOptions->setEnabled(!running);
    ui->menuSetups->setEnabled(!running);
    multimeter->setLent(running);
    setModuleWidgetsEnabled(moduleWidgetsOn);
}

void MainWindow::fillSlots(const Engine::Crate& crate)
{
    for (const Engine::CrateModule& entry : crate.modules)
        ui->comboBoxSlot->addItem(QStringLiteral("Слот %1 - %2").arg(entry.slotNumber).arg(entry.moduleName));
}

void MainWindow::showCrate(int index, const Engine::Crate& crate)
{
    ui->comboBoxCrate->setCurrentIndex(index);
    ui->comboBoxSlot->clear();
    fillSlots(crate);
}

SetupStore* MainWindow::setupStore() const
{
    return setups->store();
}

bool MainWindow::useModuleAndShow(int crateIndex, int moduleIndex)
{
    setups->aboutToUseModule(crateIndex, moduleIndex);
    const bool used = engine->useModule(crateIndex, moduleIndex);
    if (used && moduleWasLost) {
        moduleWasLost = false;
        statusLabel->setText(QStringLiteral("Связь со службой крейтов восстановлена"));
    }
    // A module whose outputs its opening could not bring to rest turns the light red (queued, after this).
    ui->labelModuleLed->setPixmap(used ? greenPixmap : redPixmap);
    setModuleWidgetsEnabled(used);
    setups->moduleUsed(crateIndex, moduleIndex, used);
    return used;
}

void MainWindow::readyCrate(QList<Engine::Crate>& listCrate)
{
    // A list that arrives while the window shuts down is not acted on: the engine is stopping the
    // module, and nothing may open it again.
    if (lifecycle != Lifecycle::Running)
        return;
    listedCrates = listCrate;
    // Hold the guard while the selectors are refilled, so that their index changes are ignored.
    busy.tryAcquire(1);

    ui->comboBoxCrate->clear();
    ui->comboBoxSlot->clear();
    for (const Engine::Crate& crate : listCrate)
        ui->comboBoxCrate->addItem(crate.crateSerial);

    // While a later discovery request is still out, the engine's thread may be discovering with the
    // module object at this very moment: this list only fills the selectors, and the later one makes
    // a module current.
    const bool laterRequestOut = pendingDiscoveries > 1;

    // The selectors follow the crate being tried, so that they end up showing the crate of the
    // current module and only its slots. When no crate yields a usable module they show the first
    // crate that has modules.
    int firstWithModules = -1;
    bool madeCurrent = false;
    for (int i = 0; i < listCrate.size(); ++i) {
        const Engine::Crate& crate = listCrate.at(i);
        if (crate.modules.isEmpty()) {
            ui->labelCrateLed->setPixmap(redPixmap);
            continue;
        }
        ui->labelCrateLed->setPixmap(greenPixmap);
        if (firstWithModules < 0)
            firstWithModules = i;
        if (laterRequestOut)
            break;
        showCrate(i, crate);
        if (useModuleAndShow(i, 0)) {
            madeCurrent = true;
            break;
        }
    }
    if (!madeCurrent && firstWithModules >= 0) {
        if (ui->comboBoxCrate->currentIndex() != firstWithModules)
            showCrate(firstWithModules, listCrate.at(firstWithModules));
        ui->labelCrateLed->setPixmap(greenPixmap);
    }
    // No crate at all: neither light is left green (or red) for a crate or module that is not there,
    // also when the loss of the module that went was said before this list came.
    if (listCrate.isEmpty()) {
        ui->labelCrateLed->setPixmap(grayPixmap);
        ui->labelModuleLed->setPixmap(grayPixmap);
    }

    // The selectors adjust their size hint to their items; their minimum size hint stays as it was
    // first computed (with no items), so the wider of the two measures the contents.
    for (QComboBox* selector : {ui->comboBoxCrate, ui->comboBoxSlot}) {
        const int contents = qMax(selector->minimumSizeHint().width(), selector->sizeHint().width());
        selector->setMinimumWidth(contents + selector->iconSize().width() + selectorSpare);
    }

    // Selections are handled again only when no later discovery request is still out.
    if (!laterRequestOut)
        releaseSelectionGuard();
}

void MainWindow::discoveryServed()
{
    if (pendingDiscoveries > 0)
        --pendingDiscoveries;
    // A discovery that could not reach the service sends no list: the guard comes back here.
    if (pendingDiscoveries == 0 && lifecycle == Lifecycle::Running)
        releaseSelectionGuard();
}

void MainWindow::releaseSelectionGuard()
{
    if (busy.available() == 0)
        busy.release(1);
}

void MainWindow::sendDiscoveryRequest()
{
    if (lifecycle != Lifecycle::Running) {
        discoveryServed();
        return;
    }
    QMetaObject::invokeMethod(engine, "refreshHardware", Qt::QueuedConnection);
    // Runs on the engine's thread after refreshHardware and its crate list (if any) have been sent,
    // so the answer reaches this window after the list.
    QMetaObject::invokeMethod(
        engine, [this]() { QMetaObject::invokeMethod(this, "discoveryServed", Qt::QueuedConnection); },
        Qt::QueuedConnection);
}

void MainWindow::postMessage(QString message)
{
    statusLabel->setText(message);
}

void MainWindow::postInfo(QString message)
{
    showInfo(message);
}

void MainWindow::showInfo(const QString& message)
{
    infoLabel->setText(message);
    infoLabel->setVisible(!message.isEmpty());
}

void MainWindow::popupMessage(QString message, bool success)
{
    if (success)
        QMessageBox::information(this, QStringLiteral("Статус"), message, QMessageBox::Ok);
    else
        QMessageBox::warning(this, QStringLiteral("Внимание"), message, QMessageBox::Ok);
}

void MainWindow::popupError(QString message)
{
    // Taken in any case: the journal queues the next call only after this one has been taken.
    const int messages = takePopupCount();
    // While the window shuts down the journal and standard error carry the message alone.
    if (lifecycle != Lifecycle::Running)
        return;
    // A box closed a moment ago may not be deleted yet.
    if (errorBox && errorBox->isVisible()) {
        moreErrors += messages;
        errorBox->setInformativeText(QStringLiteral("Ещё сообщений: %1").arg(moreErrors));
        return;
    }
    // Not run in a loop of its own: the window goes on serving its events while the box is open.
    // Not modal either: the window system does not pass a close request on to a window that a modal
    // box blocks, and closing must always work (it closes the box with the window).
    errorBox = new QMessageBox(QMessageBox::Critical, QStringLiteral("Ошибка"), message, QMessageBox::Ok, this);
    errorBox->setAttribute(Qt::WA_DeleteOnClose);
    errorBox->setWindowModality(Qt::NonModal);
    moreErrors = messages - 1;
    if (moreErrors > 0)
        errorBox->setInformativeText(QStringLiteral("Ещё сообщений: %1").arg(moreErrors));
    errorBox->show();
}

void MainWindow::journalProblem(QString message)
{
    showInfo(message);
}

void MainWindow::moduleLost()
{
    // A loss that comes after a list without crates is of a module the selectors no longer show.
    if (lifecycle != Lifecycle::Running || ui->comboBoxCrate->count() == 0)
        return;
    // The module has stopped and is closed: the lights and panels say so until a discovery finds
    // it again (the panels keep the operator's values).
    ui->labelCrateLed->setPixmap(redPixmap);
    ui->labelModuleLed->setPixmap(redPixmap);
    setModuleWidgetsEnabled(false);
    moduleWasLost = true;
    statusLabel->setText(QStringLiteral("Потеряна связь со службой крейтов %1").arg(serviceAddressText()));
}

void MainWindow::moduleOutputsConfirmed(bool confirmed)
{
    // Only for the module the window shows as current and reachable; never while a discovery is out
    // (the engine's thread rewrites the selection then, and the module it makes current is shown
    // when its list is handled).
    if (lifecycle != Lifecycle::Running || moduleWasLost || !selectionAllowed() || engine->selectedCrateIndex() < 0)
        return;
    ui->labelModuleLed->setPixmap(confirmed ? greenPixmap : redPixmap);
}

void MainWindow::on_pushButtonUpdate_clicked()
{
    // Output stops the operator's way first (the button shows "Старт" again, the outputs go to 0 V).
    engine->requestOutput(false);
    multimeter->refresh();
    ui->labelModuleLed->setPixmap(grayPixmap);
    setModuleWidgetsEnabled(false);
    // The permit is not waited for: while an earlier discovery is still out (or one ended without a
    // list) the guard is already taken, and this request simply joins the queue behind it. Selections
    // stay ignored until every request made so far has been served.
    busy.tryAcquire(1);
    ++pendingDiscoveries;
    QTimer::singleShot(100, this, &MainWindow::sendDiscoveryRequest);
}

void MainWindow::on_comboBoxCrate_currentIndexChanged(int index)
{
    if (index == -1 || !busy.tryAcquire(1))
        return;
    engine->closeModule();
    ui->labelModuleLed->setPixmap(grayPixmap);
    setModuleWidgetsEnabled(false);
    ui->comboBoxSlot->clear();
    const QList<Engine::Crate>& crates = engine->crateList();
    if (index < crates.size()) {
        const Engine::Crate& crate = crates.at(index);
        if (crate.modules.isEmpty()) {
            ui->labelCrateLed->setPixmap(redPixmap);
        } else {
            ui->labelCrateLed->setPixmap(greenPixmap);
            fillSlots(crate);
            useModuleAndShow(index, 0);
        }
    }
    busy.release(1);
}

void MainWindow::on_comboBoxSlot_currentIndexChanged(int index)
{
    if (index == -1 || busy.available() == 0)
        return;
    useModuleAndShow(ui->comboBoxCrate->currentIndex(), index);
}

void MainWindow::on_pushButtonOptions_clicked()
{
    options->setDisplayPeriod(displayUpdateMs);
    options->setMultimeter(multimeter->settings());
    options->setReportFolder(multimeter->settings().present(), verification->settingsShown().reportDirectory());
    options->setCrateService(configuredService());
    engine->resetOptions();
    if (options->exec() != QDialog::Accepted)
        return;
    displayUpdateMs = options->displayPeriod();
    engine->setDisplayPeriod(displayUpdateMs);
    writeDisplayPeriod(settings, displayUpdateMs);
    const ServiceAddress service = options->crateService();
    writeCrateService(settings, service);
    const bool serviceMoved = service != configuredService();
    if (serviceMoved) {
        setConfiguredService(service);
        qInfo("%s", qUtf8Printable(QStringLiteral("Адрес службы крейтов: %1").arg(service.text())));
    }
    multimeter->setDisplayPeriod(displayUpdateMs);
    if (multimeter->settings().present()) {
        multimeter->setDecimals(options->multimeter());
        writeMultimeterDecimals(settings, multimeter->settings());
        if (options->reportFolder() != verification->settingsShown().reportDirectory())
            verification->setReportPath(options->reportFolder());
    }
    engine->applyOptions(settings);
    QString reason;
    if (!saveSettings(settings, &reason)) {
        const QString text = QStringLiteral("Настройки не сохранены в файл stendix.ini (%1)").arg(reason);
        qWarning("%s", qUtf8Printable(text));
        showInfo(text);
    }
    // The modules are looked for again at the new address, as "Обновить" does (an output that plays
    // stops first). The environment's VEK_SERVICE, when set, still decides where the libraries go.
    if (serviceMoved && !engine->isEmulator() && serviceOverride().isEmpty()) {
        on_pushButtonUpdate_clicked();
        statusLabel->setText(QStringLiteral("Служба крейтов: %1").arg(service.text()));
    }
}

void MainWindow::showEvent(QShowEvent* event)
{
    QMainWindow::showEvent(event);
    if (firstShow) {
        firstShow = false;
        ++pendingDiscoveries;
        QTimer::singleShot(0, this, &MainWindow::sendDiscoveryRequest);
        QTimer::singleShot(0, this, &MainWindow::fitToContents);
        multimeter->start();
    }
}

void MainWindow::shutDown()
{
    if (lifecycle == Lifecycle::Closed)
        return;
    lifecycle = Lifecycle::Closing;
    // A verification under way ends first: its outputs go to 0 V and its protocol is kept.
    verification->shutDown();
    // No remote command may reach the module while it is being stopped.
    stopRemoteControl();
    multimeter->shutDown();
    bool stopped = false;
    {
        QEventLoop waitStopped;
        requireConnection(connect(engine, &Engine::stopped, &waitStopped, [&]() {
                              stopped = true;
                              waitStopped.quit();
                          }),
                          "stopped");
        QTimer bound;
        bound.setSingleShot(true);
        connect(&bound, &QTimer::timeout, &waitStopped, &QEventLoop::quit);
        bound.start(shutdownBoundMs);
        QMetaObject::invokeMethod(engine, "stop", Qt::QueuedConnection);
        waitStopped.exec();
    }
    settings->sync();
    if (!stopped) {
        // The engine is still inside a call to the crate service that does not come back: the
        // process ends without it, its threads with it.
        qCritical("Завершение работы без остановки модуля: служба крейтов %s не ответила вовремя",
                  qUtf8Printable(serviceAddressText()));
        finishJournal();
        std::fflush(nullptr);
        std::_Exit(1);
    }
    engineThread.quit();
    engineThread.wait();
    lifecycle = Lifecycle::Closed;
}

void MainWindow::closeEvent(QCloseEvent* event)
{
    if (lifecycle == Lifecycle::Closing) {
        // Already shutting down: the first close finishes the job.
        event->ignore();
        return;
    }
    if (lifecycle == Lifecycle::Running) {
        // A box still open goes with the window; the journal keeps its message.
        if (errorBox)
            errorBox->close();
        statusLabel->setText(QStringLiteral("Завершение работы"));
        qInfo("Завершение работы");
        setEnabled(false);
        setups->windowClosing();
        shutDown();
    }
    QMainWindow::closeEvent(event);
}
