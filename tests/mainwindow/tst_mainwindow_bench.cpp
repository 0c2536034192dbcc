// The main window against a crate service simulator of the test's own: what the selectors and lights
// show for the bench, crate and slot choices, lists in which the first crate yields no usable
// module, an empty list, repeated discovery requests, and closing while the module plays.
#include <QtTest>

#include <QDoubleSpinBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QScrollArea>
#include <QScrollBar>
#include <QStatusBar>

#include "benchstatus.h"
#include "resources.h"
#include "vekdrunner.h"
#include "windowtestutil.h"

using namespace apptest;
using namespace windowtest;

namespace {

const QStringList benchSlots{"Слот 3 - VEK72-1-8", "Слот 7 - VEK72-2-4"};

// The simulator's built-in bench and a main window against it.
struct Bench
{
    VekdRunner vekd;
    const bool serviceUp = vekd.start();
    WindowInDirectory in;
    MainWindow& window = *in.window;
    QComboBox* const crates = child<QComboBox>(&window, "comboBoxCrate");
    QComboBox* const slotBox = child<QComboBox>(&window, "comboBoxSlot");

    // Shows the window and waits for its first discovery to be handled.
    bool showSettled()
    {
        window.show();
        return serviceUp && settled(window);
    }
    bool opened(int slot) { return benchstatus::opened(vekd, QStringLiteral("4B210736"), slot); }
    QJsonObject module(int slot) { return benchstatus::module(benchstatus::status(vekd), QStringLiteral("4B210736"), slot); }
    int connections() { return benchstatus::connections(benchstatus::status(vekd)); }
};

} // namespace

Q_DECLARE_METATYPE(QList<Engine::Crate>)

class TestMainWindowBench : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init() { clearMessages(); }

    void builtInBenchThroughRepeatedUpdates();
    void crateAndSlotChoices();
    void listWithoutUsableFirstCrate_data();
    void listWithoutUsableFirstCrate();
    void emptyListAfterUpdate();
    void closingWhileModulePlays();
    void absurdFrequencyAccuracyKeepsTheFrequency();
    void laptopScreenShowsEveryField_data();
    void laptopScreenShowsEveryField();
};

void TestMainWindowBench::initTestCase()
{
    initStendixResources();
    installMessageCapture();
}

void TestMainWindowBench::builtInBenchThroughRepeatedUpdates()
{
    Bench b;
    auto* update = child<QAbstractButton>(&b.window, "pushButtonUpdate");
    // Presses while the first discovery is still out, and more after it: none waits, and the last
    // list makes the first module current.
    QVERIFY(b.serviceUp);
    b.window.show();
    for (int round = 0; round < 2; ++round) {
        for (int press = 0; press < 3; ++press) {
            update->click();
            QCoreApplication::processEvents();
        }
        QVERIFY(!b.window.selectionAllowed());
        QVERIFY(settled(b.window));
        QCOMPARE(items(b.crates), (QStringList{"4B210736", "4B210751"}));
        QCOMPARE(items(b.slotBox), benchSlots);
        QCOMPARE(b.slotBox->currentIndex(), 0);
        QCOMPARE(shown(b.window), QStringLiteral("green green on"));
        QCOMPARE(selection(b.window), QPoint(0, 0));
        QVERIFY(b.opened(3));
        QVERIFY(criticals().isEmpty());
    }
    // The selectors show their longest items in full.
    QTRY_VERIFY(b.crates->width() >= b.crates->sizeHint().width());
    QTRY_VERIFY(b.slotBox->width() >= b.slotBox->sizeHint().width());
}

void TestMainWindowBench::crateAndSlotChoices()
{
    Bench b;
    QVERIFY(b.showSettled());

    b.slotBox->setCurrentIndex(1);
    QCOMPARE(selection(b.window), QPoint(0, 1));
    QCOMPARE(shown(b.window), QStringLiteral("green green on"));
    QVERIFY(!b.opened(3));
    QVERIFY(b.opened(7));

    // The crate without modules: red crate light, no slots, nothing open or current.
    b.crates->setCurrentIndex(1);
    QCOMPARE(shown(b.window), QStringLiteral("red gray off"));
    QCOMPARE(b.slotBox->count(), 0);
    QVERIFY(!b.opened(7));
    QCOMPARE(selection(b.window), QPoint(-1, -1));
    QVERIFY(b.window.selectionAllowed());

    b.crates->setCurrentIndex(0);
    QCOMPARE(shown(b.window), QStringLiteral("green green on"));
    QCOMPARE(items(b.slotBox), benchSlots);
    QVERIFY(b.opened(3));

    // A slot whose module cannot be opened: red module light, panels off, crate light as it was.
    b.slotBox->setCurrentIndex(1);
    QCOMPARE(b.vekd.vekctl({"fault", "fail", "--crate", "4B210736", "--slot", "3", "--function", "VEK72_Open"}), 0);
    b.slotBox->setCurrentIndex(0);
    QCOMPARE(shown(b.window), QStringLiteral("green red off"));
    QCOMPARE(selection(b.window), QPoint(-1, -1));
}

void TestMainWindowBench::listWithoutUsableFirstCrate_data()
{
    QTest::addColumn<QList<Engine::Crate>>("list");
    QTest::addColumn<int>("crateShown");
    QTest::addColumn<QStringList>("slotsShown");
    QTest::addColumn<QString>("lights");
    QTest::addColumn<int>("openedSlot");          // 0: no module current

    // A crate the service does not know (its modules cannot be opened), one without modules, and the
    // bench crate: the selectors show the crate that is current, and only its slots.
    QTest::newRow("usable crate last")
        << QList<Engine::Crate>{crateOf("GONE", {2, 4}), crateOf("4B210751", {}), crateOf("4B210736", {3, 7})} << 2
        << QStringList{"Слот 3 - VEK72-1-8", "Слот 7 - VEK72-1-8"} << "green green on" << 3;
    // No crate yields a usable module: the first crate with modules is shown, with its slots only.
    QTest::newRow("none usable")
        << QList<Engine::Crate>{crateOf("4B210751", {}), crateOf("GONE", {2, 4}), crateOf("LOST", {9}), crateOf("4B210700", {})}
        << 1 << QStringList{"Слот 2 - VEK72-1-8", "Слот 4 - VEK72-1-8"} << "green red off" << 0;
}

void TestMainWindowBench::listWithoutUsableFirstCrate()
{
    QFETCH(QList<Engine::Crate>, list);
    QFETCH(int, crateShown);
    QFETCH(QStringList, slotsShown);
    QFETCH(QString, lights);
    QFETCH(int, openedSlot);
    Bench b;
    QVERIFY(b.showSettled());

    // As a discovery does, release the module first; then hand the window the list.
    QVERIFY(b.window.engineObject()->closeModule());
    b.window.engineObject()->crateList() = list;
    b.window.readyCrate(list);

    QCOMPARE(b.crates->count(), list.size());
    QCOMPARE(b.crates->currentIndex(), crateShown);
    QCOMPARE(b.crates->currentText(), list[crateShown].crateSerial);
    QCOMPARE(items(b.slotBox), slotsShown);
    QCOMPARE(shown(b.window), lights);
    QVERIFY(b.window.selectionAllowed());
    if (openedSlot == 0) {
        QCOMPARE(selection(b.window), QPoint(-1, -1));
        return;
    }
    QCOMPARE(selection(b.window), QPoint(crateShown, 0));
    QVERIFY(b.opened(openedSlot));
    // Choosing the second slot now acts on the crate shown.
    b.slotBox->setCurrentIndex(1);
    QCOMPARE(selection(b.window), QPoint(crateShown, 1));
}

void TestMainWindowBench::emptyListAfterUpdate()
{
    Bench b;
    QVERIFY(b.showSettled());
    // The service goes away and comes back without crates.
    b.vekd.stop();
    VekdRunner empty;
    QVERIFY(empty.start(R"({"crates": []})"));
    child<QAbstractButton>(&b.window, "pushButtonUpdate")->click();
    QVERIFY(settled(b.window));
    QCOMPARE(b.crates->count(), 0);
    QCOMPARE(b.slotBox->count(), 0);
    // No crate: the crate light is not left green for the crate that went.
    QCOMPARE(shown(b.window), QStringLiteral("gray gray off"));
}

void TestMainWindowBench::closingWhileModulePlays()
{
    Bench b;
    const int baseline = b.connections();
    QVERIFY(b.showSettled());

    // Channel 1 at a constant 500 mV, so that the outputs are not at zero while the module plays.
    QWidget* controls = child<QWidget>(&b.window, "widgetModuleControls");
    auto* type = child<QComboBox>(controls, "comboBoxVoltageTypeCh1");
    type->setCurrentIndex(type->findText(QStringLiteral("DC")));
    auto* range = child<QComboBox>(controls, "comboBoxRangeCh1");
    range->setCurrentIndex(range->findText(QStringLiteral("7 В")));
    child<QSpinBox>(controls, "spinBoxVoltageCh1")->setValue(500);
    // Start output with the panel's start button and wait until the module plays.
    child<QAbstractButton>(child<QWidget>(&b.window, "widgetModuleSettings"), "pushButtonStartStop")->click();
    bool plays = false;
    QVERIFY2(QTest::qWaitFor([&]() {
        const QJsonObject module = b.module(3);
        plays = module.value("running").toBool() && !benchstatus::outputsAtZero(module);
        return plays || !criticals().isEmpty();
    }, 20000), "the module neither played nor reported an error");
    QVERIFY2(plays, qPrintable(criticals().join(QLatin1Char('\n'))));

    // When the engine reports it has stopped, the module thread has ended and the module is closed.
    Engine* engine = b.window.engineObject();
    Bench* bench = &b;
    EmissionProbe<QStringList> atStopped(engine, &Engine::stopped, [engine, bench] {
        QStringList seen;
        if (engine->moduleWorkerThread()->isFinished())
            seen.append(QStringLiteral("module thread ended"));
        if (!bench->opened(3))
            seen.append(QStringLiteral("module closed"));
        return seen;
    });
    SignalCounter stopped(engine, &Engine::stopped);
    QVERIFY(b.window.close());
    QCOMPARE(stopped.count(), 1);
    QCOMPARE(atStopped.first({QStringLiteral("no stopped()")}), (QStringList{"module thread ended", "module closed"}));
    QVERIFY(engine->thread()->isFinished());

    // The module stands still at 0 V, every connection of the program is gone, the settings were kept.
    const QJsonObject module = b.module(3);
    QVERIFY(!module.value("running").toBool(true));
    QVERIFY(!module.value("opened").toBool(true));
    QVERIFY(benchstatus::outputsAtZero(module));
    QVERIFY(QTest::qWaitFor([&]() { return b.connections() == baseline; }, 5000));
    QVERIFY(b.in.cwd.iniBytes().contains("[Global]"));
}

// "AccuracyFreq=400" in the settings file is used as 6 decimals: the frequency the module achieves
// is written back to the field as it is (rounded to 10^400, an infinity, it became 1 Hz and stayed so).
void TestMainWindowBench::absurdFrequencyAccuracyKeepsTheFrequency()
{
    VekdRunner vekd;
    QVERIFY(vekd.start());
    WindowInDirectory in({{QStringLiteral("VEK72/AccuracyFreq"), QStringLiteral("400")}});
    MainWindow& window = *in.window;
    window.show();
    QVERIFY(settled(window));
    QWidget* settingsPanel = child<QWidget>(&window, "widgetModuleSettings");
    auto* rate = child<QComboBox>(settingsPanel, "comboBoxDacFreq");
    rate->setCurrentIndex(rate->findText(QStringLiteral("48 кГц")));
    QWidget* controls = child<QWidget>(&window, "widgetModuleControls");
    auto* type = child<QComboBox>(controls, "comboBoxVoltageTypeCh1");
    type->setCurrentIndex(type->findText(QStringLiteral("AC")));
    auto* range = child<QComboBox>(controls, "comboBoxRangeCh1");
    range->setCurrentIndex(range->findText(QStringLiteral("7 В")));
    child<QSpinBox>(controls, "spinBoxVoltageCh1")->setValue(1000);
    auto* frequency = child<QDoubleSpinBox>(controls, "doubleSpinBoxFrequencyCh1");
    frequency->setValue(1234.567);
    child<QAbstractButton>(settingsPanel, "pushButtonStartStop")->click();
    QVERIFY(QTest::qWaitFor([&]() { return benchstatus::module(benchstatus::status(vekd), QStringLiteral("4B210736"), 3)
                                               .value("running").toBool(); }, 20000));
    // 1234.567 Hz does not fit a page in whole periods at 48 kHz; the nearest that does is shown.
    QTRY_COMPARE_WITH_TIMEOUT(frequency->text(), QStringLiteral("1234.566912"), 10000);
    QVERIFY2(criticals().isEmpty(), qPrintable(criticals().join(QLatin1Char('\n'))));
    QVERIFY(window.close());
}

void TestMainWindowBench::laptopScreenShowsEveryField_data()
{
    QTest::addColumn<bool>("custom");
    QTest::newRow("custom signals off") << false;
    QTest::newRow("custom signals on") << true;
}

// The window's promise: on a laptop screen of 1366x768 with a title bar and a taskbar, a client area
// of 1366x690, at a desktop's default font, every field of the module's panels is in view without
// scrolling: with the VEK72-1-8 open, its rate label filled, and with custom signals on, their group
// at the six rows it is planned to have.
void TestMainWindowBench::laptopScreenShowsEveryField()
{
    QFETCH(bool, custom);
    DesktopFont font;
    VekdRunner vekd;
    QVERIFY(vekd.start());
    WindowInDirectory in({{QStringLiteral("VEK72/EnableCustomSignals"), custom}});
    MainWindow& window = *in.window;
    window.show();
    QVERIFY(settled(window));
    QCOMPARE(shown(window), QStringLiteral("green green on"));

    QWidget* settingsPanel = child<QWidget>(&window, "widgetModuleSettings");
    auto* customGroup = child<QGroupBox>(settingsPanel, "groupBoxCustom");
    QCOMPARE(customGroup->isVisibleTo(&window), custom);
    child<QLabel>(settingsPanel, "labelOutputRate")->setText(QStringLiteral("192 кГц на канал"));
    // The custom group is planned with six rows (shape, amplitude, frequency, offset, phase, a
    // file to load); rows it does not have yet are stood in for by a field and a button.
    auto* grid = qobject_cast<QGridLayout*>(customGroup->layout());
    QVERIFY(grid);
    for (int row = grid->rowCount(); custom && row < 6; ++row) {
        grid->addWidget(new QPushButton(QStringLiteral("Загрузить…"), customGroup), row, 0);
        grid->addWidget(new QDoubleSpinBox(customGroup), row, 1);
        grid->addWidget(new QLabel(QStringLiteral("°"), customGroup), row, 2);
    }

    window.resize(1366, 690);
    QTRY_COMPARE(window.size(), QSize(1366, 690));
    auto* page = child<QScrollArea>(&window, "scrollAreaManual");
    auto* contents = child<QWidget>(&window, "scrollAreaManualContents");
    // Layouts settle through the event loop: the scroll bars go once they have.
    const bool noScrolling = QTest::qWaitFor([&]() {
        return !page->verticalScrollBar()->isVisible() && !page->horizontalScrollBar()->isVisible();
    }, 3000);
    const QString needs = QStringLiteral("the page asks for %1x%2, the window shows %3x%4")
                              .arg(contents->sizeHint().width()).arg(contents->sizeHint().height())
                              .arg(page->viewport()->width()).arg(page->viewport()->height());
    QVERIFY2(noScrolling, qPrintable(needs));
    // Every field, label and button of both panels lies whole inside the page's view.
    int seen = 0;
    for (QWidget* widget : contents->findChildren<QWidget*>()) {
        if (!widget->isVisibleTo(&window) || widget->isWindow())
            continue;
        const QRect at(widget->mapTo(page->viewport(), QPoint(0, 0)), widget->size());
        QVERIFY2(page->viewport()->rect().contains(at), qPrintable(widget->objectName() + QLatin1Char(' ') + needs));
        ++seen;
    }
    QVERIFY(seen > 8 * 14);
    QVERIFY(window.rect().contains(window.statusBar()->geometry()));
}

QTEST_MAIN(TestMainWindowBench)
#include "tst_mainwindow_bench.moc"
