// The VEK72 module through vek72api against a vekd of the test's own: configuration and state as they
// travel, the sample word format, cyclic and streaming output observed through vekctl, the page switch
// at the end of a pass and the stream cut (a late answer too), fault injection, vekctl's exit codes,
// error texts. The module model's own rules (rates, pages, pacing,
// underruns, held outputs) are tested with a clock of the test's own in tst_vek72sim.
#include "platformtest.h"
#include "vekdrunner.h"

#include <QtTest>
#include <QTextCodec>

#include <cmath>
#include <csignal>
#include <vector>

namespace {

QString text(int code)
{
    return QTextCodec::codecForName("Windows-1251")->toUnicode(VEK72_GetErrorString(code));
}

// Reads a capture file: header names, then rows of volts.
bool readCapture(const QString& path, QStringList* header, std::vector<std::vector<double>>* rows)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly | QIODevice::Text)) return false;
    *header = QString::fromUtf8(f.readLine()).trimmed().split(',');
    rows->clear();
    while (!f.atEnd()) {
        std::vector<double> row;
        for (const QString& c : QString::fromUtf8(f.readLine()).trimmed().split(',')) row.push_back(c.toDouble());
        rows->push_back(row);
    }
    return true;
}

uint32_t code(uint32_t w) { return w & 0xFFFFu; }
unsigned channel(uint32_t w) { return (w >> 16) & 7u; }
bool saturated(uint32_t w) { return (w >> 19) & 1u; }

} // namespace

class TestPlatformModule : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void init();
    void cleanup();
    void configuration();
    void dacRates_data();
    void dacRates();
    void sampleWordFormat();
    void cyclicRoundTripThroughCapture();
    void streamingSendWaitsForRoom();
    void switchAtPassEndThroughTheLibrary();
    void streamCutThroughTheLibrary();
    void streamCutAnsweredLate();
    void sendCutOffByAHang();
    void statusOfAModuleLeftBehind_data();
    void statusOfAModuleLeftBehind();
    void statusAnsweredAfterAHang();
    void faultInjectionOnModuleCalls();
    void faultInjectionOnCrateCalls();
    void vekctlExitCodes_data();
    void vekctlExitCodes();
    void errorTexts();

private:
    VekdRunner* vekd_ = nullptr;
};

void TestPlatformModule::init()
{
    vekd_ = new VekdRunner;
    QVERIFY(vekd_->start());
}

void TestPlatformModule::cleanup()
{
    delete vekd_;
    vekd_ = nullptr;
}

// The configuration and the state block as they travel, refusals and the zeroing configuration
// included (the module model's rules are tested in tst_vek72sim).
void TestPlatformModule::configuration()
{
    Module m;
    QCOMPARE(m.configure({{0, 0}}, 0, 48000), VEK72_E_NOT_OPENED);
    QCOMPARE(m.open(7), 0); // four channels
    QCOMPARE(m.configure({{4, 0}}, 0, 48000), VEK72_E_ARGUMENT); // channel 5 of a 4-channel module
    QCOMPARE(int(m.h.state.configured), 0);
    QCOMPARE(m.configure({{0, 0}, {1, 1}, {3, 0}}, 1, 96000), 0);
    QCOMPARE(int(m.h.state.enabledChannels), 3);
    QCOMPARE(m.h.state.outputRate, 24000.0); // three channels take a quarter of the DAC rate each
    QCOMPARE(int(m.h.state.outputMode), 1);
    QCOMPARE(int(m.h.state.configured), 1);
    QCOMPARE(int(m.h.state.running), 0);
    const QJsonObject st = moduleStatus(*vekd_, 7);
    QCOMPARE(st["mode"].toString(), QString("streaming"));
    QCOMPARE(st["dacRateHz"].toDouble(), 96000.0);
    QCOMPARE(st["enabledChannels"].toArray(), (QJsonArray{1, 2, 4}));
    QCOMPARE(st["outputSelectors"].toArray(), (QJsonArray{"full", "tenth", "full"}));
    QCOMPARE(st["outputRate"].toDouble(), 24000.0);

    // a configuration while output runs is refused, and the state still tells the applied one
    QCOMPARE(m.configure({{0, 0}, {3, 1}}, 0, 96000), 0);
    const std::vector<uint32_t> words = m.prepare({1.0, 0.5});
    QCOMPARE(m.send(words), 2);
    QCOMPARE(VEK72_SwitchCyclePage(&m.h, 0, 1000), 0);
    QCOMPARE(int(m.h.state.running), 1);
    QCOMPARE(m.configure({{1, 0}}, 0, 48000), VEK72_E_RUNNING);
    QCOMPARE(m.h.state.outputRate, 48000.0);
    QCOMPARE(int(m.h.state.enabledChannels), 2);
    QCOMPARE(VEK72_Stop(&m.h, 0), 0);
    QCOMPARE(int(m.h.state.running), 0);
    QCOMPARE(VEK72_Stop(&m.h, 0), VEK72_E_NOT_RUNNING);
    QCOMPARE(VEK72_FillOutFreq(nullptr, 48000, nullptr), VEK72_E_ARGUMENT);

    // no channel: applied, and nothing can be sent or converted
    QCOMPARE(m.configure({}, 0, 48000), 0);
    QCOMPARE(int(m.h.state.enabledChannels), 0);
    QCOMPARE(m.h.state.outputRate, 0.0);
    QCOMPARE(int(m.h.state.configured), 1);
    QCOMPARE(moduleStatus(*vekd_, 7)["enabledChannels"].toArray(), QJsonArray());
    QCOMPARE(m.send(words), VEK72_E_NO_CHANNELS);
    double sample = 1.0;
    uint32_t word = 0;
    QCOMPARE(VEK72_PrepareDacData(&m.h, &sample, 1, VEK72_PREPARE_VOLTS, &word, nullptr), VEK72_E_NO_CHANNELS);
}

void TestPlatformModule::dacRates_data()
{
    QTest::addColumn<double>("asked");
    QTest::addColumn<int>("filled");  // VEK72_FillOutFreq's answer
    QTest::addColumn<double>("rate"); // the rate written (and told back) by it
    QTest::addColumn<int>("configured");
    QTest::newRow("48 kHz less half a hertz") << 47999.5 << 0 << 48000.0 << 0;
    QTest::newRow("96 kHz and a bit") << 96000.49 << 0 << 96000.0 << 0;
    QTest::newRow("192 kHz less a bit") << 191999.7 << 0 << 192000.0 << 0;
    QTest::newRow("half a hertz above 48 kHz") << 48000.5 << VEK72_E_BAD_RATE << 48001.0 << VEK72_E_BAD_RATE;
    QTest::newRow("44.1 kHz") << 44100.0 << VEK72_E_BAD_RATE << 44100.0 << VEK72_E_BAD_RATE;
    QTest::newRow("not a number") << double(NAN) << VEK72_E_ARGUMENT << 0.0 << VEK72_E_BAD_RATE;
}

// A rate within half a hertz of a supported one is that rate: written rounded, applied by the module.
void TestPlatformModule::dacRates()
{
    QFETCH(double, asked);
    QFETCH(int, filled);
    QFETCH(double, rate);
    QFETCH(int, configured);
    Module m;
    QCOMPARE(m.open(3), 0);
    double actual = -1;
    QCOMPARE(VEK72_FillOutFreq(&m.h.config, asked, &actual), filled);
    QCOMPARE(actual, filled == VEK72_E_ARGUMENT ? -1.0 : rate);
    QCOMPARE(double(m.h.config.dacRateHz), rate);
    m.h.config.channel[0] = TVEK72_CHANNEL{1, 0, 0, 0};
    m.h.config.dacEnable = 1;
    QCOMPARE(VEK72_Configure(&m.h), configured);
    QCOMPARE(int(m.h.state.configured), configured == 0 ? 1 : 0);
    if (configured == 0) QCOMPARE(moduleStatus(*vekd_, 3)["dacRateHz"].toDouble(), rate);
}

// The words of VEK72_PrepareDacData agree with the documented format for every position of the
// channel repeat: tag, physical channel, code rounded to nearest on the channel's scale, saturation.
void TestPlatformModule::sampleWordFormat()
{
    Module m;
    QCOMPARE(m.open(3), 0);
    double s = 0;
    uint32_t w = 0;
    QCOMPARE(VEK72_PrepareDacData(&m.h, &s, 1, 1, &w, nullptr), VEK72_E_NOT_CONFIGURED);
    QCOMPARE(m.configure({{1, 0}, {4, 1}}, 0, 48000), 0);
    QCOMPARE(VEK72_PrepareDacData(&m.h, &s, 1, 0, &w, nullptr), VEK72_E_ARGUMENT);
    QCOMPARE(VEK72_PrepareDacData(&m.h, &s, 1, 1, &w, &w), VEK72_E_ARGUMENT);
    QCOMPARE(VEK72_PrepareDacData(&m.h, nullptr, 1, 1, &w, nullptr), VEK72_E_ARGUMENT);
    QCOMPARE(VEK72_PrepareDacData(&m.h, &s, 0, 1, &w, nullptr), 0);
    QCOMPARE(VEK72_PrepareDacData(nullptr, &s, 1, 1, &w, nullptr), VEK72_E_HANDLE);
    // modification 1 (-10..10 V, one-tenth -1..1 V): the scale ends, half way, rounding, NaN
    const std::vector<uint32_t> words = m.prepare({-10, -1, 0, 0, 10, 1, 11, -2, NAN, 0.5, -0.000152, 0.999985});
    const uint32_t expectCode[] = {0, 0, 32768, 32768, 65535, 65535, 65535, 0, 0, 49151, 32767, 65535};
    for (size_t i = 0; i < words.size(); ++i) {
        QCOMPARE(words[i] & ~0x80000u, 0xA5000000u | (i % 2 ? 4u : 1u) << 16 | expectCode[i]);
        QCOMPARE(saturated(words[i]), i == 6 || i == 7 || i == 8);
    }
    // the words follow the applied configuration, not later edits of the block
    m.h.config.channel[1].output = 1;
    QCOMPARE(code(m.prepare({0.5, 0.0})[0]), 34406u);

    // modification 2 (-2..20 V, one-tenth -0.2..2 V), three channels: a long run through every
    // position of the repeat agrees exactly with the formula
    Module n;
    QCOMPARE(n.open(7), 0);
    QCOMPARE(n.configure({{0, 0}, {1, 1}, {2, 0}}, 1, 96000), 0);
    std::vector<double> many(1003);
    for (size_t i = 0; i < many.size(); ++i) many[i] = -3.0 + 25.0 * double(i) / double(many.size());
    const std::vector<uint32_t> more = n.prepare(many);
    for (size_t i = 0; i < many.size(); ++i) {
        double lo = i % 3 == 1 ? -0.2 : -2.0, hi = i % 3 == 1 ? 2.0 : 20.0;
        double x = (many[i] - lo) * 65535.0 / (hi - lo);
        uint32_t c = x <= 0 ? 0 : x >= 65535 ? 65535 : uint32_t(std::floor(x + 0.5));
        QCOMPARE(channel(more[i]), unsigned(i % 3));
        QCOMPARE(code(more[i]), c);
        QCOMPARE(saturated(more[i]), x < 0 || x > 65535);
    }
}

void TestPlatformModule::cyclicRoundTripThroughCapture()
{
    Module m;
    QCOMPARE(m.open(3), 0);
    QCOMPARE(m.configure({{0, 0}, {2, 1}}, 0, 48000), 0);
    const int frames = 480;
    std::vector<double> samples;
    for (int f = 0; f < frames; ++f) {
        samples.push_back(-9.0 + 18.0 * f / frames);              // channel 1: a ramp, every value distinct
        samples.push_back(0.8 * std::sin(2 * M_PI * f / frames)); // channel 3, one-tenth range
    }
    const std::vector<uint32_t> words = m.prepare(samples);
    QCOMPARE(m.send(words), int(words.size()));
    QCOMPARE(VEK72_SwitchCyclePage(&m.h, 0, 1000), 0);
    QCOMPARE(int(m.h.state.running), 1);
    QTRY_VERIFY(counter(*vekd_, 3, "framesPlayed") >= 2 * frames);

    QTemporaryDir dir;
    const QString csv = dir.filePath("capture.csv");
    QCOMPARE(vekd_->vekctl({"capture", "--crate", kCrate, "--slot", "3", "--frames", QString::number(frames), "--out", csv}), 0);
    QStringList header;
    std::vector<std::vector<double>> rows;
    QVERIFY(readCapture(csv, &header, &rows));
    QCOMPARE(header, (QStringList{"ch1", "ch3"}));
    QCOMPARE(int(rows.size()), frames);
    // the capture is the page from some frame on: find where, then compare every frame
    const double lsb1 = 20.0 / 65535, lsb3 = 2.0 / 65535;
    int start = -1;
    for (int f = 0; f < frames && start < 0; ++f)
        if (std::abs(rows[0][0] - samples[2 * f]) <= lsb1) start = f;
    QVERIFY(start >= 0);
    for (int k = 0; k < frames; ++k) {
        int f = (start + k) % frames;
        QVERIFY2(std::abs(rows[k][0] - samples[2 * f]) <= lsb1 / 2 + 1e-6, qPrintable(QString("frame %1").arg(k)));
        QVERIFY2(std::abs(rows[k][1] - samples[2 * f + 1]) <= lsb3 / 2 + 1e-6, qPrintable(QString("frame %1").arg(k)));
    }
    QCOMPARE(VEK72_Stop(&m.h, 0), 0);
    QCOMPARE(moduleStatus(*vekd_, 3)["running"].toBool(), false);
    QCOMPARE(counter(*vekd_, 3, "wordsReceived"), double(words.size()));
    QCOMPARE(VEK72_Close(&m.h), 0); // outputs never zeroed: closing is allowed all the same
}

void TestPlatformModule::streamingSendWaitsForRoom()
{
    Module m;
    QCOMPARE(m.open(3), 0);
    QCOMPARE(m.configure({{0, 0}}, 1, 48000), 0); // 48000 words per second
    // fill the whole FIFO in one transfer
    const std::vector<uint32_t> fill = m.prepare(std::vector<double>(VEK72_FIFO_WORDS, 1.0));
    QCOMPARE(m.send(fill), int(VEK72_FIFO_WORDS));
    QCOMPARE(moduleStatus(*vekd_, 3)["fifoWords"].toDouble(), double(VEK72_FIFO_WORDS));
    // full and not started: no room comes, so the send waits out its time-out and takes nothing
    QCOMPARE(VEK72_Send(&m.h, fill.data(), 1000, 300), 0);
    QVERIFY(vekd_->log().contains("send timed out: 0 of 1000 words taken"));
    // without a time-out it answers at once, with nothing taken either
    QCOMPARE(VEK72_Send(&m.h, fill.data(), 1000, 0), 0);
    // running: room comes at 48000 words per second, and the send takes everything once there is
    // room for it, which the module has only after playing 4800 frames
    QCOMPARE(VEK72_StreamStart(&m.h, 0), 0);
    QCOMPARE(int(m.h.state.running), 1);
    QCOMPARE(VEK72_Send(&m.h, fill.data(), 4800, 5000), 4800);
    const QJsonObject afterSend = moduleStatus(*vekd_, 3);
    QVERIFY(afterSend["counters"]["framesPlayed"].toDouble() >= 4800);
    QCOMPARE(afterSend["counters"]["wordsReceived"].toDouble(), double(VEK72_FIFO_WORDS) + 4800);
    QCOMPARE(VEK72_Stop(&m.h, 0), 0);
    QCOMPARE(moduleStatus(*vekd_, 3)["fifoWords"].toDouble(), 0.0);
}

// A page scheduled with VEK72_SWITCH_AT_PASS_END while another plays becomes the playing page when the
// pass ends, output never stopping; vekctl status shows the scheduled page and the counters.
void TestPlatformModule::switchAtPassEndThroughTheLibrary()
{
    Module m;
    QCOMPARE(m.open(3), 0);
    QCOMPARE(m.configure({{0, 0}}, 0, 48000), 0); // one channel: 48000 frames per second
    QCOMPARE(m.send(m.prepare(std::vector<double>(9600, 1.0))), 9600); // a pass of 200 ms
    QCOMPARE(VEK72_SwitchCyclePage(&m.h, VEK72_SWITCH_AT_PASS_END, 1000), 0); // stopped: starts at once
    QCOMPARE(m.send(m.prepare(std::vector<double>(480, 2.0))), 480);
    QCOMPARE(VEK72_SwitchCyclePage(&m.h, 2, 1000), VEK72_E_ARGUMENT);
    QCOMPARE(VEK72_SwitchCyclePage(&m.h, VEK72_SWITCH_AT_PASS_END, 1000), 0);
    QCOMPARE(int(m.h.state.running), 1);
    const QJsonObject scheduled = moduleStatus(*vekd_, 3); // unless the pass has ended already
    QCOMPARE(scheduled["scheduledPageWords"].toDouble(), scheduled["counters"]["pageSwitches"].toDouble() ? 0.0 : 480.0);
    QTRY_COMPARE(moduleStatus(*vekd_, 3)["playingPageWords"].toDouble(), 480.0);
    const QJsonObject k = moduleStatus(*vekd_, 3)["counters"].toObject();
    QCOMPARE(QString("%1 %2 %3 %4").arg(k["starts"].toInt()).arg(k["stops"].toInt()).arg(k["stoppedFramePeriods"].toInt())
                 .arg(k["pageSwitches"].toInt()), QString("1 0 0 1"));
    QCOMPARE(VEK72_Stop(&m.h, 0), 0);
    QTRY_VERIFY(moduleStatus(*vekd_, 3)["stoppedStretchFramePeriods"].toDouble() > 0);
    QCOMPARE(VEK72_SwitchCyclePage(&m.h, 0, 1000), 0);
    QVERIFY(counter(*vekd_, 3, "stoppedFramePeriods") > 0);
}

// VEK72_StreamCut while streaming: what plays is the frames before nextFrame, then the words sent
// next, without an underrun; refusals and an injected fault change nothing.
void TestPlatformModule::streamCutThroughTheLibrary()
{
    Module m;
    uint64_t next = 12345;
    QCOMPARE(VEK72_StreamCut(nullptr, 0, &next), VEK72_E_HANDLE);
    QCOMPARE(VEK72_StreamCut(&m.h, 0, &next), VEK72_E_NOT_OPENED);
    QCOMPARE(m.open(3), 0);
    QCOMPARE(m.configure({{0, 0}}, 0, 48000), 0);
    QCOMPARE(VEK72_StreamCut(&m.h, 0, &next), VEK72_E_WRONG_MODE);
    QCOMPARE(m.configure({{0, 0}}, 1, 48000), 0); // 48000 frames per second
    QCOMPARE(m.send(m.prepare(std::vector<double>(96000, 1.0))), 96000); // two seconds
    QCOMPARE(VEK72_StreamCut(&m.h, 0, &next), VEK72_E_NOT_RUNNING);
    QCOMPARE(VEK72_StreamStart(&m.h, 0), 0);
    QCOMPARE(VEK72_StreamCut(&m.h, 12000, &next), 12000); // a quarter second still to play
    QVERIFY(next >= 12000 && next < 96000);
    QCOMPARE(m.send(m.prepare(std::vector<double>(48000, 2.0))), 48000);
    QCOMPARE(vekd_->vekctl({"fault", "fail", "--crate", kCrate, "--slot", "3", "--function", "VEK72_StreamCut"}), 0);
    uint64_t untouched = 5;
    QCOMPARE(VEK72_StreamCut(&m.h, 0, &untouched), VEK72_E_HARDWARE);
    QCOMPARE(untouched, uint64_t(5));
    QTRY_VERIFY(moduleStatus(*vekd_, 3)["outputs"].toArray()[0].toDouble() > 1.5); // the words sent after the cut play
    QCOMPARE(counter(*vekd_, 3, "underruns"), 0.0);
    // all played: the frames up to the cut, the kept ones, and the ones sent after
    QTRY_COMPARE_WITH_TIMEOUT(counter(*vekd_, 3, "framesPlayed"), double(next + 48000), 10000);
}

// A cut the service answers late (vekd held with SIGSTOP): the call times out with the connection
// kept, the service makes the cut when it comes back, and the next call takes the late answer first.
void TestPlatformModule::streamCutAnsweredLate()
{
    Module m;
    QCOMPARE(m.open(3), 0);
    QCOMPARE(m.configure({{0, 0}}, 1, 48000), 0);
    QCOMPARE(m.send(m.prepare(std::vector<double>(96000, 1.0))), 96000); // two seconds
    QCOMPARE(VEK72_StreamStart(&m.h, 0), 0);
    struct Held { // the service of this test goes on whatever the outcome
        pid_t pid;
        ~Held() { ::kill(pid, SIGCONT); }
    } held{pid_t(vekd_->pid())};
    QCOMPARE(::kill(held.pid, SIGSTOP), 0);
    uint64_t next = 7;
    const int late = VEK72_StreamCut(&m.h, 4800, &next);
    QCOMPARE(::kill(held.pid, SIGCONT), 0);
    QCOMPARE(late, VEK72_E_TIMEOUT);
    QCOMPARE(next, uint64_t(7));
    QCOMPARE(VEK72_IsOpened(&m.h), 0);
    const int kept = VEK72_StreamCut(&m.h, 0xFFFFFFFFu, &next); // at most what the first cut kept
    QVERIFY2(kept >= 0 && kept <= 4800, qPrintable(QString::number(kept)));
    QVERIFY(next < 96000);
    QTRY_COMPARE(counter(*vekd_, 3, "framesPlayed"), double(next));
    QCOMPARE(vekd_->log().count("stream cut to"), 2);
}

// A send larger than the connection's buffers to a service that hangs: the time-out comes with part of
// the request written. The rest goes first when the service is back, the late answer tells the words
// taken, and the connection stays in step (every word arrives, the next call is answered).
void TestPlatformModule::sendCutOffByAHang()
{
    Module m;
    QCOMPARE(m.open(3), 0);
    QCOMPARE(m.configure({{0, 0}}, 1, 48000), 0);
    const std::vector<uint32_t> words = m.prepare(std::vector<double>(2000000, 0.5));
    struct Held {
        pid_t pid;
        ~Held() { ::kill(pid, SIGCONT); }
    } held{pid_t(vekd_->pid())};
    QCOMPARE(::kill(held.pid, SIGSTOP), 0);
    QCOMPARE(VEK72_Send(&m.h, words.data(), uint32_t(words.size()), 0), VEK72_E_TIMEOUT);
    QCOMPARE(VEK72_SendResult(&m.h, 0), VEK72_E_TIMEOUT);
    QCOMPARE(::kill(held.pid, SIGCONT), 0);
    QCOMPARE(VEK72_SendResult(&m.h, 5000), int(words.size()));
    QCOMPARE(VEK72_IsOpened(&m.h), 0);
    QCOMPARE(counter(*vekd_, 3, "wordsReceived"), double(words.size()));
    QCOMPARE(VEK72_StreamStart(&m.h, 0), 0);
}

void TestPlatformModule::statusOfAModuleLeftBehind_data()
{
    QTest::addColumn<bool>("streaming");
    QTest::addColumn<bool>("keepPlaying");   // the service lets the module play on without its client
    QTest::addColumn<bool>("zeroed");        // the client zeroed the outputs before it went
    QTest::newRow("cyclic, let go") << false << false << false;
    QTest::newRow("streaming, let go") << true << false << false;
    QTest::newRow("cyclic, playing on") << false << true << false;
    QTest::newRow("streaming, playing on") << true << true << false;
    QTest::newRow("zeroed before closing") << false << false << true;
}

// VEK72_GetStatus tells the next client what an earlier one left: the output running or not and the
// level every output holds, as vekctl status shows them.
void TestPlatformModule::statusOfAModuleLeftBehind()
{
    QFETCH(bool, streaming);
    QFETCH(bool, keepPlaying);
    QFETCH(bool, zeroed);
    if (keepPlaying)
        QCOMPARE(vekd_->vekctl({"fault", "keep-playing", "--crate", kCrate, "--slot", "3"}), 0);
    {
        Module first;
        QCOMPARE(first.open(3), 0);
        TVEK72_STATUS fresh;
        QCOMPARE(VEK72_GetStatus(&first.h, &fresh, 1000), 0);
        QCOMPARE(int(fresh.running) + int(fresh.configured), 0);
        QCOMPARE(fresh.outputVolts[0], 0.0);
        // channels 1 and 3 at -0.35 V and 3.3 V (whole codes apart: exact after the round trip)
        QCOMPARE(first.configure({{0, 0}, {2, 0}}, streaming ? 1 : 0, 48000), 0);
        std::vector<double> samples;
        for (int i = 0; i < 48000; ++i)
            samples.insert(samples.end(), {-0.35, 3.3});
        QCOMPARE(first.send(first.prepare(samples)), 96000);
        QCOMPARE(streaming ? VEK72_StreamStart(&first.h, 0) : VEK72_SwitchCyclePage(&first.h, 0, 1000), 0);
        QTRY_VERIFY(counter(*vekd_, 3, "framesPlayed") > 0);
        if (zeroed) {
            QCOMPARE(VEK72_Stop(&first.h, 0), 0);
            QCOMPARE(first.configure({}, 0, 48000), 0);
        }
    }
    Module next;
    QCOMPARE(openWhenReleased(&next.h, kCrate, 3), 0);
    TVEK72_STATUS s;
    QCOMPARE(VEK72_GetStatus(&next.h, &s, 1000), 0);
    const QJsonObject shown = moduleStatus(*vekd_, 3);
    const bool plays = keepPlaying && !zeroed;
    QCOMPARE(s.running != 0, plays);
    QCOMPARE(shown["running"].toBool(), plays);
    QCOMPARE(int(next.h.state.running), int(plays));
    QCOMPARE(s.configured != 0, plays);
    const QJsonArray outputs = shown["outputs"].toArray();
    QCOMPARE(outputs.size(), 8);
    for (int ch = 0; ch < VEK72_MAX_CHANNELS; ++ch)
        QCOMPARE(s.outputVolts[ch], outputs.at(ch).toDouble());
    QVERIFY(std::abs(s.outputVolts[0] - (zeroed ? 0.0 : -0.35)) < 2e-4);
    QVERIFY(std::abs(s.outputVolts[2] - (zeroed ? 0.0 : 3.3)) < 2e-4);
    QCOMPARE(s.outputVolts[1], 0.0);
    if (plays) {
        // the new client stops and zeroes what it took over
        QCOMPARE(VEK72_Stop(&next.h, 0), 0);
        QCOMPARE(next.configure({}, 0, 48000), 0);
        QCOMPARE(VEK72_GetStatus(&next.h, &s, 1000), 0);
        QCOMPARE(int(s.running), 0);
        QCOMPARE(s.outputVolts[2], 0.0);
    }
    QCOMPARE(VEK72_GetStatus(nullptr, &s, 0), VEK72_E_HANDLE);
    QCOMPARE(VEK72_GetStatus(&next.h, nullptr, 0), VEK72_E_ARGUMENT);
    QCOMPARE(vekd_->vekctl({"fault", "fail", "--crate", kCrate, "--slot", "3", "--function", "VEK72_GetStatus"}), 0);
    QCOMPARE(VEK72_GetStatus(&next.h, &s, 1000), VEK72_E_HARDWARE);
    QCOMPARE(VEK72_Close(&next.h), 0);
    QCOMPARE(VEK72_GetStatus(&next.h, &s, 0), VEK72_E_NOT_OPENED);
}

// A query to a hung service answers VEK72_E_TIMEOUT within its own bound (no slack added) and keeps
// the connection; once the service is back, the next query takes the late stop's answer and tells
// the module stopped.
void TestPlatformModule::statusAnsweredAfterAHang()
{
    Module m;
    QCOMPARE(m.open(3), 0);
    QCOMPARE(m.configure({{0, 0}}, 0, 48000), 0);
    QCOMPARE(m.send(m.prepare({2.5})), 1);
    QCOMPARE(VEK72_SwitchCyclePage(&m.h, 0, 1000), 0);
    struct Held {
        pid_t pid;
        ~Held() { ::kill(pid, SIGCONT); }
    } held{pid_t(vekd_->pid())};
    QCOMPARE(::kill(held.pid, SIGSTOP), 0);
    QCOMPARE(VEK72_Stop(&m.h, 0), VEK72_E_TIMEOUT);   // the stop went out and waits in the service
    TVEK72_STATUS s;
    QElapsedTimer clock;
    clock.start();
    QCOMPARE(VEK72_GetStatus(&m.h, &s, 200), VEK72_E_TIMEOUT);
    QVERIFY2(clock.elapsed() < 900, qPrintable(QString::number(clock.elapsed())));
    QCOMPARE(VEK72_IsOpened(&m.h), 0);
    QCOMPARE(::kill(held.pid, SIGCONT), 0);
    QCOMPARE(VEK72_GetStatus(&m.h, &s, 5000), 0);
    QCOMPARE(int(s.running), 0);
    QVERIFY(std::abs(s.outputVolts[0] - 2.5) < 2e-4);
}

void TestPlatformModule::faultInjectionOnModuleCalls()
{
    // the next `count` calls of a function of the module in slot 3 fail (with code, when given)
    auto fail = [this](const char* function, const QStringList& more = {}) {
        return vekd_->vekctl(QStringList{"fault", "fail", "--crate", kCrate, "--slot", "3", "--function", function} + more);
    };
    Module m;
    QCOMPARE(fail("VEK72_Open"), 0);
    QCOMPARE(m.open(3), VEK72_E_HARDWARE);
    QCOMPARE(m.open(3), 0); // only the next call failed
    QVERIFY(vekd_->log().contains("injected fault: VEK72_Open 4B210736/3 answers -116\n"));

    QCOMPARE(fail("VEK72_Configure"), 0);
    QCOMPARE(m.configure({{0, 0}}, 0, 48000), VEK72_E_HARDWARE);
    QCOMPARE(int(m.h.state.configured), 0);
    QCOMPARE(m.configure({{0, 0}}, 0, 48000), 0);

    const std::vector<uint32_t> words = m.prepare(std::vector<double>(100, 1.0));
    QCOMPARE(fail("VEK72_Send", {"--count", "2", "--code", "-113"}), 0);
    QCOMPARE(m.send(words), VEK72_E_RUNNING);
    QCOMPARE(m.send(words), VEK72_E_RUNNING);
    QCOMPARE(m.send(words), 100);
    QCOMPARE(vekd_->vekctl({"fault", "short-send", "--crate", kCrate, "--slot", "3", "--words", "10"}), 0);
    QCOMPARE(m.send(words), 10);
    QCOMPARE(m.send(words), 100);

    // a failed call changes nothing
    QCOMPARE(fail("VEK72_SwitchCyclePage"), 0);
    QCOMPARE(VEK72_SwitchCyclePage(&m.h, 0, 1000), VEK72_E_HARDWARE);
    QCOMPARE(moduleStatus(*vekd_, 3)["running"].toBool(), false);
    QCOMPARE(VEK72_SwitchCyclePage(&m.h, 0, 1000), 0);
    QCOMPARE(fail("VEK72_Stop"), 0);
    QCOMPARE(VEK72_Stop(&m.h, 0), VEK72_E_HARDWARE);
    QCOMPARE(int(m.h.state.running), 1);
    QCOMPARE(moduleStatus(*vekd_, 3)["running"].toBool(), true);
    QCOMPARE(VEK72_Stop(&m.h, 0), 0);
    QCOMPARE(m.configure({{0, 0}}, 1, 48000), 0);
    QCOMPARE(m.send(words), 100);
    QCOMPARE(fail("VEK72_StreamStart"), 0);
    QCOMPARE(VEK72_StreamStart(&m.h, 0), VEK72_E_HARDWARE);
    QCOMPARE(moduleStatus(*vekd_, 3)["running"].toBool(), false);
    QCOMPARE(VEK72_StreamStart(&m.h, 0), 0);

    // a failed close still lets the module go
    QCOMPARE(fail("VEK72_Close"), 0);
    QCOMPARE(VEK72_Close(&m.h), VEK72_E_HARDWARE);
    QVERIFY(VEK72_IsOpened(&m.h) != 0);
    QCOMPARE(m.open(3), 0);

    // pending faults are listed, and cleared
    QCOMPARE(fail("VEK72_Configure", {"--count", "5"}), 0);
    const QJsonObject faults = moduleStatus(*vekd_, 3)["faults"].toObject();
    QCOMPARE(faults["VEK72_Configure"]["remaining"].toInt(), 5);
    QCOMPARE(vekd_->vekctl({"fault", "clear"}), 0);
    QCOMPARE(m.configure({{0, 0}}, 0, 48000), 0);
}

void TestPlatformModule::faultInjectionOnCrateCalls()
{
    auto fault = [this](const QStringList& args) { return vekd_->vekctl(QStringList{"fault"} + args); };
    ServiceControl svc;
    QCOMPARE(fault({"fail", "--function", "VEK_OpenSvcControl"}), 0);
    QCOMPARE(svc.open(), VEK_E_CONNECTION);
    QVERIFY(vekd_->log().contains("injected fault: VEK_OpenSvcControl answers -2\n"));
    QVERIFY(VEK_IsOpened(&svc.h) != 0);
    QCOMPARE(svc.open(), 0);
    QCOMPARE(fault({"fail", "--function", "VEK_GetCrates", "--code", "-3"}), 0);
    char serials[VEK_MAX_CRATES][VEK_SERIAL_SIZE] = {};
    QCOMPARE(VEK_GetCrates(&svc.h, serials), VEK_E_TIMEOUT);
    QCOMPARE(VEK_GetCrates(&svc.h, serials), 0);

    TVEK crate;
    VEK_Init(&crate);
    QCOMPARE(fault({"refuse", "--crate", kCrate}), 0);
    QCOMPARE(VEK_OpenCrate(&crate, kLocal, kPort, 0, kCrate), VEK_E_CRATE_REFUSED);
    QCOMPARE(VEK_OpenCrate(&crate, kLocal, kPort, 0, kCrate), VEK_E_CRATE_REFUSED);
    QCOMPARE(fault({"refuse", "--crate", kCrate, "--off"}), 0);
    QCOMPARE(fault({"fail", "--crate", kCrate, "--function", "VEK_OpenCrate"}), 0);
    QCOMPARE(VEK_OpenCrate(&crate, kLocal, kPort, 0, kCrate), VEK_E_CRATE_REFUSED);
    QCOMPARE(VEK_OpenCrate(&crate, kLocal, kPort, 0, kCrate), 0);
    QCOMPARE(fault({"fail", "--crate", kCrate, "--function", "VEK_GetCrateModules", "--code", "-4"}), 0);
    uint16_t ids[VEK_SLOT_COUNT] = {};
    QCOMPARE(VEK_GetCrateModules(&crate, ids), VEK_E_PROTOCOL);
    VEK_Close(&crate);
}

void TestPlatformModule::vekctlExitCodes_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("said"); // in its standard error
    const QString slot3 = QStringLiteral("--crate=4B210736 --slot=3");
    auto args = [](const QString& line) { return line.split(' '); };
    QTest::newRow("no such function") << args("fault fail " + slot3 + " --function VEK72_Nothing") << 1
                                      << "no injectable function \"VEK72_Nothing\"";
    QTest::newRow("no such crate") << args("fault fail --crate NOPE --slot 3 --function VEK72_Send") << 1 << "no crate \"NOPE\"";
    QTest::newRow("no VEK72 in the slot") << args("fault short-send --crate 4B210736 --slot 1 --words 3") << 1
                                          << "has no VEK72 in slot 1";
    QTest::newRow("capture of no VEK72") << args("capture --crate 4B210736 --slot 2 --frames 3 --out x.csv") << 1
                                         << "служба отказала в capture: в слоте нет VEK72";
    QTest::newRow("capture of no frames") << args("capture " + slot3 + " --frames 0 --out x.csv") << 2 << "--frames: нужно число от 1 до";
    QTest::newRow("unwritable capture") << args("capture " + slot3 + " --frames 5 --out /nonexistent/dir/x.csv") << 4
                                        << "файл /nonexistent/dir/x.csv не записывается";
    QTest::newRow("unknown command") << args("frobnicate") << 2 << "неизвестная команда \"frobnicate\"";
    QTest::newRow("unknown option") << args("status --bogus") << 2 << "неизвестный параметр --bogus";
    QTest::newRow("no service") << args("status") << 3 << "нет связи со службой крейтов";
}

void TestPlatformModule::vekctlExitCodes()
{
    QFETCH(QStringList, args);
    QFETCH(int, exitCode);
    QFETCH(QString, said);
    if (exitCode == 3) vekd_->stop();
    QByteArray err;
    QCOMPARE(vekd_->vekctl(args, nullptr, &err), exitCode);
    QVERIFY2(err.contains(said.toUtf8()), err.constData());
}

void TestPlatformModule::errorTexts()
{
    const int codes[] = {VEK72_OK, VEK72_E_HANDLE, VEK72_E_CONNECTION, VEK72_E_TIMEOUT, VEK72_E_PROTOCOL,
                         VEK72_E_NOT_OPENED, VEK72_E_NO_CRATE, VEK72_E_NO_MODULE, VEK72_E_BUSY, VEK72_E_ARGUMENT,
                         VEK72_E_NO_CHANNELS, VEK72_E_BAD_RATE, VEK72_E_NOT_CONFIGURED, VEK72_E_RUNNING,
                         VEK72_E_NOT_RUNNING, VEK72_E_EMPTY_PAGE, VEK72_E_HARDWARE, VEK72_E_ALREADY_OPEN,
                         VEK72_E_WRONG_MODE};
    const QString unknown = text(12345);
    QCOMPARE(text(-1), unknown);
    QSet<QString> seen;
    for (int c : codes) {
        const QString t = text(c);
        QVERIFY2(!t.isEmpty() && t != unknown && !seen.contains(t), qPrintable(QString::number(c)));
        seen.insert(t);
    }
    // Windows-1251, read as such
    QCOMPARE(text(VEK72_E_NO_CHANNELS), QString::fromUtf8("Не включён ни один канал"));
}

QTEST_GUILESS_MAIN(TestPlatformModule)
#include "tst_platformmodule.moc"
