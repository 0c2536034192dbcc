// The planner tool vek72-plan, run as a process: its JSON answer, the CSV of the samples, the
// refusals with the program's texts and exit status 2, and its usage errors.

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <cmath>

#include "synthesis.h"
#include "testsignals.h"
#include "toolrun.h"

namespace {

using Run = ToolRun;

Run runTool(const QStringList& args)
{
    return runTool(QStringLiteral(VEK72_PLAN_PATH), args);
}

QJsonObject parse(const Run& run)
{
    QJsonParseError error;
    const QJsonDocument doc = QJsonDocument::fromJson(run.out, &error);
    if (error.error != QJsonParseError::NoError)
        qWarning("not JSON (%s): %s", qPrintable(error.errorString()), run.out.constData());
    return doc.object();
}

} // namespace

class TestVek72PlanTool : public QObject
{
    Q_OBJECT

private slots:
    void singleSine();
    void answersLikeThePlanner();
    void streamingBlocks();
    void writesSamples();
    void refusedPlans_data();
    void refusedPlans();
    void usageErrors_data();
    void usageErrors();
    void help();
};

void TestVek72PlanTool::singleSine()
{
    const Run run = runTool({"--rate", "48000", "--signal", "sine:700"});
    QCOMPARE(run.exitCode, 0);
    QVERIFY(run.err.isEmpty());
    // One line, the keys in this order, 17 significant digits.
    QCOMPARE(run.out,
             QByteArray("{\"L\":480, \"blockCount\":1, \"samplesPerBlock\":480, \"transferWords\":480, "
                        "\"blockPeriodMs\":10, \"channels\":[{\"shape\":\"sine\", \"requested\":700, "
                        "\"periods\":7, \"samplesPerPeriod\":68.571428571428569, \"frequency\":700}]}\n"));
}

void TestVek72PlanTool::answersLikeThePlanner()
{
    const QList<ChannelSignal> list{sig(ChannelSignal::Sine, 1234.567, 1, 0), sig(ChannelSignal::Triangle, 19200, 2, 1),
                                    sig(ChannelSignal::Saw, 333.3, 1, 0), sig(ChannelSignal::Pulse, 7, 1, 0),
                                    sig(ChannelSignal::Line, 0, 0, 3)};
    const Run run = runTool({"--rate", "12000", "--cyclic", "--signal", "sine:1234.567", "--signal",
                             "triangle:19200:2:1", "--signal", "saw:333.3", "--signal", "pulse:7",
                             "--signal", "line:0:0:3"});
    // 19200 Hz is above half of 12000: refused.
    QCOMPARE(run.exitCode, 2);

    const Run ok = runTool({"--rate", "12000", "--cyclic", "--signal", "sine:1234.567", "--signal",
                            "triangle:1920:2:1", "--signal", "saw:333.3", "--signal", "pulse:7",
                            "--signal", "line:0:0:3"});
    QCOMPARE(ok.exitCode, 0);
    QList<ChannelSignal> same = list;
    same[1].frequency = 1920;
    const synthesis::Plan plan = synthesis::makePlan(same, 12000, true);
    QVERIFY(plan.ok());
    const QJsonObject o = parse(ok);
    QCOMPARE(o.keys().size(), 6);
    QCOMPARE(qint64(o.value("L").toDouble()), plan.length);
    QCOMPARE(qint64(o.value("blockCount").toDouble()), plan.blockCount);
    QCOMPARE(qint64(o.value("samplesPerBlock").toDouble()), plan.samplesPerBlock);
    QCOMPARE(qint64(o.value("transferWords").toDouble()), plan.transferWords());
    QCOMPARE(qint64(o.value("blockPeriodMs").toDouble()), plan.blockPeriodMs);
    const QJsonArray channels = o.value("channels").toArray();
    QCOMPARE(channels.size(), 5);
    const char* const shapes[] = {"sine", "triangle", "saw", "pulse", "line"};
    for (int i = 0; i < 5; ++i) {
        const QJsonObject c = channels.at(i).toObject();
        QCOMPARE(c.value("shape").toString(), QString::fromLatin1(shapes[i]));
        QCOMPARE(qint64(c.value("periods").toDouble()), plan.channels.at(i).periods);
        // 17 digits bring the very doubles back
        QVERIFY(c.value("requested").toDouble() == same.at(i).frequency);
        QVERIFY(c.value("samplesPerPeriod").toDouble() == plan.channels.at(i).samplesPerPeriod);
        QVERIFY(c.value("frequency").toDouble() == plan.channels.at(i).frequency);
    }
}

void TestVek72PlanTool::streamingBlocks()
{
    const Run run = runTool({"--rate", "48000", "--streaming", "--signal", "sine:1234.567"});
    QCOMPARE(run.exitCode, 0);
    const QJsonObject o = parse(run);
    QCOMPARE(o.value("L").toDouble(), 48000000.0);
    QCOMPARE(o.value("blockCount").toDouble(), 12.0);
    QCOMPARE(o.value("samplesPerBlock").toDouble(), 4000000.0);
    QCOMPARE(o.value("transferWords").toDouble(), 4000000.0);
    QCOMPARE(o.value("blockPeriodMs").toDouble(), 83334.0);
    QCOMPARE(o.value("channels").toArray().at(0).toObject().value("periods").toDouble(), 1234567.0);
}

void TestVek72PlanTool::writesSamples()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath("samples.csv");
    const Run run = runTool({"--rate", "48000", "--signal", "triangle:19200:2:-0.5", "--signal",
                             "sine:9600:1.5", "--signal", "line:5", "--samples", path});
    QCOMPARE(run.exitCode, 0);
    QList<ChannelSignal> list{sig(ChannelSignal::Triangle, 19200, 2, -0.5), sig(ChannelSignal::Sine, 9600, 1.5, 0),
                              sig(ChannelSignal::Line, 5, 1, 0)};
    QVERIFY(synthesis::synthesizeAll(list, 48000, true));
    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QList<QByteArray> lines = file.readAll().split('\n');
    QCOMPARE(lines.first(), QByteArray("ch1,ch2,ch3"));
    QCOMPARE(lines.size(), 1 + list.first().samples.size() + 1);  // header, samples, final newline
    QVERIFY(lines.last().isEmpty());
    for (int k = 0; k < list.first().samples.size(); ++k) {
        const QList<QByteArray> cells = lines.at(k + 1).split(',');
        QCOMPARE(cells.size(), 3);
        for (int i = 0; i < 3; ++i)
            QVERIFY2(cells.at(i).toDouble() == list.at(i).samples.at(k), lines.at(k + 1).constData());
    }
    // The line defaults to an offset of 0 V, whatever its amplitude.
    QCOMPARE(lines.at(1).split(',').at(2), QByteArray("0"));
}

void TestVek72PlanTool::refusedPlans_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QString>("text");
    QTest::newRow("half the rate") << QStringList{"--rate", "48000", "--signal", "sine:24000"}
                                   << QStringLiteral("Недостаточная частота ЦАП 48.000 кГц на канал для сигнала 24.000 кГц");
    QTest::newRow("no signal") << QStringList{"--rate", "48000"}
                               << QStringLiteral("Нет включенных каналов для генерации");
    QTest::newRow("too long") << QStringList{"--rate", "48000", "--streaming", "--signal", "sine:0.0001"}
                              << QStringLiteral("Недостаточно памяти для генерации сигнала");
}

void TestVek72PlanTool::refusedPlans()
{
    QFETCH(QStringList, args);
    QFETCH(QString, text);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    // With and without a samples file: a refused plan leaves no file behind.
    const QString path = dir.filePath("samples.csv");
    for (const QStringList& extra : {QStringList(), QStringList{"--samples", path}}) {
        const Run run = runTool(args + extra);
        QCOMPARE(run.exitCode, 2);
        QVERIFY(run.out.isEmpty());
        QCOMPARE(QString::fromUtf8(run.err), text + "\n");
        QVERIFY(!QFile::exists(path));
    }
}

void TestVek72PlanTool::usageErrors_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QString>("named");  // what the message must name
    const QStringList rate{"--rate", "48000"};
    QTest::newRow("no rate") << QStringList{"--signal", "sine:700"} << "--rate";
    QTest::newRow("rate not a number") << QStringList{"--rate", "fast", "--signal", "sine:700"} << "'fast'";
    QTest::newRow("zero rate") << QStringList{"--rate", "0", "--signal", "sine:700"} << "'0'";
    QTest::newRow("NaN rate") << QStringList{"--rate", "nan", "--signal", "sine:700"} << "'nan'";
    QTest::newRow("unknown shape") << rate + QStringList{"--signal", "square:700"} << "'square'";
    QTest::newRow("no frequency") << rate + QStringList{"--signal", "sine"} << "'sine'";
    QTest::newRow("zero frequency") << rate + QStringList{"--signal", "saw:0"} << "bad frequency '0'";
    QTest::newRow("negative frequency") << rate + QStringList{"--signal", "sine:-700"} << "bad frequency '-700'";
    QTest::newRow("NaN frequency") << rate + QStringList{"--signal", "sine:nan"} << "bad frequency 'nan'";
    QTest::newRow("infinite frequency") << rate + QStringList{"--signal", "pulse:inf"} << "bad frequency 'inf'";
    QTest::newRow("NaN line frequency") << rate + QStringList{"--signal", "line:nan:1:2"} << "bad frequency 'nan'";
    QTest::newRow("bad amplitude") << rate + QStringList{"--signal", "sine:700:loud"} << "bad amplitude 'loud'";
    QTest::newRow("zero amplitude") << rate + QStringList{"--signal", "sine:700:0"} << "bad amplitude '0'";
    QTest::newRow("negative amplitude") << rate + QStringList{"--signal", "triangle:700:-1"} << "bad amplitude '-1'";
    QTest::newRow("infinite amplitude") << rate + QStringList{"--signal", "sine:700:-inf"} << "bad amplitude '-inf'";
    QTest::newRow("NaN offset") << rate + QStringList{"--signal", "sine:700:1:nan"} << "bad offset 'nan'";
    QTest::newRow("infinite offset") << rate + QStringList{"--signal", "line:0:0:inf"} << "bad offset 'inf'";
    QTest::newRow("too many fields") << rate + QStringList{"--signal", "sine:700:1:0:9"} << "'sine:700:1:0:9'";
    QStringList nine = rate;
    for (int i = 1; i <= 9; ++i)
        nine << "--signal" << QStringLiteral("sine:%1").arg(100 * i);
    QTest::newRow("nine signals") << nine << "at most 8 signals";
    QTest::newRow("both modes") << rate + QStringList{"--cyclic", "--streaming", "--signal", "sine:1"} << "--cyclic";
    QTest::newRow("unknown option") << rate + QStringList{"--loud"} << "'--loud'";
    QTest::newRow("missing value") << rate + QStringList{"--signal"} << "--signal";
    QTest::newRow("unwritable samples") << rate + QStringList{"--signal", "sine:700", "--samples", "/nonexistent/dir/s.csv"}
                                        << "cannot write /nonexistent/dir/s.csv";
}

void TestVek72PlanTool::usageErrors()
{
    QFETCH(QStringList, args);
    QFETCH(QString, named);
    const Run run = runTool(args);
    QCOMPARE(run.exitCode, 1);
    QVERIFY(run.out.isEmpty());
    QVERIFY(run.err.startsWith("vek72-plan: "));
    QVERIFY2(QString::fromUtf8(run.err).contains(named), run.err.constData());
}

void TestVek72PlanTool::help()
{
    const Run run = runTool({"--help"});
    QCOMPARE(run.exitCode, 0);
    QVERIFY(run.out.startsWith("Usage: vek72-plan --rate HZ"));
    for (const char* word : {"--cyclic", "--streaming", "--signal", "--samples", "Exit status"})
        QVERIFY2(run.out.contains(word), word);
}

QTEST_GUILESS_MAIN(TestVek72PlanTool)
#include "tst_vek72plan_tool.moc"
