// The simulated VEK72 module driven with a clock of the test's own: exact pacing of cyclic pages and
// of the streaming FIFO, underrun counting, room for waiting senders, capture and present outputs,
// page switches at the end of a pass, the stream cut, and the counters of output continuity.
#include "vek72sim.h"

#include "dacword.h"
#include "vek72api.h"

#include <QtTest>

#include <cmath>

using namespace vekd;
using vekproto::ModuleConfig;

namespace {

constexpr Nanos kSecond = 1000000000;

ModuleConfig config(std::initializer_list<int> channels, uint32_t rate, uint8_t mode, int tenthChannel = -1)
{
    ModuleConfig c;
    for (int ch : channels) c.enabled[ch] = 1;
    if (tenthChannel >= 0) c.output[tenthChannel] = 1;
    c.outputMode = mode;
    c.dacEnable = 1;
    c.dacRateHz = rate;
    return c;
}

// A word of channel ch carrying code.
uint32_t word(unsigned ch, unsigned code) { return (vekproto::kWordTag << 24) | (ch << 16) | code; }

// What a code puts out on a full-range channel of modification 1.
double volts(unsigned code) { return vekproto::codeToVolts(code, {-10, 10}); }

// The code that puts out `v` volts on a full-range channel of modification 1.
unsigned codeOf(double v) { return unsigned(std::lround((v + 10.0) * 65535.0 / 20.0)); }

Vek72Module module(uint8_t channels = 8, uint8_t modification = 1)
{
    Vek72Identity id;
    id.serial = "T";
    id.modification = modification;
    id.channels = channels;
    return Vek72Module(id);
}

} // namespace

class TestVek72Sim : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void outputRatePerChannelCount_data();
    void outputRatePerChannelCount();
    void configurationChecks();
    void outputsHeldZeroedAndReleased();
    void outputErrorsPlayedEverywhere_data();
    void outputErrorsPlayedEverywhere();
    void cyclicPagePlaysOverAndOver();
    void cyclicPageLimitsAndCounters();
    void streamingConsumesAtTheRate();
    void underrunsAreCountedOncePerStarvation();
    void roomForAWaitingSender();
    void captureKeepsOnlyTheLastFrames();
    void pageSwitches_data();
    void pageSwitches();
    void streamCut_data();
    void streamCut();
    void continuityCounters();
};

void TestVek72Sim::outputRatePerChannelCount_data()
{
    QTest::addColumn<int>("rate");
    QTest::addColumn<int>("channels");
    QTest::addColumn<double>("expected"); // the DAC rate over the channel count rounded up to 1, 2, 4 or 8
    QTest::newRow("one") << 48000 << 1 << 48000.0;
    QTest::newRow("two") << 48000 << 2 << 24000.0;
    QTest::newRow("three") << 96000 << 3 << 24000.0;
    QTest::newRow("four") << 192000 << 4 << 48000.0;
    QTest::newRow("five") << 48000 << 5 << 6000.0;
    QTest::newRow("eight") << 192000 << 8 << 24000.0;
}

void TestVek72Sim::outputRatePerChannelCount()
{
    QFETCH(int, rate);
    QFETCH(int, channels);
    QFETCH(double, expected);
    Vek72Module m = module();
    ModuleConfig c = config({}, uint32_t(rate), 1);
    for (int i = 0; i < channels; ++i) c.enabled[7 - i] = 1; // from the top: positions and channels differ
    QCOMPARE(m.configure(c, 0), 0);
    QCOMPARE(int(m.state().enabledChannels), channels);
    QCOMPARE(m.state().outputRate, expected);
}

void TestVek72Sim::configurationChecks()
{
    Vek72Module m = module(4);
    QCOMPARE(m.send(nullptr, 0, 0, 0), int64_t(VEK72_E_NOT_CONFIGURED));
    QCOMPARE(m.streamStart(0), VEK72_E_NOT_CONFIGURED);
    QCOMPARE(m.configure(config({0}, 44100, 0), 0), VEK72_E_BAD_RATE);
    QCOMPARE(m.configure(config({4}, 48000, 0), 0), VEK72_E_ARGUMENT); // beyond the module's channels
    ModuleConfig c = config({0}, 48000, 0);
    c.output[0] = 2;
    QCOMPARE(m.configure(c, 0), VEK72_E_ARGUMENT);
    QCOMPARE(m.configure(config({0}, 48000, 2), 0), VEK72_E_ARGUMENT);
    QVERIFY(!m.configured());

    QCOMPARE(m.configure(config({0, 1}, 48000, 0), 0), 0);
    QCOMPARE(m.streamStart(0), VEK72_E_WRONG_MODE);
    QCOMPARE(m.switchPage(0), VEK72_E_EMPTY_PAGE);
    QCOMPARE(m.stop(0), VEK72_E_NOT_RUNNING);
    uint32_t page[] = {word(0, 1), word(1, 2)};
    QCOMPARE(m.send(page, 2, 2, 0), int64_t(2));
    QCOMPARE(m.switchPage(0), 0);
    QVERIFY(m.running());
    // a refused configuration leaves the applied one
    QCOMPARE(m.configure(config({0}, 96000, 1), kSecond), VEK72_E_RUNNING);
    QCOMPARE(m.state().outputRate, 24000.0);
    QCOMPARE(m.stop(kSecond), 0);
    QCOMPARE(m.configure(config({0}, 96000, 1), kSecond), 0);
    QCOMPARE(m.switchPage(kSecond), VEK72_E_WRONG_MODE);
}

// Outputs hold their last value when output stops and when the client lets go; the zeroing
// configuration puts every one at 0 V and nothing can start from it.
void TestVek72Sim::outputsHeldZeroedAndReleased()
{
    Vek72Module m = module();
    QCOMPARE(m.configure(config({0, 5}, 48000, 0), 0), 0);
    uint32_t page[] = {word(0, 65535), word(5, 0)};
    QCOMPARE(m.send(page, 2, 2, 0), int64_t(2));
    QCOMPARE(m.switchPage(0), 0);
    m.advance(kSecond / 100);
    QCOMPARE(m.outputs()[0], 10.0);
    QCOMPARE(m.outputs()[5], -10.0);
    QCOMPARE(m.stop(kSecond / 100), 0);
    QCOMPARE(m.switchPage(kSecond / 50), 0); // a stopped module restarts the page it keeps
    m.release(kSecond);
    QVERIFY(!m.running());
    QVERIFY(!m.configured());
    QCOMPARE(m.outputs()[0], 10.0);
    QCOMPARE(m.send(page, 2, 2, kSecond), int64_t(VEK72_E_NOT_CONFIGURED));

    QCOMPARE(m.configure(config({}, 48000, 0), kSecond), 0);
    QCOMPARE(int(m.state().enabledChannels), 0);
    QCOMPARE(m.state().outputRate, 0.0);
    QCOMPARE(int(m.state().configured), 1);
    for (double v : m.outputs()) QCOMPARE(v, 0.0);
    QCOMPARE(m.send(page, 2, 2, kSecond), int64_t(VEK72_E_NO_CHANNELS));
    QCOMPARE(m.switchPage(kSecond), VEK72_E_NO_CHANNELS);
    QCOMPARE(m.configure(config({}, 48000, 1), kSecond), 0);
    QCOMPARE(m.streamStart(kSecond), VEK72_E_NO_CHANNELS);
}

void TestVek72Sim::outputErrorsPlayedEverywhere_data()
{
    QTest::addColumn<int>("selector");         // the range the error is put on: 0 full, 1 one-tenth
    QTest::addColumn<double>("gainPpm");
    QTest::addColumn<double>("offsetMicrovolts");
    QTest::newRow("gain, full range") << 0 << 5000.0 << 0.0;
    QTest::newRow("offset, full range") << 0 << 0.0 << -2500.0;
    QTest::newRow("both, one-tenth range") << 1 << -1000.0 << 300.0;
}

void TestVek72Sim::outputErrorsPlayedEverywhere()
{
    QFETCH(int, selector);
    QFETCH(double, gainPpm);
    QFETCH(double, offsetMicrovolts);
    Vek72Module m = module();
    m.setOutputError(2, unsigned(selector), OutputError{gainPpm, offsetMicrovolts});
    // Channel 3 (index 2) and channel 4 play the same code, channel 3 in the range of the error,
    // channel 4 in the other.
    QCOMPARE(m.configure(config({2, 3}, 48000, 0, selector == 1 ? 2 : 3), 0), 0);
    const unsigned code = 50000;
    uint32_t page[] = {word(2, code), word(3, code)};
    QCOMPARE(m.send(page, 2, 2, 0), int64_t(2));
    QCOMPARE(m.switchPage(0), 0);
    m.advance(kSecond / 10);
    const vekproto::Scale range = vekproto::channelScale(1, selector);
    const double played = vekproto::codeToVolts(code, range) * (1 + gainPpm * 1e-6) + offsetMicrovolts * 1e-6;
    const double other = vekproto::codeToVolts(code, vekproto::channelScale(1, 1 - selector));
    // The present output, the capture and the trace an instrument reads all play it.
    QCOMPARE(m.outputs()[2], played);
    QCOMPARE(m.outputs()[3], other);
    const Vek72Capture c = m.capture(3);
    QCOMPARE(c.frames, 3u);
    QCOMPARE(c.volts[0], played);
    QCOMPARE(c.volts[1], other);
    const OutputTrace t = m.outputTrace(2, 0.001);
    QVERIFY(!t.volts.empty());
    for (double v : t.volts)
        QCOMPARE(v, played);
    // Cleared, the channel plays the code's own volts again.
    m.clearOutputErrors();
    QCOMPARE(m.capture(1).volts[0], vekproto::codeToVolts(code, range));
}

void TestVek72Sim::cyclicPagePlaysOverAndOver()
{
    Vek72Module m = module();
    // two channels at 48 kHz: 24000 frames per second
    QCOMPARE(m.configure(config({1, 6}, 48000, 0, 6), 0), 0);
    std::vector<uint32_t> page;
    for (unsigned f = 0; f < 10; ++f) page.insert(page.end(), {word(1, f * 1000), word(6, 65535 - f * 1000)});
    QCOMPARE(m.send(page.data(), 20, 20, 0), int64_t(20));
    const Nanos t0 = 5 * kSecond;
    QCOMPARE(m.switchPage(t0), 0);
    m.advance(t0 + kSecond);
    QCOMPARE(m.counters().framesPlayed, uint64_t(24000));
    // 24000 frames = 2400 whole pages: the last frame played is frame 9
    QCOMPARE(m.outputs()[1], volts(9000));
    QCOMPARE(m.outputs()[6], vekproto::codeToVolts(65535 - 9000, {-1, 1}));
    m.advance(t0 + kSecond + kSecond / 24000 * 3 + 1000); // three more frames: frame 2 is the last
    QCOMPARE(m.counters().framesPlayed, uint64_t(24003));
    QCOMPARE(m.outputs()[1], volts(2000));

    Vek72Capture cap = m.capture(13);
    QCOMPARE(cap.frames, 13u);
    QCOMPARE(cap.channels, (std::vector<uint8_t>{1, 6}));
    // the last 13 frames end with frame 2: frames 0..9 of the previous page, then 0, 1, 2
    const unsigned expectFrames[] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 0, 1, 2};
    for (unsigned k = 0; k < 13; ++k) {
        QCOMPARE(cap.volts[k * 2], volts(expectFrames[k] * 1000));
        QCOMPARE(cap.volts[k * 2 + 1], vekproto::codeToVolts(65535 - expectFrames[k] * 1000, {-1, 1}));
    }
}

void TestVek72Sim::cyclicPageLimitsAndCounters()
{
    Vek72Module m = module();
    QCOMPARE(m.configure(config({0, 1, 2}, 192000, 0), 0), 0);
    std::vector<uint32_t> big(Vek72Module::kPageWords + 10, word(0, 7));
    // a later send replaces the loading page; a longer one is taken short
    QCOMPARE(m.send(big.data(), 6, 6, 0), int64_t(6));
    QCOMPARE(m.loadingPageWords(), 6u);
    QCOMPARE(m.send(big.data(), uint32_t(big.size()), uint32_t(big.size()), 0), int64_t(Vek72Module::kPageWords));
    QCOMPARE(m.loadingPageWords(), Vek72Module::kPageWords);
    QCOMPARE(m.switchPage(0), 0);
    // whole frames of three words only
    QCOMPARE(m.playingPageWords(), Vek72Module::kPageWords / 3 * 3);
    QCOMPARE(m.loadingPageWords(), 0u);
    // while running a new page is loaded and switched to from its first frame
    uint32_t next[] = {word(0, 100), word(1, 200), word(2, 300), word(0, 1)};
    QCOMPARE(m.send(next, 4, 4, kSecond), int64_t(4));
    QCOMPARE(m.switchPage(kSecond), 0);
    QCOMPARE(m.playingPageWords(), 3u);
    m.advance(2 * kSecond);
    QCOMPARE(m.outputs()[2], volts(300));
    QCOMPARE(m.switchPage(2 * kSecond), VEK72_E_EMPTY_PAGE); // nothing new loaded

    // words counted as received, clipped (the saturated flag) and bad (channel 3 not enabled, a wrong
    // tag); a limit takes fewer words
    const uint64_t received = m.counters().wordsReceived;
    uint32_t w[] = {word(0, 1), word(2, 2) | vekproto::kWordSaturatedBit, word(3, 3), 0x12000005u};
    QCOMPARE(m.send(w, 4, 4, 2 * kSecond), int64_t(4));
    QCOMPARE(m.send(w, 4, 1, 2 * kSecond), int64_t(1));
    QCOMPARE(m.counters().wordsReceived, received + 5);
    QCOMPARE(m.counters().clippedSamples, uint64_t(1));
    QCOMPARE(m.counters().badWords, uint64_t(2));
}

void TestVek72Sim::streamingConsumesAtTheRate()
{
    Vek72Module m = module();
    // four channels at 96 kHz: 24000 frames per second, 96000 words per second
    QCOMPARE(m.configure(config({0, 1, 2, 3}, 96000, 1), 0), 0);
    std::vector<uint32_t> data(96000 * 3);
    for (size_t i = 0; i < data.size(); ++i) data[i] = word(unsigned(i % 4), unsigned(i / 4 % 65536));
    QCOMPARE(m.send(data.data(), uint32_t(data.size()), uint32_t(data.size()), 0), int64_t(data.size()));
    m.advance(10 * kSecond); // not started: nothing plays
    QCOMPARE(m.counters().framesPlayed, uint64_t(0));
    const Nanos t0 = 10 * kSecond;
    QCOMPARE(m.streamStart(t0), 0);
    QCOMPARE(m.streamStart(t0), VEK72_E_RUNNING);
    m.advance(t0 + kSecond / 2);
    QCOMPARE(m.counters().framesPlayed, uint64_t(12000));
    QCOMPARE(m.fifoWords(), uint32_t(data.size() - 48000));
    m.advance(t0 + kSecond / 2); // the same instant again plays nothing more
    QCOMPARE(m.counters().framesPlayed, uint64_t(12000));
    m.advance(t0 + 2 * kSecond);
    QCOMPARE(m.counters().framesPlayed, uint64_t(48000));
    QCOMPARE(m.outputs()[3], volts(47999)); // frame 47999 was the last
    QCOMPARE(m.counters().underruns, uint64_t(0));
    QCOMPARE(m.stop(t0 + 2 * kSecond), 0);
    QCOMPARE(m.fifoWords(), 0u); // stop empties the FIFO
    m.advance(t0 + 3 * kSecond); // and nothing plays after it
    QCOMPARE(m.counters().framesPlayed, uint64_t(48000));
}

// An empty FIFO while running is one underrun however long it lasts; the outputs hold the last frame;
// the first frame fed ends it.
void TestVek72Sim::underrunsAreCountedOncePerStarvation()
{
    Vek72Module m = module();
    QCOMPARE(m.configure(config({0, 1}, 48000, 1), 0), 0); // two channels: 24000 frames per second
    auto at = [](uint64_t frames) { return Nanos((frames * kSecond + 23999) / 24000); }; // that many periods in
    std::vector<uint32_t> data;
    for (int f = 0; f < 100; ++f) data.insert(data.end(), {word(0, 1234), word(1, 4321)});
    QCOMPARE(m.send(data.data(), 200, 200, 0), int64_t(200));
    QCOMPARE(m.streamStart(0), 0);
    m.advance(at(100)); // exactly the 100 frames
    QCOMPARE(m.counters().underruns, uint64_t(0));
    m.advance(at(150));
    QCOMPARE(m.counters().underruns, uint64_t(1));
    QCOMPARE(m.counters().underrunFrames, uint64_t(50));
    QCOMPARE(m.outputs()[1], volts(4321));
    m.advance(at(300)); // the same underrun goes on
    QCOMPARE(m.counters().underruns, uint64_t(1));
    QCOMPARE(m.counters().underrunFrames, uint64_t(200));
    // one frame comes: the next period plays it, and the period after starves again
    QCOMPARE(m.send(data.data(), 2, 2, at(300)), int64_t(2));
    m.advance(at(301));
    QCOMPARE(m.counters().framesPlayed, uint64_t(101));
    QCOMPARE(m.counters().underrunFrames, uint64_t(200));
    m.advance(at(302));
    QCOMPARE(m.counters().underruns, uint64_t(2));
    QCOMPARE(m.counters().underrunFrames, uint64_t(201));
    // a start with an empty FIFO underruns at once
    QCOMPARE(m.stop(at(302)), 0);
    QCOMPARE(m.streamStart(at(302)), 0);
    m.advance(at(302) + kSecond / 1000);
    QCOMPARE(m.counters().underruns, uint64_t(3));
}

void TestVek72Sim::roomForAWaitingSender()
{
    Vek72Module m = module();
    QCOMPARE(m.configure(config({0, 1}, 192000, 1), 0), 0); // 96000 frames/s, 192000 words/s
    std::vector<uint32_t> data(Vek72Module::kFifoWords + 100, word(0, 1));
    QCOMPARE(m.send(data.data(), uint32_t(data.size()), uint32_t(data.size()), 0), int64_t(Vek72Module::kFifoWords));
    QCOMPARE(m.fifoRoom(), 0u);
    QCOMPARE(m.timeForRoom(100), Nanos(-1)); // not running: no room will come
    QCOMPARE(m.streamStart(kSecond), 0);
    // 100 words = 50 frames = 50/96000 s
    Nanos t = m.timeForRoom(100);
    QCOMPARE(t, kSecond + (Nanos(50) * kSecond + 95999) / 96000);
    m.advance(t - 1);
    QVERIFY(m.fifoRoom() < 100);
    m.advance(t);
    QVERIFY(m.fifoRoom() >= 100);
    QCOMPARE(m.send(data.data(), 100, 100, t), int64_t(100));
    QCOMPARE(m.fifoRoom(), 0u);
}

void TestVek72Sim::captureKeepsOnlyTheLastFrames()
{
    Vek72Module m = module(8, 2);
    QCOMPARE(m.configure(config({3}, 192000, 1), 0), 0);
    std::vector<uint32_t> data(Vek72Module::kCaptureWords + 1000);
    for (size_t i = 0; i < data.size(); ++i) data[i] = word(3, unsigned(i % 65536));
    QCOMPARE(m.send(data.data(), uint32_t(data.size()), uint32_t(data.size()), 0), int64_t(data.size()));
    QCOMPARE(m.streamStart(0), 0);
    m.advance(100 * kSecond);
    QCOMPARE(m.counters().framesPlayed, uint64_t(data.size()));
    Vek72Capture all = m.capture(uint32_t(data.size()));
    QCOMPARE(all.frames, Vek72Module::kCaptureWords);
    QCOMPARE(all.volts.back(), vekproto::codeToVolts(unsigned((data.size() - 1) % 65536), {-2, 20}));
    QCOMPARE(all.volts.front(), vekproto::codeToVolts(1000, {-2, 20}));
    // a new configuration starts a new capture
    QCOMPARE(m.stop(100 * kSecond), 0);
    QCOMPARE(m.configure(config({3}, 192000, 1), 100 * kSecond), 0);
    QCOMPARE(m.capture(10).frames, 0u);
}

// Cyclic pages named by a letter, one channel at 48 kHz: frame f of page A carries code 1000 + f, of B
// 2000 + f, of C 3000 + f (A has 4 frames, B 3, C 5). A script runs on the module's own clock, and what
// played is told back frame by frame from the capture ("A0 A1 B0 ...").
void TestVek72Sim::pageSwitches_data()
{
    QTest::addColumn<QString>("script"); // send PAGE, switch FLAGS, play FRAMES, stop; "=CODE": the answer expected
    QTest::addColumn<QString>("played");
    QTest::addColumn<int>("scheduledWords"); // still scheduled at the end
    QTest::addColumn<int>("pageSwitches");
    QTest::newRow("at the end of the pass, not before")
        << "send A; switch 0; play 6; send B; switch 1; play 6" << "A0 A1 A2 A3 A0 A1 A2 A3 B0 B1 B2 B0" << 0 << 1;
    QTest::newRow("scheduled until the pass ends") << "send A; switch 0; play 1; send B; switch 1; play 2" << "A0 A1 A2" << 3 << 0;
    QTest::newRow("at a pass boundary at once") << "send A; switch 0; play 4; send B; switch 1" << "A0 A1 A2 A3" << 0 << 1;
    QTest::newRow("a later send leaves the scheduled page")
        << "send A; switch 0; play 1; send B; switch 1; send C; play 5; switch 0; play 3" << "A0 A1 A2 A3 B0 B1 C0 C1 C2" << 0 << 2;
    QTest::newRow("a later switch with the flag replaces the scheduled page")
        << "send A; switch 0; play 1; send B; switch 1; send C; switch 1; play 5" << "A0 A1 A2 A3 C0 C1" << 0 << 1;
    QTest::newRow("flags 0, nothing loaded: the scheduled page at once")
        << "send A; switch 0; play 1; send B; switch 1; switch 0; play 3" << "A0 B0 B1 B2" << 0 << 1;
    QTest::newRow("flags 0 takes the loading page, drops the scheduled one")
        << "send A; switch 0; play 1; send B; switch 1; send C; switch 0; play 8" << "A0 C0 C1 C2 C3 C4 C0 C1 C2" << 0 << 1;
    QTest::newRow("the flag, nothing loaded: the scheduled page stays")
        << "send A; switch 0; play 1; send B; switch 1; switch 1=-115; play 5" << "A0 A1 A2 A3 B0 B1" << 0 << 1;
    QTest::newRow("a stop drops the scheduled page")
        << "send A; switch 0; play 1; send B; switch 1; stop; switch 0; play 6" << "A0 A0 A1 A2 A3 A0 A1" << 0 << 0;
    QTest::newRow("stopped: the flag counts as 0") << "send A; switch 1; play 5" << "A0 A1 A2 A3 A0" << 0 << 0;
    QTest::newRow("other flag bits refused, the loading page kept")
        << "send A; switch 0; play 1; send B; switch 2=-109; switch 3=-109; play 4; switch 1; play 3"
        << "A0 A1 A2 A3 A0 A1 A2 A3" << 0 << 1;
    QTest::newRow("nothing to switch to") << "switch 1=-115; send A; switch 0; switch 0=-115; play 2" << "A0 A1" << 0 << 0;
}

void TestVek72Sim::pageSwitches()
{
    QFETCH(QString, script);
    QFETCH(QString, played);
    QFETCH(int, scheduledWords);
    QFETCH(int, pageSwitches);
    Vek72Module m = module();
    QCOMPARE(m.configure(config({0}, 48000, 0), 0), 0);
    Nanos startedAt = 0; // frame periods count from the last start, so that "play N" plays N frames
    uint64_t periods = 0;
    auto at = [&] { return startedAt + Nanos((periods * kSecond + 47999) / 48000); };
    for (const QString& step : script.split("; ")) {
        const QStringList op = step.section('=', 0, 0).split(' ');
        const bool wasRunning = m.running();
        int64_t rc = 0;
        if (op[0] == "send") {
            const unsigned n = op[1] == "A" ? 4 : op[1] == "B" ? 3 : 5, base = 1000 * unsigned(op[1][0].unicode() - '@');
            std::vector<uint32_t> page;
            for (unsigned f = 0; f < n; ++f) page.push_back(word(0, base + f));
            rc = m.send(page.data(), n, n, at()) - n;
        } else if (op[0] == "switch") {
            rc = m.switchPage(at(), op[1].toUInt());
        } else if (op[0] == "stop") {
            rc = m.stop(at());
        } else {
            periods += op[1].toUInt();
            m.advance(at());
        }
        if (!wasRunning && m.running()) startedAt = at(), periods = 0;
        QVERIFY2(rc == step.section('=', 1).toInt(), qPrintable(QString("%1 answered %2").arg(step).arg(rc)));
    }
    QStringList frames;
    for (double v : m.capture(uint32_t(m.counters().framesPlayed)).volts)
        frames << QString("%1%2").arg(QChar('@' + int(codeOf(v) / 1000))).arg(codeOf(v) % 1000);
    QCOMPARE(frames.join(' '), played);
    QCOMPARE(int(m.scheduledPageWords()), scheduledWords);
    QCOMPARE(int(m.counters().pageSwitches), pageSwitches);
}

// Two channels (24000 frames per second), a FIFO of 900 frames and a word, 100 frames played: the cut
// keeps the head in whole frames, and 10 frames sent at once play right after the kept ones, with no
// underrun; nextFrame is where they begin.
void TestVek72Sim::streamCut_data()
{
    QTest::addColumn<uint>("keepWords");
    QTest::addColumn<int>("kept");
    QTest::newRow("nothing") << 0u << 0;
    QTest::newRow("less than a frame") << 1u << 0;
    QTest::newRow("rounded down to a frame") << 301u << 300;
    QTest::newRow("every whole frame") << 1800u << 1800;
    QTest::newRow("more than it holds: not the partial frame") << 0xFFFFFFFFu << 1800;
}

void TestVek72Sim::streamCut()
{
    QFETCH(uint, keepWords);
    QFETCH(int, kept);
    Vek72Module m = module();
    QCOMPARE(m.configure(config({0, 1}, 48000, 1), 0), 0);
    auto at = [](uint64_t frames) { return Nanos((frames * kSecond + 23999) / 24000); };
    std::vector<uint32_t> data;
    for (unsigned f = 0; f < 1000; ++f) data.insert(data.end(), {word(0, f), word(1, f)});
    data.push_back(word(0, 9999));
    QCOMPARE(m.send(data.data(), 2001, 2001, 0), int64_t(2001));
    QCOMPARE(m.streamStart(0), 0);
    uint64_t next = 0;
    QCOMPARE(m.streamCut(keepWords, at(100), &next), kept);
    QCOMPARE(next, uint64_t(100 + kept / 2));
    for (unsigned f = 0; f < 10; ++f) data[f] = word(f % 2, 20000 + f / 2);
    QCOMPARE(m.send(data.data(), 10, 10, at(100)), int64_t(10));
    m.advance(at(next + 5));
    QCOMPARE(m.counters().underruns, uint64_t(0));
    QCOMPARE(m.counters().framesPlayed, next + 5);
    const Vek72Capture cap = m.capture(uint32_t(next + 5));
    for (uint64_t f = 0; f < next + 5; ++f)
        QCOMPARE(codeOf(cap.volts[2 * f]), f < next ? unsigned(f) : 20000 + unsigned(f - next));
}

// Starts, stops, frame periods spent stopped (from a stop to the next start, at the rate that stopped;
// not across a zeroing configuration or a release) and page switches; the cut's refusals.
void TestVek72Sim::continuityCounters()
{
    Vek72Module m = module();
    const uint32_t w[] = {word(0, 1), word(1, 2), word(0, 3), word(1, 4)};
    auto counts = [&m] {
        const Vek72Counters& k = m.counters();
        return QString("%1 %2 %3 %4").arg(k.starts).arg(k.stops).arg(k.stoppedFramePeriods).arg(k.pageSwitches);
    };
    QCOMPARE(m.configure(config({0, 1}, 48000, 0), 0), 0); // 24000 frame periods a second
    QCOMPARE(m.streamCut(0, 0, nullptr), VEK72_E_WRONG_MODE);
    QCOMPARE(m.send(w, 4, 4, 0), int64_t(4));
    QCOMPARE(m.switchPage(0), 0);
    QCOMPARE(m.send(w, 2, 2, kSecond), int64_t(2));
    QCOMPARE(m.switchPage(kSecond), 0); // running: a page switch, not a start
    QCOMPARE(m.stop(2 * kSecond), 0);
    QCOMPARE(m.stoppedStretchFrames(2 * kSecond + kSecond / 4), uint64_t(6000));
    QCOMPARE(m.configure(config({0}, 192000, 1), 2 * kSecond), 0); // a full restart at another rate
    QCOMPARE(m.streamCut(0, 2 * kSecond, nullptr), VEK72_E_NOT_RUNNING);
    QCOMPARE(m.send(w, 1, 1, 2 * kSecond), int64_t(1));
    QCOMPARE(m.streamStart(2 * kSecond + kSecond / 2), 0);
    QCOMPARE(counts(), QString("2 1 12000 1"));
    QCOMPARE(m.stop(3 * kSecond), 0);
    QCOMPARE(m.configure(config({}, 48000, 0), 4 * kSecond), 0); // zeroing: the stop is not counted
    QCOMPARE(m.configure(config({0, 1}, 48000, 0), 5 * kSecond), 0);
    QCOMPARE(m.send(w, 4, 4, 5 * kSecond), int64_t(4));
    QCOMPARE(m.switchPage(6 * kSecond), 0);
    m.release(7 * kSecond); // a stop, and no stretch up to the next client's start
    QCOMPARE(m.configure(config({0, 1}, 48000, 0), 8 * kSecond), 0);
    QCOMPARE(m.send(w, 4, 4, 8 * kSecond), int64_t(4));
    QCOMPARE(m.switchPage(9 * kSecond), 0);
    QCOMPARE(counts(), QString("4 3 12000 1"));
    QCOMPARE(m.stop(10 * kSecond), 0);
    QCOMPARE(m.switchPage(10 * kSecond + kSecond / 4), 0); // the page kept, a quarter second later
    QCOMPARE(counts(), QString("5 4 18000 1"));
}

QTEST_GUILESS_MAIN(TestVek72Sim)
#include "tst_vek72sim.moc"
