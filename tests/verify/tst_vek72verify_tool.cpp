// vek72-verify as a terminal or CI runs it against a vekd of the test's own with its simulated
// multimeter: the exit status (0 every step passed, 1 a step failed or the run was stopped, 2 a bad
// command line or scenario file, 3 no service, module or meter), a progress line per step, the
// protocol's files on disk, the meter and scanner taken from "stendix.ini" of the working directory
// (which the tool leaves as it was), and Ctrl+C ending the run with the outputs at 0 V.
#include <QtTest>

#include <QProcess>

#include <csignal>

#include "benchstatus.h"
#include "enginetestutil.h"
#include "scenariofile.h"
#include "toolrun.h"
#include "vekdrunner.h"

using namespace verify;

namespace {

const QString kCrate = QStringLiteral("4B210736");

Step dcStep(int channel, double volts)
{
    Step s;
    s.channel = channel;
    s.voltage = volts;
    s.tolerance.valuePct = 0.05;
    s.tolerance.rangePct = 0.01;
    return s;
}

} // namespace

class TestVek72VerifyTool : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void exitStatus_data();
    void exitStatus();
    void meterFromTheSettingsFile();
    void interruptedRunZeroesTheOutputs();

private:
    QString write(const QString& name, const Scenario& scenario);
    QString write(const QString& name, const QByteArray& bytes);
    ToolRun verify(const QStringList& args, const QString& workingDirectory = QString());

    VekdRunner vekd;
    QTemporaryDir dir;
};

void TestVek72VerifyTool::initTestCase()
{
    QVERIFY(dir.isValid());
    QVERIFY(vekd.startWithMultimeter(50));
    QCOMPARE(vekd.vekctl({ "probe", "--crate", kCrate, "--slot", "3", "--scanner" }), 0);
}

QString TestVek72VerifyTool::write(const QString& name, const Scenario& scenario)
{
    return write(name, scenariofile::toJson(scenario));
}

QString TestVek72VerifyTool::write(const QString& name, const QByteArray& bytes)
{
    QFile file(dir.filePath(name));
    file.open(QIODevice::WriteOnly);
    file.write(bytes);
    return file.fileName();
}

ToolRun TestVek72VerifyTool::verify(const QStringList& args, const QString& workingDirectory)
{
    return runTool(QStringLiteral(VEK72_VERIFY_PATH), args, workingDirectory.isEmpty() ? dir.path() : workingDirectory, 120000);
}

void TestVek72VerifyTool::exitStatus_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QStringList>("says");    // on standard output and error, in this order
    QTest::addColumn<int>("protocolLines");   // CSV lines written (header included); 0: no protocol

    Scenario good;
    good.title = QStringLiteral("Два уровня");
    good.items = { Node::category(QStringLiteral("Канал 2"), { Node::ofStep(dcStep(2, 5)), Node::ofStep(dcStep(2, -2.5)) }) };
    Scenario bad = good;
    Step wrong = dcStep(2, 1);
    wrong.expectedGiven = true;
    wrong.expected = 1.1;
    bad.items[0].children.append(Node::ofStep(wrong));
    const QString goodFile = write(QStringLiteral("good.json"), good);
    const QString badFile = write(QStringLiteral("bad.json"), bad);
    const QString brokenFile = write(QStringLiteral("broken.json"), QByteArray(R"({"scenario": 1, "items": [{"channel": 1}]})"));
    const QString meter = vekd.dmmAddress();
    const QString dead = QStringLiteral("127.0.0.1:%1").arg(apptest::deadPort());
    const QStringList onSlot3{ "--crate", kCrate, "--slot", "3", "--scanner" };

    QTest::newRow("all pass") << QStringList{ "--scenario", goodFile, "--report", "out", "--dmm", meter } + onSlot3 << 0
                              << QStringList{ "[  1/2] канал 2, полный, DC 5 В: ", " — годен", "[  2/2]", "Итог: 2 годен / 0 не годен" } << 3;
    QTest::newRow("a step fails") << QStringList{ "--scenario", badFile, "--report", "out", "--dmm", meter } + onSlot3 << 1
                                  << QStringList{ "[  3/3] канал 2, полный, DC 1 В: ", "— не годен", "Итог: 2 годен / 1 не годен" } << 4;
    QTest::newRow("no arguments") << QStringList() << 2 << QStringList{ "нужны --scenario и --report", "Использование:" } << 0;
    QTest::newRow("unknown option") << QStringList{ "--scenario", "default", "--report", "out", "--fast" } << 2
                                    << QStringList{ "неизвестный параметр --fast" } << 0;
    QTest::newRow("slot without crate") << QStringList{ "--scenario", "default", "--report", "out", "--slot", "3" } << 2
                                        << QStringList{ "--crate и --slot задаются вместе" } << 0;
    QTest::newRow("bad scenario file") << QStringList{ "--scenario", brokenFile, "--report", "out", "--dmm", meter } << 2
                                       << QStringList{ "сценарий не прочитан: ", "шаг 1: \"type\": нет значения" } << 0;
    QTest::newRow("no meter anywhere") << QStringList{ "--scenario", "default", "--report", "out" } << 2
                                       << QStringList{ "мультиметр не задан: --dmm или Multimeter/Address в stendix.ini" } << 0;
    QTest::newRow("meter not there") << QStringList{ "--scenario", goodFile, "--report", "out", "--dmm", dead } + onSlot3 << 3
                                     << QStringList{ "Итог: 0 годен / 0 не годен / 2 не выполнено — Мультиметр недоступен: мультиметр " + dead } << 0;
    QTest::newRow("no module in the slot") << QStringList{ "--scenario", goodFile, "--report", "out", "--dmm", meter,
                                                           "--crate", kCrate, "--slot", "5" } << 3
                                           << QStringList{ "в крейте 4B210736, слот 5 нет модуля VEK72, который можно открыть" } << 0;
}

void TestVek72VerifyTool::exitStatus()
{
    QFETCH(QStringList, args);
    QFETCH(int, exitCode);
    QFETCH(QStringList, says);
    QFETCH(int, protocolLines);
    QDir(dir.filePath(QStringLiteral("out"))).removeRecursively();
    const ToolRun run = verify(args);
    const QString text = QString::fromUtf8(run.out + run.err);
    QCOMPARE(run.exitCode, exitCode);
    int from = 0;
    for (const QString& part : says) {
        const int at = text.indexOf(part, from);
        QVERIFY2(at >= 0, qPrintable(QStringLiteral("«%1» not in:\n%2").arg(part, text)));
        from = at + part.size();
    }
    const QStringList files = QDir(dir.filePath(QStringLiteral("out"))).entryList(QDir::Files);
    if (protocolLines == 0) {
        QVERIFY2(files.isEmpty(), qPrintable(files.join(", ")));
    } else {
        QCOMPARE(files.size(), 3);
        const QString csv = files.filter(QStringLiteral(".csv")).value(0);
        QVERIFY2(csv.startsWith(QStringLiteral("Протокол VEK72 72A10419 ")), qPrintable(csv));
        QFile file(dir.filePath(QStringLiteral("out/") + csv));
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll().count("\r\n"), protocolLines);
        // The files it names on standard output are those.
        QVERIFY(QString::fromUtf8(run.out).contains(file.fileName()));
    }
    // Whatever happened, the module was let go with its outputs at 0 V.
    const QJsonObject module = benchstatus::module(benchstatus::status(vekd), kCrate, 3);
    QVERIFY(!module.value(QStringLiteral("opened")).toBool());
    QVERIFY(benchstatus::outputsAtZero(module));
}

void TestVek72VerifyTool::meterFromTheSettingsFile()
{
    // The meter, its scanner, the operator and the report as the window finds them.
    QTemporaryDir work;
    QFile ini(work.filePath(QStringLiteral("stendix.ini")));
    QVERIFY(ini.open(QIODevice::WriteOnly));
    const QByteArray settings = "[Global]\nCrateService=" + vekd.address().toLatin1() + "\n\n[Multimeter]\nAddress="
                                + vekd.dmmAddress().toLatin1()
                                + "\nScanner=true\n\n[Verification]\nOperator=\\x418\\x432\\x430\\x43d\\x43e\\x432\n";
    ini.write(settings);
    ini.close();
    const QString scenario = write(QStringLiteral("one.json"), Scenario{ QString(), QString(), { Node::ofStep(dcStep(4, 7.5)) } });
    // The crate service too, with no VEK_SERVICE to name it.
    const QByteArray service = qgetenv("VEK_SERVICE");
    qunsetenv("VEK_SERVICE");
    const ToolRun run = verify({ "--scenario", scenario, "--report", "протоколы" }, work.path());
    qputenv("VEK_SERVICE", service);
    QCOMPARE(run.exitCode, 0);
    const QStringList files = QDir(work.filePath(QStringLiteral("протоколы"))).entryList({ "*.html" });
    QCOMPARE(files.size(), 1);
    QFile html(work.filePath(QStringLiteral("протоколы/") + files.first()));
    QVERIFY(html.open(QIODevice::ReadOnly));
    const QString page = QString::fromUtf8(html.readAll());
    QVERIFY(page.contains(QStringLiteral("через коммутатор мультиметра")));
    QVERIFY(page.contains(QStringLiteral("<td>Поверитель</td><td><b>Иванов</b>")));
    // Read, never written: the module's own keys went into a copy.
    QVERIFY(ini.open(QIODevice::ReadOnly));
    QCOMPARE(ini.readAll(), settings);
}

void TestVek72VerifyTool::interruptedRunZeroesTheOutputs()
{
    QProcess process;
    process.setWorkingDirectory(dir.path());
    process.start(QStringLiteral(VEK72_VERIFY_PATH), { "--scenario", "default", "--report", "stopped", "--dmm", vekd.dmmAddress(),
                                                      "--scanner", "--crate", kCrate, "--slot", "3" });
    QByteArray out;
    // Ctrl+C once the second step has its result.
    QVERIFY(QTest::qWaitFor([&] {
        out += process.readAllStandardOutput();
        return out.contains("[  2/240]") || process.state() == QProcess::NotRunning;
    }, 60000));
    // (A process that has ended has no id: kill(0) would interrupt this test's whole group.)
    QVERIFY2(process.state() == QProcess::Running && process.processId() > 0, (out + process.readAllStandardError()).constData());
    ::kill(pid_t(process.processId()), SIGINT);
    QVERIFY(process.waitForFinished(60000));
    out += process.readAllStandardOutput();
    QCOMPARE(process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(process.exitCode(), 1);
    QVERIFY2(out.contains("— Остановлено оператором"), out.constData());
    QVERIFY(QString::fromUtf8(process.readAllStandardError()).contains(QStringLiteral("остановка: выходы переводятся в 0 В")));
    QCOMPARE(QDir(dir.filePath(QStringLiteral("stopped"))).entryList(QDir::Files).size(), 3);
    const QJsonObject module = benchstatus::module(benchstatus::status(vekd), kCrate, 3);
    QVERIFY(!module.value(QStringLiteral("running")).toBool());
    QVERIFY(benchstatus::outputsAtZero(module));
}

QTEST_GUILESS_MAIN(TestVek72VerifyTool)
#include "tst_vek72verify_tool.moc"
