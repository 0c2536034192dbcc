// Output as an operator makes it and as the simulated module plays it: the channel widgets
// configured, synthesised and played in cyclic and streaming mode (checked in what the module
// really put out), the achieved frequency written back, send faults while streaming, refused
// configurations, restart and stop; and the sender's output states when stops and starts meet.
#include <QtTest>

#include <QMovie>
#include <QTemporaryDir>
#include <QThread>

#include <atomic>
#include <cmath>

#include "apptestutil.h"
#include "benchstatus.h"
#include "modulesendervek72.h"
#include "modulevek72guihandler.h"
#include "operatorbench.h"
#include "played.h"
#include "synthesis.h"

namespace {

// Frequency of a periodic column from its rising crossings of the mean, in cycles per frame.
double cyclesPerFrame(const QVector<double>& v)
{
    double mean = 0;
    for (double x : v)
        mean += x;
    mean /= v.size();
    double first = -1, last = -1;
    int crossings = 0;
    for (int k = 1; k < v.size(); ++k) {
        if (v[k - 1] < mean && v[k] >= mean) {
            const double at = k - 1 + (mean - v[k - 1]) / (v[k] - v[k - 1]);
            if (first < 0)
                first = at;
            last = at;
            ++crossings;
        }
    }
    return crossings > 1 ? (crossings - 1) / (last - first) : 0;
}

// Whether the played frames follow the planned signals in order, whatever the frame the capture
// began at: the start is found on the first frames, then every frame must follow, across every
// wrap of the signals. Empty when so, else where they part.
QString followsInOrder(const Played& played, const QList<ChannelSignal>& planned)
{
    const qint64 length = planned.first().samples.size();
    const int e = planned.size();
    if (played.columns.size() != e || played.frames() < 8)
        return QStringLiteral("captured %1 channels, %2 frames").arg(played.columns.size()).arg(played.frames());
    const auto matches = [&](qint64 start, int k) {
        for (int i = 0; i < e; ++i) {
            if (std::abs(played.columns[i][k] - planned[i].samples[(start + k) % length]) > 0.001)
                return false;
        }
        return true;
    };
    for (qint64 start = 0; start < length; ++start) {
        bool candidate = true;
        for (int k = 0; k < 8 && candidate; ++k)
            candidate = matches(start, k);
        if (!candidate)
            continue;
        for (int k = 0; k < played.frames(); ++k) {
            if (!matches(start, k))
                return QStringLiteral("frame %1 of %2 does not follow").arg(k).arg(played.frames());
        }
        return QString();
    }
    return QStringLiteral("the first frames are nowhere in the signals");
}

// Counts the warning of a stop in progress (from any thread) and passes the rest on.
std::atomic<int> stoppingWarnings{0};
QtMessageHandler previousHandler = nullptr;
void countStoppingWarnings(QtMsgType type, const QMessageLogContext& context, const QString& text)
{
    if (type == QtWarningMsg && text == QStringLiteral("Модуль в процессе остановки")) {
        ++stoppingWarnings;
        return;
    }
    if (previousHandler)
        previousHandler(type, context, text);
}

// Start with the panel's button; true once the module plays.
bool startAndWait(OperatorBench& bench, int slot = 3)
{
    QTest::mouseClick(bench.startStop(), Qt::LeftButton);
    return QTest::qWaitFor([&] { return moduleOf(bench.service, slot).value("running").toBool(); }, 20000)
           && bench.settle();
}

// Opens the 8-channel module, sets the channels at 48 kHz in streaming mode and starts; `planned`
// gets the signals the module must play, planned at `rate` frames per second.
bool startStreaming(OperatorBench& bench, const QList<ChannelSetting>& channels, double rate,
                    QList<ChannelSignal>& planned)
{
    if (!bench.open(3, false))
        return false;
    bench.pick(bench.hosts.combo("comboBoxDacFreq"), "48 кГц");
    bench.pick(bench.hosts.combo("comboBoxMode"), "Потоковый");
    for (const ChannelSetting& s : channels) {
        setChannel(bench, s);
        ChannelSignal signal;
        signal.channel = s.channel;
        if (s.type == "AC") {
            signal.amplitude = s.voltage.toDouble() * 1.4142135623730951 / 1000;
            signal.frequency = s.frequency.toDouble();
        } else {
            signal.shape = ChannelSignal::Line;
            signal.offset = s.voltage.toDouble() / 1000;
        }
        planned.append(signal);
    }
    // A short lead, so that what is sent now is played soon.
    bench.module->sampleSender()->setAhead(500);
    return synthesis::synthesizeAll(planned, rate, false) && startAndWait(bench);
}

} // namespace

Q_DECLARE_METATYPE(QList<ChannelSetting>)

class OutputTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init() { apptest::clearMessages(); }
    void cyclicMixPlaysWhatThePanelsShow();
    void achievedFrequencyShownWithItsDecimals();
    void streamingPlaysInOrder_data();
    void streamingPlaysInOrder();
    void sendFaultsWhileStreaming();
    void refusedConfigurations_data();
    void refusedConfigurations();
    void startSuppressedOrWithTheButtonReleased();
    void outputStatesWhenStopsAndStartsMeet();
    void enterHintFollowsTheOutput_data();
    void enterHintFollowsTheOutput();
};

void OutputTest::initTestCase()
{
    initStendixResources();
    apptest::installMessageCapture();
}

// AC with an offset and DC side by side, cyclic: amplitude (RMS × √2), offset, level and frequency
// as played; Return plays the new voltage without a stop; the button stops; the busy animation runs
// exactly while the module plays.
void OutputTest::cyclicMixPlaysWhatThePanelsShow()
{
    OperatorBench bench;
    QVERIFY(bench.open(3, false));
    bench.pick(bench.hosts.combo("comboBoxDacFreq"), "48 кГц");
    setChannel(bench, {1, "AC", "7 В", "1000", "1000", "0.5"});
    setChannel(bench, {2, "DC", "10 В", "-2500"});
    QCOMPARE(bench.violations(), QString());
    QVERIFY(startAndWait(bench));
    QCOMPARE(bench.startStop()->text(), QString("Стоп"));
    QCOMPARE(bench.module->busyAnimation()->state(), QMovie::Running);

    Played played = capture(bench.service, 3, 4800);
    QCOMPARE(played.channels, QStringList({"ch1", "ch2"}));
    const auto [low, high] = std::minmax_element(played.columns[0].begin(), played.columns[0].end());
    QVERIFY2(std::abs(*high - (0.5 + 1.4142135623730951)) < 0.001, qPrintable(QString::number(*high)));
    QVERIFY2(std::abs(*low - (0.5 - 1.4142135623730951)) < 0.001, qPrintable(QString::number(*low)));
    // Two channels of 48 kHz share it: 24000 frames per second.
    QVERIFY(std::abs(cyclesPerFrame(played.columns[0]) * 24000 - 1000) < 0.5);
    for (double v : played.columns[1])
        QVERIFY(std::abs(v + 2.5) < 0.001);
    QCOMPARE(counter(moduleOf(bench.service), "badWords"), 0);
    QCOMPARE(benchstatus::clippedSamples(moduleOf(bench.service)), 0);

    // Return in channel 1's voltage: the new value plays without a stop, so without the wait box.
    QSignalSpy locks(bench.module.get(), &ModuleVek72::lockControls);
    bench.type(bench.channelVoltage(1), "2000");
    bench.pressReturn(bench.channelVoltage(1));
    QTRY_COMPARE(counter(moduleOf(bench.service), "pageSwitches"), qint64(1));
    QVERIFY(bench.settle());
    QCOMPARE(locks.count(), 0);
    QCOMPARE(counter(moduleOf(bench.service), "stops"), qint64(0));
    const qint64 switched = counter(moduleOf(bench.service), "framesPlayed");
    QVERIFY(QTest::qWaitFor([&] { return counter(moduleOf(bench.service), "framesPlayed") > switched + 960; }, 10000));
    played = capture(bench.service, 3, 480);
    QVERIFY(std::abs(*std::max_element(played.columns[0].begin(), played.columns[0].end()) - (0.5 + 2.8284271247461903)) < 0.001);
    QVERIFY(!bench.module->panelHandler()->waitMessageBox()->isVisible());

    QTest::mouseClick(bench.startStop(), Qt::LeftButton);
    QTRY_VERIFY(!moduleOf(bench.service).value("running").toBool(true));
    QVERIFY(bench.settle());
    QCOMPARE(bench.startStop()->text(), QString("Старт"));
    QCOMPARE(bench.module->busyAnimation()->state(), QMovie::Paused);
    QVERIFY(apptest::criticals().isEmpty());
}

// 1234.567 Hz cannot be put into a page in whole periods: the module plays the nearest frequency
// that can, and the panel shows it with the decimals of the options.
void OutputTest::achievedFrequencyShownWithItsDecimals()
{
    OperatorBench bench;
    QVERIFY(bench.open(3, false, {}, crateA, "AccuracyFreq=6\n"));
    bench.pick(bench.hosts.combo("comboBoxDacFreq"), "48 кГц");
    setChannel(bench, {1, "AC", "7 В", "1000", "1234.567"});
    QVERIFY(startAndWait(bench));
    QCOMPARE(bench.channelFrequency(1)->text(), QString("1234.566912"));
    QCOMPARE(bench.commonFrequency()->text(), QString("1234.566912"));
    QCOMPARE(bench.violations(), QString());
    const Played played = capture(bench.service, 3, 48000);
    QVERIFY(std::abs(cyclesPerFrame(played.columns[0]) * 48000 - 1234.5669) < 0.01);
}

void OutputTest::streamingPlaysInOrder_data()
{
    QTest::addColumn<QList<ChannelSetting>>("channels");
    QTest::addColumn<double>("rate");   // frames per second the module plays
    // 375 Hz at 48000 frames/s: 128 frames, which no send's whole number of frames fills evenly,
    // so the signal wraps inside a send.
    QTest::newRow("one channel, 128 frames") << QList<ChannelSetting>{{1, "AC", "7 В", "3000", "375"}} << 48000.0;
    QTest::newRow("three channels, an AC and two DC levels")
        << QList<ChannelSetting>{{1, "AC", "7 В", "500", "375"}, {2, "DC", "10 В", "1000"}, {3, "DC", "10 В", "-1000"}}
        << 12000.0;
    // Three channels of 5 frames: 15 words a block, odd in both.
    QTest::newRow("three channels, 5 frames")
        << QList<ChannelSetting>{{1, "AC", "7 В", "500", "2400"}, {2, "AC", "7 В", "1000", "2400"}, {3, "AC", "7 В", "1500", "2400"}}
        << 12000.0;
}

// Streaming: what the module plays follows the planned signals frame by frame across their wraps,
// with no word on the wrong output, no underrun and no short send.
void OutputTest::streamingPlaysInOrder()
{
    QFETCH(QList<ChannelSetting>, channels);
    QFETCH(double, rate);
    OperatorBench bench;
    QList<ChannelSignal> planned;
    QVERIFY(startStreaming(bench, channels, rate, planned));
    // A second of output, so that the capture lies well behind the start.
    const qint64 startFrames = counter(moduleOf(bench.service), "framesPlayed");
    QTRY_VERIFY_WITH_TIMEOUT(counter(moduleOf(bench.service), "framesPlayed") > startFrames + qint64(rate), 10000);
    const QString order = followsInOrder(capture(bench.service, 3, int(rate / 2)), planned);
    QVERIFY2(order.isEmpty(), qPrintable(order));
    const QJsonObject module = moduleOf(bench.service);
    QCOMPARE(counter(module, "underruns"), 0);
    QCOMPARE(counter(module, "badWords"), 0);
    QCOMPARE(benchstatus::clippedSamples(module), 0);
    QVERIFY(apptest::criticals().isEmpty());
}

// A send the module refuses and a send it takes short are logged on every tick while output goes
// on; what was not taken goes with the next tick, so no frame is lost or cut.
void OutputTest::sendFaultsWhileStreaming()
{
    OperatorBench bench;
    QList<ChannelSignal> planned;
    QVERIFY(startStreaming(bench, {{1, "AC", "7 В", "500", "375"}, {2, "DC", "10 В", "1000"}, {3, "DC", "10 В", "-1000"}},
                           12000, planned));

    // Early, while the FIFO holds little: the frames around the faults are played soon.
    const qint64 before = counter(moduleOf(bench.service), "wordsReceived") / 3;
    QCOMPARE(bench.service.vekctl({"fault", "fail", "--crate", crateA, "--slot", "3", "--function", "VEK72_Send", "--count", "2"}), 0);
    QTRY_COMPARE_WITH_TIMEOUT(apptest::criticals().count("Ошибка при отправке данных модулю!"), 2, 10000);
    QCOMPARE(bench.service.vekctl({"fault", "short-send", "--crate", crateA, "--slot", "3", "--words", "7"}), 0);
    QTRY_COMPARE_WITH_TIMEOUT(apptest::criticals().count("Ошибка! Количество отправленных сэмплов не равно заданному!"), 1, 10000);
    const qint64 after = counter(moduleOf(bench.service), "wordsReceived") / 3;
    QCOMPARE(apptest::criticals().size(), 3);

    // Once the frames sent around the faults have been played, they followed in order: nothing
    // lost, nothing cut, every word on its own output.
    QTRY_VERIFY_WITH_TIMEOUT(counter(moduleOf(bench.service), "framesPlayed") > after + 1200, 30000);
    const QJsonObject module = moduleOf(bench.service);
    QVERIFY(module.value("running").toBool());
    const qint64 played = counter(module, "framesPlayed");
    const QString order = followsInOrder(capture(bench.service, 3, int(played - before + 1200)), planned);
    QVERIFY2(order.isEmpty(), qPrintable(order));
    QCOMPARE(counter(module, "badWords"), 0);
    QCOMPARE(counter(module, "underruns"), 0);
    QCOMPARE(benchstatus::clippedSamples(module), 0);
}

void OutputTest::refusedConfigurations_data()
{
    QTest::addColumn<QString>("what");
    QTest::addColumn<QString>("message");
    QTest::addColumn<bool>("plays");   // with the other channels
    QTest::newRow("DAC rate item") << "rate" << "Недопустимый индекс частоты ЦАП 3" << false;
    QTest::newRow("voltage type item") << "type" << "Недопустимый индекс режима воспроизведения сигнала 2 (канал 2)" << true;
    QTest::newRow("range item") << "range" << "Недопустимый индекс диапазона 1 (канал 2)" << true;
}

// A selector item the configuration does not know: the channel is left out with its message, or
// for the DAC rate the start is refused and the button goes back to "Старт".
void OutputTest::refusedConfigurations()
{
    QFETCH(QString, what);
    QFETCH(QString, message);
    QFETCH(bool, plays);
    OperatorBench bench;
    QVERIFY(bench.open(3, false));
    setChannel(bench, {2, "DC", "10 В", "1500"});
    if (what == "rate") {
        bench.hosts.combo("comboBoxDacFreq")->addItem("12 кГц");
        bench.pick(bench.hosts.combo("comboBoxDacFreq"), "12 кГц");
    } else if (what == "type") {
        bench.channelType(2)->addItem("XX");
        bench.pick(bench.channelType(2), "XX");
    } else {
        bench.channelRange(2)->setItemText(1, "5 В");
    }
    QVERIFY(bench.settle());
    QTest::mouseClick(bench.startStop(), Qt::LeftButton);
    QTRY_VERIFY(apptest::criticals().contains(message));
    QVERIFY(bench.settle());
    const QJsonObject module = moduleOf(bench.service);
    QCOMPARE(module.value("running").toBool(), plays);
    QCOMPARE(bench.startStop()->text(), plays ? QString("Стоп") : QString("Старт"));
    if (plays) {
        QCOMPARE(capture(bench.service, 3, 10).channels, QStringList{"ch1"});
        QCOMPARE(apptest::criticals(), QStringList{message});
    }
}

void OutputTest::startSuppressedOrWithTheButtonReleased()
{
    OperatorBench bench;
    QVERIFY(bench.open(3, false));
    QVERIFY(!bench.module->start(true));
    QVERIFY(bench.module->start(false));   // the button is released: nothing to start
    const QJsonObject module = moduleOf(bench.service);
    QVERIFY(!module.value("running").toBool(true));
    QVERIFY(!module.value("configured").toBool(true));
    QVERIFY(!bench.module->isRunning());
    QVERIFY(apptest::criticals().isEmpty());
}

// The sender's output states: a second stop during a stop is refused, a start during a stop waits
// for it and then starts, a stop of a stopped output is refused. The handle lock is the test's, so
// that a stop can be held in the middle.
void OutputTest::outputStatesWhenStopsAndStartsMeet()
{
    VekdRunner service;
    QVERIFY(service.start());
    TVEK72 handle;
    VEK72_Init(&handle);
    QCOMPARE(VEK72_Open(&handle, 0x7F000001u, 11111, "4B210736", 3), 0);
    handle.config.channel[0].enabled = 1;
    handle.config.outputMode = 1;
    handle.config.dacEnable = 1;
    VEK72_FillOutFreq(&handle.config, 48000, nullptr);
    QCOMPARE(VEK72_Configure(&handle), 0);
    QList<ChannelSignal> outputData{ChannelSignal{1, ChannelSignal::Sine, 1.0, 1000, 0, {}}};
    QMutex samples, handleLock;
    QThread senderThread;
    auto* sender = new ModuleSenderVek72(&handle, &outputData, &samples, &handleLock);
    sender->moveToThread(&senderThread);
    senderThread.start();

    QVERIFY(sender->synthesize(false) > 0);
    QVERIFY(sender->startOutput());
    QVERIFY(sender->isRunning());
    QTest::ignoreMessage(QtWarningMsg, "Модуль уже запущен");
    QVERIFY(!sender->startOutput());

    // A stop held at the handle lock: a second stop is refused, a start waits for the first and
    // then starts.
    stoppingWarnings = 0;
    const QtMessageHandler previous = qInstallMessageHandler(countStoppingWarnings);
    previousHandler = previous;
    handleLock.lock();
    bool firstStop = false;
    bool restarted = false;
    QThread* stopper = QThread::create([&] { firstStop = sender->stopOutput(); });
    QThread* starter = QThread::create([&] { restarted = sender->startOutput(); });
    stopper->start();
    QTRY_VERIFY(sender->isStopping());
    QVERIFY(!sender->stopOutput());
    QCOMPARE(stoppingWarnings.load(), 1);
    starter->start();
    QTRY_COMPARE(stoppingWarnings.load(), 2);   // the start has seen the stop and waits
    QVERIFY(!starter->isFinished());
    handleLock.unlock();
    QVERIFY(stopper->wait(10000));
    QVERIFY(starter->wait(10000));
    qInstallMessageHandler(previous);
    QVERIFY(firstStop);
    QVERIFY(restarted);
    QVERIFY(sender->isRunning());
    QTRY_VERIFY(benchstatus::module(benchstatus::status(service), crateA, 3).value("running").toBool());

    QVERIFY(sender->stopOutput());
    QTest::ignoreMessage(QtWarningMsg, "Модуль не был запущен");
    QVERIFY(!sender->stopOutput());
    delete stopper;
    delete starter;
    senderThread.quit();
    QVERIFY(senderThread.wait(10000));
    delete sender;
    QCOMPARE(VEK72_Close(&handle), 0);
}

void OutputTest::enterHintFollowsTheOutput_data()
{
    QTest::addColumn<bool>("custom");
    QTest::newRow("custom signals off") << false;
    QTest::newRow("custom signals on") << true;
}

// The tool tip of every value field says what Return/Enter does: while the module plays it applies
// the edits at once, otherwise they wait for the start; it follows the start button through a
// start, a stop and a start the configuration refuses.
void OutputTest::enterHintFollowsTheOutput()
{
    QFETCH(bool, custom);
    OperatorBench bench;
    QVERIFY(bench.open(3, custom));
    const QString now = QStringLiteral("Нажмите Enter для применения изменений");
    const QString atStart = QStringLiteral("Значение будет применено при запуске (Старт)");
    QStringList fields{"spinBoxVoltage", "doubleSpinBoxFrequency", "doubleSpinBoxOffset", "spinBoxCustomAmplitude",
                       "doubleSpinBoxCustomFrequency", "doubleSpinBoxCustomOffset", "doubleSpinBoxCustomPhase"};
    for (int n = 1; n <= 8; ++n)
        fields << QStringLiteral("spinBoxVoltageCh%1").arg(n) << QStringLiteral("doubleSpinBoxFrequencyCh%1").arg(n)
               << QStringLiteral("doubleSpinBoxOffsetCh%1").arg(n);
    // Field by field, the hints that differ from `expected`; no other widget carries either hint.
    const auto wrongHints = [&](const QString& expected) {
        QStringList wrong;
        for (QWidget* w : bench.hosts.window.findChildren<QWidget*>()) {
            const bool field = fields.contains(w->objectName());
            if (field ? w->toolTip() != expected : (w->toolTip() == now || w->toolTip() == atStart))
                wrong << w->objectName() + ": " + w->toolTip();
        }
        return wrong.join("; ");
    };
    QCOMPARE(wrongHints(atStart), QString());

    setChannel(bench, {1, "DC", "10 В", "1500"});
    QVERIFY(startAndWait(bench));
    QCOMPARE(wrongHints(now), QString());
    QTest::mouseClick(bench.startStop(), Qt::LeftButton);
    QTRY_VERIFY(!moduleOf(bench.service).value("running").toBool(true));
    QCOMPARE(wrongHints(atStart), QString());

    // A start refused by the configuration: the button goes back, and so does the hint.
    bench.hosts.combo("comboBoxDacFreq")->addItem("12 кГц");
    bench.pick(bench.hosts.combo("comboBoxDacFreq"), "12 кГц");
    QVERIFY(bench.settle());
    QTest::mouseClick(bench.startStop(), Qt::LeftButton);
    QTRY_VERIFY(apptest::criticals().contains("Недопустимый индекс частоты ЦАП 3"));
    QTRY_COMPARE(bench.startStop()->text(), QStringLiteral("Старт"));
    QCOMPARE(wrongHints(atStart), QString());
}

QTEST_MAIN(OutputTest)
#include "tst_vek72_output.moc"
