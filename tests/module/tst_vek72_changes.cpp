// Changes while output plays, as an operator makes them and as the simulated module plays them: a
// value changed on one channel does not stop the module, and a channel that did not change goes on
// without a break (the module's own counters, and one capture across every change); the frequencies
// asked for are what plays however often the output is started again; and start, change and stop
// each say in one line what plays.
#include <QtTest>

#include <cmath>

#include "benchstatus.h"
#include "operatorbench.h"
#include "played.h"

namespace {

bool startAndWait(OperatorBench& bench)
{
    QTest::mouseClick(bench.startStop(), Qt::LeftButton);
    return QTest::qWaitFor([&] { return moduleOf(bench.service).value("running").toBool(); }, 20000)
           && bench.settle();
}

// Waits until the module has played `frames` more frames.
bool playFrames(OperatorBench& bench, qint64 frames)
{
    const qint64 from = counter(moduleOf(bench.service), "framesPlayed");
    return QTest::qWaitFor([&] { return counter(moduleOf(bench.service), "framesPlayed") >= from + frames; }, 20000);
}

QString lastInfo()
{
    const QStringList infos = apptest::infos();
    return infos.isEmpty() ? QString() : infos.last();
}

} // namespace

class ChangesTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        initStendixResources();
        apptest::installMessageCapture();
    }
    void init() { apptest::clearMessages(); }
    void changesWhilePlaying_data();
    void changesWhilePlaying();
    void frequenciesDoNotDrift();
};

void ChangesTest::changesWhilePlaying_data()
{
    QTest::addColumn<bool>("streaming");
    QTest::addColumn<QString>("field");     // what is changed on channel 2: "voltage", "frequency", "range"
    QTest::addColumn<bool>("gapFree");

    QTest::newRow("cyclic, channel 2's voltage") << false << "voltage" << true;
    QTest::newRow("cyclic, channel 2's frequency") << false << "frequency" << true;
    QTest::newRow("streaming, channel 2's voltage") << true << "voltage" << true;
    QTest::newRow("streaming, channel 2's frequency") << true << "frequency" << true;
    QTest::newRow("cyclic, channel 2's range: the full restart") << false << "range" << false;
}

// Channel 1 plays 1000 Hz while channel 2 is changed five times with Return: without a stop, the
// module never stops and channel 1's samples across every change fit one sine.
void ChangesTest::changesWhilePlaying()
{
    QFETCH(bool, streaming);
    QFETCH(QString, field);
    QFETCH(bool, gapFree);
    OperatorBench bench;
    QVERIFY(bench.open(3, false));
    if (streaming)
        bench.pick(bench.hosts.combo("comboBoxMode"), "Потоковый");
    setChannel(bench, {1, "AC", "7 В", "3000", "1000"});
    setChannel(bench, {2, "AC", "7 В", "1000", "500"});
    QVERIFY(startAndWait(bench));
    const QString mode = streaming ? "потоковый режим" : "циклический режим";
    QCOMPARE(lastInfo(), "Генерация: 2 канала, 96 кГц на канал, " + mode);
    QVERIFY(playFrames(bench, 9600));
    const qint64 before = counter(moduleOf(bench.service), "framesPlayed");

    for (int i = 1; i <= 5; ++i) {
        if (field == "range") {
            bench.pick(bench.channelRange(2), i % 2 ? "0.7 В" : "7 В");
        } else {
            QAbstractSpinBox* box = field == "voltage" ? static_cast<QAbstractSpinBox*>(bench.channelVoltage(2))
                                                       : bench.channelFrequency(2);
            bench.type(box, QString::number(field == "voltage" ? 300 + 100 * i : 250 * i));
            bench.pressReturn(box);
        }
        QVERIFY(bench.settle());
        QVERIFY(playFrames(bench, 4800));
    }

    const QJsonObject module = moduleOf(bench.service);
    QVERIFY(module.value("running").toBool());
    const qint64 played = counter(module, "framesPlayed") - before;
    if (gapFree) {
        QCOMPARE(counter(module, "starts"), qint64(1));
        QCOMPARE(counter(module, "stops"), qint64(0));
        QCOMPARE(counter(module, "stoppedFramePeriods"), qint64(0));
        QCOMPARE(counter(module, "underruns"), qint64(0));
        QCOMPARE(benchstatus::clippedSamples(module), 0);
        QCOMPARE(apptest::infos().count("Генерация изменена: 2 канала, 96 кГц на канал, " + mode), 5);
        // One capture across all five changes: channel 1 fits one sine of 1000 Hz to within a code.
        const Played frames = capture(bench.service, 3, int(played + 4800));
        QCOMPARE(frames.channels.value(0), QStringLiteral("ch1"));
        QVERIFY(frames.frames() > played);
        const double distance = distanceFromOneSine(frames.columns.at(0), 1000.0 / 96000.0);
        QVERIFY2(distance < 0.001, qPrintable(QStringLiteral("%1 V from one sine").arg(distance)));
    } else {
        // A range is the module's configuration: each change stops and starts it again, once, and
        // says so in one line.
        QCOMPARE(counter(module, "starts"), qint64(6));
        QCOMPARE(counter(module, "stops"), qint64(5));
        QCOMPARE(apptest::infos().count("Генерация: 2 канала, 96 кГц на канал, " + mode), 6);
        QCOMPARE(apptest::infos().filter("Генерация изменена").size(), 0);
        // The changed channel's voltage went back to its default, as the selector's tool tip says.
        QCOMPARE(bench.channelVoltage(2)->value(), 0);
        QVERIFY(bench.channelRange(2)->toolTip().contains("напряжение возвращается к значению по умолчанию"));
    }
    QVERIFY(apptest::criticals().isEmpty());

    QTest::mouseClick(bench.startStop(), Qt::LeftButton);
    QVERIFY(bench.settle());
    QTRY_VERIFY(!moduleOf(bench.service).value("running").toBool(true));
    QCOMPARE(lastInfo(), QStringLiteral("Генерация остановлена"));
}

// The achieved frequencies written back are not the next request: after another channel has been
// at an awkward frequency and back, and after ten Returns without an edit, 1000 Hz and 250 Hz play
// again and the fields show them.
void ChangesTest::frequenciesDoNotDrift()
{
    OperatorBench bench;
    QVERIFY(bench.open(3, false));
    setChannel(bench, {1, "AC", "7 В", "3000", "1000"});
    setChannel(bench, {2, "AC", "7 В", "1000", "250"});
    QVERIFY(startAndWait(bench));

    bench.type(bench.channelFrequency(2), "1234.567");
    bench.pressReturn(bench.channelFrequency(2));
    QVERIFY(bench.settle());
    // Channel 1 shows what plays; it was asked for 1000 Hz, and its tool tip says so.
    if (bench.channelFrequency(1)->value() != 1000.0)
        QVERIFY2(bench.channelFrequency(1)->toolTip().contains("Задано: 1000 Гц"),
                 qPrintable(bench.channelFrequency(1)->toolTip()));

    bench.type(bench.channelFrequency(2), "250");
    bench.pressReturn(bench.channelFrequency(2));
    QVERIFY(bench.settle());
    for (int i = 0; i < 10; ++i) {
        bench.pressReturn(bench.channelVoltage(1));
        QVERIFY(bench.settle());
    }
    QCOMPARE(bench.channelFrequency(1)->value(), 1000.0);
    QCOMPARE(bench.channelFrequency(2)->value(), 250.0);
    QVERIFY(!bench.channelFrequency(1)->toolTip().contains("Задано"));
    QVERIFY(playFrames(bench, 9600));
    const Played frames = capture(bench.service, 3, 9600);
    QVERIFY(distanceFromOneSine(frames.columns.at(0), 1000.0 / 96000.0) < 0.001);
    QVERIFY(distanceFromOneSine(frames.columns.at(1), 250.0 / 96000.0) < 0.001);
}

QTEST_MAIN(ChangesTest)
#include "tst_vek72_changes.moc"
