// The simulated VEK72 module driven with a clock of the test's own: exact pacing of cyclic pages and
// of the streaming FIFO, underrun counting, room for waiting senders, capture and present outputs.
#include "vek72sim.h"

#include "dacword.h"
#include "vek72api.h"

#include <QtTest>

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
    void cyclicPagePlaysOverAndOver();
    void cyclicPageLimitsAndCounters();
    void streamingConsumesAtTheRate();
    void underrunsAreCountedOncePerStarvation();
    void roomForAWaitingSender();
    void captureKeepsOnlyTheLastFrames();
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

QTEST_GUILESS_MAIN(TestVek72Sim)
#include "tst_vek72sim.moc"
