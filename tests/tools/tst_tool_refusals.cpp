// What the four tools refuse, run as an operator runs them against a vekd of the test's own: the
// exit status (2 for every usage error, 1 for what the module cannot do, 3 without a service), the
// reason on standard error, nothing on standard output, and both VEK72 of the bench left as they
// were: not open, not configured, every output at 0 V.
#include <QtTest>

#include "benchstatus.h"
#include "toolrun.h"
#include "vekdrunner.h"

namespace {

QString pathOf(const QString& tool)
{
    if (tool == QLatin1String("vek72-plan"))
        return QStringLiteral(VEK72_PLAN_PATH);
    if (tool == QLatin1String("vek72-play"))
        return QStringLiteral(VEK72_PLAY_PATH);
    if (tool == QLatin1String("vekscope"))
        return QStringLiteral(VEKSCOPE_PATH);
    return QStringLiteral(VEKCTL_TOOL_PATH);
}

} // namespace

class TestToolRefusals : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void refusals_data();
    void refusals();

private:
    VekdRunner vekd;
    QTemporaryDir dir;
};

void TestToolRefusals::initTestCase()
{
    QVERIFY(dir.isValid());
    QVERIFY(vekd.start());
}

void TestToolRefusals::refusals_data()
{
    QTest::addColumn<QString>("tool");
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("says");
    const QString shot = dir.filePath(QStringLiteral("refused.png"));
    const QString slot7[] = {"--crate", "4B210736", "--slot", "7"};
    auto row = [](const char* name, const char* tool, const QStringList& args, int exitCode, const QString& says) {
        QTest::newRow(name) << QString::fromLatin1(tool) << args << exitCode << says;
    };

    // Usage errors: 2 in every tool.
    row("plan: no signal", "vek72-plan", {"--dac-rate", "48000"}, 2, "нужен хотя бы один --signal");
    row("play: no signal", "vek72-play", {}, 2, "нужен хотя бы один --signal");
    row("play: no frequency", "vek72-play", {"--signal", "sine"}, 2, "'sine'");
    row("play: RMS without a value", "vek72-play", {"--signal", "sine:1000:rms:"}, 2, "амплитуда ''");
    row("play: unknown option", "vek72-play", {"--loud", "--signal", "sine:1000"}, 2, "'--loud'");
    row("play: DAC rate not a number", "vek72-play", {"--dac-rate", "fast", "--signal", "sine:1000"}, 2, "'fast'");
    row("play: service not an address", "vek72-play", {"--service", "crates", "--signal", "sine:1000"}, 2, "'crates'");
    row("scope: time per division", "vekscope", {"--shot", shot, "--time-div", "5"}, 2, "--time-div '5'");
    row("scope: unknown option", "vekscope", {"--loud"}, 2, "'--loud'");
    row("vekctl: unknown command", "vekctl", {"loud"}, 2, "unknown command");
    row("vekctl: capture without crate", "vekctl", {"capture", "--slot", "3", "--frames", "1", "--out", "x.csv"}, 2,
        "--crate is required");

    // What the module cannot do: 1, with the true reason.
    const QString page = QStringLiteral("страница модуля вмещает 4194304 слова, при 1 канале — не больше 4194304 на канал");
    row("plan: page above the limit", "vek72-plan", {"--rate", "48000", "--signal", "sine:0.01"}, 1, page);
    row("play: page above the limit", "vek72-play", {"--signal", "sine:0.01"}, 1, page);
    row("play: second channel's page above the limit", "vek72-play", {"--signal", "sine:1000", "--signal", "sine:0.01"}, 1,
        "канал 2: период сигнала 0.01 Гц при 24000 выборках/с на канал — 2400000 выборок");
    const QString dacRate = QStringLiteral("частота ЦАП 44100 Гц: модуль работает только на 48000, 96000 или 192000 Гц");
    row("plan: DAC rate", "vek72-plan", {"--dac-rate", "44100", "--signal", "sine:1000"}, 1, dacRate);
    row("play: DAC rate", "vek72-play", {"--dac-rate", "44100", "--signal", "sine:1000"}, 1, dacRate);
    row("plan: rate no channel count gives", "vek72-plan", {"--rate", "44100", "--signal", "sine:1000"}, 1,
        "44100 выборок/с на канал модуль не даёт");
    row("play: frequency above half the rate", "vek72-play", {"--signal", "sine:30000"}, 1,
        "Недостаточная частота ЦАП 48.000 кГц на канал для сигнала 30.000 кГц (канал 1)");
    row("play: second channel's frequency above half the rate", "vek72-play",
        {"--signal", "sine:1000", "--signal", "sine:13000"}, 1,
        "Недостаточная частота ЦАП 24.000 кГц на канал для сигнала 13.000 кГц (канал 2)");
    row("plan: amplitude beyond 10 V", "vek72-plan", {"--signal", "sine:1000:11"}, 1,
        "канал 1: сигнал идёт от -11 до 11 В, а выход модуля — от -10 до 10 В (VEK72-1, полный диапазон)");
    row("play: amplitude beyond 10 V", "vek72-play", {"--signal", "sine:1000:11"}, 1,
        "канал 1: сигнал идёт от -11 до 11 В, а выход модуля — от -10 до 10 В (VEK72-1, полный диапазон)");
    row("play: RMS beyond the tenth range", "vek72-play", {"--tenth", "--signal", "line:0:0:0.5", "--signal", "sine:1000:rms:1"},
        1, "канал 2: сигнал идёт от -1.414213562 до 1.414213562 В, а выход модуля — от -1 до 1 В (VEK72-1, диапазон 1/10)");
    row("play: offset beyond the modification's range", "vek72-play",
        QStringList(std::begin(slot7), std::end(slot7)) + QStringList{"--signal", "line:0:0:-3"}, 1,
        "канал 1: уровень -3 В, а выход модуля — от -2 до 20 В (VEK72-2, полный диапазон)");
    row("play: triangle samples above the peak", "vek72-play", {"--signal", "triangle:19200:4.5:5"}, 1,
        "канал 1: сигнал идёт от 0.5 до 11.3 В (при 2.5 выборках на период выборки выходят за заданную амплитуду)");
    // A square period from a file, band-limited, rings some 9 % past its points next to its steps.
    QFile square(dir.filePath(QStringLiteral("square.csv")));
    square.open(QIODevice::WriteOnly);
    for (int j = 0; j < 64; ++j)
        square.write(j < 32 ? "1\n" : "-1\n");
    square.close();
    row("play: file's samples above its points", "vek72-play", {"--signal", "arb:" + square.fileName() + ":1000:9.5"}, 1,
        "(при 48 выборках на период выборки выходят за заданную амплитуду), а выход модуля — от -10 до 10 В");
    row("play: phase of a line", "vek72-play", {"--signal", "line:0:0:1@90"}, 2, "у line фазы нет");
    row("play: more signals than channels", "vek72-play",
        QStringList(std::begin(slot7), std::end(slot7))
            + QStringList{"--signal", "sine:1", "--signal", "sine:1", "--signal", "sine:1", "--signal", "sine:1", "--signal", "sine:1"},
        1, "у VEK72 в крейте 4B210736, слоте 7 каналов 4, а сигналов задано 5");
    row("play: crate without VEK72", "vek72-play", {"--crate", "4B210751", "--signal", "sine:1000"}, 1,
        "в крейте 4B210751 нет VEK72");
    row("play: empty slot", "vek72-play", {"--crate", "4B210736", "--slot", "5", "--signal", "sine:1000"}, 1,
        "в крейте 4B210736 в слоте 5 нет VEK72");
    row("scope: crate without VEK72", "vekscope", {"--shot", shot, "--crate", "4B210751"}, 1, "нет VEK72 в крейте 4B210751");
    row("vekctl: capture of a crate without VEK72", "vekctl",
        {"capture", "--crate", "4B210751", "--slot", "2", "--frames", "1", "--out", dir.filePath("x.csv")}, 1,
        "capture refused");

    // No service: 3.
    row("play: no service", "vek72-play", {"--service", "127.0.0.1:1", "--signal", "sine:1000"}, 3, "служба крейтов недоступна");
    row("scope: no service", "vekscope", {"--shot", shot, "--service", "127.0.0.1:1"}, 3, "недоступна");
    row("vekctl: no service", "vekctl", {"--service", "127.0.0.1:1", "ping"}, 3, "cannot reach");
}

void TestToolRefusals::refusals()
{
    QFETCH(QString, tool);
    QFETCH(QStringList, args);
    QFETCH(int, exitCode);
    QFETCH(QString, says);
    const ToolRun run = runTool(pathOf(tool), args);
    const QString err = QString::fromUtf8(run.err);
    QCOMPARE(run.exitCode, exitCode);
    QVERIFY2(err.contains(says), qPrintable(err));
    QVERIFY2(err.startsWith(tool + QStringLiteral(": ")), qPrintable(err));
    QVERIFY2(run.out.isEmpty(), run.out.constData());

    // Nothing was left open, configured or driven.
    const QJsonObject status = benchstatus::status(vekd);
    for (int slot : {3, 7}) {
        const QJsonObject module = benchstatus::module(status, QStringLiteral("4B210736"), slot);
        QVERIFY(!module.isEmpty());
        QVERIFY(!module.value(QStringLiteral("opened")).toBool());
        QVERIFY(!module.value(QStringLiteral("configured")).toBool());
        QVERIFY(benchstatus::outputsAtZero(module));
    }
    QVERIFY(!QFile::exists(dir.filePath(QStringLiteral("refused.png"))));
}

QTEST_GUILESS_MAIN(TestToolRefusals)
#include "tst_tool_refusals.moc"
