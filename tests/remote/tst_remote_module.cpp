// The module's remote operations on its real panels against a crate service simulator, called from
// a thread of their own as the remote-control server calls them: a change goes through the
// control and the panel logic follows, within the control's real range and never clamped; a line's
// changes cause at most one restart; a settle waits for what they set off; a reset brings the panels
// back to what opening the module showed, with output stopped.
#include <QtTest>

#include "benchstatus.h"
#include "operatorbench.h"
#include "playedsignals.h"

namespace {

using Result = Module::SettingResult;

const char* resultName(Result r)
{
    switch (r) {
    case Result::Done: return "done";
    case Result::UnknownKey: return "unknown";
    case Result::OutOfRange: return "out";
    case Result::IllegalValue: return "illegal";
    case Result::SettingsConflict: return "conflict";
    case Result::NoModule: return "nomodule";
    case Result::NoAnswer: return "noanswer";
    }
    return "?";
}

// "key channel value" as the remote commands give it: booleans as "on"/"off", numbers as numbers.
QVariant valueOf(const QString& text)
{
    if (text == "on" || text == "off")
        return text == "on";
    bool isNumber = false;
    const double number = text.toDouble(&isNumber);
    return isNumber ? QVariant(number) : QVariant(text);
}

Result change(ModuleVek72& module, const QString& step)
{
    const QStringList words = step.split(' ');
    Result result = Result::NoAnswer;
    runOnOtherThread([&] { result = module.changeSetting(words.value(0), words.value(1).toInt(), valueOf(words.value(2))); });
    return result;
}

// The changes of one command line as a session makes them: restarts held, each change after what
// the one before set off; `release` false leaves the restarts held. The results, in order.
QStringList runLine(ModuleVek72& module, const QStringList& steps, bool release = true)
{
    QStringList results;
    runOnOtherThread([&] {
        module.holdRestarts(true);
        for (const QString& step : steps) {
            const QStringList words = step.split(' ');
            results << resultName(module.changeSetting(words.value(0), words.value(1).toInt(), valueOf(words.value(2))));
            module.settle(10000);
        }
        if (release)
            module.holdRestarts(false);
    });
    return results;
}

bool settle(ModuleVek72& module)
{
    bool settled = false;
    runOnOtherThread([&] { settled = module.settle(10000); });
    return settled;
}

// What a control shows: a field's text, a selector's item, a box's check state.
QString shown(const OperatorBench& bench, const QString& name)
{
    QWidget* w = bench.hosts.find<QWidget>(name.toLatin1().constData());
    if (auto* box = qobject_cast<QAbstractSpinBox*>(w))
        return box->text();
    if (auto* combo = qobject_cast<QComboBox*>(w))
        return combo->currentText();
    if (auto* group = qobject_cast<QGroupBox*>(w))
        return group->isChecked() ? "on" : "off";
    return "missing";
}

// Restarts the module object actually ran (each shows the wait box once).
// Output started or restarted (with a stop, or taking the new signals while it plays): each says
// what plays in one line.
struct RestartCounter
{
    std::atomic<int> count{0};
    explicit RestartCounter(ModuleVek72* module)
    {
        QObject::connect(module, &Module::statusMessage, module, [this](const QString& text) {
            count += text.startsWith(QStringLiteral("Генерация:")) || text.startsWith(QStringLiteral("Генерация изменена:"));
        }, Qt::DirectConnection);
    }
};

} // namespace

class TestRemoteModule : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { apptest::installMessageCapture(); }
    void changes_data();
    void changes();
    void oneRestartPerLine();
    void resetAsOpened();
    void refusedOnThreadsThatWouldWaitForThemselves();
};

void TestRemoteModule::changes_data()
{
    QTest::addColumn<int>("slot");           // 3: VEK72-1-8, 7: VEK72-2-4
    QTest::addColumn<bool>("custom");        // custom signals enabled
    QTest::addColumn<QStringList>("before"); // changes made first, each must be done
    QTest::addColumn<QString>("step");       // "key channel value"
    QTest::addColumn<QString>("result");
    QTest::addColumn<QStringList>("shows");  // "control=text" once settled

    const QStringList none;
    QTest::newRow("voltage within the full range")
        << 3 << false << QStringList{ "range 1 FULL" } << "voltage 1 1.5" << "done"
        << QStringList{ "spinBoxVoltageCh1=1500", "comboBoxRangeCh1=7 В" };
    QTest::newRow("voltage above the tenth range is refused, not clamped")
        << 3 << false << QStringList{ "voltage 1 0.5" } << "voltage 1 1.5" << "out" << QStringList{ "spinBoxVoltageCh1=500" };
    QTest::newRow("voltage to whole millivolts") << 3 << false << none << "voltage 2 0.2346" << "done"
                                                 << QStringList{ "spinBoxVoltageCh2=235" };
    QTest::newRow("negative AC voltage") << 3 << false << none << "voltage 1 -0.1" << "out" << QStringList{ "spinBoxVoltageCh1=0" };
    QTest::newRow("DC at the bottom of modification 1")
        << 3 << false << QStringList{ "function 1 DC", "range 1 FULL" } << "voltage 1 -10" << "done"
        << QStringList{ "spinBoxVoltageCh1=-10000", "comboBoxVoltageTypeCh1=DC" };
    QTest::newRow("DC below the bottom") << 3 << false << QStringList{ "function 1 DC", "range 1 FULL" } << "voltage 1 -10.001"
                                         << "out" << QStringList{ "spinBoxVoltageCh1=0" };
    QTest::newRow("DC of modification 2 above 10 V") << 7 << false << QStringList{ "function 2 DC" } << "voltage 2 15" << "done"
                                                     << QStringList{ "spinBoxVoltageCh2=15000" };
    QTest::newRow("offset of a DC channel") << 3 << false << QStringList{ "function 3 DC" } << "offset 3 1" << "conflict"
                                            << QStringList{ "doubleSpinBoxOffsetCh3=0.000" };
    QTest::newRow("frequency of a DC channel") << 3 << false << QStringList{ "function 3 DC" } << "frequency 3 50" << "conflict"
                                               << QStringList{ "doubleSpinBoxFrequencyCh3=1000.000" };
    QTest::newRow("offset of an AC channel, and the common field follows")
        << 3 << false << none << "offset 1 0.25" << "done"
        << QStringList{ "doubleSpinBoxOffsetCh1=0.250", "doubleSpinBoxOffset=0.250" };
    const QStringList allEight{ "enabled 2 on", "enabled 3 on", "enabled 4 on", "enabled 5 on", "enabled 6 on",
                                "enabled 7 on", "enabled 8 on" };
    QTest::newRow("frequency above the ceiling of 8 channels") << 3 << false << allEight << "frequency 1 40000" << "out"
                                                               << QStringList{ "doubleSpinBoxFrequencyCh1=1000.000" };
    QTest::newRow("frequency at the ceiling of 8 channels") << 3 << false << allEight << "frequency 8 31249" << "done"
                                                            << QStringList{ "doubleSpinBoxFrequencyCh8=31249.000" };
    QTest::newRow("frequency at the ceiling of one channel") << 3 << false << none << "frequency 1 249999" << "done"
                                                             << QStringList{ "doubleSpinBoxFrequencyCh1=249999.000" };
    QTest::newRow("frequency 0") << 3 << false << none << "frequency 1 0" << "out" << QStringList{ "doubleSpinBoxFrequencyCh1=1000.000" };
    QTest::newRow("a channel switched off still takes a value")
        << 3 << false << QStringList{ "enabled 2 on", "enabled 2 off" } << "frequency 2 440" << "done"
        << QStringList{ "groupBoxCh2=off", "doubleSpinBoxFrequencyCh2=440.000" };
    QTest::newRow("switching a channel on and off") << 3 << false << QStringList{ "enabled 4 on" } << "enabled 1 off" << "done"
                                                    << QStringList{ "groupBoxCh4=on", "groupBoxCh1=off" };
    QTest::newRow("channel 5 of a 4-channel module") << 7 << false << none << "enabled 5 on" << "nomodule" << QStringList{ "groupBoxCh5=off" };
    QTest::newRow("channel 0") << 3 << false << none << "voltage 0 1" << "nomodule" << none;
    QTest::newRow("custom without custom signals") << 3 << false << none << "function 1 CUSTOM" << "conflict"
                                                   << QStringList{ "comboBoxVoltageTypeCh1=AC" };
    QTest::newRow("shape without custom signals") << 3 << false << none << "shape 1 2" << "conflict" << none;
    QTest::newRow("tenth range of modification 2") << 7 << false << none << "range 1 TENTH" << "conflict"
                                                   << QStringList{ "comboBoxRangeCh1=7 В" };
    QTest::newRow("an unknown range") << 3 << false << none << "range 1 HALF" << "illegal" << none;
    QTest::newRow("DAC rate") << 3 << false << none << "rate 0 96000" << "done" << QStringList{ "comboBoxDacFreq=96 кГц" };
    QTest::newRow("a DAC rate the module has not") << 3 << false << none << "rate 0 44100" << "illegal"
                                                   << QStringList{ "comboBoxDacFreq=192 кГц" };
    QTest::newRow("mode") << 3 << false << none << "mode 0 STREAM" << "done" << QStringList{ "comboBoxMode=Потоковый" };
    QTest::newRow("an unknown key") << 3 << false << none << "colour 1 red" << "unknown" << none;
    // Custom signals: the custom group shows the channel's signal and takes the value.
    QTest::newRow("custom amplitude through the custom group")
        << 3 << true << QStringList{ "function 2 CUSTOM" } << "voltage 2 2.5" << "done"
        << QStringList{ "comboBoxVoltageTypeCh2=Особый", "spinBoxCustomAmplitude=2500" };
    QTest::newRow("custom amplitude above its range") << 3 << true << QStringList{ "function 2 CUSTOM" } << "voltage 2 10.5" << "out"
                                                      << QStringList{ "spinBoxCustomAmplitude=0" };
    QTest::newRow("custom shape") << 3 << true << QStringList{ "function 3 CUSTOM" } << "shape 3 2" << "done"
                                  << QStringList{ "comboBoxCustomShape=Пила" };
    QTest::newRow("phase of a custom signal") << 3 << true << QStringList{ "function 2 CUSTOM" } << "phase 2 120" << "done"
                                              << QStringList{ "doubleSpinBoxCustomPhase=120.000" };
    QTest::newRow("phase of 360 degrees") << 3 << true << QStringList{ "function 2 CUSTOM" } << "phase 2 360" << "out"
                                          << QStringList{ "doubleSpinBoxCustomPhase=0.000" };
    QTest::newRow("phase of an AC channel") << 3 << true << none << "phase 1 90" << "conflict" << none;
}

void TestRemoteModule::changes()
{
    QFETCH(int, slot);
    QFETCH(bool, custom);
    QFETCH(QStringList, before);
    QFETCH(QString, step);
    QFETCH(QString, result);
    QFETCH(QStringList, shows);

    OperatorBench bench;
    QVERIFY(bench.open(slot, custom));
    for (const QString& first : before) {
        QCOMPARE(resultName(change(*bench.module, first)), "done");
        QVERIFY(settle(*bench.module));
    }
    QCOMPARE(resultName(change(*bench.module, step)), qPrintable(result));
    QVERIFY(settle(*bench.module));
    for (const QString& expected : shows)
        QCOMPARE(expected.section('=', 0, 0) + '=' + shown(bench, expected.section('=', 0, 0)), expected);
    // The common controls agree with the channels, and no echo permit is left over.
    QCOMPARE(bench.violations(), QString());
    if (custom && result == "done" && step.startsWith("voltage"))
        QCOMPARE(bench.module->customSignal(step.section(' ', 1, 1).toInt()).amplitude, 2.5);
    QCOMPARE(apptest::criticals(), QStringList());
}

void TestRemoteModule::oneRestartPerLine()
{
    OperatorBench bench;
    QVERIFY(bench.open(3, false));
    RestartCounter restarts(bench.module.get());
    ModuleVek72& module = *bench.module;

    // Not running: changes restart nothing, and "output" starts.
    QCOMPARE(runLine(module, { "range 1 FULL", "voltage 1 1", "enabled 2 on" }), QStringList({ "done", "done", "done" }));
    QVERIFY(settle(module));
    QCOMPARE(restarts.count.load(), 0);
    QCOMPARE(resultName(change(module, "output 0 on")), "done");
    QVERIFY(QTest::qWaitFor([&] { return module.isRunning(); }, 20000));
    QVERIFY(settle(module));
    QCOMPARE(restarts.count.load(), 1);

    // Running: a line of a type, a range (which asks twice) and two values restarts once, after it.
    QCOMPARE(runLine(module, { "function 2 DC", "range 2 FULL", "voltage 2 3", "frequency 1 500" }, false),
             QStringList({ "done", "done", "done", "done" }));
    QVERIFY(settle(module));
    QCOMPARE(restarts.count.load(), 1);
    runOnOtherThread([&] { module.holdRestarts(false); });
    QVERIFY(settle(module));
    QCOMPARE(restarts.count.load(), 2);
    QVERIFY(module.isRunning());
    // The module plays the line's values: channel 1 a 1 V RMS sine at 500 Hz, channel 2 at 3 V.
    const PlayedSignals played = waitForPlayed(bench.service, "4B210736", 3, 19200);
    QCOMPARE(played.problem, QString());
    QVERIFY(played.has(1) && played.has(2));
    QVERIFY2(qAbs(played[1].frequency - 500) < 0.5, qPrintable(QString::number(played[1].frequency)));
    QVERIFY2(qAbs(played[1].peakToPeak - 2 * 1.4142135623730951) < 0.01, qPrintable(QString::number(played[1].peakToPeak)));
    QVERIFY2(qAbs(played[2].mean - 3.0) < 0.005 && played[2].peakToPeak < 0.005, qPrintable(QString::number(played[2].mean)));

    // A line that changes nothing, or only a value to what the field shows: no restart.
    QCOMPARE(runLine(module, { "voltage 2 3" }), QStringList({ "done" }));
    QVERIFY(settle(module));
    QCOMPARE(restarts.count.load(), 2);
    // "output" while running restarts once with what the panels show.
    QCOMPARE(resultName(change(module, "output 0 on")), "done");
    QVERIFY(settle(module));
    QCOMPARE(restarts.count.load(), 3);
    QCOMPARE(apptest::criticals(), QStringList());
}

void TestRemoteModule::resetAsOpened()
{
    OperatorBench bench;
    QVERIFY(bench.open(3, true));
    const QString opened = bench.snapshot();
    ModuleVek72& module = *bench.module;
    for (const char* step : { "function 1 DC", "range 1 FULL", "voltage 1 5", "function 2 CUSTOM", "voltage 2 2",
                                 "enabled 3 off", "range 4 FULL", "frequency 4 250", "rate 0 48000", "mode 0 STREAM",
                                 "output 0 on" }) {
        QCOMPARE(resultName(change(module, step)), "done");
        QVERIFY(settle(module));
    }
    QVERIFY(QTest::qWaitFor([&] { return module.isRunning(); }, 20000));
    QVERIFY(bench.snapshot() != opened);

    bool reset = false;
    runOnOtherThread([&] { reset = module.resetPanels(); });
    QVERIFY(reset);
    QVERIFY(!module.isRunning());
    QCOMPARE(bench.snapshot(), opened);
    QCOMPARE(bench.violations(), QString());
    QCOMPARE(module.customSignal(2).amplitude, 0.0);
    // The outputs stood at 0 V after the stop.
    QVERIFY(benchstatus::outputsAtZero(benchstatus::module(benchstatus::status(bench.service), "4B210736", 3)));
    QCOMPARE(apptest::criticals(), QStringList());
}

void TestRemoteModule::refusedOnThreadsThatWouldWaitForThemselves()
{
    OperatorBench bench;
    QVERIFY(bench.open(3, false));
    ModuleVek72& module = *bench.module;
    // On the GUI thread (this one) and on the module's thread: refused at once, nothing changes.
    QCOMPARE(resultName(module.changeSetting("voltage", 1, 0.5)), "noanswer");
    QVERIFY(!module.settle(100));
    Result onModuleThread = Result::Done;
    std::atomic<bool> ran{ false };
    QMetaObject::invokeMethod(&module, [&] {
        onModuleThread = module.changeSetting("voltage", 1, 0.5);
        ran = true;
    }, Qt::QueuedConnection);
    QVERIFY(QTest::qWaitFor([&] { return ran.load(); }, 5000));
    QCOMPARE(resultName(onModuleThread), "noanswer");
    QVERIFY(bench.settle());
    QCOMPARE(shown(bench, "spinBoxVoltageCh1"), QStringLiteral("0"));
}

QTEST_MAIN(TestRemoteModule)
#include "tst_remote_module.moc"
