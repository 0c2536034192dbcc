// The main window and the options dialog without the crate simulator: the form, emulator mode, the
// selection guard when the service cannot be reached, the options dialog, and closing.
#include <QtTest>

#include <QAction>
#include <QGroupBox>
#include <QLayout>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>
#include <QWheelEvent>
#include <QStatusBar>
#include <QTabBar>
#include <QTabWidget>

#include "options.h"
#include "qttranslations.h"
#include "resources.h"
#include "windowtestutil.h"

using namespace apptest;
using namespace windowtest;

class TestMainWindow : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void formObjectsAndStartState();
    void emulatorModeListsOneCrate();
    void emulatorModeCrateAndSlotSelection();
    void lowerCaseEmulatorRunsNormalMode();
    void serviceDownKeepsSelectorsAndFreesUpdate();
    void repeatedUpdateNeverBlocks();
    void optionsClampAndWriteBack();
    void optionsCancelChangesNothing();
    void optionsOkWritesBothGroups();
    void optionsFixedSizeAfterFirstShow();
    void optionsSpeakRussian();
    void windowFitsTheScreenAndThePageScrolls();
    void closingStopsEngineOnce();
};

void TestMainWindow::initTestCase()
{
    initStendixResources();
    installMessageCapture();
}

void TestMainWindow::init()
{
    clearMessages();
    // Nothing listens there: a discovery in normal mode cannot reach a service.
    qputenv("VEK_SERVICE", QByteArray("127.0.0.1:") + QByteArray::number(deadPort()));
}

void TestMainWindow::cleanup()
{
    qunsetenv("VEK_SERVICE");
}

void TestMainWindow::formObjectsAndStartState()
{
    WorkingDirectory cwd;
    QVERIFY(cwd.isValid());
    MainWindow window;

    QCOMPARE(window.windowTitle(), QStringLiteral("VEK72_dovi - 1.4.27"));
    QVERIFY(!window.windowIcon().isNull());
    QCOMPARE(child<QAbstractButton>(&window, "pushButtonUpdate")->text(), QStringLiteral("Обновить"));
    QCOMPARE(child<QAbstractButton>(&window, "pushButtonOptions")->text(), QStringLiteral("Настройки"));
    QCOMPARE(child<QLabel>(&window, "labelCrate")->text(), QStringLiteral("Крейт"));
    QCOMPARE(child<QLabel>(&window, "labelModule")->text(), QStringLiteral("Модуль"));
    QCOMPARE(crateLight(window), Light::Gray);
    QCOMPARE(moduleLight(window), Light::Gray);
    QCOMPARE(child<QComboBox>(&window, "comboBoxCrate")->count(), 0);
    QCOMPARE(child<QComboBox>(&window, "comboBoxSlot")->count(), 0);
    QVERIFY(child<QWidget>(&window, "widgetModuleInfo"));
    QCOMPARE(moduleWidgetsEnabled(window), (QList<bool>{false, false, false, false}));
    QCOMPARE(child<QAbstractButton>(child<QWidget>(&window, "tabAutotest"), "pushButtonStartStop")->text(),
             QStringLiteral("Начать испытания"));

    // Only the manual page is left, without a tab bar.
    auto* tabs = child<QTabWidget>(&window, "tabWidget");
    QCOMPARE(tabs->count(), 1);
    QCOMPARE(tabs->currentWidget()->objectName(), QStringLiteral("tabManual"));
    QCOMPARE(tabs->tabText(0), QStringLiteral("Мультиметр"));
    QVERIFY(tabs->indexOf(child<QWidget>(&window, "tabAutotest")) < 0);
    QVERIFY(tabs->tabBar()->isHidden());
    QCOMPARE(child<QWidget>(&window, "widgetModuleReport")->parentWidget()->parentWidget()->objectName(),
             QStringLiteral("tabAutotest"));
    // The manual page's objects keep their order in their layout, inside the page's scroll area.
    QLayout* manual = child<QLayout>(&window, "verticalLayoutManual");
    QCOMPARE(manual->indexOf(child<QWidget>(&window, "widgetModuleSettings")), 0);
    QCOMPARE(manual->indexOf(child<QWidget>(&window, "widgetModuleControls")), 1);
    QCOMPARE(manual->itemAt(2)->layout()->objectName(), QStringLiteral("horizontalLayoutInstruments"));
    QVERIFY(child<QScrollArea>(child<QWidget>(&window, "tabManual"), "scrollAreaManual")
                ->isAncestorOf(child<QWidget>(&window, "widgetModuleControls")));

    // The verification bench objects exist but are hidden.
    for (const char* name : {"widgetMultimeterConnection", "widgetGeneratorConnection", "groupBoxMultimeter",
                             "groupBoxGenerator"})
        QVERIFY2(child<QWidget>(&window, name)->isHidden(), name);
    QCOMPARE(child<QLabel>(&window, "labelMultimeter")->text(), QStringLiteral("Мультиметр Keysight 34465A"));
    QCOMPARE(child<QLabel>(&window, "labelGenerator")->text(), QStringLiteral("Генератор АКИП-3407"));
    QVERIFY(child<QAbstractButton>(&window, "radioButtonOutOff")->isChecked());
    QVERIFY(child<QAbstractButton>(&window, "radioButtonMeasureOff")->isChecked());
    QCOMPARE(items(child<QComboBox>(&window, "comboBoxACFilter")),
             (QStringList{"> 3 Гц", "> 20 Гц", "> 200 Гц"}));
    for (const char* name : {"pushButtonListOriginal", "pushButtonListOpen", "pushButtonListSave",
                             "pushButtonListAddSubStep", "pushButtonListAddStep", "pushButtonListDeleteStep",
                             "pushButtonListCopy", "pushButtonListClear"})
        QVERIFY2(child<QAbstractButton>(&window, name), name);
    for (const char* name : {"splitter", "splitterTree", "treeViewMain", "treeViewInner", "progressBar",
                             "lineListTop", "lineListBottom"})
        QVERIFY2(child<QWidget>(&window, name), name);
    QVERIFY(child<QAbstractButton>(&window, "checkBoxReportAutoSave")->isChecked());

    // The two list actions are live on the window with their shortcuts.
    QAction* get = child<QAction>(&window, "actionListGet");
    QAction* put = child<QAction>(&window, "actionListPut");
    QVERIFY(window.actions().contains(get));
    QVERIFY(window.actions().contains(put));
    QCOMPARE(get->shortcut(), QKeySequence(QStringLiteral("Ctrl+Shift+C")));
    QCOMPARE(put->shortcut(), QKeySequence(QStringLiteral("Ctrl+Shift+V")));
    QCOMPARE(get->text(), QStringLiteral("Копировать"));

    QVERIFY(infos().first().startsWith(QStringLiteral("Запуск программы (версия 1.4.27) ")));

    // The options dialog: its own objects, the hidden groups, no context help button.
    Options* options = window.optionsDialog();
    QCOMPARE(options->windowTitle(), QStringLiteral("Настройки"));
    QVERIFY(!(options->windowFlags() & Qt::WindowContextHelpButtonHint));
    QVERIFY(child<QWidget>(options, "groupBoxAutotest")->isHidden());
    QVERIFY(child<QWidget>(options, "groupBoxMultimeter")->isHidden());
    QCOMPARE(options->moduleOptionsWidget()->objectName(), QStringLiteral("widgetModuleOptions"));
    auto* period = child<QSpinBox>(options, "spinBoxDisplayPeriod");
    QCOMPARE(period->minimum(), 100);
    QCOMPARE(period->maximum(), 2000);

    // A first start writes the defaults.
    const QByteArray ini = cwd.iniBytes();
    QVERIFY(ini.contains("DisplayUpdateMs=500"));
    QVERIFY(ini.contains("ModuleMode=Normal"));
}

void TestMainWindow::emulatorModeListsOneCrate()
{
    WorkingDirectory cwd;
    cwd.writeGlobal(QStringLiteral("ModuleMode"), QStringLiteral("Emulator"));
    MainWindow window;
    SignalCounter lists(window.engineObject(), &Engine::readyCrate);
    QVERIFY(!window.selectionAllowed());
    QCoreApplication::processEvents();
    QCOMPARE(lists.count(), 0); // no discovery before the window is shown
    window.show();
    QVERIFY(settled(window));
    // Exactly one discovery at the first show; a later show asks for none.
    window.hide();
    window.show();
    QCoreApplication::processEvents(); // a discovery request would now be queued to the engine
    QVERIFY(runQueuedCalls(window.engineObject(), 10000));
    QCOMPARE(lists.count(), 1);

    auto* crates = child<QComboBox>(&window, "comboBoxCrate");
    auto* slotBox = child<QComboBox>(&window, "comboBoxSlot");
    QCOMPARE(items(crates), QStringList{"2D355915"});
    QCOMPARE(items(slotBox), QStringList{"Слот 1 - VEK72"});
    QCOMPARE(crateLight(window), Light::Green);
    QCOMPARE(moduleLight(window), Light::Green);
    QCOMPARE(moduleWidgetsEnabled(window), (QList<bool>{true, true, true, true}));
    QCOMPARE(window.engineObject()->selectedCrateIndex(), 0);
    QCOMPARE(window.engineObject()->selectedModuleIndex(), 0);
    QVERIFY(criticals().isEmpty());
    // The selectors were widened to fit their texts.
    QVERIFY(crates->minimumWidth() >= crates->minimumSizeHint().width() + 42);
}

void TestMainWindow::emulatorModeCrateAndSlotSelection()
{
    WorkingDirectory cwd;
    cwd.writeGlobal(QStringLiteral("ModuleMode"), QStringLiteral("Emulator"));
    MainWindow window;
    window.show();
    QVERIFY(settled(window));

    // Choosing the crate again goes through closeModule (nothing open) and useModule.
    window.engineObject()->useModule(7, 7);
    auto* crates = child<QComboBox>(&window, "comboBoxCrate");
    crates->setCurrentIndex(-1);
    crates->setCurrentIndex(0);
    QCOMPARE(window.engineObject()->selectedCrateIndex(), 0);
    QCOMPARE(window.engineObject()->selectedModuleIndex(), 0);
    QCOMPARE(crateLight(window), Light::Green);
    QCOMPARE(moduleLight(window), Light::Green);
    QVERIFY(window.selectionAllowed());

    // Update: the module light goes gray and the panels off until the list has been handled.
    child<QAbstractButton>(&window, "pushButtonUpdate")->click();
    QCOMPARE(moduleLight(window), Light::Gray);
    QCOMPARE(moduleWidgetsEnabled(window), (QList<bool>{false, false, false, false}));
    QVERIFY(!window.selectionAllowed());
    // A selection made now is ignored.
    window.engineObject()->useModule(3, 3);
    child<QComboBox>(&window, "comboBoxSlot")->setCurrentIndex(-1);
    child<QComboBox>(&window, "comboBoxSlot")->setCurrentIndex(0);
    QCOMPARE(window.engineObject()->selectedCrateIndex(), 3);
    QVERIFY(settled(window));
    QCOMPARE(moduleLight(window), Light::Green);
    QCOMPARE(window.engineObject()->selectedCrateIndex(), 0);
}

void TestMainWindow::lowerCaseEmulatorRunsNormalMode()
{
    WorkingDirectory cwd;
    cwd.writeGlobal(QStringLiteral("ModuleMode"), QStringLiteral("emulator"));
    MainWindow window;
    QVERIFY(!window.engineObject()->isEmulator());
    QVERIFY(cwd.iniBytes().contains("ModuleMode=emulator"));
}

void TestMainWindow::serviceDownKeepsSelectorsAndFreesUpdate()
{
    WorkingDirectory cwd;
    MainWindow window;
    window.show();
    QTRY_COMPARE_WITH_TIMEOUT(criticals().size(), 1, 10000);
    QCOMPARE(criticals().first(), QStringLiteral("Нет связи со службой"));
    // No list came; the guard is given back once the discovery has been served.
    QVERIFY(settled(window));
    QCOMPARE(child<QComboBox>(&window, "comboBoxCrate")->count(), 0);
    QCOMPARE(crateLight(window), Light::Gray);
    QCOMPARE(moduleLight(window), Light::Gray);
    QCOMPARE(moduleWidgetsEnabled(window), (QList<bool>{false, false, false, false}));

    // A press after a discovery without a list must not wait for a permit that never comes.
    for (int press = 0; press < 2; ++press)
        child<QAbstractButton>(&window, "pushButtonUpdate")->click();
    QVERIFY(!window.selectionAllowed());
    QTRY_COMPARE_WITH_TIMEOUT(criticals().size(), 3, 10000);
    QVERIFY(settled(window));
    QCOMPARE(criticals(), QStringList({"Нет связи со службой", "Нет связи со службой", "Нет связи со службой"}));
}

void TestMainWindow::repeatedUpdateNeverBlocks()
{
    WorkingDirectory cwd;
    cwd.writeGlobal(QStringLiteral("ModuleMode"), QStringLiteral("Emulator"));
    MainWindow window;
    // The current module as each list has just been handled (queued behind the window's own slot).
    QList<int> selectedAfterList;
    QObject observer;
    QObject::connect(window.engineObject(), &Engine::readyCrate, &observer, [&](QList<Engine::Crate>&) {
        selectedAfterList.append(window.engineObject()->selectedCrateIndex());
    });
    window.show();
    // Presses before the first list has arrived, and several in a row: each returns at once.
    for (int press = 0; press < 5; ++press)
        child<QAbstractButton>(&window, "pushButtonUpdate")->click();
    QVERIFY(!window.selectionAllowed());
    QVERIFY(settled(window));
    // Selections are handled again only once the last request has been answered. A list with later
    // requests still out makes no module current: the engine's thread may be discovering with the
    // module object meanwhile. The last list does.
    QCOMPARE(selectedAfterList, (QList<int>{-1, -1, -1, -1, -1, 0}));
    QCOMPARE(items(child<QComboBox>(&window, "comboBoxCrate")), QStringList{"2D355915"});
    QCOMPARE(moduleLight(window), Light::Green);
    QCOMPARE(moduleWidgetsEnabled(window), (QList<bool>{true, true, true, true}));
    // Once every request has been served the guard holds exactly one permit.
    QCoreApplication::processEvents();
    QVERIFY(window.selectionAllowed());
    child<QAbstractButton>(&window, "pushButtonUpdate")->click();
    QVERIFY(!window.selectionAllowed());
    QVERIFY(settled(window));
}

void TestMainWindow::optionsClampAndWriteBack()
{
    WorkingDirectory cwd;
    cwd.writeGlobal(QStringLiteral("DisplayUpdateMs"), 5000);
    MainWindow window;
    QCOMPARE(window.displayPeriod(), 5000);
    int shownValue = 0;
    QVERIFY(runOptionsDialog(window, [&](QDialog* dialog) {
        shownValue = child<QSpinBox>(dialog, "spinBoxDisplayPeriod")->value();
        dialogButton(dialog, QDialogButtonBox::Ok)->click();
    }));
    QCOMPARE(shownValue, 2000);
    QCOMPARE(window.displayPeriod(), 2000);
    QVERIFY(cwd.iniBytes().contains("DisplayUpdateMs=2000"));

    // 50 is shown as 100 and written back as 100.
    cwd.writeGlobal(QStringLiteral("DisplayUpdateMs"), 50);
    MainWindow second;
    QCOMPARE(second.displayPeriod(), 50);
    QVERIFY(runOptionsDialog(second, [&](QDialog* dialog) {
        shownValue = child<QSpinBox>(dialog, "spinBoxDisplayPeriod")->value();
        dialogButton(dialog, QDialogButtonBox::Ok)->click();
    }));
    QCOMPARE(shownValue, 100);
    QVERIFY(cwd.iniBytes().contains("DisplayUpdateMs=100"));
}

void TestMainWindow::optionsCancelChangesNothing()
{
    WorkingDirectory cwd;
    cwd.writeGlobal(QStringLiteral("DisplayUpdateMs"), 700);
    MainWindow window;
    const QByteArray before = cwd.iniBytes();
    QVERIFY(runOptionsDialog(window, [&](QDialog* dialog) {
        child<QSpinBox>(dialog, "spinBoxDisplayPeriod")->setValue(1500);
        if (auto* accuracy = child<QSpinBox>(dialog, "spinBoxAccuracyFreq"))
            accuracy->setValue(accuracy->value() == 5 ? 4 : 5);
        dialogButton(dialog, QDialogButtonBox::Cancel)->click();
    }));
    QCOMPARE(window.displayPeriod(), 700);
    QCOMPARE(cwd.iniBytes(), before);

    // Escape is a cancel too; reopening shows the saved values, not the cancelled edits.
    int shown = 0;
    int shownAccuracy = -1;
    QVERIFY(runOptionsDialog(window, [&](QDialog* dialog) {
        shown = child<QSpinBox>(dialog, "spinBoxDisplayPeriod")->value();
        if (auto* accuracy = child<QSpinBox>(dialog, "spinBoxAccuracyFreq"))
            shownAccuracy = accuracy->value();
        QTest::keyClick(dialog, Qt::Key_Escape);
    }));
    QCOMPARE(shown, 700);
    QCOMPARE(cwd.iniBytes(), before);
    QSettings saved(cwd.iniPath(), QSettings::IniFormat);
    if (saved.contains(QStringLiteral("VEK72/AccuracyFreq")))
        QCOMPARE(shownAccuracy, saved.value(QStringLiteral("VEK72/AccuracyFreq")).toInt());
}

void TestMainWindow::optionsOkWritesBothGroups()
{
    WorkingDirectory cwd;
    MainWindow window;
    // Someone else edits the file: an OK without changes still writes the period and the module
    // group, and syncs.
    {
        QSettings other(cwd.iniPath(), QSettings::IniFormat);
        other.remove(QStringLiteral("Global/DisplayUpdateMs"));
        other.remove(QStringLiteral("VEK72"));
    }
    QVERIFY(!cwd.iniBytes().contains("DisplayUpdateMs"));
    QVERIFY(runOptionsDialog(window, [&](QDialog* dialog) {
        dialogButton(dialog, QDialogButtonBox::Ok)->click();
    }));
    QSettings saved(cwd.iniPath(), QSettings::IniFormat);
    QCOMPARE(saved.value(QStringLiteral("Global/DisplayUpdateMs")).toInt(), 500);
    QCOMPARE(saved.value(QStringLiteral("VEK72/AccuracyAC")).toInt(), 3);
    QCOMPARE(saved.value(QStringLiteral("VEK72/AccuracyDC")).toInt(), 3);
    QCOMPARE(saved.value(QStringLiteral("VEK72/AccuracyFreq")).toInt(), 3);

    // An edited value is stored in both places.
    QVERIFY(runOptionsDialog(window, [&](QDialog* dialog) {
        child<QSpinBox>(dialog, "spinBoxDisplayPeriod")->setValue(1234);
        auto* accuracy = child<QSpinBox>(dialog, "spinBoxAccuracyDC");
        QVERIFY(accuracy);
        accuracy->setValue(5);
        dialogButton(dialog, QDialogButtonBox::Ok)->click();
    }));
    QCOMPARE(window.displayPeriod(), 1234);
    QSettings edited(cwd.iniPath(), QSettings::IniFormat);
    QCOMPARE(edited.value(QStringLiteral("Global/DisplayUpdateMs")).toInt(), 1234);
    QCOMPARE(edited.value(QStringLiteral("VEK72/AccuracyDC")).toInt(), 5);
}

void TestMainWindow::optionsFixedSizeAfterFirstShow()
{
    WorkingDirectory cwd;
    MainWindow window;
    Options* options = window.optionsDialog();
    // Before any module is current the module page is shown but disabled.
    bool pageVisibleDisabled = false;
    QSize shownSize;
    QVERIFY(runOptionsDialog(window, [&](QDialog* dialog) {
        QWidget* page = options->moduleOptionsWidget();
        pageVisibleDisabled = page->isVisible() && !page->isEnabled();
        shownSize = dialog->size();
        dialog->reject();
    }));
    QVERIFY(pageVisibleDisabled);
    QCOMPARE(options->minimumSize(), shownSize);
    QCOMPARE(options->maximumSize(), shownSize);
    // A later showing keeps the size.
    QVERIFY(runOptionsDialog(window, [&](QDialog* dialog) {
        dialog->resize(shownSize + QSize(100, 100));
        shownSize = dialog->size();
        dialog->reject();
    }));
    QCOMPARE(options->minimumSize(), options->maximumSize());
    QCOMPARE(shownSize, options->minimumSize());
}

void TestMainWindow::optionsSpeakRussian()
{
    QVERIFY(installQtTranslations());
    WorkingDirectory cwd;
    MainWindow window;
    Options* options = window.optionsDialog();
    QCOMPARE(dialogButton(options, QDialogButtonBox::Ok)->text(), QStringLiteral("ОК"));
    QCOMPARE(dialogButton(options, QDialogButtonBox::Cancel)->text(), QStringLiteral("Отмена"));
}

void TestMainWindow::windowFitsTheScreenAndThePageScrolls()
{
    WorkingDirectory cwd;
    cwd.writeGlobal(QStringLiteral("ModuleMode"), QStringLiteral("Emulator"));
    MainWindow window;
    window.show();
    QVERIFY(settled(window));
    const QList<QGroupBox*> channels =
        window.findChildren<QGroupBox*>(QRegularExpression(QStringLiteral("^groupBoxCh[1-8]$")));
    QVERIFY(!channels.isEmpty());
    auto* page = child<QScrollArea>(&window, "scrollAreaManual");
    auto* contents = child<QWidget>(&window, "scrollAreaManualContents");

    // The panels ask for more than this screen has: the window stays within its free area.
    const QSize screen = QGuiApplication::primaryScreen()->availableGeometry().size();
    QVERIFY(contents->sizeHint().width() > screen.width() || contents->sizeHint().height() > screen.height());
    QVERIFY(window.width() <= screen.width());
    QVERIFY(window.height() <= screen.height());

    // As small as it goes, less high than its contents alone: the status bar stays in the window
    // and every channel can be scrolled into view.
    const QSize smallest = window.minimumSizeHint();
    QVERIFY(smallest.height() < contents->sizeHint().height());
    window.resize(smallest);
    QTRY_COMPARE(window.size(), smallest);
    QTRY_VERIFY(page->verticalScrollBar()->isVisible());
    QVERIFY(page->horizontalScrollBar()->isVisible());
    QVERIFY(window.rect().contains(window.statusBar()->geometry()));
    QVERIFY(window.statusBar()->isVisible());
    for (QGroupBox* box : channels) {
        page->ensureWidgetVisible(box, 0, 0);
        // As much of the box as the page can show at once is in view.
        const QRect seen = page->viewport()->rect() & QRect(box->mapTo(page->viewport(), QPoint(0, 0)), box->size());
        QVERIFY2(seen.size() == box->size().boundedTo(page->viewport()->size()), qPrintable(box->objectName()));
    }

    // The wheel over a field that is not being edited scrolls the page and leaves the value alone.
    page->verticalScrollBar()->setValue(0);
    auto* field = contents->findChild<QAbstractSpinBox*>();
    QVERIFY(field);
    QVERIFY(field->isEnabled());
    QVERIFY(!field->hasFocus());
    const QString before = field->text();
    const QPoint at = field->rect().center();
    QWheelEvent wheel(at, field->mapToGlobal(at), QPoint(), QPoint(0, -120), Qt::NoButton, Qt::NoModifier,
                      Qt::NoScrollPhase, false);
    QCoreApplication::sendEvent(field, &wheel);
    QVERIFY(page->verticalScrollBar()->value() > 0);
    QCOMPARE(field->text(), before);
}

void TestMainWindow::closingStopsEngineOnce()
{
    WorkingDirectory cwd;
    cwd.writeGlobal(QStringLiteral("ModuleMode"), QStringLiteral("Emulator"));
    MainWindow window;
    window.show();
    QVERIFY(settled(window));
    SignalCounter stopped(window.engineObject(), &Engine::stopped);
    // A discovery still out when the window closes is not acted on.
    child<QAbstractButton>(&window, "pushButtonUpdate")->click();
    QVERIFY(window.close());
    QCOMPARE(stopped.count(), 1);
    QVERIFY(!window.isEnabled());
    QVERIFY(window.engineObject()->moduleWorkerThread()->isFinished());
    QVERIFY(window.engineObject()->thread()->isFinished());
    QVERIFY(infos().contains(QStringLiteral("Завершение работы")));
    QList<QLabel*> labels = window.statusBar()->findChildren<QLabel*>();
    bool statusShown = false;
    for (QLabel* label : labels)
        statusShown = statusShown || label->text() == QStringLiteral("Завершение работы");
    QVERIFY2(statusShown, qPrintable(QString::number(labels.size())));
    // Closing again does not stop twice.
    window.close();
    QCoreApplication::processEvents();
    QCOMPARE(stopped.count(), 1);
}

QTEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"
