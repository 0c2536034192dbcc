// The sender's synthesis against a crate service simulator of the test's own: a module of the
// built-in bench is opened and configured with vek72api, synthesis makes the cyclic page or the
// stream's first chunk, and the simulator tells what the module received (status) and what it
// played (capture): streams compared word for word with the whole-signal fill, across the wrap of
// the signals, around send faults in the first lead and across a change. Also every refusal with
// its critical text, the send faults injected through vekctl, and the lock that must be free after
// every exit.

#include <QFile>
#include <QJsonObject>
#include <QMutex>
#include <QTemporaryDir>
#include <QTextCodec>
#include <QThread>
#include <QtTest>

#include <sys/resource.h>

#include <cmath>

#include "apptestutil.h"
#include "benchstatus.h"
#include "modulesendervek72.h"
#include "procstatus.h"
#include "synthesis.h"
#include "testsignals.h"
#include "vekdrunner.h"
#include "waveformfile.h"

namespace {

const char* const crateSerial = "4B210736";
constexpr int slotOfEight = 3;  // modification 1, 8 channels, -10 V .. +10 V

// A period of 1000 points from a file: a sine, its fifth harmonic and a step.
WaveformPointer fileWaveform()
{
    QVector<double> points(1000);
    for (int j = 0; j < points.size(); ++j)
        points[j] = std::sin(2 * M_PI * j / 1000.0) + 0.3 * std::sin(2 * M_PI * 5 * j / 1000.0) + (j < 300 ? 0.5 : 0.0);
    return waveformfile::fromValues(points, QStringLiteral("period.csv")).waveform;
}

ChannelSignal withPhase(ChannelSignal s, double phase)
{
    s.phase = phase;
    return s;
}

// The codes of the module's full range (-10 V .. +10 V) that a capture's volts stand for.
int codeOf(double volts)
{
    return int(std::lround((volts + 10.0) / 20.0 * 65535.0));
}

} // namespace

Q_DECLARE_METATYPE(QList<ChannelSignal>)

class TestSenderSynthesis : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void cleanupTestCase();

    void cyclicPageIsReceivedAndPlayed();
    void arbitraryAndThreePhasesArePlayed();
    void streamingSendsTheFirstChunkOnly();
    void streamedAsTheWholeSignal_data();
    void streamedAsTheWholeSignal();
    void refusals_data();
    void refusals();
    void preparationFailure();
    void signalsLongerThanMemory();

private:
    QList<QVector<double>> capture(int frames);
    // The codes of the whole-signal fill of `list` at stream positions from .. from + frames - 1, one
    // vector per channel; empty when refused.
    QList<QVector<int>> wholeSignalCodes(const QList<ChannelSignal>& list, qint64 from, int frames);
    bool configure(const QList<ChannelSignal>& list, bool cyclic, double dacRate = 48000);
    QJsonObject moduleStatus();
    void verifyUnlocked();

    VekdRunner service;
    TVEK72 handle;
    QList<ChannelSignal> outputData;
    QMutex mutex;
    ModuleSenderVek72* sender = nullptr;
};

void TestSenderSynthesis::initTestCase()
{
    apptest::installMessageCapture();
    QVERIFY(service.start());
    VEK72_Init(&handle);
    QCOMPARE(VEK72_Open(&handle, 0x7F000001u, 11111, crateSerial, slotOfEight), 0);
    QCOMPARE(int(handle.info.dacChannelCount), 8);
}

void TestSenderSynthesis::init()
{
    outputData.clear();
    sender = new ModuleSenderVek72(&handle, &outputData, &mutex);
    QCOMPARE(service.vekctl({"fault", "clear"}), 0);
}

void TestSenderSynthesis::cleanup()
{
    delete sender;
    sender = nullptr;
    if (handle.state.running)
        VEK72_Stop(&handle, 0);
}

void TestSenderSynthesis::cleanupTestCase()
{
    VEK72_Close(&handle);
    service.stop();
}

// Writes the configuration of the records as the module object does and applies it.
bool TestSenderSynthesis::configure(const QList<ChannelSignal>& list, bool cyclic, double dacRate)
{
    for (int i = 0; i < VEK72_MAX_CHANNELS; ++i) {
        handle.config.channel[i].enabled = 0;
        handle.config.channel[i].output = 0;
        handle.config.channel[i].source = 0;
    }
    for (const ChannelSignal& s : list)
        handle.config.channel[s.channel - 1].enabled = 1;
    handle.config.outputMode = cyclic ? 0 : 1;
    handle.config.dacEnable = 1;
    VEK72_FillOutFreq(&handle.config, dacRate, nullptr);
    outputData = list;
    return VEK72_Configure(&handle) == 0;
}

QJsonObject TestSenderSynthesis::moduleStatus()
{
    return benchstatus::module(benchstatus::status(service), QLatin1String(crateSerial), slotOfEight);
}

void TestSenderSynthesis::verifyUnlocked()
{
    QVERIFY(mutex.tryLock());
    mutex.unlock();
}

void TestSenderSynthesis::cyclicPageIsReceivedAndPlayed()
{
    const QList<ChannelSignal> list{sig(ChannelSignal::Sine, 700, 2.0, 0.5, 2),
                                    sig(ChannelSignal::Triangle, 1000, 4.0, -3.0, 5),
                                    sig(ChannelSignal::Line, 0, 0, 1.25, 7)};
    QVERIFY(configure(list, true));
    const double rate = handle.state.outputRate;  // 48 kHz over 4
    QCOMPARE(rate, 12000.0);
    apptest::clearMessages();
    const int period = sender->synthesize(true);
    verifyUnlocked();
    QVERIFY2(apptest::criticals().isEmpty(), qPrintable(apptest::criticals().join('\n')));

    // 700 Hz at 12 kHz: 7 periods in 120 samples, the triangle and the line fit them: one page of
    // 120 frames, 10 ms, and every record holds the frequency it gets (and no samples: the page is
    // the module's).
    const synthesis::Plan plan = synthesis::makePlan(list, rate, true);
    QCOMPARE(period, 10);
    QCOMPARE(sender->transferWordCount(), 360u);
    QCOMPARE(sender->signalLength(), qint64(120));
    QList<ChannelSignal> whole = list;
    QVERIFY(synthesis::synthesizeAll(whole, rate, true));
    for (int i = 0; i < 3; ++i) {
        QVERIFY(outputData.at(i).samples.isEmpty());
        QVERIFY(outputData.at(i).frequency == plan.channels.at(i).frequency);
    }

    // The module holds the page.
    const QJsonObject before = moduleStatus();
    QCOMPARE(before.value("loadingPageWords").toDouble(), 360.0);
    QCOMPARE(before.value("counters").toObject().value("badWords").toDouble(), 0.0);

    // Played, the page gives back the samples (to the DAC's 16-bit step).
    QCOMPARE(VEK72_SwitchCyclePage(&handle, 0, 1000), 0);
    QTRY_VERIFY_WITH_TIMEOUT(moduleStatus().value("counters").toObject().value("framesPlayed").toDouble() >= 240,
                             10000);
    QTemporaryDir dir;
    const QString csv = dir.filePath("capture.csv");
    QCOMPARE(service.vekctl({"capture", "--crate", crateSerial, "--slot", QString::number(slotOfEight),
                             "--frames", "120", "--out", csv}),
             0);
    QCOMPARE(VEK72_Stop(&handle, 0), 0);
    QFile file(csv);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QList<QByteArray> lines = file.readAll().trimmed().split('\n');
    QCOMPARE(lines.takeFirst(), QByteArray("ch2,ch5,ch7"));
    QCOMPARE(lines.size(), 120);
    // The capture starts wherever playback happened to be: find the rotation, then every frame.
    const double step = 20.0 / 65535.0;
    auto matches = [&](int shift, int g) {
        const QList<QByteArray> cells = lines.at(g).split(',');
        for (int i = 0; i < 3; ++i) {
            if (std::abs(cells.at(i).toDouble() - whole.at(i).samples.at((g + shift) % 120)) > step / 2 + 1e-6)
                return false;
        }
        return true;
    };
    int shift = -1;
    for (int s = 0; s < 120 && shift < 0; ++s) {
        bool all = true;
        for (int g = 0; g < 120 && all; ++g)
            all = matches(s, g);
        if (all)
            shift = s;
    }
    QVERIFY2(shift >= 0, "the played frames are not the page sent");
}

// What the module plays: `frames` frames per enabled channel, from wherever playback is.
QList<QVector<double>> TestSenderSynthesis::capture(int frames)
{
    QTemporaryDir dir;
    const QString csv = dir.filePath("capture.csv");
    if (service.vekctl({"capture", "--crate", crateSerial, "--slot", QString::number(slotOfEight), "--frames",
                        QString::number(frames), "--out", csv})
        != 0)
        return {};
    QFile file(csv);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    QList<QByteArray> lines = file.readAll().trimmed().split('\n');
    const int channels = lines.takeFirst().split(',').size();
    QList<QVector<double>> columns;
    for (int i = 0; i < channels; ++i)
        columns.append(QVector<double>());
    for (const QByteArray& line : lines) {
        const QList<QByteArray> cells = line.split(',');
        for (int i = 0; i < channels && i < cells.size(); ++i)
            columns[i].append(cells.at(i).toDouble());
    }
    return columns;
}

void TestSenderSynthesis::arbitraryAndThreePhasesArePlayed()
{
    // Channel 2 plays one period loaded from a spreadsheet's CSV (64 points of a sine with its third
    // harmonic); channels 4, 5 and 6 a sine at 0, 120 and 240 degrees. Captured after two successive
    // starts: the file's shape at the achieved frequency, and the three phases 120 degrees apart.
    QTemporaryDir dir;
    const QString path = dir.filePath("period.csv");
    auto shape = [](double turns) { return std::sin(2 * M_PI * turns) + 0.3 * std::sin(2 * M_PI * 3 * turns + 0.5); };
    {
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        QByteArray text = QTextCodec::codecForName("Windows-1251")->fromUnicode(QStringLiteral("Время;Значение\r\n"));
        for (int j = 0; j < 64; ++j)
            text += QString::asprintf("%d;%.12f\r\n", j, shape(j / 64.0)).replace('.', ',').toLatin1();
        file.write(text);
    }
    const waveformfile::Result loaded = waveformfile::load(path);
    QVERIFY2(loaded.ok(), qPrintable(loaded.message));
    ChannelSignal custom = sig(ChannelSignal::Arbitrary, 120, 3.0, 0.5, 2);
    custom.waveform = loaded.waveform;
    QList<ChannelSignal> list{custom};
    for (int i = 0; i < 3; ++i) {
        ChannelSignal s = sig(ChannelSignal::Sine, 100, 5.0, 0.0, 4 + i);
        s.phase = 120.0 * i;
        list.append(s);
    }
    const double peak = loaded.waveform->peak();
    const double step = 20.0 / 65535.0;  // the DAC's step over -10 V .. +10 V

    for (int start = 0; start < 2; ++start) {
        QVERIFY(configure(list, true));
        const double rate = handle.state.outputRate;
        const synthesis::Plan plan = synthesis::makePlan(list, rate, true);
        QVERIFY(plan.ok());
        apptest::clearMessages();
        QVERIFY(sender->synthesize(true) > 0);
        QVERIFY2(apptest::criticals().isEmpty(), qPrintable(apptest::criticals().join('\n')));
        auto framesPlayed = [this]() {
            return moduleStatus().value("counters").toObject().value("framesPlayed").toDouble();
        };
        const double before = framesPlayed();
        QCOMPARE(VEK72_SwitchCyclePage(&handle, 0, 1000), 0);
        QTRY_VERIFY_WITH_TIMEOUT(framesPlayed() >= before + 2 * plan.length, 10000);
        const QList<QVector<double>> played = capture(int(plan.length));
        QCOMPARE(VEK72_Stop(&handle, 0), 0);
        QCOMPARE(played.size(), 4);
        QCOMPARE(qint64(played.at(0).size()), plan.length);

        // The file's shape at the frequency the plan achieved, from some frame of the page on.
        const double r = plan.channels.at(0).samplesPerPeriod;
        int shift = -1;
        for (int s = 0; s < plan.length && shift < 0; ++s) {
            bool all = true;
            for (int g = 0; g < plan.length && all; ++g) {
                const double expected = 3.0 * shape(std::fmod(double(g + s), r) / r) / peak + 0.5;
                all = std::abs(played.at(0).at(g) - expected) <= step / 2 + 1e-6;
            }
            if (all)
                shift = s;
        }
        QVERIFY2(shift >= 0, "channel 2 does not play the file's period");

        // The phases of the fundamentals, wherever the capture began.
        const qint64 periods = plan.channels.at(1).periods;
        double phase[3];
        for (int i = 0; i < 3; ++i) {
            double re = 0, im = 0;
            for (int g = 0; g < plan.length; ++g) {
                const double angle = 2 * M_PI * double((periods * g) % plan.length) / double(plan.length);
                re += played.at(1 + i).at(g) * std::cos(angle);
                im -= played.at(1 + i).at(g) * std::sin(angle);
            }
            phase[i] = std::atan2(im, re) * 180 / M_PI;
        }
        for (int i = 1; i < 3; ++i) {
            const double apart = std::fmod(phase[i] - phase[0] + 720.0, 360.0);
            QVERIFY2(std::abs(apart - 120.0 * i) < 0.1,
                     qPrintable(QString::asprintf("start %d: channel %d is %.4f degrees after channel 4", start + 1,
                                                  4 + i, apart)));
        }
    }
}

void TestSenderSynthesis::streamingSendsTheFirstChunkOnly()
{
    // Eight channels at 6000 samples per second each, of a common length of 600000 frames: the
    // first transfer is one chunk of 100 ms, whatever the length; nothing of that length is kept.
    QList<ChannelSignal> list;
    for (int c = 1; c <= 8; ++c)
        list.append(sig(c % 2 ? ChannelSignal::Sine : ChannelSignal::Saw, 0.07 * c, 1.0 + c, -0.5, c));
    QVERIFY(configure(list, false));
    QCOMPARE(handle.state.outputRate, 6000.0);
    const synthesis::Plan plan = synthesis::makePlan(list, 6000, false);
    QVERIFY(plan.ok());
    QVERIFY(plan.length > 100000);
    const QJsonObject before = moduleStatus();
    apptest::clearMessages();
    const int period = sender->synthesize(false);
    verifyUnlocked();
    QVERIFY2(apptest::criticals().isEmpty(), qPrintable(apptest::criticals().join('\n')));
    QCOMPARE(period, 100);
    QCOMPARE(sender->transferWordCount(), 8u * 600u);
    QCOMPARE(sender->signalLength(), plan.length);
    for (int i = 0; i < 8; ++i) {
        QVERIFY(outputData.at(i).samples.isEmpty());
        QVERIFY(outputData.at(i).frequency == plan.channels.at(i).frequency);
    }
    const QJsonObject after = moduleStatus();
    QCOMPARE(after.value("fifoWords").toDouble(), double(sender->transferWordCount()));
    QCOMPARE(after.value("counters").toObject().value("wordsReceived").toDouble()
                 - before.value("counters").toObject().value("wordsReceived").toDouble(),
             double(sender->transferWordCount()));
}

QList<QVector<int>> TestSenderSynthesis::wholeSignalCodes(const QList<ChannelSignal>& list, qint64 from, int frames)
{
    const double rate = handle.state.outputRate;
    const synthesis::Plan plan = synthesis::makePlan(list, rate, false);
    if (!plan.ok())
        return {};
    const int e = plan.channels.size();
    const qint64 length = plan.length;
    // The whole signals as synthesizeAll fills them. A signal too long to fill whole in a test is
    // taken from the same fillers at the positions wanted, which give the whole fill's values
    // (the synthesis tests compare the two).
    QList<ChannelSignal> whole = list;
    QVector<QVector<double>> window(e);
    if (length <= 2097152) {
        if (!synthesis::synthesizeAll(whole, rate, false))
            return {};
    } else {
        for (int i = 0; i < e; ++i) {
            window[i].resize(frames);
            const synthesis::ChannelFiller filler(plan.channels.at(i), length);
            for (int g = 0; g < frames;) {
                const qint64 at = (from + g) % length;
                const int run = int(std::min<qint64>(frames - g, length - at));
                filler.fillInto(window[i].data() + g, at, at + run);
                g += run;
            }
        }
    }
    QVector<double> interleaved(e * frames);
    for (int g = 0; g < frames; ++g) {
        for (int i = 0; i < e; ++i)
            interleaved[e * g + i] = window.at(i).isEmpty() ? whole.at(i).samples.at(int((from + g) % length))
                                                            : window.at(i).at(g);
    }
    QVector<quint32> words(interleaved.size());
    if (VEK72_PrepareDacData(&handle, interleaved.constData(), quint32(words.size()), VEK72_PREPARE_VOLTS,
                             words.data(), nullptr) != 0)
        return {};
    QList<QVector<int>> codes;
    for (int i = 0; i < e; ++i) {
        QVector<int> column(frames);
        for (int g = 0; g < frames; ++g)
            column[g] = int(words.at(e * g + i) & 0xFFFFu);
        codes.append(column);
    }
    return codes;
}

void TestSenderSynthesis::streamedAsTheWholeSignal_data()
{
    QTest::addColumn<double>("dacRate");
    QTest::addColumn<QList<ChannelSignal>>("signalList");
    QTest::addColumn<QList<ChannelSignal>>("change");     // taken while streaming, when given
    QTest::addColumn<QStringList>("fault");               // in the first lead: vekctl fault arguments
    QTest::addColumn<QString>("message");                 // the one critical text the fault gives
    const WaveformPointer file = fileWaveform();
    ChannelSignal arb = withPhase(sig(ChannelSignal::Arbitrary, 930, 4.0, 0.5, 3), 45.0);
    arb.waveform = file;
    // The shapes, phases and a file's period at 24000 frames per second: periods of 34.29, 13.71,
    // 25.81 and 21.33 frames, a common length of 4800 frames that the stream passes many times.
    const QList<ChannelSignal> shapes{withPhase(sig(ChannelSignal::Sine, 700, 3.0, 0.25, 1), 120.0),
                                      withPhase(sig(ChannelSignal::Triangle, 1750, 4.0, -1.0, 2), 200.0),
                                      arb,
                                      withPhase(sig(ChannelSignal::Pulse, 1125, 2.0, 1.0, 6), 90.0)};
    QTest::newRow("shapes, phases and a file, across the wrap")
        << 96000.0 << shapes << QList<ChannelSignal>() << QStringList() << QString();
    // One channel of 128 frames at 48000 frames per second: the signal wraps inside every chunk.
    QTest::newRow("one short signal, 48 kHz") << 48000.0 << QList<ChannelSignal>{sig(ChannelSignal::Saw, 375, 5.0, -2.0, 4)}
                                              << QList<ChannelSignal>() << QStringList() << QString();
    // Frequencies that fit no short length: eight channels at 24000 frames per second, L near its
    // limit of 16777216 frames.
    QList<ChannelSignal> awkward;
    const double frequencies[8] = {1234.567, 987.6543211, 2345.6789, 2999.98765, 111.1111111, 555.5555557, 777.7777771, 1.23456789};
    for (int c = 0; c < 8; ++c)
        awkward.append(withPhase(sig(c % 4 == 3 ? ChannelSignal::Triangle : ChannelSignal::Sine, frequencies[c], 1.0 + c, 0.25 * c - 1.0, c + 1), 37.0 * c));
    QTest::newRow("eight awkward frequencies, 192 kHz") << 192000.0 << awkward << QList<ChannelSignal>() << QStringList() << QString();
    // Faults in the first lead, before the stream starts: what was not taken goes first with the
    // next tick, so the stream has no gap and no frame on the wrong output.
    QTest::newRow("first lead taken short") << 96000.0 << shapes << QList<ChannelSignal>()
                                            << QStringList{"short-send", "--words", "1001"}
                                            << "Ошибка! Количество отправленных сэмплов не равно заданному!";
    QTest::newRow("first lead refused") << 96000.0 << shapes << QList<ChannelSignal>()
                                        << QStringList{"fail", "--function", "VEK72_Send", "--code", "-116"}
                                        << "Ошибка при отправке данных модулю!";
    // A change while streaming: the frames before the cut are the old signals at their positions,
    // every frame after it the new ones at theirs.
    QList<ChannelSignal> changed = shapes;
    changed[0].amplitude = 1.5;
    changed[1].frequency = 1234.567;
    changed[2].phase = 300.0;
    QTest::newRow("a change, to an awkward frequency") << 96000.0 << shapes << changed << QStringList() << QString();
}

// A stream as the module played it, word for word the whole-signal fill at the stream positions of
// the frames: started with the sender on its own thread, stopped, and the last frames captured. The
// frames the module took from the FIFO are counted, so the last frame captured is stream position
// framesPlayed - 1.
void TestSenderSynthesis::streamedAsTheWholeSignal()
{
    QFETCH(double, dacRate);
    QFETCH(QList<ChannelSignal>, signalList);
    QFETCH(QList<ChannelSignal>, change);
    QFETCH(QStringList, fault);
    QFETCH(QString, message);
    QVERIFY(configure(signalList, false, dacRate));
    const double rate = handle.state.outputRate;
    const int e = signalList.size();
    const synthesis::Plan plan = synthesis::makePlan(signalList, rate, false);
    QVERIFY(plan.ok());
    auto counterNow = [this](const char* name) {
        return qint64(moduleStatus().value("counters").toObject().value(QLatin1String(name)).toDouble());
    };
    const qint64 base = counterNow("framesPlayed");
    const qint64 underruns = counterNow("underruns");

    QMutex handleLock;
    QThread thread;
    auto* streaming = new ModuleSenderVek72(&handle, &outputData, &mutex, &handleLock);
    streaming->moveToThread(&thread);
    thread.start();
    apptest::clearMessages();
    QVERIFY(streaming->synthesize(false) > 0);
    if (!fault.isEmpty()) {
        QCOMPARE(service.vekctl(QStringList{"fault", fault.first(), "--crate", crateSerial, "--slot",
                                            QString::number(slotOfEight)} + fault.mid(1)), 0);
    }
    QVERIFY(streaming->startOutput());
    // Played past the wrap where it is near (and at least half a second).
    const qint64 enough = std::max<qint64>(qint64(rate / 2), plan.length < 200000 ? plan.length + qint64(rate / 4) : 0);
    QTRY_VERIFY_WITH_TIMEOUT(counterNow("framesPlayed") >= base + enough, 20000);
    if (!change.isEmpty()) {
        QVERIFY(streaming->changeSignals(change, false));
        QTRY_VERIFY_WITH_TIMEOUT(counterNow("framesPlayed") >= base + enough + qint64(rate / 2), 20000);
    }
    QVERIFY(streaming->stopOutput());
    thread.quit();
    QVERIFY(thread.wait(10000));
    delete streaming;
    QCOMPARE(apptest::criticals(), message.isEmpty() ? QStringList() : QStringList{message});
    QCOMPARE(counterNow("underruns"), underruns);
    QCOMPARE(counterNow("badWords"), 0);

    const qint64 played = counterNow("framesPlayed") - base;
    // A change is looked for in all the module keeps: the stop comes a while after the wait saw the
    // new signal play, longer on a slow machine.
    const qint64 kept = 1048576 / e;
    const int frames = int(std::min<qint64>(played, change.isEmpty() ? std::min<qint64>(qint64(rate), kept) : kept));
    const QList<QVector<double>> columns = capture(frames);
    QCOMPARE(columns.size(), e);
    QCOMPARE(columns.first().size(), frames);
    const qint64 from = played - frames;
    if (!change.isEmpty())
        QVERIFY(from < enough);   // the change lies within the frames captured
    const QList<QVector<int>> before = wholeSignalCodes(signalList, from, frames);
    const QList<QVector<int>> after = change.isEmpty() ? before : wholeSignalCodes(change, from, frames);
    QCOMPARE(before.size(), e);
    QCOMPARE(after.size(), e);
    // The old signals up to the cut (none for a stream without a change), the new ones from there.
    auto matches = [&](const QList<QVector<int>>& codes, int g) {
        for (int i = 0; i < e; ++i) {
            if (codeOf(columns.at(i).at(g)) != codes.at(i).at(g))
                return false;
        }
        return true;
    };
    int cut = 0;
    if (!change.isEmpty()) {
        while (cut < frames && matches(before, cut))
            ++cut;
        QVERIFY2(cut > 0 && cut < frames, qPrintable(QString::number(cut)));
    }
    for (int g = cut; g < frames; ++g) {
        QVERIFY2(matches(after, g),
                 qPrintable(QStringLiteral("stream position %1 (frame %2 of %3, cut at %4) is not the whole signal's")
                                .arg(from + g).arg(g).arg(frames).arg(cut)));
    }
}

void TestSenderSynthesis::refusals_data()
{
    QTest::addColumn<QList<ChannelSignal>>("signalList");
    QTest::addColumn<bool>("dropLast");          // the list loses its last record after configuring
    QTest::addColumn<QStringList>("fault");      // vekctl fault arguments after crate and slot
    QTest::addColumn<QString>("message");
    QTest::addColumn<int>("sent");               // what the last send answered; 0: nothing sent
    const ChannelSignal one = sig(ChannelSignal::Sine, 700, 1, 0, 1);
    const QString countDiffers = "Ошибка! Количество отправленных сэмплов не равно заданному!";
    QTest::newRow("no channel") << QList<ChannelSignal>{} << false << QStringList() << "Нет включенных каналов для генерации" << 0;
    QTest::newRow("half the rate") << QList<ChannelSignal>{sig(ChannelSignal::Sine, 24000, 1, 0, 1)} << false << QStringList()
                                   << "Недостаточная частота ЦАП 48.000 кГц на канал для сигнала 24.000 кГц (канал 1)" << 0;
    QTest::newRow("0 Hz beside 1 kHz") << QList<ChannelSignal>{sig(ChannelSignal::Sine, 1000, 1, 0, 1), sig(ChannelSignal::Sine, 0, 1, 0, 2)}
                                       << false << QStringList() << "Недостаточная частота ЦАП 24.000 кГц на канал для сигнала 0.000 кГц (канал 2)" << 0;
    QTest::newRow("NaN") << QList<ChannelSignal>{sig(ChannelSignal::Sine, std::nan(""), 1, 0, 1)} << false << QStringList()
                         << "Недостаточная частота ЦАП 48.000 кГц на канал для сигнала nan кГц (канал 1)" << 0;
    // Words laid out for two enabled channels but one signal would land on the wrong outputs.
    QTest::newRow("channel counts differ") << QList<ChannelSignal>{one, sig(ChannelSignal::Sine, 700, 1, 0, 2)} << true << QStringList()
                                           << "Число включенных каналов модуля (2) не совпадает с числом сигналов (1)" << 0;
    QTest::newRow("send failed") << QList<ChannelSignal>{one} << false
                                 << QStringList{"fail", "--function", "VEK72_Send", "--code", "-116"}
                                 << "Ошибка при отправке данных модулю!" << -116;
    QTest::newRow("send taken short") << QList<ChannelSignal>{one} << false << QStringList{"short-send", "--words", "100"}
                                      << countDiffers << 100;
    // Taking nothing is a count that differs, not a failed send.
    QTest::newRow("send taking no words") << QList<ChannelSignal>{one} << false << QStringList{"short-send", "--words", "0"}
                                          << countDiffers << 0;
}

// Each refusal: no block period, its one critical text, the lock free again; a fault is used up,
// so the next synthesis goes through.
void TestSenderSynthesis::refusals()
{
    QFETCH(QList<ChannelSignal>, signalList);
    QFETCH(bool, dropLast);
    QFETCH(QStringList, fault);
    QFETCH(QString, message);
    QFETCH(int, sent);
    QVERIFY(configure(signalList, true));
    if (dropLast)
        outputData.removeLast();
    if (!fault.isEmpty()) {
        QCOMPARE(service.vekctl(QStringList{"fault", fault.first(), "--crate", crateSerial, "--slot",
                                            QString::number(slotOfEight)} + fault.mid(1)), 0);
    }
    apptest::clearMessages();
    QCOMPARE(sender->synthesize(true), 0);
    verifyUnlocked();
    QCOMPARE(apptest::criticals(), QStringList{message});
    QCOMPARE(sender->lastSentCount(), sent);
    if (!fault.isEmpty()) {
        apptest::clearMessages();
        QCOMPARE(sender->synthesize(true), 10);
        QVERIFY(apptest::criticals().isEmpty());
    }
}

void TestSenderSynthesis::preparationFailure()
{
    // A handle that was never configured: the library cannot make words of the samples.
    TVEK72 fresh;
    VEK72_Init(&fresh);
    fresh.state.outputRate = 48000;
    fresh.state.enabledChannels = 1;
    QList<ChannelSignal> list{sig(ChannelSignal::Saw, 1000, 1, 0, 1)};
    QMutex lock;
    ModuleSenderVek72 other(&fresh, &list, &lock);
    apptest::clearMessages();
    QCOMPARE(other.synthesize(true), 0);
    QVERIFY(lock.tryLock());
    lock.unlock();
    const QString text = QTextCodec::codecForName("Windows-1251")->toUnicode(VEK72_GetErrorString(VEK72_E_NOT_CONFIGURED));
    QVERIFY(!text.isEmpty());
    QCOMPARE(apptest::criticals(),
             QStringList{QStringLiteral("Ошибка генерации данных. Ошибка %1 (%2)").arg(VEK72_E_NOT_CONFIGURED).arg(text)});
    QCOMPARE(other.lastSentCount(), 0);  // nothing was sent
}

void TestSenderSynthesis::signalsLongerThanMemory()
{
    // A cyclic page longer than any array: refused before anything is allocated.
    QVERIFY(configure({sig(ChannelSignal::Sine, 0.0001, 1, 0, 1)}, true));
    apptest::clearMessages();
    QCOMPARE(sender->synthesize(true), 0);
    verifyUnlocked();
    QCOMPARE(apptest::criticals(), QStringList{"Недостаточно памяти для генерации сигнала"});
    QCOMPARE(sender->transferWordCount(), 0u);

    // 0.0002 Hz in streaming: a signal of 240 million frames (1.9 GB of samples) is made ready to
    // stream while this process may not grow by more than 64 MiB.
    const ChannelSignal slow = sig(ChannelSignal::Sine, 0.0002, 5, 0, 1);
    QVERIFY(configure({slow}, false));
    const synthesis::Plan plan = synthesis::makePlan({slow}, handle.state.outputRate, false);
    QVERIFY(plan.ok());
    QVERIFY(plan.length >= 240000000);
    rlimit saved;
    QCOMPARE(getrlimit(RLIMIT_AS, &saved), 0);
    const qint64 virtualKb = procstatus::kib("VmSize");
    QVERIFY(virtualKb > 0);
    rlimit limited = saved;
    limited.rlim_cur = rlim_t(virtualKb + 64 * 1024) * 1024;
    QCOMPARE(setrlimit(RLIMIT_AS, &limited), 0);
    apptest::clearMessages();
    const int result = sender->synthesize(false);
    QCOMPARE(setrlimit(RLIMIT_AS, &saved), 0);
    QCOMPARE(result, 100);
    verifyUnlocked();
    QVERIFY2(apptest::criticals().isEmpty(), qPrintable(apptest::criticals().join('\n')));
    QCOMPARE(sender->signalLength(), plan.length);
    const QJsonObject module = moduleStatus();
    QCOMPARE(module.value("fifoWords").toDouble(), double(sender->transferWordCount()));
}

// signalsLongerThanMemory limits the address space: under a sanitizer an allocation that does not
// fit must fail as it does without one, with a null pointer, instead of ending the process.
extern "C" const char* __asan_default_options() { return "allocator_may_return_null=1"; }
extern "C" const char* __tsan_default_options() { return "allocator_may_return_null=1"; }

QTEST_GUILESS_MAIN(TestSenderSynthesis)
#include "tst_sender_synthesis.moc"
