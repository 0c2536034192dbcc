// Arbitrary waveforms and phases as an operator uses them in the window, against a vekd of the test's
// own: a spreadsheet's column loaded with "Загрузить…" plays its shape at the achieved frequency, three
// phases keep exactly 120° between them after every start, a file that cannot be used changes nothing
// and says why, and the waveform and the phase stay with the channel (focus, a module opened anew).
#include <QtTest>

#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QTemporaryDir>

#include <complex>

#include "apptestutil.h"
#include "benchstatus.h"
#include "operatorbench.h"
#include "synthesis.h"
#include "waveformfile.h"

namespace {

const QString crateA = QStringLiteral("4B210736");
constexpr double pi = 3.14159265358979323846;

// The columns of the last frames the module played, in volts, by channel name ("ch2").
QMap<QString, QVector<double>> capture(VekdRunner& service, int frames)
{
    QMap<QString, QVector<double>> columns;
    QTemporaryDir dir;
    const QString path = dir.filePath("frames.csv");
    if (service.vekctl({"capture", "--crate", crateA, "--slot", "3", "--frames", QString::number(frames), "--out", path}) != 0)
        return columns;
    const QList<QByteArray> lines = apptest::readFile(path).split('\n');
    const QList<QByteArray> names = lines.value(0).split(',');
    for (int i = 1; i < lines.size(); ++i) {
        const QList<QByteArray> cells = lines.at(i).split(',');
        for (int c = 0; c < cells.size() && cells.size() == names.size(); ++c)
            columns[QString::fromLatin1(names.at(c))].append(cells.at(c).toDouble());
    }
    return columns;
}

bool playing(OperatorBench& bench)
{
    return benchstatus::module(benchstatus::status(bench.service), crateA, 3).value("running").toBool();
}

qint64 framesPlayed(OperatorBench& bench)
{
    const QJsonObject module = benchstatus::module(benchstatus::status(bench.service), crateA, 3);
    return qint64(module.value("counters").toObject().value("framesPlayed").toDouble(-1));
}

// Started with the button; true once the module has played `frames` frames of the new output, so
// that a capture of as many holds nothing from before.
bool startAndPlay(OperatorBench& bench, qint64 frames)
{
    QTest::mouseClick(bench.startStop(), Qt::LeftButton);
    if (!QTest::qWaitFor([&] { return playing(bench); }, 30000) || !bench.settle())
        return false;
    const qint64 from = framesPlayed(bench);
    return QTest::qWaitFor([&] { return framesPlayed(bench) >= from + frames; }, 30000);
}

// The complex amplitude of the harmonic of `cyclesPerFrame` in a column (a whole number of its
// periods long): its argument is the phase of that harmonic's cosine at frame 0.
std::complex<double> harmonic(const QVector<double>& v, double cyclesPerFrame)
{
    std::complex<double> sum;
    for (int k = 0; k < v.size(); ++k)
        sum += v[k] * std::polar(1.0, -2 * pi * cyclesPerFrame * k);
    return sum * (2.0 / v.size());
}

double degreesBetween(std::complex<double> a, std::complex<double> b)
{
    double d = std::arg(b / a) * 180 / pi;
    return d < 0 ? d + 360 : d;
}

// The operator clicks into channel N's type selector (the window active again after a dialog).
bool focusChannel(OperatorBench& bench, int channel)
{
    bench.hosts.window.activateWindow();
    if (!QTest::qWaitForWindowActive(&bench.hosts.window))
        return false;
    bench.channelType(channel)->setFocus(Qt::MouseFocusReason);
    return bench.settle() && bench.module->focusedChannelNumber() == channel;
}

// Channel N switched on and of the special type, and focused: the custom group serves it.
bool makeSpecial(OperatorBench& bench, int channel)
{
    if (!bench.channelGroup(channel)->isChecked())
        bench.clickGroup(channel);
    bench.settle();
    bench.pick(bench.channelType(channel), "Особый");
    bench.settle();
    // The full range (item 1): the one-tenth range would cut the signal at a tenth of the outputs.
    bench.pick(bench.channelRange(channel), bench.channelRange(channel)->itemText(1));
    bench.settle();
    return focusChannel(bench, channel) && bench.hosts.group("groupBoxCustom")->isEnabled();
}

// "Загрузить…", then the file chosen in the dialog; true once the module has taken it in.
bool loadThroughDialog(OperatorBench& bench, const QString& path)
{
    QTest::mouseClick(bench.hosts.find<QPushButton>("pushButtonCustomLoad"), Qt::LeftButton);
    QFileDialog* dialog = nullptr;
    if (!QTest::qWaitFor([&] {
            dialog = bench.hosts.window.findChild<QFileDialog*>("fileDialogWaveform");
            return dialog && dialog->isVisible();
        }, 5000))
        return false;
    if (dialog->windowTitle() != QStringLiteral("Загрузить произвольный сигнал")
        || !dialog->nameFilters().contains(QStringLiteral("Таблицы и звук (*.csv *.txt *.wav)")))
        return false;
    // The name typed and Return, as the operator does.
    QLineEdit* name = dialog->findChild<QLineEdit*>("fileNameEdit");
    if (!name)
        return false;
    dialog->selectFile(path);
    QTest::keyClick(name, Qt::Key_Return);
    return QTest::qWaitFor([&] { return !bench.hosts.window.findChild<QFileDialog*>("fileDialogWaveform"); }, 5000)
           && bench.settle();
}

QString label(OperatorBench& bench)
{
    return bench.hosts.find<QLabel>("labelCustomWaveform")->text();
}

QString labelTip(OperatorBench& bench)
{
    return bench.hosts.find<QLabel>("labelCustomWaveform")->toolTip();
}

// The shape of the spreadsheet column: three harmonics, well below what 64 points or the output carry.
double sheetShape(double x)
{
    return std::sin(x) + 0.3 * std::sin(3 * x + 0.5) + 0.2 * std::cos(2 * x);
}

// A spreadsheet saved with Russian regional settings: a header, time and value, ";" and decimal
// commas. Answers the values as written (six decimals).
QVector<double> writeSheet(const QString& path, int points)
{
    QFile file(path);
    file.open(QIODevice::WriteOnly);
    file.write("Время, с;Напряжение, В\r\n");
    QVector<double> values;
    for (int j = 0; j < points; ++j) {
        const QString value = QString::number(sheetShape(2 * pi * j / points), 'f', 6);
        values.append(value.toDouble());
        file.write(QStringLiteral("%1;%2\r\n").arg(QString::number(j * 1e-4, 'f', 4), value).replace('.', ',').toUtf8());
    }
    return values;
}

void writeText(const QString& path, const QByteArray& text)
{
    QFile file(path);
    file.open(QIODevice::WriteOnly);
    file.write(text);
}

} // namespace

class ArbitraryWindowTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init() { apptest::clearMessages(); }
    void spreadsheetColumnPlaysItsShape();
    void threePhasesAfterEveryStart();
    void badFilesChangeNothing();
    void waveformAndPhaseStayWithTheChannel();

private:
    QTemporaryDir dir;
};

void ArbitraryWindowTest::initTestCase()
{
    QVERIFY(dir.isValid());
    initStendixResources();
    apptest::installMessageCapture();
}

// Channel 2 plays a 64-point spreadsheet column at 1234.567 Hz (no whole number of periods fits a
// page: the module plays the nearest frequency that does) with 2000 mV and +500 mV; every captured
// frame lies on the column's shape at that frequency. Channel 1 holds a DC level beside it.
void ArbitraryWindowTest::spreadsheetColumnPlaysItsShape()
{
    OperatorBench bench;
    QVERIFY(bench.open(3, true));
    bench.pick(bench.hosts.combo("comboBoxDacFreq"), "48 кГц");
    setChannel(bench, {1, "DC", "10 В", "-1500"});
    QVERIFY(makeSpecial(bench, 2));
    const QVector<double> values = writeSheet(dir.filePath("столбец.csv"), 64);

    QVERIFY(loadThroughDialog(bench, dir.filePath("столбец.csv")));
    QCOMPARE(bench.hosts.combo("comboBoxCustomShape")->currentText(), QString("Произвольный"));
    QCOMPARE(label(bench), QString("столбец.csv"));
    QVERIFY2(labelTip(bench).contains("Точек: 64"), qPrintable(labelTip(bench)));
    bench.type(bench.hosts.spin("spinBoxCustomAmplitude"), "2000");
    bench.type(bench.hosts.dspin("doubleSpinBoxCustomFrequency"), "1234.567");
    bench.type(bench.hosts.spin("spinBoxCustomOffset"), "500");
    QVERIFY(bench.settle());
    QCOMPARE(bench.module->customSignal(2).shape, int(ChannelSignal::Arbitrary));
    QVERIFY(apptest::criticals().isEmpty());

    QVERIFY(startAndPlay(bench, 4800));

    // The frequency the module plays: two channels share 48 kHz, 24000 frames per second each.
    ChannelSignal line;
    line.shape = ChannelSignal::Line;
    const synthesis::Plan plan = synthesis::makePlan({line, bench.module->customSignal(2)}, 24000, true);
    QVERIFY(plan.ok());
    const double achieved = plan.channels.at(1).frequency;
    QVERIFY(achieved != 1234.567 && std::abs(achieved - 1234.567) < 0.001);

    const QMap<QString, QVector<double>> played = capture(bench.service, 4800);
    QCOMPARE(played.keys(), QStringList({"ch1", "ch2"}));
    for (double v : played["ch1"])
        QVERIFY(std::abs(v + 1.5) < 0.001);
    // Where in its period the capture began: from the fundamental (the column's sin x) over a whole
    // number of periods; then every frame against 0.5 V + 2 V * shape / peak of the column.
    const QVector<double>& v = played["ch2"];
    const double perFrame = achieved / 24000;
    const QVector<double> whole = v.mid(0, int(std::floor(std::floor(v.size() * perFrame) / perFrame)));
    const double start = std::arg(std::complex<double>(0, 1) * harmonic(whole, perFrame));
    double peak = 0;
    for (double x : values)
        peak = std::max(peak, std::abs(x));
    double worst = 0;
    for (int k = 0; k < v.size(); ++k) {
        const double expected = 0.5 + 2.0 * sheetShape(2 * pi * perFrame * k + start) / peak;
        worst = std::max(worst, std::abs(v[k] - expected));
    }
    QVERIFY2(worst < 0.002, qPrintable(QString("worst %1 V").arg(worst)));
    QCOMPARE(benchstatus::module(benchstatus::status(bench.service), crateA, 3).value("counters").toObject().value("badWords").toInt(), 0);
}

// Sines of 700 Hz on channels 1 to 3 with the phases 0°, 120° and 240° typed into "Фаза": what the
// module plays keeps 120° and 240° behind channel 1 to 0.1°, after a first and after a second start.
void ArbitraryWindowTest::threePhasesAfterEveryStart()
{
    OperatorBench bench;
    QVERIFY(bench.open(3, true));
    bench.pick(bench.hosts.combo("comboBoxDacFreq"), "48 кГц");
    const char* const phases[] = {"0", "120", "240"};
    for (int n = 1; n <= 3; ++n) {
        QVERIFY(makeSpecial(bench, n));
        bench.type(bench.hosts.spin("spinBoxCustomAmplitude"), "3000");
        bench.type(bench.hosts.dspin("doubleSpinBoxCustomFrequency"), "700");
        bench.type(bench.hosts.dspin("doubleSpinBoxCustomPhase"), phases[n - 1]);
        QVERIFY(bench.settle());
        QCOMPARE(bench.module->customSignal(n).phase, QString(phases[n - 1]).toDouble());
    }
    // Three channels: 12000 frames per second, 120 frames hold 7 periods of 700 Hz.
    for (int run = 1; run <= 2; ++run) {
        QVERIFY(startAndPlay(bench, 1200));
        const QMap<QString, QVector<double>> played = capture(bench.service, 1200);
        QCOMPARE(played.keys(), QStringList({"ch1", "ch2", "ch3"}));
        const double perFrame = 700.0 / 12000;
        const std::complex<double> first = harmonic(played["ch1"], perFrame);
        QVERIFY2(std::abs(std::abs(first) - 3.0) < 0.002,
                 qPrintable(QString("%1 V %2 V %3 V").arg(std::abs(first)).arg(std::abs(harmonic(played["ch2"], perFrame)))
                                .arg(std::abs(harmonic(played["ch3"], perFrame)))));
        const double second = degreesBetween(first, harmonic(played["ch2"], perFrame));
        const double third = degreesBetween(first, harmonic(played["ch3"], perFrame));
        QVERIFY2(std::abs(second - 120) < 0.1 && std::abs(third - 240) < 0.1,
                 qPrintable(QString("start %1: %2° and %3°").arg(run).arg(second, 0, 'f', 4).arg(third, 0, 'f', 4)));
        QTest::mouseClick(bench.startStop(), Qt::LeftButton);
        QVERIFY(QTest::qWaitFor([&] { return !playing(bench); }, 20000));
        QVERIFY(bench.settle());
    }
    QVERIFY(apptest::criticals().isEmpty());
}

// Files that cannot be used, loaded over a good one: one critical message each, the reader's text,
// and the channel keeps its shape, its waveform and what the group shows. A file that is not the
// special channel's shape yet keeps the shape too.
void ArbitraryWindowTest::badFilesChangeNothing()
{
    OperatorBench bench;
    QVERIFY(bench.open(3, true));
    QVERIFY(makeSpecial(bench, 2));
    writeText(dir.filePath("good.csv"), "0\n1\n0\n-0.5\n");
    QVERIFY(loadThroughDialog(bench, dir.filePath("good.csv")));
    const WaveformPointer good = bench.module->customSignal(2).waveform;
    QVERIFY(good);
    QCOMPARE(good->minimum(), -0.5);
    const QString tip = labelTip(bench);

    writeText(dir.filePath("word.csv"), "Напряжение\n0,5\n0,25\nвосемь\n1\n");
    writeText(dir.filePath("zeros.csv"), "0\n0\n0\n");
    writeText(dir.filePath("one.csv"), "# один отсчёт\n3.5\n");
    const struct
    {
        const char* file;
        const char* says;
        bool sine;   // the shape "Синус" when it is loaded: a refused file does not make it "Произвольный"
    } cases[] = {
        {"word.csv", "строка 4: \"восемь\" не является числом", false},
        {"zeros.csv", "равны нулю", true},
        {"one.csv", "только одна точка", false},
    };
    for (const auto& c : cases) {
        apptest::clearMessages();
        const bool sine = c.sine;   // the refused file keeps this shape
        if (sine) {
            bench.pick(bench.hosts.combo("comboBoxCustomShape"), "Синус");
            QVERIFY(bench.settle());
        }
        QVERIFY(loadThroughDialog(bench, dir.filePath(c.file)));
        const QString expected = waveformfile::load(dir.filePath(c.file)).message;
        QVERIFY2(expected.contains(QString::fromUtf8(c.says)), qPrintable(expected));
        QCOMPARE(apptest::criticals(), QStringList{expected});
        QCOMPARE(bench.module->customSignal(2).waveform, good);
        QCOMPARE(bench.module->customSignal(2).shape, int(sine ? ChannelSignal::Sine : ChannelSignal::Arbitrary));
        QCOMPARE(bench.hosts.combo("comboBoxCustomShape")->currentText(), QString(sine ? "Синус" : "Произвольный"));
        QCOMPARE(label(bench), QString("good.csv"));
        QCOMPARE(labelTip(bench), tip);
        if (sine) {
            bench.pick(bench.hosts.combo("comboBoxCustomShape"), "Произвольный");
            QVERIFY(bench.settle());
        }
    }
}

// Each channel keeps its own file and phase: the group shows them when the focus moves, the phase
// can be set through the module, and a module opened anew starts without files and with phase 0.
// (Setup files with both: tst_vek72_setups.)
void ArbitraryWindowTest::waveformAndPhaseStayWithTheChannel()
{
    OperatorBench bench;
    QVERIFY(bench.open(3, true));
    writeText(dir.filePath("first.csv"), "0\n2\n1,5\n-4\n");
    writeText(dir.filePath("second.csv"), "t,v\n0,1\n1,-1\n2,0.25\n");
    QVERIFY(makeSpecial(bench, 1));
    QVERIFY(loadThroughDialog(bench, dir.filePath("first.csv")));
    bench.type(bench.hosts.dspin("doubleSpinBoxCustomPhase"), "45.5");
    QVERIFY(makeSpecial(bench, 2));
    QCOMPARE(label(bench), QString("Файл не загружен"));
    QCOMPARE(bench.hosts.dspin("doubleSpinBoxCustomPhase")->value(), 0.0);
    QVERIFY(loadThroughDialog(bench, dir.filePath("second.csv")));
    bench.type(bench.hosts.dspin("doubleSpinBoxCustomPhase"), "300");
    QVERIFY(bench.settle());

    // Back to channel 1: its file, its values, its phase.
    QVERIFY(focusChannel(bench, 1));
    QCOMPARE(label(bench), QString("first.csv"));
    QVERIFY2(labelTip(bench).contains("Точек: 4") && labelTip(bench).contains("Минимум: -4")
                 && labelTip(bench).contains("Максимум: 2"),
             qPrintable(labelTip(bench)));
    QCOMPARE(bench.hosts.dspin("doubleSpinBoxCustomPhase")->value(), 45.5);
    QCOMPARE(bench.module->customSignal(2).phase, 300.0);
    QCOMPARE(bench.module->customSignal(2).waveform->fileName(), QString("second.csv"));

    // The phase set through the module (as a remote command would): the group follows for the
    // focused channel; a phase out of range is refused.
    QVERIFY(bench.module->setCustomPhase(1, 90.0004));
    QVERIFY(!bench.module->setCustomPhase(1, 360));
    QVERIFY(!bench.module->setCustomPhase(9, 10));
    QVERIFY(bench.settle());
    QCOMPARE(bench.hosts.dspin("doubleSpinBoxCustomPhase")->value(), 90.0);
    QCOMPARE(bench.module->customSignal(1).phase, 90.0);

    // Another module: the custom signals start afresh.
    QVERIFY(bench.module->close());
    QString crate = crateA;
    QVERIFY(bench.module->open(crate, 7));
    QVERIFY(bench.settle());
    for (int n = 1; n <= 4; ++n) {
        QVERIFY(!bench.module->customSignal(n).waveform);
        QCOMPARE(bench.module->customSignal(n).phase, 0.0);
    }
    QCOMPARE(label(bench), QString("Файл не загружен"));
    QCOMPARE(bench.hosts.dspin("doubleSpinBoxCustomPhase")->value(), 0.0);
    QVERIFY(apptest::criticals().isEmpty());
}

QTEST_MAIN(ArbitraryWindowTest)
#include "tst_vek72_arbitrary.moc"
