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
    static const char* const names[] = { "done", "unknown", "out", "illegal", "conflict", "nomodule", "noanswer" };
    return int(r) >= 0 && int(r) <= int(Result::NoAnswer) ? names[int(r)] : "?";
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

const char* change(ModuleVek72& module, const QString& step)
{
    const QStringList words = step.split(' ');
    Result result = Result::NoAnswer;
    runOnOtherThread([&] { result = module.changeSetting(words.value(0), words.value(1).toInt(), valueOf(words.value(2))); });
    return resultName(result);
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
    QTest::addColumn<int>("slot");             // 3: VEK72-1-8, 7: VEK72-2-4
    QTest::addColumn<bool>("custom");          // custom signals enabled
    // In turn: "key channel value -> result" a change, then "control=text" what a control shows and
    // "?key channel=value" what the module reads back for remote control.
    QTest::addColumn<QStringList>("steps");

    QTest::newRow("modification 1") << 3 << false << QStringList{
        "voltage 1 0.5 -> done", "voltage 1 1.5 -> out", "spinBoxVoltageCh1=500",   // above the tenth range: refused, not clamped
        "range 1 FULL -> done", "voltage 1 1.5 -> done", "spinBoxVoltageCh1=1500", "comboBoxRangeCh1=7 В",
        "voltage 2 0.2346 -> done", "spinBoxVoltageCh2=235", "?voltage 2=0.235",       // whole millivolts, channel switched off
        "function 3 DC -> done", "range 3 FULL -> done", "voltage 3 -10.001 -> out", "voltage 3 -10 -> done",
        "spinBoxVoltageCh3=-10000", "comboBoxVoltageTypeCh3=DC", "frequency 3 50 -> conflict", "doubleSpinBoxFrequencyCh3=1000.000",
        "offset 1 0.25 -> done", "doubleSpinBoxOffsetCh1=0.250", "doubleSpinBoxOffset=0.250",   // the common field follows
        "enabled 2 on -> done", "enabled 2 off -> done", "frequency 2 440 -> done", "groupBoxCh2=off",
        "doubleSpinBoxFrequencyCh2=440.000",
        "voltage 0 1 -> nomodule", "colour 1 red -> unknown", "range 1 HALF -> illegal", "shape 1 2 -> conflict",
        "function 1 CUSTOM -> conflict", "comboBoxVoltageTypeCh1=AC",   // without custom signals
        "frequency 1 0 -> out", "frequency 1 249999 -> done", "doubleSpinBoxFrequencyCh1=249999.000",   // one channel's ceiling
        // MIN, MAX and DEF of remote control: the bounds the field takes, and the value after opening.
        "?minimum:frequency 1=1", "?maximum:frequency 1=249999", "?default:frequency 1=1000", "?minimum:voltage 1=0", "?maximum:voltage 1=7",
        "?default:voltage 1=0", "?maximum:offset 1=10", "?maximum:phase 1=" };
    QStringList eight;
    for (int n = 2; n <= 8; ++n)
        eight << QStringLiteral("enabled %1 on -> done").arg(n);
    QTest::newRow("eight channels") << 3 << false << eight + QStringList{
        "frequency 1 40000 -> out", "doubleSpinBoxFrequencyCh1=1000.000", "frequency 8 31249 -> done",
        "doubleSpinBoxFrequencyCh8=31249.000", "enabled 1 off -> done", "groupBoxCh1=off", "groupBoxCh4=on" };
    QTest::newRow("modification 2") << 7 << false << QStringList{
        "function 2 DC -> done", "voltage 2 15 -> done", "spinBoxVoltageCh2=15000", "enabled 5 on -> nomodule", "groupBoxCh5=off",
        "range 1 TENTH -> conflict", "comboBoxRangeCh1=7 В" };
    // The custom group shows the channel's signal and takes its values.
    QTest::newRow("custom signals") << 3 << true << QStringList{
        "function 2 CUSTOM -> done", "comboBoxVoltageTypeCh2=Особый", "voltage 2 10.5 -> out", "spinBoxCustomAmplitude=0",
        "voltage 2 2.5 -> out", "range 2 FULL -> done",   // 2.5 V is beyond the one-tenth range's 1 V
        "voltage 2 2.5 -> done", "spinBoxCustomAmplitude=2500", "phase 2 360 -> out", "doubleSpinBoxCustomPhase=0.000",
        "phase 2 120 -> done", "doubleSpinBoxCustomPhase=120.000", "phase 1 90 -> conflict",
        "function 3 CUSTOM -> done", "shape 3 2 -> done", "comboBoxCustomShape=Пила", "?voltage 2=2.5", "?phase 2=120",
        "rate 0 44100 -> illegal", "comboBoxDacFreq=192 кГц", "rate 0 96000 -> done", "comboBoxDacFreq=96 кГц",
        "mode 0 STREAM -> done", "comboBoxMode=Потоковый",
        "?maximum:voltage 2=10", "?minimum:voltage 2=0", "?maximum:phase 2=359.999", "?maximum:offset 2=10", "?minimum:offset 2=-10" };
}

void TestRemoteModule::changes()
{
    QFETCH(int, slot);
    QFETCH(bool, custom);
    QFETCH(QStringList, steps);

    OperatorBench bench;
    QVERIFY(bench.open(slot, custom));
    ModuleVek72& module = *bench.module;
    for (const QString& step : steps) {
        const QString subject = step.section(QRegularExpression("=| -> "), 0, 0);
        QString seen;
        if (step.contains(" -> ")) {
            seen = subject + " -> " + change(module, subject);
            QVERIFY(settle(module));
            // The common controls agree with the channels, and no echo permit is left over.
            QVERIFY2(bench.violations().isEmpty(), qPrintable(step + ": " + bench.violations()));
        } else if (step.startsWith('?')) {
            QVariant value;
            runOnOtherThread([&] { value = module.setting(subject.mid(1).section(' ', 0, 0), subject.section(' ', 1).toInt()); });
            seen = subject + '=' + value.toString();
        } else {
            seen = subject + '=' + shown(bench, subject);
        }
        QCOMPARE(seen, step);
    }
    QCOMPARE(apptest::criticals(), QStringList());
}

void TestRemoteModule::oneRestartPerLine()
{
    OperatorBench bench;
    QVERIFY(bench.open(3, false));
    RestartCounter restarts(bench.module.get());
    ModuleVek72& module = *bench.module;
    const auto restartsOnceSettled = [&] { return settle(module) ? restarts.count.load() : -1; };

    // Not running: changes restart nothing, and "output" starts.
    QCOMPARE(runLine(module, { "range 1 FULL", "voltage 1 1", "enabled 2 on" }), QStringList({ "done", "done", "done" }));
    QCOMPARE(restartsOnceSettled(), 0);
    QCOMPARE(change(module, "output 0 on"), "done");
    QVERIFY(QTest::qWaitFor([&] { return module.isRunning(); }, 20000));
    QCOMPARE(restartsOnceSettled(), 1);

    // Running: a line of a type, a range (which asks twice) and two values restarts once, after it.
    QCOMPARE(runLine(module, { "function 2 DC", "range 2 FULL", "voltage 2 3", "frequency 1 500" }, false),
             QStringList({ "done", "done", "done", "done" }));
    QCOMPARE(restartsOnceSettled(), 1);
    runOnOtherThread([&] { module.holdRestarts(false); });
    QCOMPARE(restartsOnceSettled(), 2);
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
    QCOMPARE(restartsOnceSettled(), 2);
    // "output" while running restarts once with what the panels show.
    QCOMPARE(change(module, "output 0 on"), "done");
    QCOMPARE(restartsOnceSettled(), 3);
    QCOMPARE(apptest::criticals(), QStringList());
}

void TestRemoteModule::resetAsOpened()
{
    OperatorBench bench;
    QVERIFY(bench.open(3, true));
    const QString opened = bench.snapshot();
    ModuleVek72& module = *bench.module;
    for (const char* step : { "function 1 DC", "range 1 FULL", "voltage 1 5", "function 2 CUSTOM", "range 2 FULL", "voltage 2 2", "enabled 3 off",
                              "range 4 FULL", "frequency 4 250", "rate 0 48000", "mode 0 STREAM", "output 0 on" }) {
        QCOMPARE(change(module, step), "done");
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

    // A reset and then a start in one line ("*RST;...;INIT", "*RST;...;OUTP ON"): the start is not
    // lost behind the line's stop, and the button shows what plays.
    QString started;
    runOnOtherThread([&] {
        module.holdRestarts(true);
        const bool again = module.resetPanels();
        const Result result = module.changeSetting("output", 0, true);
        module.settle(10000);
        module.holdRestarts(false);
        started = QStringLiteral("%1 %2").arg(again).arg(resultName(result));
    });
    QCOMPARE(started, QStringLiteral("1 done"));
    QVERIFY(QTest::qWaitFor([&] { return module.isRunning(); }, 20000));
    QCOMPARE(bench.hosts.find<QPushButton>("pushButtonStartStop")->isChecked(), true);
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
