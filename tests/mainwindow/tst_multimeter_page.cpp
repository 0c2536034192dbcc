// The window's multimeter against the simulated multimeter of a vekd of the test's own, its probe
// (or its scanner) on the outputs of the module the window plays: what the top row and the group
// show, the readings following what a channel plays, the scanner's input, the meter lost once and
// found by "Обновить", a meter that is not there, the options' address and decimals, and a window
// that closes while the meter hangs. Without an address the window shows nothing of a multimeter.
#include <QtTest>

#include <QGroupBox>
#include <QLineEdit>
#include <QRadioButton>
#include <QTcpServer>

#include "benchstatus.h"
#include "module.h"
#include "multimeterpage.h"
#include "resources.h"
#include "threads.h"
#include "vekdrunner.h"
#include "windowtestutil.h"

using namespace apptest;
using namespace windowtest;

namespace {

constexpr double kSpeed = 10; // the meter's readings take a tenth of their time

// A window whose settings name the simulated multimeter of its own vekd, the probe on output 1 of
// the module in slot 3 (or the scanner on that slot's outputs).
struct MeterBench
{
    VekdRunner vekd;
    const bool up;
    WindowInDirectory in;
    MainWindow& window = *in.window;

    explicit MeterBench(bool scanner = false, const QString& address = QString(), double speed = kSpeed)
        : up(vekd.startWithMultimeter(speed)),
          in(QVariantMap{{"Multimeter/Address", address.isEmpty() ? vekd.dmmAddress() : address},
                         {"Multimeter/Scanner", scanner}})
    {
    }

    bool showSettled(const QStringList& wiring = {"--channel", "1"})
    {
        if (!up || vekd.vekctl(QStringList{"probe", "--crate", "4B210736", "--slot", "3"} + wiring) != 0)
            return false;
        window.show();
        return settled(window);
    }
    // The window's own widgets (the options dialog has a "groupBoxMultimeter" too).
    template <typename T>
    T* widget(const char* name) { return child<T>(window.centralWidget(), name); }
    QString light() { return lightOf(widget<QLabel>("labelMultimeterLed")); }
    QString reading() { return widget<QLineEdit>("lineEditMeasureResult")->text(); }
    // The value shown, NaN when none.
    double value()
    {
        bool ok = false;
        const double v = QLocale().toDouble(reading(), &ok);
        return ok ? v : std::nan("");
    }
    // Sets a channel as remote control does (from a thread of its own) and waits until the module
    // plays it.
    bool set(const QList<QPair<QString, QVariant>>& settings, int channel = 1)
    {
        Module* module = window.engineObject()->moduleObject();
        QList<int> results;
        runOnOtherThread([&] {
            // As a remote command line makes them: each change after what the one before set off,
            // and the output restarted once at the end when it runs.
            module->holdRestarts(true);
            for (const auto& s : settings) {
                results << int(module->changeSetting(s.first, s.first == "output" ? 0 : channel, s.second));
                module->settle(10000);
            }
            module->holdRestarts(false);
            module->settle(10000);
        });
        return results == QVector<int>(settings.size(), int(Module::SettingResult::Done)).toList();
    }
    QJsonObject meter() { return benchstatus::status(vekd)["dmm"].toObject(); }
};

// ±(% of reading + % of range): the published 1-year figures of that class of meter.
double allowed(double reading, double range, double readingPct, double rangePct)
{
    return readingPct / 100 * std::fabs(reading) + rangePct / 100 * range;
}

} // namespace

class TestMultimeterPage : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init() { clearMessages(); }

    void nothingWithoutAnAddress();
    void readsWhatTheChannelPlays();
    void scannerInputChoosesTheOutput();
    void lostOnceAndFoundByUpdate_data();
    void lostOnceAndFoundByUpdate();
    void meterNotThereAtStart_data();
    void meterNotThereAtStart();
    void optionsShowAddressAndDecimals();
    void closesWhileTheMeterHangs();
    void randomChoicesAgainstAModel();
};

void TestMultimeterPage::initTestCase()
{
    initStendixResources();
    installMessageCapture();
}

void TestMultimeterPage::nothingWithoutAnAddress()
{
    WindowInDirectory in;
    in.window->show();
    for (const char* name : {"widgetMultimeterConnection", "groupBoxMultimeter"})
        QVERIFY2(!child<QWidget>(in.window->centralWidget(), name)->isVisible(), name);
    bool groupShown = true;
    QVERIFY(runOptionsDialog(*in.window, [&](QDialog* dialog) {
        groupShown = child<QGroupBox>(dialog, "groupBoxMultimeter")->isVisible();
        dialogButton(dialog, QDialogButtonBox::Ok)->click();
    }));
    QVERIFY(!groupShown);
    // Nothing of a multimeter goes into the settings either.
    QVERIFY(!in.cwd.iniBytes().contains("Multimeter"));
}

void TestMultimeterPage::readsWhatTheChannelPlays()
{
    MeterBench b;
    QVERIFY(b.showSettled());
    QTRY_COMPARE_WITH_TIMEOUT(b.light(), QString("green"), 10000);
    QVERIFY(b.widget<QWidget>("widgetMultimeterConnection")->isVisible());
    QVERIFY(b.widget<QGroupBox>("groupBoxMultimeter")->isEnabled());
    QCOMPARE(b.widget<QLabel>("labelMultimeter")->text(), QString("Мультиметр Keysight 34465A"));
    QCOMPARE(b.widget<QLabel>("labelMultimeter")->toolTip(), QString("Keysight Technologies,34465A,VEKD000072,SIM.01.00"));
    QVERIFY(!b.widget<QComboBox>("comboBoxMultimeterInput")->isVisible());
    QCOMPARE(b.reading(), QString());

    // Each step: what channel 1 plays, the function chosen (and AC filter), then what is shown.
    struct Step
    {
        const char* what;
        QList<QPair<QString, QVariant>> channel;
        const char* function;
        QString filter;
        double expected;
        double tolerance; // the meter's accuracy, and half a step of the module's 16-bit DAC
        QString unit;
    };
    const double dacStep = 20.0 / 65535;
    const QList<Step> steps{
        {"DC 2.5 V", {{"enabled", true}, {"function", "DC"}, {"range", "FULL"}, {"voltage", 2.5}, {"output", true}}, "radioButtonMeasureDC", "",
         2.5, allowed(2.5, 10, 0.0030, 0.0005) + dacStep / 2, "В"},
        {"changed to -1.2 V", {{"voltage", -1.2}}, "radioButtonMeasureDC", "", -1.2, allowed(1.2, 10, 0.0030, 0.0005) + dacStep / 2, "В"},
        {"AC 1 V RMS at 1 kHz", {{"function", "AC"}, {"voltage", 1.0}, {"frequency", 1000.0}}, "radioButtonMeasureAC", "> 20 Гц",
         1.0, allowed(1, 1, 0.06, 0.03) + 0.0002, "В (СКЗ)"},
        {"the fast filter", {}, "radioButtonMeasureAC", "> 200 Гц", 1.0, allowed(1, 1, 0.06, 0.03) + 0.0002, "В (СКЗ)"},
        {"changed to 0.5 V RMS", {{"voltage", 0.5}}, "radioButtonMeasureAC", "> 200 Гц", 0.5, allowed(0.5, 1, 0.06, 0.03) + 0.0002,
         "В (СКЗ)"},
        {"its frequency", {}, "radioButtonMeasureFreq", "", 1000.0, allowed(1000, 0, 0.01, 0), "Гц"},
        {"changed to 250 Hz", {{"frequency", 250.0}}, "radioButtonMeasureFreq", "", 250.0, allowed(250, 0, 0.01, 0), "Гц"},
    };
    for (const Step& step : steps) {
        QVERIFY2(b.set(step.channel), step.what);
        b.widget<QRadioButton>(step.function)->click();
        if (!step.filter.isEmpty())
            b.widget<QComboBox>("comboBoxACFilter")->setCurrentText(step.filter);
        const double expected = step.expected;
        const bool shown = QTest::qWaitFor([&] { return std::fabs(b.value() - expected) <= step.tolerance; }, 15000);
        QVERIFY2(shown, qPrintable(QString("%1: shown \"%2\", expected %3 ± %4").arg(step.what, b.reading()).arg(expected).arg(step.tolerance)));
        QCOMPARE(b.widget<QLabel>("labelMeasureUnitResult")->text(), step.unit);
        QCOMPARE(b.widget<QComboBox>("comboBoxACFilter")->isEnabled(), step.unit == "В (СКЗ)");
    }
    // Off: nothing shown, and the meter is asked for no more readings.
    b.widget<QRadioButton>("radioButtonMeasureOff")->click();
    QCOMPARE(b.reading(), QString());
    QCOMPARE(b.widget<QLabel>("labelMeasureUnitResult")->text(), QString());
    QVERIFY(criticals().isEmpty());
}

void TestMultimeterPage::scannerInputChoosesTheOutput()
{
    MeterBench b(true);
    QVERIFY(b.showSettled({"--scanner"}));
    QTRY_COMPARE_WITH_TIMEOUT(b.light(), QString("green"), 10000);
    auto* input = b.widget<QComboBox>("comboBoxMultimeterInput");
    QVERIFY(input->isVisible());
    QCOMPARE(items(input), (QStringList{"1", "2", "3", "4", "5", "6", "7", "8"}));
    QVERIFY(b.set({{"enabled", true}, {"function", "DC"}, {"range", "FULL"}, {"voltage", 1.0}}, 1));
    QVERIFY(b.set({{"enabled", true}, {"function", "DC"}, {"range", "FULL"}, {"voltage", 2.0}, {"output", true}}, 2));
    b.widget<QRadioButton>("radioButtonMeasureDC")->click();
    const double dacStep = 20.0 / 65535;
    for (int output : {2, 1, 2, 3}) {
        input->setCurrentIndex(output - 1);
        const double expected = output == 3 ? 0.0 : output;
        QVERIFY2(QTest::qWaitFor([&] { return std::fabs(b.value() - expected) <= allowed(expected, 10, 0.0030, 0.0005) + dacStep; }, 15000),
                 qPrintable(QString("input %1: shown \"%2\", played %3").arg(output).arg(b.reading()).arg(expected)));
        QCOMPARE(b.meter()["closedChannel"].toInt(), 100 + output);
    }
}

void TestMultimeterPage::lostOnceAndFoundByUpdate_data()
{
    QTest::addColumn<QStringList>("fault");
    QTest::addColumn<QString>("message");
    QTest::newRow("hangs") << QStringList{"hang", "--target", "dmm"} << "не ответил за 1802 мс (READ?)";
    QTest::newRow("drops the connection") << QStringList{"drop", "--target", "dmm"} << "закрыл соединение";
    QTest::newRow("answers garbage") << QStringList{"garbage", "--target", "dmm"} << "ответил непонятно";
}

void TestMultimeterPage::lostOnceAndFoundByUpdate()
{
    QFETCH(QStringList, fault);
    QFETCH(QString, message);
    MeterBench b;
    QVERIFY(b.showSettled());
    QTRY_COMPARE_WITH_TIMEOUT(b.light(), QString("green"), 10000);
    b.widget<QRadioButton>("radioButtonMeasureDC")->click();
    QTRY_VERIFY_WITH_TIMEOUT(!b.reading().isEmpty(), 10000);

    QCOMPARE(b.vekd.vekctl(QStringList{"fault"} + fault), 0);
    QTRY_COMPARE_WITH_TIMEOUT(b.light(), QString("red"), 10000);
    QVERIFY(!b.widget<QGroupBox>("groupBoxMultimeter")->isEnabled());
    QCOMPARE(b.reading(), QString());
    // One message, naming the meter and what it did; the window stays usable meanwhile.
    QTRY_COMPARE_WITH_TIMEOUT(criticals().size(), 1, 5000);
    QVERIFY2(criticals().first().startsWith(QString("Потеряна связь: мультиметр %1 ").arg(b.vekd.dmmAddress())), qPrintable(criticals().first()));
    QVERIFY2(criticals().first().contains(message), qPrintable(criticals().first()));
    QVERIFY(b.window.isEnabled());

    // "Обновить" finds it again once it answers; readings go on with what the group shows.
    QCOMPARE(b.vekd.vekctl({"fault", "clear"}), 0);
    b.widget<QAbstractButton>("pushButtonUpdate")->click();
    QTRY_COMPARE_WITH_TIMEOUT(b.light(), QString("green"), 10000);
    QVERIFY(settled(b.window));
    QTRY_VERIFY_WITH_TIMEOUT(!b.reading().isEmpty(), 10000);
    QCOMPARE(criticals().size(), 1);
}

void TestMultimeterPage::meterNotThereAtStart_data()
{
    QTest::addColumn<QString>("address");  // "closed": a port nothing listens on
    QTest::addColumn<QString>("message");
    QTest::newRow("nothing listens") << "closed" << "Нет связи: мультиметр %1 недоступен (соединение не установлено)";
    QTest::newRow("not host:port") << "dmm-without-port" << "Нет связи: адрес мультиметра «%1» не в виде «узел:порт»";
}

void TestMultimeterPage::meterNotThereAtStart()
{
    QFETCH(QString, address);
    QFETCH(QString, message);
    if (address == "closed") {
        QTcpServer closed;
        QVERIFY(closed.listen(QHostAddress::LocalHost));
        address = QString("127.0.0.1:%1").arg(closed.serverPort());
    }
    MeterBench b(false, address);
    QVERIFY(b.showSettled());
    QTRY_COMPARE_WITH_TIMEOUT(b.light(), QString("red"), 10000);
    QTRY_COMPARE_WITH_TIMEOUT(criticals(), QStringList{message.arg(address)}, 5000);
    QVERIFY(!b.widget<QGroupBox>("groupBoxMultimeter")->isEnabled());
    QCOMPARE(b.widget<QLabel>("labelMultimeter")->toolTip(), address);
    // The crate's module is made current as ever.
    QCOMPARE(shown(b.window), QString("green green on"));
}

void TestMultimeterPage::optionsShowAddressAndDecimals()
{
    MeterBench b;
    QVERIFY(b.showSettled());
    QTRY_COMPARE_WITH_TIMEOUT(b.light(), QString("green"), 10000);
    QVERIFY(b.set({{"enabled", true}, {"function", "DC"}, {"range", "FULL"}, {"voltage", 2.5}, {"output", true}}));
    b.widget<QRadioButton>("radioButtonMeasureDC")->click();
    const QRegularExpression sixDecimals(QString("^\\d\\%1\\d{6}$").arg(QLocale().decimalPoint()));
    QTRY_VERIFY_WITH_TIMEOUT(sixDecimals.match(b.reading()).hasMatch(), 10000);

    QString address;
    bool readOnly = false;
    QVERIFY(runOptionsDialog(b.window, [&](QDialog* dialog) {
        QVERIFY(child<QGroupBox>(dialog, "groupBoxMultimeter")->isVisible());
        address = child<QLineEdit>(dialog, "lineEditMultimeterAddress")->text();
        readOnly = child<QLineEdit>(dialog, "lineEditMultimeterAddress")->isReadOnly();
        child<QSpinBox>(dialog, "spinBoxMultimeterAccuracyDC")->setValue(2);
        child<QSpinBox>(dialog, "spinBoxMultimeterAccuracyAC")->setValue(4);
        dialogButton(dialog, QDialogButtonBox::Ok)->click();
    }));
    QCOMPARE(address, b.vekd.dmmAddress());
    QVERIFY(readOnly);
    const QRegularExpression twoDecimals(QString("^\\d\\%1\\d{2}$").arg(QLocale().decimalPoint()));
    QTRY_VERIFY_WITH_TIMEOUT(twoDecimals.match(b.reading()).hasMatch(), 10000);
    QSettings ini(b.in.cwd.iniPath(), QSettings::IniFormat);
    QCOMPARE(ini.value("Multimeter/AccuracyDC").toInt(), 2);
    QCOMPARE(ini.value("Multimeter/AccuracyAC").toInt(), 4);
    QCOMPARE(ini.value("Multimeter/Address").toString(), b.vekd.dmmAddress());
}

void TestMultimeterPage::closesWhileTheMeterHangs()
{
    // At the meter's own speed the slow filter keeps it reading nearly all the time (2.5 s a reading,
    // one after the other): the meter hangs in the middle of one.
    MeterBench b(false, QString(), 1);
    QVERIFY(b.showSettled());
    QTRY_COMPARE_WITH_TIMEOUT(b.light(), QString("green"), 10000);
    b.widget<QRadioButton>("radioButtonMeasureAC")->click();
    b.widget<QComboBox>("comboBoxACFilter")->setCurrentText("> 3 Гц");
    QTRY_VERIFY_WITH_TIMEOUT(b.meter()["reading"].toBool(), 20000);
    QCOMPARE(b.vekd.vekctl({"fault", "hang", "--target", "dmm"}), 0);
    QVERIFY(b.window.close());
    // The worker's thread has ended: the meter's connection is gone.
    QTRY_COMPARE_WITH_TIMEOUT(b.meter()["clients"].toInt(), 0, 5000);
    QVERIFY(criticals().isEmpty());
}

void TestMultimeterPage::randomChoicesAgainstAModel()
{
    // The rules of the group as a plain model: the light and the group follow whether the meter
    // answers; the filter only for AC; the unit by function; a new choice clears the reading, and
    // the next reading shown is of what the group now asks (DC: the level of the input chosen).
    struct Model
    {
        bool connected = true;
        bool dropped = false; // the meter closed the connection while nothing was asked of it
        QString function = "Off";
        int input = 1;
        double level[9] = {0, 1.0, 2.0, -0.5, 0, 0, 0, 0, 0};
        QString unit() const { return function == "Off" ? "" : function == "AC" ? "В (СКЗ)" : function == "F" ? "Гц" : "В"; }
    } model;
    MeterBench b(true);
    QVERIFY(b.showSettled({"--scanner"}));
    QTRY_COMPARE_WITH_TIMEOUT(b.light(), QString("green"), 10000);
    for (int ch = 1; ch <= 3; ++ch)
        QVERIFY(b.set({{"enabled", true}, {"function", "DC"}, {"range", "FULL"}, {"voltage", model.level[ch]}}, ch));
    QVERIFY(b.set({{"output", true}}));
    const QMap<QString, const char*> radios{{"DC", "radioButtonMeasureDC"}, {"AC", "radioButtonMeasureAC"},
                                            {"F", "radioButtonMeasureFreq"}, {"Off", "radioButtonMeasureOff"}};
    const QStringList filters{"> 3 Гц", "> 20 Гц", "> 200 Гц"};
    QRandomGenerator random(quint32(qEnvironmentVariableIntValue("MULTIMETER_PAGE_SEED") ?: 2812));
    for (int step = 0; step < 30; ++step) {
        const int action = random.bounded(10);
        QString what;
        if (action < 8 && !model.connected) {
            // The group is disabled: the operator cannot choose anything in it.
            what = "nothing to choose";
            QVERIFY(!b.widget<QRadioButton>("radioButtonMeasureDC")->isEnabled());
        } else if (action < 4) {
            model.function = radios.keys().at(random.bounded(4));
            what = "function " + model.function;
            b.widget<QRadioButton>(radios.value(model.function))->click();
        } else if (action < 6) {
            what = "filter";
            // The slow filter only once in a while: its readings take a quarter of a second here.
            b.widget<QComboBox>("comboBoxACFilter")->setCurrentText(filters.at(random.bounded(10) == 0 ? 0 : 1 + random.bounded(2)));
        } else if (action < 8) {
            model.input = 1 + random.bounded(8);
            what = QString("input %1").arg(model.input);
            b.widget<QComboBox>("comboBoxMultimeterInput")->setCurrentIndex(model.input - 1);
        } else if (action == 8 && model.connected) {
            what = "the meter drops the connection";
            QCOMPARE(b.vekd.vekctl({"fault", "drop", "--target", "dmm"}), 0);
            // Noticed at the next exchange: at once while it reads, else when the group next asks.
            model.dropped = true;
        } else {
            what = "Обновить";
            b.widget<QAbstractButton>("pushButtonUpdate")->click();
            QCOMPARE(b.light(), QString("gray"));
            QTRY_COMPARE_WITH_TIMEOUT(b.light(), QString("green"), 10000);
            QVERIFY(settled(b.window));
            // "Обновить" stops the output the operator's way: every output at 0 V.
            for (double& level : model.level)
                level = 0;
            model.connected = true;
            model.dropped = false;
        }
        if (model.dropped && model.function != "Off") {
            QTRY_COMPARE_WITH_TIMEOUT(b.light(), QString("red"), 10000);
            model.connected = false;
            model.dropped = false;
        }
        const QString at = QString("step %1 (%2)").arg(step).arg(what);
        QVERIFY2(b.widget<QGroupBox>("groupBoxMultimeter")->isEnabled() == model.connected, qPrintable(at));
        QVERIFY2(b.widget<QComboBox>("comboBoxACFilter")->isEnabled() == (model.connected && model.function == "AC"), qPrintable(at));
        QVERIFY2(b.widget<QLabel>("labelMeasureUnitResult")->text() == model.unit(),
                 qPrintable(at + ": unit " + b.widget<QLabel>("labelMeasureUnitResult")->text()));
        if (!model.connected || model.function == "Off") {
            QVERIFY2(b.reading().isEmpty(), qPrintable(at));
            continue;
        }
        if (model.function == "DC") {
            const double expected = model.level[model.input];
            QVERIFY2(QTest::qWaitFor([&] { return std::fabs(b.value() - expected) <= allowed(expected, 10, 0.0030, 0.0005) + 0.0004; }, 10000),
                     qPrintable(at + QString(": shown \"%1\", expected %2").arg(b.reading()).arg(expected)));
        } else {
            QVERIFY2(QTest::qWaitFor([&] { return !b.reading().isEmpty(); }, 10000), qPrintable(at));
        }
        QCOMPARE(b.meter()["closedChannel"].toInt(), 100 + model.input);
    }
}

QTEST_MAIN(TestMultimeterPage)
#include "tst_multimeter_page.moc"
