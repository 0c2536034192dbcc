// Arbitrary waveforms and phases as an operator uses them in the window, against a vekd of the test's
// own: a spreadsheet's column loaded with "Загрузить…" plays its shape at the achieved frequency and
// the phase typed after every start, a file that cannot be used changes nothing and says why, and the
// waveform and the phase stay with the channel (focus, a module opened anew).
#include <QtTest>

#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QTemporaryDir>

#include <complex>

#include "benchstatus.h"
#include "apptestutil.h"
#include "operatorbench.h"
#include "played.h"
#include "synthesis.h"
#include "waveformfile.h"

namespace {

constexpr double pi = 3.14159265358979323846;

bool playing(OperatorBench& bench)
{
    return moduleOf(bench.service).value("running").toBool();
}

// Started with the button; true once the module has played `frames` frames of the new output, so
// that a capture of as many holds nothing from before.
bool startAndPlay(OperatorBench& bench, qint64 frames)
{
    QTest::mouseClick(bench.startStop(), Qt::LeftButton);
    if (!QTest::qWaitFor([&] { return playing(bench); }, 30000) || !bench.settle())
        return false;
    const auto played = [&] { return counter(moduleOf(bench.service), "framesPlayed"); };
    const qint64 from = played();
    return QTest::qWaitFor([&] { return played() >= from + frames; }, 30000);
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

// The custom group's label of the loaded file (its tool tip tells the points, minimum and maximum).
QLabel* fileLabel(OperatorBench& bench)
{
    return bench.hosts.find<QLabel>("labelCustomWaveform");
}

// The shape of the spreadsheet column: three harmonics, well below what 64 points or the output carry.
double sheetShape(double x)
{
    return std::sin(x) + 0.3 * std::sin(3 * x + 0.5) + 0.2 * std::cos(2 * x);
}

void writeText(const QString& path, const QByteArray& text)
{
    QFile file(path);
    file.open(QIODevice::WriteOnly);
    file.write(text);
}

// A spreadsheet saved with Russian regional settings: a header, time and value, ";" and decimal
// commas. Answers the values as written (six decimals).
QVector<double> writeSheet(const QString& path, int points)
{
    QByteArray text = "Время, с;Напряжение, В\r\n";
    QVector<double> values;
    for (int j = 0; j < points; ++j) {
        const QString value = QString::number(sheetShape(2 * pi * j / points), 'f', 6);
        values.append(value.toDouble());
        text += QStringLiteral("%1;%2\r\n").arg(QString::number(j * 1e-4, 'f', 4), value).replace('.', ',').toUtf8();
    }
    writeText(path, text);
    return values;
}

} // namespace

class ArbitraryWindowTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init() { apptest::clearMessages(); }
    void spreadsheetColumnPlaysItsShapeAndPhase();
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

// Channel 1 a custom sine, channel 2 a 64-point spreadsheet column loaded with "Загрузить…", both
// at 1234.567 Hz (no whole number of periods fits a page: the module plays the nearest frequency that
// does) and 2000 mV, channel 2 with +500 mV and 120° typed into "Фаза". After a first and after a
// second start every frame of channel 2 lies on the column's shape at that frequency, 120° ahead of
// channel 1.
void ArbitraryWindowTest::spreadsheetColumnPlaysItsShapeAndPhase()
{
    OperatorBench bench;
    QVERIFY(bench.open(3, true));
    bench.pick(bench.hosts.combo("comboBoxDacFreq"), "48 кГц");
    const QVector<double> values = writeSheet(dir.filePath("столбец.csv"), 64);
    for (int n = 1; n <= 2; ++n) {
        QVERIFY(makeSpecial(bench, n));
        if (n == 2) {
            QVERIFY(loadThroughDialog(bench, dir.filePath("столбец.csv")));
            QCOMPARE(bench.hosts.combo("comboBoxCustomShape")->currentText(), QString("Произвольный"));
            QCOMPARE(fileLabel(bench)->text(), QString("столбец.csv"));
            QVERIFY2(fileLabel(bench)->toolTip().contains("Точек: 64"), qPrintable(fileLabel(bench)->toolTip()));
            bench.type(bench.hosts.dspin("doubleSpinBoxCustomOffset"), "0.5");
            bench.type(bench.hosts.dspin("doubleSpinBoxCustomPhase"), "120");
        }
        bench.type(bench.hosts.spin("spinBoxCustomAmplitude"), "2000");
        bench.type(bench.hosts.dspin("doubleSpinBoxCustomFrequency"), "1234.567");
    }
    QVERIFY(bench.settle());
    // The frequency the module plays: two channels share 48 kHz, 24000 frames per second each.
    const synthesis::Plan plan =
        synthesis::makePlan({bench.module->customSignal(1), bench.module->customSignal(2)}, 24000, true);
    QVERIFY(plan.ok());
    const double perFrame = plan.channels.at(1).frequency / 24000;
    double peak = 0;
    for (double x : values)
        peak = std::max(peak, std::abs(x));

    for (int run = 1; run <= 2; ++run) {
        QVERIFY(startAndPlay(bench, 4800));
        const Played played = capture(bench.service, 3, 4800);
        QCOMPARE(played.channels, QStringList({"ch1", "ch2"}));
        // Where in its period channel 1's sine began, over a whole number of periods; then every
        // frame of channel 2 against 0.5 V + 2 V * shape / peak of the column, 120° further on.
        const QVector<double>& v = played.columns.at(1);
        const QVector<double> whole = played.columns.at(0).mid(0, int(std::floor(std::floor(v.size() * perFrame) / perFrame)));
        const double start = std::arg(std::complex<double>(0, 1) * harmonic(whole, perFrame)) + 2 * pi / 3;
        double worst = 0;
        for (int k = 0; k < v.size(); ++k)
            worst = std::max(worst, std::abs(v[k] - (0.5 + 2.0 * sheetShape(2 * pi * perFrame * k + start) / peak)));
        QVERIFY2(worst < 0.002, qPrintable(QString("start %1: worst %2 V").arg(run).arg(worst)));
        QTest::mouseClick(bench.startStop(), Qt::LeftButton);
        QVERIFY(QTest::qWaitFor([&] { return !playing(bench); }, 20000));
        QVERIFY(bench.settle());
    }
    QCOMPARE(counter(moduleOf(bench.service), "badWords"), 0);
    QCOMPARE(benchstatus::clippedSamples(moduleOf(bench.service)), 0);
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
    const QString tip = fileLabel(bench)->toolTip();

    const struct
    {
        const char* file;
        const char* text;
        const char* says;
        bool sine;   // the shape "Синус" when it is loaded: a refused file does not make it "Произвольный"
    } cases[] = {
        {"word.csv", "Напряжение\n0,5\n0,25\nвосемь\n1\n", "строка 4: \"восемь\" не является числом", false},
        {"zeros.csv", "0\n0\n0\n", "равны нулю", true},
    };
    for (const auto& c : cases) {
        apptest::clearMessages();
        writeText(dir.filePath(c.file), c.text);
        const bool sine = c.sine;
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
        QCOMPARE(fileLabel(bench)->text(), QString("good.csv"));
        QCOMPARE(fileLabel(bench)->toolTip(), tip);
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
    QCOMPARE(fileLabel(bench)->text(), QString("Файл не загружен"));
    QCOMPARE(bench.hosts.dspin("doubleSpinBoxCustomPhase")->value(), 0.0);
    QVERIFY(loadThroughDialog(bench, dir.filePath("second.csv")));
    bench.type(bench.hosts.dspin("doubleSpinBoxCustomPhase"), "300");
    QVERIFY(bench.settle());

    // Back to channel 1: its file, its values, its phase.
    QVERIFY(focusChannel(bench, 1));
    QCOMPARE(fileLabel(bench)->text(), QString("first.csv"));
    const QString tip = fileLabel(bench)->toolTip();
    QVERIFY2(tip.contains("Точек: 4") && tip.contains("Минимум: -4") && tip.contains("Максимум: 2"), qPrintable(tip));
    QCOMPARE(bench.hosts.dspin("doubleSpinBoxCustomPhase")->value(), 45.5);
    QCOMPARE(bench.module->customSignal(2).phase, 300.0);
    QCOMPARE(bench.module->customSignal(2).waveform->fileName(), QString("second.csv"));

    // The phase set through the module (as a remote command would): the group follows for the
    // focused channel, at the field's decimals.
    QVERIFY(bench.module->setCustomPhase(1, 90.0004));
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
    QCOMPARE(fileLabel(bench)->text(), QString("Файл не загружен"));
    QCOMPARE(bench.hosts.dspin("doubleSpinBoxCustomPhase")->value(), 0.0);
    QVERIFY(apptest::criticals().isEmpty());
}

QTEST_MAIN(ArbitraryWindowTest)
#include "tst_vek72_arbitrary.moc"
