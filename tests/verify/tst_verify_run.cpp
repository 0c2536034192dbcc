// Verification runs on the real module object (its panels in hosts, on a thread of its own as the
// engine keeps it) against a vekd of the test's own whose simulated multimeter reaches the module's
// outputs through its scanner (or a probe the operator moves): every step passes on a good module;
// a gain or offset error of one output in one range fails exactly the steps it should; a run
// stopped in the middle, or whose meter is lost, keeps the steps done and says why; a step the
// module refuses costs only itself; and every run leaves the outputs at 0 V (what vekd plays) and
// the panels as they were.
#include <QtTest>

#include <QThread>

#include "benchstatus.h"
#include "enginetestutil.h"
#include "panelsetup.h"
#include "defaultscenario.h"
#include "panelhosts.h"
#include "report.h"
#include "runner.h"
#include "threads.h"
#include "verificationbench.h"
#include "vekdrunner.h"

using namespace verify;

namespace {

constexpr double kSpeed = 50;   // the meter's readings take a fiftieth of their time
const QString kCrate = QStringLiteral("4B210736");
constexpr int kSlot = 3;        // VEK72-1-8

struct RunBench
{
    VekdRunner service;
    PanelHosts hosts;
    std::unique_ptr<ModuleVek72> module;
    std::unique_ptr<ModuleThread> thread;

    bool open(bool scanner = true)
    {
        QLocale::setDefault(QLocale::c());
        if (!service.startWithMultimeter(kSpeed))
            return false;
        const QStringList wiring = scanner ? QStringList{ "--scanner" } : QStringList{ "--channel", "1" };
        if (service.vekctl(QStringList{ "probe", "--crate", kCrate, "--slot", QString::number(kSlot) } + wiring) != 0)
            return false;
        module = makeModule(false);
        thread.reset(new ModuleThread(module.get()));
        hosts.build(*module);
        hosts.window.show();
        if (!QTest::qWaitForWindowExposed(&hosts.window))
            return false;
        QString crate = kCrate;
        return module->open(crate, quint16(kSlot));
    }
    ~RunBench()
    {
        if (module && module->isRunning())
            module->stop();
        if (module && module->isOpened())
            module->close();
        thread.reset();
    }

    Runner::Bench bench(bool scanner = true, ProbeHandler* probe = nullptr, const QString& meter = QString())
    {
        Runner::Bench b;
        b.module = module.get();
        b.facts = verificationbench::moduleFacts(module.get(), kCrate, kSlot);
        b.meterAddress = meter.isEmpty() ? service.dmmAddress() : meter;
        b.meter = verificationbench::meterAt(b.meterAddress);
        b.scanner = scanner;
        b.probe = probe;
        return b;
    }

    // Runs the scenario on a thread of its own while this thread serves the panels; `listener` (if
    // any) hears the run on the runner's thread, `stopAfter` > 0 asks for a stop as that step starts.
    RunRecord run(const Scenario& scenario, const Runner::Bench& b, RunListener* listener = nullptr, int stopAfter = 0)
    {
        Runner runner(b, scenario, RunInfo());
        RecordKeeper keeper;
        struct Stopper : RunListener
        {
            Runner* runner;
            int at;
            void stepStarted(int number, const Step&) override
            {
                if (number == at)
                    runner->requestStop();
            }
        } stopper;
        stopper.runner = &runner;
        stopper.at = stopAfter;
        runner.addListener(&keeper);
        runner.addListener(&stopper);
        if (listener)
            runner.addListener(listener);
        runOnOtherThread([&] { runner.run(); }, 180000);
        return keeper.record();
    }

    // What vekd says the module plays.
    QJsonObject played() { return benchstatus::module(benchstatus::status(service), kCrate, kSlot); }
};

// The default scenario's categories of these channels (and ranges, "" for both).
Scenario partOfDefault(const ModuleFacts& facts, const QList<int>& channels, const QString& range = QString())
{
    Scenario all = defaultScenario(facts);
    Scenario part;
    for (const Node& channel : all.items) {
        if (!channels.contains(channel.title.section(QLatin1Char(' '), 1).toInt()))
            continue;
        Node kept = Node::category(channel.title);
        for (const Node& r : channel.children) {
            if (range.isEmpty() || r.title.endsWith(range))
                kept.children.append(r);
        }
        part.items.append(kept);
    }
    return part;
}

Step dcStep(int channel, double volts)
{
    Step s;
    s.channel = channel;
    s.voltage = volts;
    s.tolerance = shippedAccuracy().forStep(s);
    return s;
}

Scenario stepsOnly(const QVector<Step>& steps)
{
    Scenario s;
    for (const Step& step : steps)
        s.items.append(Node::ofStep(step));
    return s;
}

// "3 полный DC -10" for a result.
QString describe(const StepResult& r)
{
    return QStringLiteral("%1 %2 %3 %4").arg(r.step.channel).arg(rangeText(r.step.range), measureText(r.step.measure),
                                             numberText(r.step.measure == Measure::Frequency ? r.step.frequency : r.step.voltage));
}

QStringList withVerdict(const RunRecord& record, Verdict verdict)
{
    QStringList found;
    for (const StepResult& r : record.steps) {
        if (r.evaluation.verdict == verdict)
            found << describe(r);
    }
    return found;
}

} // namespace

class TestVerifyRun : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { apptest::installMessageCapture(); }
    void outputErrorsFailExactlyTheirSteps_data();
    void outputErrorsFailExactlyTheirSteps();
    void stoppedInTheMiddle();
    void meterLostMidRun_data();
    void meterLostMidRun();
    void refusedStepCostsOnlyItself();
    void meterNotThere();
    void probeMovedByTheOperator();
};

void TestVerifyRun::outputErrorsFailExactlyTheirSteps_data()
{
    QTest::addColumn<QStringList>("fault");      // vekctl fault ... on channel 3
    QTest::addColumn<QStringList>("failing");
    QTest::newRow("none") << QStringList() << QStringList();
    // A gain error moves every level but 0 V; the frequency stays.
    QTest::newRow("gain 0.5 % full range")
        << QStringList{ "gain", "--range", "full", "--ppm", "5000" }
        << QStringList{ "3 полный DC -10", "3 полный DC -5", "3 полный DC 5", "3 полный DC 10",
                        "3 полный AC 0,7", "3 полный AC 3,5", "3 полный AC 6,3", "3 полный AC 0,7", "3 полный AC 3,5",
                        "3 полный AC 6,3", "3 полный AC 0,7", "3 полный AC 3,5", "3 полный AC 6,3" };
    // An offset of 2 mV moves every level of the one-tenth range; the meter's AC function does not see it.
    QTest::newRow("offset 2 mV one-tenth range")
        << QStringList{ "offset", "--range", "tenth", "--microvolts", "2000" }
        << QStringList{ "3 1/10 DC -1", "3 1/10 DC -0,5", "3 1/10 DC 0", "3 1/10 DC 0,5", "3 1/10 DC 1" };
}

void TestVerifyRun::outputErrorsFailExactlyTheirSteps()
{
    QFETCH(QStringList, fault);
    QFETCH(QStringList, failing);
    RunBench b;
    QVERIFY(b.open());
    if (!fault.isEmpty())
        QCOMPARE(b.service.vekctl(QStringList{ "fault", fault.first(), "--crate", kCrate, "--slot", "3", "--channel", "3" }
                                  + fault.mid(1)), 0);
    const QVariantMap panelsBefore = b.module->panelSetup();
    const Runner::Bench bench = b.bench();
    const RunRecord record = b.run(partOfDefault(bench.facts, { 3 }), bench);

    QVERIFY(record.finished);
    QVERIFY2(record.end.completed, qPrintable(record.end.reason));
    QCOMPARE(record.steps.size(), 30);
    QCOMPARE(withVerdict(record, Verdict::Fail), failing);
    QCOMPARE(record.count(Verdict::Pass), 30 - failing.size());
    QCOMPARE(record.end.verdict, failing.isEmpty() ? Verdict::Pass : Verdict::Fail);
    // Each step knew what it should read: the error is what was measured less what was expected.
    for (const StepResult& r : record.steps)
        QCOMPARE(r.evaluation.error, r.evaluation.measured - r.expected);
    // At the end: nothing plays, every output at 0 V, the panels as before.
    QVERIFY(record.end.outputsZeroed);
    const QJsonObject played = b.played();
    QVERIFY(!played.value("running").toBool());
    QVERIFY(benchstatus::outputsAtZero(played));
    QVERIFY(!b.module->isRunning());
    QVERIFY(setups::sameSetup(b.module->panelSetup(), panelsBefore));
}

void TestVerifyRun::stoppedInTheMiddle()
{
    RunBench b;
    QVERIFY(b.open());
    const Runner::Bench bench = b.bench();
    // Asked while step 4 is being set: it gives up before its reading.
    const RunRecord record = b.run(partOfDefault(bench.facts, { 2 }, QStringLiteral("полный")), bench, nullptr, 4);
    QCOMPARE(record.steps.size(), 4);
    QCOMPARE(withVerdict(record, Verdict::Pass).size(), 3);
    QCOMPARE(record.steps.last().evaluation.verdict, Verdict::Aborted);
    QVERIFY(!record.end.completed);
    QCOMPARE(record.end.reason, QStringLiteral("Остановлено оператором"));
    QCOMPARE(record.end.verdict, Verdict::Aborted);
    QVERIFY(record.end.outputsZeroed);
    QVERIFY(benchstatus::outputsAtZero(b.played()));
    QVERIFY(!b.played().value("running").toBool());

    // The protocol of the steps done, with the reason.
    QTemporaryDir dir;
    ReportFiles files;
    QString error;
    QVERIFY2(writeReport(record, dir.path(), &files, &error), qPrintable(error));
    QFile csv(files.csv);
    QVERIFY(csv.open(QIODevice::ReadOnly));
    const QList<QByteArray> lines = csv.readAll().split('\n');
    QCOMPARE(lines.size(), 1 + 4 + 1);
    QVERIFY(lines.at(4).startsWith("4;2;полный;DC, В;DC 5 В;5;;;0,0035;не измерен"));
    QFile html(files.html);
    QVERIFY(html.open(QIODevice::ReadOnly));
    QVERIFY(QString::fromUtf8(html.readAll()).contains(QStringLiteral("Итог: 3 годен / 0 не годен / 1 без результата / 11 не выполнено.")));
}

void TestVerifyRun::meterLostMidRun_data()
{
    QTest::addColumn<QString>("fault");
    QTest::newRow("hangs") << "hang";
    QTest::newRow("drops the connection") << "drop";
    QTest::newRow("answers garbage") << "garbage";
}

void TestVerifyRun::meterLostMidRun()
{
    QFETCH(QString, fault);
    RunBench b;
    QVERIFY(b.open());
    // The meter goes wrong once step 2 has its result.
    struct Breaker : RunListener
    {
        VekdRunner* service;
        QString fault;
        void stepFinished(const StepResult& r) override
        {
            if (r.number == 2)
                service->vekctl({ "fault", fault, "--target", "dmm" });
        }
    } breaker;
    breaker.service = &b.service;
    breaker.fault = fault;
    const Runner::Bench bench = b.bench();
    const RunRecord record = b.run(partOfDefault(bench.facts, { 5 }, QStringLiteral("полный")), bench, &breaker);
    b.service.vekctl({ "fault", "clear" });

    QCOMPARE(record.steps.size(), 3);
    QCOMPARE(withVerdict(record, Verdict::Pass).size(), 2);
    QCOMPARE(record.steps.last().evaluation.verdict, Verdict::Error);
    QVERIFY(record.end.meterUnreachable);
    QVERIFY2(record.end.reason.startsWith(QStringLiteral("Потеряна связь с мультиметром: мультиметр ")), qPrintable(record.end.reason));
    QCOMPARE(record.end.verdict, Verdict::Error);
    // The module is let go in order all the same.
    QVERIFY(record.end.outputsZeroed);
    QVERIFY(benchstatus::outputsAtZero(b.played()));
}

void TestVerifyRun::refusedStepCostsOnlyItself()
{
    RunBench b;
    QVERIFY(b.open());
    Step tooHigh = dcStep(1, 15);   // the full range ends at 10 V
    Step tenthTooHigh = dcStep(2, 2);
    tenthTooHigh.range = Range::Tenth;
    const RunRecord record = b.run(stepsOnly({ dcStep(1, 2.5), tooHigh, tenthTooHigh, dcStep(2, -7.5) }), b.bench());
    QVERIFY(record.end.completed);
    QCOMPARE(record.steps.size(), 4);
    QCOMPARE(withVerdict(record, Verdict::Pass), (QStringList{ "1 полный DC 2,5", "2 полный DC -7,5" }));
    QCOMPARE(record.steps.at(1).evaluation.verdict, Verdict::Error);
    QCOMPARE(record.steps.at(1).note, QStringLiteral("канал 1, напряжение: значение вне пределов модуля"));
    QCOMPARE(record.steps.at(2).note, QStringLiteral("канал 2, напряжение: значение вне пределов модуля"));
    // The protocol still says what the refused step expected and within what.
    const QStringList csv = QString::fromUtf8(csvReport(record)).split(QStringLiteral("\r\n"));
    QCOMPARE(csv.value(2).section(QLatin1Char(';'), 4), QStringLiteral("DC 15 В;15;;;0,0085;не измерен"));
    QCOMPARE(record.end.verdict, Verdict::Error);
    QVERIFY(benchstatus::outputsAtZero(b.played()));
}

void TestVerifyRun::meterNotThere()
{
    RunBench b;
    QVERIFY(b.open());
    const RunRecord record = b.run(stepsOnly({ dcStep(1, 1) }), b.bench(true, nullptr, QStringLiteral("127.0.0.1:%1").arg(apptest::deadPort())));
    QVERIFY(record.finished);
    QVERIFY(record.steps.isEmpty());
    QVERIFY(record.end.meterUnreachable);
    QVERIFY2(record.end.reason.startsWith(QStringLiteral("Мультиметр недоступен: мультиметр 127.0.0.1:")), qPrintable(record.end.reason));
    // Nothing was asked of the module.
    QVERIFY(!b.played().value("configured").toBool());
}

void TestVerifyRun::probeMovedByTheOperator()
{
    RunBench b;
    QVERIFY(b.open(false));
    // The operator moves the probe when asked (or declines, from a channel on).
    struct Operator : ProbeHandler
    {
        VekdRunner* service;
        QList<int> asked;
        int declineAt = 0;
        bool connectProbe(int channel, const std::atomic<bool>&) override
        {
            asked << channel;
            return channel != declineAt
                   && service->vekctl({ "probe", "--crate", kCrate, "--slot", "3", "--channel", QString::number(channel) }) == 0;
        }
    } person;
    person.service = &b.service;
    const Scenario scenario = stepsOnly({ dcStep(1, 5), dcStep(2, -3), dcStep(2, 7), dcStep(1, -1) });
    RunRecord record = b.run(scenario, b.bench(false, &person));
    QCOMPARE(person.asked, (QList<int>{ 1, 2, 1 }));
    QCOMPARE(record.count(Verdict::Pass), 4);

    person.asked.clear();
    person.declineAt = 2;
    record = b.run(scenario, b.bench(false, &person));
    QCOMPARE(person.asked, (QList<int>{ 1, 2 }));
    QCOMPARE(record.steps.size(), 2);
    QCOMPARE(record.steps.last().evaluation.verdict, Verdict::Aborted);
    QCOMPARE(record.end.reason, QStringLiteral("Мультиметр не подключён к выходу канала 2"));
    QVERIFY(benchstatus::outputsAtZero(b.played()));
}

QTEST_MAIN(TestVerifyRun)
#include "tst_verify_run.moc"
