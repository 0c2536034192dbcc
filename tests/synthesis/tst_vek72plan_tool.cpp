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

// Writes a file of one period for arb:; answers its path.
QString writePeriod(const QString& path, const QByteArray& text)
{
    QFile file(path);
    if (file.open(QIODevice::WriteOnly))
        file.write(text);
    return path;
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
    QTest::addColumn<int>("exitCode");  // 0 planned, 1 refused, 2 usage, 4 file
    QTest::addColumn<QByteArray>("out");  // how standard output begins
    QTest::addColumn<QString>("err");  // what standard error says
    const QStringList rate{"--rate", "48000"};
    const QString samples = dir.filePath("refused.csv");

    // One line, the keys in this order, 17 significant digits.
    QTest::newRow("cyclic") << QStringList{"--rate", "48000", "--signal", "sine:700"} << 0
                            << QByteArray("{\"rate\":48000, \"L\":480, \"blockCount\":1, \"samplesPerBlock\":480, "
                                          "\"transferWords\":480, \"blockPeriodMs\":10, \"channels\":[{\"shape\":\"sine\", "
                                          "\"peak\":1, \"offset\":0, \"requested\":700, \"periods\":7, "
                                          "\"samplesPerPeriod\":68.571428571428569, \"frequency\":700}]}\n")
                            << QString();
    QTest::newRow("streaming")
        << QStringList{"--rate", "48000", "--streaming", "--signal", "sine:1234.567"} << 0
        << QByteArray("{\"rate\":48000, \"L\":48000000, \"blockCount\":12, \"samplesPerBlock\":4000000, "
                      "\"transferWords\":4000000, \"blockPeriodMs\":83334, \"channels\":[{\"shape\":\"sine\", \"peak\":1, "
                      "\"offset\":0, \"requested\":1234.567, \"periods\":1234567, \"samplesPerPeriod\":38.880028382420718, "
                      "\"frequency\":1234.567}]}\n")
        << QString();
    // The DAC rate divided among the channels as the module does: two channels get half of it. A
    // line is a level without frequency; an RMS amplitude becomes the peak.
    QTest::newRow("DAC rate, two channels")
        << QStringList{"--dac-rate", "96000", "--signal", "sine:1000:rms:2", "--signal", "line:0:0:3"} << 0
        << QByteArray("{\"rate\":48000, \"L\":48, \"blockCount\":1, \"samplesPerBlock\":48, \"transferWords\":96, "
                      "\"blockPeriodMs\":1, \"channels\":[{\"shape\":\"sine\", \"peak\":2.8284271247461903, \"offset\":0, "
                      "\"requested\":1000, \"periods\":1, \"samplesPerPeriod\":48, \"frequency\":1000}, {\"shape\":\"line\", "
                      "\"peak\":null, \"offset\":3, \"requested\":null, \"periods\":null, \"samplesPerPeriod\":null, "
                      "\"frequency\":null}]}\n")
        << QString();
    // A per-channel rate the module gives only to another channel count is planned as asked, with a note.
    QTest::newRow("rate of four channels for one")
        << QStringList{"--rate", "12000", "--signal", "sine:1000:2"} << 0 << QByteArray("{\"rate\":12000, \"L\":12,")
        << QStringLiteral("при 1 канале модуль даёт на канал 48000, 96000 или 192000 выборок/с");
    QTest::newRow("help") << QStringList{"--help"} << 0 << QByteArray("Использование: vek72-plan") << QString();

    // A file's period (its points normalised to their peak, 4 here, then scaled by the amplitude) and
    // phases: the file's name and point count after the shape, a phase at the end, -90 as 270.
    const QString wave = writePeriod(dir.filePath("wave.csv"), "Напряжение\n0\n4\n2\n-2\n");
    QTest::newRow("arb and phases")
        << QStringList{"--rate", "24000", "--signal", "arb:" + wave + ":1000:2:0.5@90", "--signal", "sine:1000@-90"} << 0
        << QByteArray("{\"rate\":24000, \"L\":24, \"blockCount\":1, \"samplesPerBlock\":24, \"transferWords\":48, "
                      "\"blockPeriodMs\":1, \"channels\":[{\"shape\":\"arb\", \"file\":\"wave.csv\", \"points\":4, \"peak\":2, "
                      "\"offset\":0.5, \"requested\":1000, \"periods\":1, \"samplesPerPeriod\":24, \"frequency\":1000, "
                      "\"phase\":90}, {\"shape\":\"sine\", \"peak\":1, \"offset\":0, \"requested\":1000, \"periods\":1, "
                      "\"samplesPerPeriod\":24, \"frequency\":1000, \"phase\":270}]}\n")
        << QString();
    // pp: and rms: of a file are those of its normalised points (span 1.5, RMS of 0, 1, 0.5, -0.5
    // around 0.25: 0.5590169943749474).
    QTest::newRow("arb pp and rms")
        << QStringList{"--rate", "24000", "--signal", "arb:" + wave + ":1000:pp:3", "--signal", "arb:" + wave + ":1000:rms:1"}
        << 0 << QByteArray("{\"rate\":24000, \"L\":24, \"blockCount\":1, \"samplesPerBlock\":24, \"transferWords\":48, "
                           "\"blockPeriodMs\":1, \"channels\":[{\"shape\":\"arb\", \"file\":\"wave.csv\", \"points\":4, "
                           "\"peak\":2, \"offset\":0, \"requested\":1000, \"periods\":1, \"samplesPerPeriod\":24, "
                           "\"frequency\":1000}, {\"shape\":\"arb\", \"file\":\"wave.csv\", \"points\":4, "
                           "\"peak\":1.7888543819998317,")
        << QString();
    // Its range: the samples played, which ring past the four points (5 V + 6 V * (-0.5 .. 1) would
    // stay within 11 V) ...
    QTest::newRow("arb beyond the outputs by its samples")
        << QStringList{"--signal", "arb:" + wave + ":1000:6:5"} << 1 << QByteArray()
        << QStringLiteral("выборках на период выборки выходят за заданную амплитуду), а выход модуля — от -10 до 10 В");
    // ... and of a smooth period its own lowest and highest point: a raised sine from 0 to its peak
    // 4 V at -10 V reaches down to -10 V exactly, not to -14 V.
    QByteArray raisedSine;
    for (int j = 0; j < 64; ++j)
        raisedSine += QByteArray::number(1 + std::sin(2 * 3.14159265358979323846 * j / 64), 'g', 17) + "\n";
    const QString raised = writePeriod(dir.filePath("raised.csv"), raisedSine);
    QTest::newRow("arb within the outputs by its points")
        << QStringList{"--signal", "arb:" + raised + ":1000:4:-10"} << 0
        << QByteArray("{\"rate\":48000, \"L\":48,") << QString();

    // Refused plans, with and without a samples file (a refused plan leaves none behind).
    const QString half = QStringLiteral("Недостаточная частота ЦАП 48.000 кГц на канал для сигнала 24.000 кГц (канал 1)");
    QTest::newRow("half the rate") << rate + QStringList{"--signal", "sine:24000"} << 1 << QByteArray() << half;
    QTest::newRow("half the rate, samples")
        << rate + QStringList{"--signal", "sine:24000", "--samples", samples} << 1 << QByteArray() << half;
    QTest::newRow("too long, samples") << rate + QStringList{"--streaming", "--signal", "sine:0.0001", "--samples", samples}
                                       << 1 << QByteArray() << QStringLiteral("поток программы вмещает 134217728 выборок");
    QTest::newRow("beyond the outputs, samples")
        << rate + QStringList{"--signal", "saw:1000:6:5", "--samples", samples} << 1 << QByteArray()
        << QStringLiteral("канал 1: сигнал идёт от -1 до 11 В, а выход модуля — от -10 до 10 В");

    // Usage errors: the message names what is wrong.
    auto usage = [](const char* name, const QStringList& args, const QString& named) {
        QTest::newRow(name) << args << 2 << QByteArray() << named;
    };
    usage("no signal", rate, "нужен хотя бы один --signal");
    usage("rate and DAC rate", {"--rate", "48000", "--dac-rate", "48000", "--signal", "sine:700"}, "--dac-rate");
    usage("rate not a number", {"--rate", "fast", "--signal", "sine:700"}, "'fast'");
    usage("NaN rate", {"--rate", "nan", "--signal", "sine:700"}, "'nan'");
    usage("unknown shape", rate + QStringList{"--signal", "square:700"}, "'square'");
    usage("no frequency", rate + QStringList{"--signal", "sine"}, "'sine'");
    usage("zero frequency", rate + QStringList{"--signal", "saw:0"}, "частота '0'");
    usage("NaN frequency", rate + QStringList{"--signal", "sine:nan"}, "частота 'nan'");
    usage("NaN line frequency", rate + QStringList{"--signal", "line:nan:1:2"}, "частота 'nan'");
    usage("bad amplitude", rate + QStringList{"--signal", "sine:700:loud"}, "амплитуда 'loud'");
    usage("negative amplitude", rate + QStringList{"--signal", "triangle:700:-1"}, "амплитуда '-1'");
    usage("negative RMS", rate + QStringList{"--signal", "triangle:700:rms:-1"}, "амплитуда '-1'");
    usage("kind without amplitude", rate + QStringList{"--signal", "sine:700:pp"}, "после pp: нужна амплитуда");
    usage("infinite offset", rate + QStringList{"--signal", "line:0:0:inf"}, "смещение 'inf'");
    usage("too many fields", rate + QStringList{"--signal", "sine:700:1:0:9"}, "'sine:700:1:0:9'");
    usage("phase not a number", rate + QStringList{"--signal", "sine:700@east"}, "фаза 'east'");
    usage("phase of a line", rate + QStringList{"--signal", "line:0:0:1@90"}, "у line фазы нет");
    usage("arb without a file", rate + QStringList{"--signal", "arb::700"}, "arb:ФАЙЛ:ЧАСТОТА");
    usage("arb without its frequency", rate + QStringList{"--signal", "arb:" + wave}, "arb:ФАЙЛ:ЧАСТОТА");
    usage("arb file missing", rate + QStringList{"--signal", "arb:" + dir.filePath("none.csv") + ":700"},
          QStringLiteral("Не удалось прочитать файл \"none.csv\""));
    usage("arb file with a word",
          rate + QStringList{"--signal", "arb:" + writePeriod(dir.filePath("word.csv"), "0,5\n0,5\nслово\n") + ":700"},
          QStringLiteral("Файл \"word.csv\", строка 3: \"слово\" не является числом"));
    usage("arb rms of a level",
          rate + QStringList{"--signal", "arb:" + writePeriod(dir.filePath("level.csv"), "2\n2\n") + ":700:rms:1"},
          "нет переменной части");
    QStringList nine = rate;
    for (int i = 1; i <= 9; ++i)
        nine << "--signal" << QStringLiteral("sine:%1").arg(100 * i);
    usage("nine signals", nine, "не больше 8 сигналов");
    usage("both modes", rate + QStringList{"--cyclic", "--streaming", "--signal", "sine:1"}, "--cyclic");
    usage("unknown option", rate + QStringList{"--loud"}, "'--loud'");
    usage("missing value", rate + QStringList{"--signal"}, "--signal");
    usage("modification", rate + QStringList{"--modification", "4", "--signal", "sine:1"}, "--modification");
    QTest::newRow("unwritable samples")
        << rate + QStringList{"--signal", "sine:700", "--samples", "/nonexistent/dir/s.csv"} << 4 << QByteArray()
        << QStringLiteral("не записать /nonexistent/dir/s.csv");
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
    if (exitCode == 0 && err.isEmpty())
        QVERIFY2(run.err.isEmpty(), run.err.constData());
    if (exitCode != 0)
        QVERIFY(run.out.isEmpty());
    if (!err.isEmpty())
        QVERIFY2(run.err.startsWith("vek72-plan: ") && QString::fromUtf8(run.err).contains(err), run.err.constData());
    if (exitCode == 2)
        QVERIFY(run.err.endsWith("Справка: vek72-plan --help\n"));
    QVERIFY(!QFile::exists(dir.filePath("refused.csv")));
}

void TestVek72PlanTool::everyShapeWithItsSamples()
{
    QVERIFY(dir.isValid());
    const QString path = dir.filePath("samples.csv");
    // Five channels at a DAC rate of 192 kHz: 24000 samples per second each.
    const ToolRun run = runPlanner({"--dac-rate", "192000", "--signal", "sine:4800:1.5", "--signal",
                                    "triangle:9600:2:-0.5", "--signal", "saw:2400", "--signal", "pulse:6000:pp:6:1",
                                    "--signal", "line:5:0:2", "--samples", path});
    QCOMPARE(run.exitCode, 0);
    // The program's synthesis makes its triangle, saw and pulse rise from the offset by the
    // amplitude; the tool asks it for the same swing around the offset as the sine's.
    QList<ChannelSignal> list{sig(ChannelSignal::Sine, 4800, 1.5), sig(ChannelSignal::Triangle, 9600, 4, -2.5),
                              sig(ChannelSignal::Saw, 2400, 2, -1), sig(ChannelSignal::Pulse, 6000, 6, -2),
                              sig(ChannelSignal::Line, 5, 0, 2)};
    synthesis::Plan plan;
    QVERIFY(synthesis::synthesizeAll(list, 24000, true, &plan));

    // The plan: every channel in order, its shape named; 17 digits bring the very doubles back.
    const QJsonObject o = QJsonDocument::fromJson(run.out).object();
    QCOMPARE(o.value("rate").toDouble(), 24000.0);
    QCOMPARE(qint64(o.value("L").toDouble()), plan.length);
    const QJsonArray channels = o.value("channels").toArray();
    QCOMPARE(channels.size(), 5);
    const char* const shapes[] = {"sine", "triangle", "saw", "pulse", "line"};
    for (int i = 0; i < 5; ++i) {
        const QJsonObject c = channels.at(i).toObject();
        QCOMPARE(c.value("shape").toString(), QString::fromLatin1(shapes[i]));
        if (i == 4) {
            QVERIFY(c.value("frequency").isNull() && c.value("periods").isNull());
            continue;
        }
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
    double lowest[5] = {1e9, 1e9, 1e9, 1e9, 1e9};
    double highest[5] = {-1e9, -1e9, -1e9, -1e9, -1e9};
    for (int k = 0; k < plan.length; ++k) {
        const QList<QByteArray> cells = lines.at(k + 1).split(',');
        QCOMPARE(cells.size(), 5);
        for (int i = 0; i < 5; ++i) {
            const double v = cells.at(i).toDouble();
            QVERIFY2(v == list.at(i).samples.at(k), lines.at(k + 1).constData());
            lowest[i] = std::min(lowest[i], v);
            highest[i] = std::max(highest[i], v);
        }
    }
    // Every shape swings around its offset: the pulse between offset -/+ the peak exactly (pp:6 is a
    // peak of 3), the saw from its bottom, the line at its level.
    QCOMPARE(lowest[3], -2.0);
    QCOMPARE(highest[3], 4.0);
    QCOMPARE(lowest[2], -1.0);
    QVERIFY(highest[2] < 1.0);
    QVERIFY(lowest[0] >= -1.5 && highest[0] <= 1.5);
    QCOMPARE(lowest[1], -2.5);
    QCOMPARE(lowest[4], 2.0);
    QCOMPARE(highest[4], 2.0);
}

QTEST_GUILESS_MAIN(TestVek72PlanTool)
#include "tst_vek72plan_tool.moc"
