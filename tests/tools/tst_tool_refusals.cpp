// What the four tools refuse, run as an operator runs them against a vekd of the test's own: the
// exit status (2 for every usage error, 1 for what the module cannot do, 3 without a service), the
// reason on standard error, nothing on standard output, and both VEK72 of the bench left as they
// were: not open, not configured, every output at 0 V.
#include <QtTest>

#include "benchstatus.h"
#include "toolrun.h"
#include "vekdrunner.h"

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
    const QStringList slot7{"--crate", "4B210736", "--slot", "7"};
    auto row = [](const QString& tool, const char* name, const QStringList& args, int exitCode, const QString& says) {
        QTest::addRow("%s: %s", qPrintable(tool), name) << tool << args << exitCode << says;
    };

    // Usage errors: 2 in every tool (the planner's own, and vekscope's, are their tests').
    row("vek72-play", "no signal", {}, 2, "нужен хотя бы один --signal");
    row("vek72-play", "no frequency", {"--signal", "sine"}, 2, "'sine'");
    row("vek72-play", "RMS without a value", {"--signal", "sine:1000:rms:"}, 2, "амплитуда ''");
    row("vek72-play", "unknown option", {"--loud", "--signal", "sine:1000"}, 2, "'--loud'");
    row("vek72-play", "DAC rate not a number", {"--dac-rate", "fast", "--signal", "sine:1000"}, 2, "'fast'");
    row("vek72-play", "service not an address", {"--service", "crates", "--signal", "sine:1000"}, 2, "'crates'");
    row("vek72-play", "phase of a line", {"--signal", "line:0:0:1@90"}, 2, "у line фазы нет");
    row("vekscope", "unknown option", {"--loud"}, 2, "'--loud'");
    row("vekctl", "unknown command", {"loud"}, 2, "неизвестная команда \"loud\"");
    row("vekctl", "capture without crate", {"capture", "--slot", "3", "--frames", "1", "--out", "x.csv"}, 2,
        "capture: нужен --crate");
    row("vekctl", "probe on an output and the scanner", {"probe", "--crate", "4B210736", "--slot", "3", "--channel", "1", "--scanner"},
        2, "--channel или --scanner, не оба");
    row("vekctl", "probe without a slot", {"probe", "--crate", "4B210736", "--channel", "1"}, 2, "probe: нужен --slot");
    row("vekctl", "hang without a target", {"fault", "hang"}, 2, "fault hang: нужен --target dmm");
    const QStringList channel3{"--crate", "4B210736", "--slot", "3", "--channel", "3"};
    row("vekctl", "gain without a range", QStringList{"fault", "gain"} + channel3 + QStringList{"--ppm", "100"}, 2,
        "fault gain: --range: full или tenth");
    row("vekctl", "gain without ppm", QStringList{"fault", "gain"} + channel3 + QStringList{"--range", "full"}, 2, "fault gain: нужен --ppm");
    row("vekctl", "offset beyond 10 V", QStringList{"fault", "offset"} + channel3 + QStringList{"--range", "tenth", "--microvolts", "2e7"},
        2, "--microvolts: нужно число от -1e+07 до 1e+07");

    // What the module cannot do: 1, with the true reason, from the planner as from the player.
    for (const char* tool : {"vek72-plan", "vek72-play"}) {
        row(tool, "page above the limit", {"--signal", "sine:0.01"}, 1,
            "страница модуля вмещает 4194304 слова, при 1 канале — не больше 4194304 на канал");
        row(tool, "DAC rate", {"--dac-rate", "44100", "--signal", "sine:1000"}, 1,
            "частота ЦАП 44100 Гц: модуль работает только на 48000, 96000 или 192000 Гц");
        row(tool, "amplitude beyond 10 V", {"--signal", "sine:1000:11"}, 1,
            "канал 1: сигнал идёт от -11 до 11 В, а выход модуля — от -10 до 10 В (VEK72-1, полный диапазон)");
    }
    row("vek72-plan", "rate no channel count gives", {"--rate", "44100", "--signal", "sine:1000"}, 1,
        "44100 выборок/с на канал модуль не даёт");
    row("vek72-play", "second channel's page above the limit", {"--signal", "sine:1000", "--signal", "sine:0.01"}, 1,
        "канал 2: период сигнала 0.01 Гц при 24000 выборках/с на канал — 2400000 выборок");
    row("vek72-play", "frequency above half the rate", {"--signal", "sine:30000"}, 1,
        "Недостаточная частота ЦАП 48.000 кГц на канал для сигнала 30.000 кГц (канал 1)");
    row("vek72-play", "second channel's frequency above half the rate", {"--signal", "sine:1000", "--signal", "sine:13000"},
        1, "Недостаточная частота ЦАП 24.000 кГц на канал для сигнала 13.000 кГц (канал 2)");
    row("vek72-play", "RMS beyond the tenth range", {"--tenth", "--signal", "line:0:0:0.5", "--signal", "sine:1000:rms:1"},
        1, "канал 2: сигнал идёт от -1.414213562 до 1.414213562 В, а выход модуля — от -1 до 1 В (VEK72-1, диапазон 1/10)");
    row("vek72-play", "offset beyond the modification's range", slot7 + QStringList{"--signal", "line:0:0:-3"}, 1,
        "канал 1: уровень -3 В, а выход модуля — от -2 до 20 В (VEK72-2, полный диапазон)");
    row("vek72-play", "triangle samples above the peak", {"--signal", "triangle:19200:4.5:5"}, 1,
        "канал 1: сигнал идёт от 0.5 до 11.3 В (при 2.5 выборках на период выборки выходят за заданную амплитуду)");
    // A square period from a file, band-limited, rings some 9 % past its points next to its steps.
    QFile square(dir.filePath(QStringLiteral("square.csv")));
    square.open(QIODevice::WriteOnly);
    square.write(QByteArray("1\n").repeated(32) + QByteArray("-1\n").repeated(32));
    square.close();
    row("vek72-play", "file's samples above its points", {"--signal", "arb:" + square.fileName() + ":1000:9.5"}, 1,
        "(при 48 выборках на период выборки выходят за заданную амплитуду), а выход модуля — от -10 до 10 В");
    row("vek72-play", "more signals than channels", slot7 + QString("--signal sine:1 ").repeated(5).trimmed().split(' '),
        1, "у VEK72 в крейте 4B210736, слоте 7 каналов 4, а сигналов задано 5");
    row("vek72-play", "crate without VEK72", {"--crate", "4B210751", "--signal", "sine:1000"}, 1, "в крейте 4B210751 нет VEK72");
    row("vek72-play", "empty slot", {"--crate", "4B210736", "--slot", "5", "--signal", "sine:1000"}, 1,
        "в крейте 4B210736 в слоте 5 нет VEK72");
    row("vekctl", "capture of a crate without VEK72",
        {"capture", "--crate", "4B210751", "--slot", "2", "--frames", "1", "--out", dir.filePath("x.csv")}, 1, "служба отказала в capture: в слоте нет VEK72");
    row("vekctl", "probe of a vekd without a multimeter", {"probe", "--crate", "4B210736", "--slot", "3", "--channel", "1"}, 1,
        "служба отказала в probe: no simulated multimeter (vekd --dmm)");
    row("vekctl", "multimeter fault of a vekd without one", {"fault", "hang", "--target", "dmm"}, 1,
        "служба отказала в fault: no simulated multimeter (vekd --dmm)");
    row("vekctl", "fault of an unknown target", {"fault", "drop", "--target", "scope"}, 1, "служба отказала в fault: no fault target \"scope\" (dmm)");
    row("vekctl", "gain of a channel the module lacks",
        {"fault", "gain", "--crate", "4B210736", "--slot", "7", "--channel", "6", "--range", "full", "--ppm", "10"}, 1,
        "служба отказала в fault: the module has no channel 6 (1..4)");
    row("vekctl", "offset of an empty slot",
        {"fault", "offset", "--crate", "4B210736", "--slot", "5", "--channel", "1", "--range", "full", "--microvolts", "10"}, 1,
        "служба отказала в fault: crate 4B210736 has no VEK72 in slot 5");

    // No service: 3.
    row("vek72-play", "no service", {"--service", "127.0.0.1:1", "--signal", "sine:1000"}, 3, "служба крейтов недоступна");
    row("vekctl", "no service", {"--service", "127.0.0.1:1", "ping"}, 3, "нет связи со службой крейтов 127.0.0.1:1");
}

void TestToolRefusals::refusals()
{
    QFETCH(QString, tool);
    QFETCH(QStringList, args);
    QFETCH(int, exitCode);
    QFETCH(QString, says);
    const QMap<QString, QString> paths{{"vek72-plan", VEK72_PLAN_PATH}, {"vek72-play", VEK72_PLAY_PATH},
                                       {"vekscope", VEKSCOPE_PATH}, {"vekctl", VEKCTL_TOOL_PATH}};
    const ToolRun run = runTool(paths.value(tool), args);
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
}

QTEST_GUILESS_MAIN(TestToolRefusals)
#include "tst_tool_refusals.moc"
