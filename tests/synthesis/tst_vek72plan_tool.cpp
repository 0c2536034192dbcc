// The planner tool vek72-plan, run as a process: its JSON answer, the CSV of the samples, the
// refusals with the program's texts and exit status 2, and its usage errors.

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QtTest>

#include "synthesis.h"
#include "testsignals.h"
#include "toolrun.h"

namespace {

ToolRun runPlanner(const QStringList& args)
{
    return runTool(QStringLiteral(VEK72_PLAN_PATH), args);
}

} // namespace

class TestVek72PlanTool : public QObject
{
    Q_OBJECT

private slots:
    void answers_data();
    void answers();
    void everyShapeWithItsSamples();

private:
    QTemporaryDir dir;
};

void TestVek72PlanTool::answers_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<int>("exitCode");  // 0 planned, 1 usage, 2 refused plan
    QTest::addColumn<QByteArray>("out");  // how standard output begins
    QTest::addColumn<QString>("err");  // what standard error says
    const QStringList rate{"--rate", "48000"};
    const QString samples = dir.filePath("refused.csv");

    // One line, the keys in this order, 17 significant digits.
    QTest::newRow("cyclic") << QStringList{"--rate", "48000", "--signal", "sine:700"} << 0
                            << QByteArray("{\"L\":480, \"blockCount\":1, \"samplesPerBlock\":480, \"transferWords\":480, "
                                          "\"blockPeriodMs\":10, \"channels\":[{\"shape\":\"sine\", \"requested\":700, "
                                          "\"periods\":7, \"samplesPerPeriod\":68.571428571428569, \"frequency\":700}]}\n")
                            << QString();
    QTest::newRow("streaming")
        << QStringList{"--rate", "48000", "--streaming", "--signal", "sine:1234.567"} << 0
        << QByteArray("{\"L\":48000000, \"blockCount\":12, \"samplesPerBlock\":4000000, \"transferWords\":4000000, "
                      "\"blockPeriodMs\":83334, \"channels\":[{\"shape\":\"sine\", \"requested\":1234.567, "
                      "\"periods\":1234567, \"samplesPerPeriod\":38.880028382420718, \"frequency\":1234.567}]}\n")
        << QString();
    QTest::newRow("help") << QStringList{"--help"} << 0 << QByteArray("Usage: vek72-plan --rate HZ") << QString();

    // Refused plans, with and without a samples file (a refused plan leaves none behind).
    const QString half = QStringLiteral("Недостаточная частота ЦАП 48.000 кГц на канал для сигнала 24.000 кГц\n");
    QTest::newRow("half the rate") << rate + QStringList{"--signal", "sine:24000"} << 2 << QByteArray() << half;
    QTest::newRow("half the rate, samples")
        << rate + QStringList{"--signal", "sine:24000", "--samples", samples} << 2 << QByteArray() << half;
    QTest::newRow("no signal") << rate << 2 << QByteArray() << QStringLiteral("Нет включенных каналов для генерации\n");
    QTest::newRow("too long, samples") << rate + QStringList{"--streaming", "--signal", "sine:0.0001", "--samples", samples}
                                       << 2 << QByteArray() << QStringLiteral("Недостаточно памяти для генерации сигнала\n");

    // Usage errors: the message names what is wrong.
    auto usage = [](const char* name, const QStringList& args, const QString& named) {
        QTest::newRow(name) << args << 1 << QByteArray() << named;
    };
    usage("no rate", {"--signal", "sine:700"}, "--rate");
    usage("rate not a number", {"--rate", "fast", "--signal", "sine:700"}, "'fast'");
    usage("NaN rate", {"--rate", "nan", "--signal", "sine:700"}, "'nan'");
    usage("unknown shape", rate + QStringList{"--signal", "square:700"}, "'square'");
    usage("no frequency", rate + QStringList{"--signal", "sine"}, "'sine'");
    usage("zero frequency", rate + QStringList{"--signal", "saw:0"}, "bad frequency '0'");
    usage("NaN frequency", rate + QStringList{"--signal", "sine:nan"}, "bad frequency 'nan'");
    usage("NaN line frequency", rate + QStringList{"--signal", "line:nan:1:2"}, "bad frequency 'nan'");
    usage("bad amplitude", rate + QStringList{"--signal", "sine:700:loud"}, "bad amplitude 'loud'");
    usage("negative amplitude", rate + QStringList{"--signal", "triangle:700:-1"}, "bad amplitude '-1'");
    usage("infinite offset", rate + QStringList{"--signal", "line:0:0:inf"}, "bad offset 'inf'");
    usage("too many fields", rate + QStringList{"--signal", "sine:700:1:0:9"}, "'sine:700:1:0:9'");
    QStringList nine = rate;
    for (int i = 1; i <= 9; ++i)
        nine << "--signal" << QStringLiteral("sine:%1").arg(100 * i);
    usage("nine signals", nine, "at most 8 signals");
    usage("both modes", rate + QStringList{"--cyclic", "--streaming", "--signal", "sine:1"}, "--cyclic");
    usage("unknown option", rate + QStringList{"--loud"}, "'--loud'");
    usage("missing value", rate + QStringList{"--signal"}, "--signal");
    usage("unwritable samples", rate + QStringList{"--signal", "sine:700", "--samples", "/nonexistent/dir/s.csv"},
          "cannot write /nonexistent/dir/s.csv");
}

void TestVek72PlanTool::answers()
{
    QFETCH(QStringList, args);
    QFETCH(int, exitCode);
    QFETCH(QByteArray, out);
    QFETCH(QString, err);
    const ToolRun run = runPlanner(args);
    QCOMPARE(run.exitCode, exitCode);
    QVERIFY2(run.out.startsWith(out), run.out.constData());
    if (exitCode == 0)
        QVERIFY(run.err.isEmpty());
    else if (exitCode == 1)
        QVERIFY2(run.out.isEmpty() && run.err.startsWith("vek72-plan: ") && QString::fromUtf8(run.err).contains(err),
                 run.err.constData());
    else
        QVERIFY(run.out.isEmpty() && QString::fromUtf8(run.err) == err && !QFile::exists(dir.filePath("refused.csv")));
}

void TestVek72PlanTool::everyShapeWithItsSamples()
{
    QVERIFY(dir.isValid());
    const QString path = dir.filePath("samples.csv");
    const ToolRun run = runPlanner({"--rate", "48000", "--signal", "sine:9600:1.5", "--signal", "triangle:19200:2:-0.5",
                                    "--signal", "saw:4800", "--signal", "pulse:12000:3:1", "--signal", "line:5",
                                    "--samples", path});
    QCOMPARE(run.exitCode, 0);
    // The line defaults to an offset of 0 V, whatever its amplitude.
    QList<ChannelSignal> list{sig(ChannelSignal::Sine, 9600, 1.5), sig(ChannelSignal::Triangle, 19200, 2, -0.5),
                              sig(ChannelSignal::Saw, 4800), sig(ChannelSignal::Pulse, 12000, 3, 1),
                              sig(ChannelSignal::Line, 5, 1, 0)};
    synthesis::Plan plan;
    QVERIFY(synthesis::synthesizeAll(list, 48000, true, &plan));

    // The plan: every channel in order, its shape named; 17 digits bring the very doubles back.
    const QJsonObject o = QJsonDocument::fromJson(run.out).object();
    QCOMPARE(qint64(o.value("L").toDouble()), plan.length);
    const QJsonArray channels = o.value("channels").toArray();
    QCOMPARE(channels.size(), 5);
    const char* const shapes[] = {"sine", "triangle", "saw", "pulse", "line"};
    for (int i = 0; i < 5; ++i) {
        const QJsonObject c = channels.at(i).toObject();
        QCOMPARE(c.value("shape").toString(), QString::fromLatin1(shapes[i]));
        QCOMPARE(qint64(c.value("periods").toDouble()), plan.channels.at(i).periods);
        EXACT(c.value("requested").toDouble(), plan.channels.at(i).requested);
        EXACT(c.value("frequency").toDouble(), plan.channels.at(i).frequency);
    }

    // The samples: a header, a line of every channel's volts per sample index, a final newline.
    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QList<QByteArray> lines = file.readAll().split('\n');
    QCOMPARE(lines.first(), QByteArray("ch1,ch2,ch3,ch4,ch5"));
    QCOMPARE(lines.size(), 1 + plan.length + 1);
    QVERIFY(lines.last().isEmpty());
    for (int k = 0; k < plan.length; ++k) {
        const QList<QByteArray> cells = lines.at(k + 1).split(',');
        QCOMPARE(cells.size(), 5);
        for (int i = 0; i < 5; ++i)
            QVERIFY2(cells.at(i).toDouble() == list.at(i).samples.at(k), lines.at(k + 1).constData());
    }
}

QTEST_GUILESS_MAIN(TestVek72PlanTool)
#include "tst_vek72plan_tool.moc"
