// The main window against a crate service simulator of the test's own: what the selectors and lights
// show for the bench, crate and slot choices, lists in which the first crate yields no usable
// module, an empty list, repeated discovery requests, and closing while the module plays.
#include <QtTest>

#include <QStatusBar>

#include "benchstatus.h"
#include "resources.h"
#include "vekdrunner.h"
#include "windowtestutil.h"

using namespace apptest;
using namespace windowtest;

namespace {

// A selector shows its longest item in full when it is at least as wide as its contents ask.
bool wideEnough(const QComboBox* box)
{
    return box->width() >= box->sizeHint().width();
}

} // namespace

class TestMainWindowBench : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();

    void builtInBenchAtFirstShow();
    void crateWithoutModulesAndBack();
    void secondSlotBecomesCurrent();
    void firstCrateWithoutUsableModule();
    void noCrateYieldsUsableModule();
    void emptyListAfterUpdate();
    void updatePressedRepeatedly();
    void closingWithModuleOpen();
    void closingWhileModulePlays();
};

void TestMainWindowBench::initTestCase()
{
    initStendixResources();
    installMessageCapture();
}

void TestMainWindowBench::init()
{
    clearMessages();
}

void TestMainWindowBench::builtInBenchAtFirstShow()
{
    VekdRunner vekd;
    QVERIFY(vekd.start());
    WorkingDirectory cwd;
    MainWindow window;
    window.show();
    QVERIFY(settled(window));

    auto* crates = child<QComboBox>(&window, "comboBoxCrate");
    auto* slotBox = child<QComboBox>(&window, "comboBoxSlot");
    QCOMPARE(items(crates), (QStringList{"4B210736", "4B210751"}));
    QCOMPARE(crates->currentIndex(), 0);
    QCOMPARE(items(slotBox), (QStringList{"Слот 3 - VEK72-1-8", "Слот 7 - VEK72-2-4"}));
    QCOMPARE(slotBox->currentIndex(), 0);
    QCOMPARE(crateLight(window), Light::Green);
    QCOMPARE(moduleLight(window), Light::Green);
    QCOMPARE(moduleWidgetsEnabled(window), (QList<bool>{true, true, true, true}));
    QCOMPARE(window.engineObject()->selectedCrateIndex(), 0);
    QCOMPARE(window.engineObject()->selectedModuleIndex(), 0);
    QVERIFY(benchstatus::opened(vekd, "4B210736", 3));
    QTRY_VERIFY(wideEnough(crates));
    QTRY_VERIFY(wideEnough(slotBox));
    QVERIFY(criticals().isEmpty());
}

void TestMainWindowBench::crateWithoutModulesAndBack()
{
    VekdRunner vekd;
    QVERIFY(vekd.start());
    WorkingDirectory cwd;
    MainWindow window;
    window.show();
    QVERIFY(settled(window));
    auto* crates = child<QComboBox>(&window, "comboBoxCrate");

    crates->setCurrentIndex(1);
    QCOMPARE(crateLight(window), Light::Red);
    QCOMPARE(moduleLight(window), Light::Gray);
    QCOMPARE(child<QComboBox>(&window, "comboBoxSlot")->count(), 0);
    QCOMPARE(moduleWidgetsEnabled(window), (QList<bool>{false, false, false, false}));
    QVERIFY(!benchstatus::opened(vekd, "4B210736", 3));
    QCOMPARE(window.engineObject()->selectedCrateIndex(), -1);
    QVERIFY(window.selectionAllowed());

    crates->setCurrentIndex(0);
    QCOMPARE(crateLight(window), Light::Green);
    QCOMPARE(moduleLight(window), Light::Green);
    QCOMPARE(items(child<QComboBox>(&window, "comboBoxSlot")), (QStringList{"Слот 3 - VEK72-1-8", "Слот 7 - VEK72-2-4"}));
    QCOMPARE(moduleWidgetsEnabled(window), (QList<bool>{true, true, true, true}));
    QVERIFY(benchstatus::opened(vekd, "4B210736", 3));
}

void TestMainWindowBench::secondSlotBecomesCurrent()
{
    VekdRunner vekd;
    QVERIFY(vekd.start());
    WorkingDirectory cwd;
    MainWindow window;
    window.show();
    QVERIFY(settled(window));

    child<QComboBox>(&window, "comboBoxSlot")->setCurrentIndex(1);
    QCOMPARE(window.engineObject()->selectedCrateIndex(), 0);
    QCOMPARE(window.engineObject()->selectedModuleIndex(), 1);
    QCOMPARE(moduleLight(window), Light::Green);
    QCOMPARE(crateLight(window), Light::Green);
    const QJsonObject status = benchstatus::status(vekd);
    QVERIFY(!benchstatus::module(status, "4B210736", 3).value("opened").toBool(true));
    QVERIFY(benchstatus::module(status, "4B210736", 7).value("opened").toBool());

    // A slot whose module cannot be opened: red module light, panels off, crate light as it was.
    QVERIFY(vekd.vekctl({"fault", "fail", "--crate", "4B210736", "--slot", "3", "--function", "VEK72_Open"}) == 0);
    child<QComboBox>(&window, "comboBoxSlot")->setCurrentIndex(0);
    QCOMPARE(moduleLight(window), Light::Red);
    QCOMPARE(crateLight(window), Light::Green);
    QCOMPARE(moduleWidgetsEnabled(window), (QList<bool>{false, false, false, false}));
    QCOMPARE(window.engineObject()->selectedCrateIndex(), -1);
}

void TestMainWindowBench::firstCrateWithoutUsableModule()
{
    VekdRunner vekd;
    QVERIFY(vekd.start());
    WorkingDirectory cwd;
    MainWindow window;
    window.show();
    QVERIFY(settled(window));

    // As a discovery does, release the module first. Then a crate the service does not know (its
    // modules cannot be opened), one without modules, and the bench crate.
    QVERIFY(window.engineObject()->closeModule());
    QList<Engine::Crate>& engineList = window.engineObject()->crateList();
    engineList = {crateOf("GONE", {2, 4}), crateOf("4B210751", {}), crateOf("4B210736", {3, 7})};
    QList<Engine::Crate> delivered = engineList;
    window.readyCrate(delivered);

    // The selectors show the crate that is current and only its slots.
    auto* crates = child<QComboBox>(&window, "comboBoxCrate");
    QCOMPARE(items(crates), (QStringList{"GONE", "4B210751", "4B210736"}));
    QCOMPARE(crates->currentIndex(), 2);
    QCOMPARE(items(child<QComboBox>(&window, "comboBoxSlot")), (QStringList{"Слот 3 - VEK72-1-8", "Слот 7 - VEK72-1-8"}));
    QCOMPARE(window.engineObject()->selectedCrateIndex(), 2);
    QCOMPARE(window.engineObject()->selectedModuleIndex(), 0);
    QCOMPARE(crateLight(window), Light::Green);
    QCOMPARE(moduleLight(window), Light::Green);
    QCOMPARE(moduleWidgetsEnabled(window), (QList<bool>{true, true, true, true}));
    QVERIFY(benchstatus::opened(vekd, "4B210736", 3));
    QVERIFY(window.selectionAllowed());

    // Choosing the second slot now acts on the crate shown.
    child<QComboBox>(&window, "comboBoxSlot")->setCurrentIndex(1);
    QCOMPARE(window.engineObject()->selectedCrateIndex(), 2);
    QCOMPARE(window.engineObject()->selectedModuleIndex(), 1);
    QVERIFY(benchstatus::opened(vekd, "4B210736", 7));
}

void TestMainWindowBench::noCrateYieldsUsableModule()
{
    VekdRunner vekd;
    QVERIFY(vekd.start());
    WorkingDirectory cwd;
    MainWindow window;
    window.show();
    QVERIFY(settled(window));

    QVERIFY(window.engineObject()->closeModule());
    QList<Engine::Crate>& engineList = window.engineObject()->crateList();
    engineList = {crateOf("4B210751", {}), crateOf("GONE", {2, 4}), crateOf("LOST", {9}), crateOf("4B210700", {})};
    QList<Engine::Crate> delivered = engineList;
    window.readyCrate(delivered);

    // The first crate with modules is shown with its slots only; no module is current.
    auto* crates = child<QComboBox>(&window, "comboBoxCrate");
    QCOMPARE(crates->currentIndex(), 1);
    QCOMPARE(items(child<QComboBox>(&window, "comboBoxSlot")), (QStringList{"Слот 2 - VEK72-1-8", "Слот 4 - VEK72-1-8"}));
    QCOMPARE(crateLight(window), Light::Green);
    QCOMPARE(moduleLight(window), Light::Red);
    QCOMPARE(moduleWidgetsEnabled(window), (QList<bool>{false, false, false, false}));
    QCOMPARE(window.engineObject()->selectedCrateIndex(), -1);
    QVERIFY(window.selectionAllowed());
}

void TestMainWindowBench::emptyListAfterUpdate()
{
    VekdRunner vekd;
    QVERIFY(vekd.start());
    WorkingDirectory cwd;
    MainWindow window;
    window.show();
    QVERIFY(settled(window));
    QCOMPARE(crateLight(window), Light::Green);

    // The service goes away and comes back without crates.
    vekd.stop();
    VekdRunner empty;
    QVERIFY(empty.start(R"({"crates": []})"));
    child<QAbstractButton>(&window, "pushButtonUpdate")->click();
    QVERIFY(!window.selectionAllowed());
    QVERIFY(settled(window));
    QCOMPARE(child<QComboBox>(&window, "comboBoxCrate")->count(), 0);
    QCOMPARE(child<QComboBox>(&window, "comboBoxSlot")->count(), 0);
    QCOMPARE(crateLight(window), Light::Green);
    QCOMPARE(moduleLight(window), Light::Gray);
    QCOMPARE(moduleWidgetsEnabled(window), (QList<bool>{false, false, false, false}));
    QCOMPARE(window.engineObject()->crateList().size(), 0);
}

void TestMainWindowBench::updatePressedRepeatedly()
{
    VekdRunner vekd;
    QVERIFY(vekd.start());
    WorkingDirectory cwd;
    MainWindow window;
    window.show();
    // Presses while the first discovery is still out, and more after it: none waits.
    auto* update = child<QAbstractButton>(&window, "pushButtonUpdate");
    for (int press = 0; press < 3; ++press)
        update->click();
    QVERIFY(!window.selectionAllowed());
    QVERIFY(settled(window));
    for (int press = 0; press < 2; ++press) {
        update->click();
        QVERIFY(!window.selectionAllowed());
        QCoreApplication::processEvents();
    }
    QVERIFY(settled(window));
    QCOMPARE(items(child<QComboBox>(&window, "comboBoxCrate")), (QStringList{"4B210736", "4B210751"}));
    QCOMPARE(moduleLight(window), Light::Green);
    QCOMPARE(window.engineObject()->selectedCrateIndex(), 0);
    QVERIFY(benchstatus::opened(vekd, "4B210736", 3));
    QVERIFY(criticals().isEmpty());
}

void TestMainWindowBench::closingWhileModulePlays()
{
    VekdRunner vekd;
    QVERIFY(vekd.start());
    const int baseline = benchstatus::connections(benchstatus::status(vekd));
    WorkingDirectory cwd;
    MainWindow window;
    window.show();
    QVERIFY(settled(window));

    // Channel 1 at a constant 500 mV, so that the outputs are not at zero while the module plays.
    QWidget* controls = child<QWidget>(&window, "widgetModuleControls");
    auto* type = child<QComboBox>(controls, "comboBoxVoltageTypeCh1");
    type->setCurrentIndex(type->findText(QStringLiteral("DC")));
    auto* range = child<QComboBox>(controls, "comboBoxRangeCh1");
    range->setCurrentIndex(range->findText(QStringLiteral("7 В")));
    child<QSpinBox>(controls, "spinBoxVoltageCh1")->setValue(500);

    // Start output with the panel's start button and wait until the module plays.
    auto* startStop = child<QAbstractButton>(child<QWidget>(&window, "widgetModuleSettings"), "pushButtonStartStop");
    QVERIFY(startStop);
    startStop->click();
    bool plays = false;
    QVERIFY2(QTest::qWaitFor([&]() {
        const QJsonObject module = benchstatus::module(benchstatus::status(vekd), "4B210736", 3);
        plays = module.value("running").toBool() && !benchstatus::outputsAtZero(module);
        return plays || !criticals().isEmpty();
    }, 20000), "the module neither played nor reported an error");
    QVERIFY2(plays, qPrintable(criticals().join(QLatin1Char('\n'))));

    SignalCounter stopped(window.engineObject(), &Engine::stopped);
    Engine* engine = window.engineObject();
    EmissionProbe<bool> moduleThreadEnded(engine, &Engine::stopped,
                                          [engine] { return engine->moduleWorkerThread()->isFinished(); });
    QVERIFY(window.close());
    QCOMPARE(stopped.count(), 1);
    QVERIFY(moduleThreadEnded.first(false));
    QVERIFY(window.engineObject()->thread()->isFinished());
    QVERIFY(infos().contains(QStringLiteral("Завершение работы")));

    const QJsonObject status = benchstatus::status(vekd);
    const QJsonObject module = benchstatus::module(status, "4B210736", 3);
    QVERIFY(!module.value("running").toBool(true));
    QVERIFY(!module.value("opened").toBool(true));
    QVERIFY(benchstatus::outputsAtZero(module));
    QVERIFY(QTest::qWaitFor([&]() { return benchstatus::connections(benchstatus::status(vekd)) == baseline; }, 5000));
}

void TestMainWindowBench::closingWithModuleOpen()
{
    VekdRunner vekd;
    QVERIFY(vekd.start());
    const int baseline = benchstatus::connections(benchstatus::status(vekd));
    WorkingDirectory cwd;
    MainWindow window;
    window.show();
    QVERIFY(settled(window));
    QVERIFY(benchstatus::opened(vekd, "4B210736", 3));
    QVERIFY(benchstatus::connections(benchstatus::status(vekd)) > baseline);

    Engine* engine = window.engineObject();
    VekdRunner* service = &vekd;
    EmissionProbe<QStringList> order(engine, &Engine::stopped, [engine, service] {
        QStringList seen{QStringLiteral("stopped")};
        if (engine->moduleWorkerThread()->isFinished())
            seen.append(QStringLiteral("module thread ended"));
        if (!benchstatus::opened(*service, "4B210736", 3))
            seen.append(QStringLiteral("module closed"));
        return seen;
    });
    QVERIFY(window.close());
    QCOMPARE(order.first({}), (QStringList{"stopped", "module thread ended", "module closed"}));
    QVERIFY(engine->thread()->isFinished());
    QVERIFY(!window.isEnabled());

    const QJsonObject module = benchstatus::module(benchstatus::status(vekd), "4B210736", 3);
    QVERIFY(!module.value("opened").toBool(true));
    QVERIFY(benchstatus::outputsAtZero(module));
    QVERIFY(QTest::qWaitFor([&]() { return benchstatus::connections(benchstatus::status(vekd)) == baseline; }, 5000));
    // The settings file was synced and still holds the program's groups.
    QVERIFY(cwd.iniBytes().contains("[Global]"));
}

QTEST_MAIN(TestMainWindowBench)
#include "tst_mainwindow_bench.moc"
