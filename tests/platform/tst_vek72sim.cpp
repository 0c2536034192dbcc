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

Vek72Module module8(uint8_t modification = 1)
{
    Vek72Identity id;
    id.serial = "T";
    id.modification = modification;
    id.channels = 8;
    return Vek72Module(id);
}

} // namespace

class TestVek72Sim : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void outputRatePerChannelCount_data();
    void outputRatePerChannelCount();
    void configurationChecks();
    void zeroingConfiguration();
    void cyclicPagePlaysOverAndOver();
    void cyclicPageLimitsAndSwitch();
    void streamingConsumesAtTheRate();
    void underrunsAreCountedAndOutputsHeld();
    void underrunEndsWithTheFirstFrameFed();
    void roomForAWaitingSender();
    void countersOfReceivedWords();
    void captureKeepsOnlyTheLastFrames();
    void releaseEndsOutput();
};

void TestVek72Sim::outputRatePerChannelCount_data()
{
    QTest::addColumn<int>("rate");
    QTest::addColumn<int>("channels");
    QTest::addColumn<double>("expected");
    const int rates[] = {48000, 96000, 192000};
    for (int rate : rates)
        for (int n = 1; n <= 8; ++n) {
            int k = n <= 1 ? 1 : n <= 2 ? 2 : n <= 4 ? 4 : 8;
            QTest::addRow("%d Hz, %d channels", rate, n) << rate << n << double(rate / k);
        }
}

void TestVek72Sim::outputRatePerChannelCount()
{
    QFETCH(int, rate);
    QFETCH(int, channels);
    QFETCH(double, expected);
    Vek72Module m = module8();
    ModuleConfig c;
    // channels spread from the top, so that positions and physical channels differ
    for (int i = 0; i < channels; ++i) c.enabled[7 - i] = 1;
    c.outputMode = 1;
    c.dacRateHz = uint32_t(rate);
    QCOMPARE(m.configure(c, 0), 0);
    vekproto::ModuleState s = m.state();
    QCOMPARE(int(s.enabledChannels), channels);
    QCOMPARE(s.outputRate, expected);
    QCOMPARE(int(s.configured), 1);
    QCOMPARE(int(s.outputMode), 1);
    QCOMPARE(int(s.running), 0);
}

void TestVek72Sim::configurationChecks()
{
    Vek72Identity id;
    id.channels = 4;
    Vek72Module m(id);
    QCOMPARE(m.send(nullptr, 0, 0, 0), int64_t(VEK72_E_NOT_CONFIGURED));
    QCOMPARE(m.streamStart(0), VEK72_E_NOT_CONFIGURED);
    QCOMPARE(m.configure(config({0}, 44100, 0), 0), VEK72_E_BAD_RATE);
    QCOMPARE(m.configure(config({4}, 48000, 0), 0), VEK72_E_ARGUMENT); // beyond the module's channels
    ModuleConfig c = config({0}, 48000, 0);
    c.output[0] = 2;
    QCOMPARE(m.configure(c, 0), VEK72_E_ARGUMENT);
    c = config({0}, 48000, 2);
    QCOMPARE(m.configure(c, 0), VEK72_E_ARGUMENT);
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

void TestVek72Sim::zeroingConfiguration()
{
    Vek72Module m = module8();
    QCOMPARE(m.configure(config({0, 5}, 48000, 0), 0), 0);
    uint32_t page[] = {word(0, 65535), word(5, 0)};
    QCOMPARE(m.send(page, 2, 2, 0), int64_t(2));
    QCOMPARE(m.switchPage(0), 0);
    m.advance(kSecond / 100);
    QCOMPARE(m.outputs()[0], 10.0);
    QCOMPARE(m.outputs()[5], -10.0);
    QCOMPARE(m.stop(kSecond / 100), 0);
    QCOMPARE(m.outputs()[0], 10.0); // held after stop

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
    Vek72Module m = module8();
    // two channels at 48 kHz: 24000 frames per second
    QCOMPARE(m.configure(config({1, 6}, 48000, 0, 6), 0), 0);
    std::vector<uint32_t> page;
    for (unsigned f = 0; f < 10; ++f) {
        page.push_back(word(1, f * 1000));
        page.push_back(word(6, 65535 - f * 1000));
    }
    QCOMPARE(m.send(page.data(), 20, 20, 0), int64_t(20));
    const Nanos t0 = 5 * kSecond;
    QCOMPARE(m.switchPage(t0), 0);
    QCOMPARE(int(m.state().running), 1);
    m.advance(t0 + kSecond);
    QCOMPARE(m.counters().framesPlayed, uint64_t(24000));
    // 24000 frames = 2400 whole pages: the last frame played is frame 9
    QCOMPARE(m.outputs()[1], vekproto::codeToVolts(9000, {-10, 10}));
    QCOMPARE(m.outputs()[6], vekproto::codeToVolts(65535 - 9000, {-1, 1}));
    m.advance(t0 + kSecond + kSecond / 24000 * 3 + 1000); // three more frames: frame 2 is the last
    QCOMPARE(m.counters().framesPlayed, uint64_t(24003));
    QCOMPARE(m.outputs()[1], vekproto::codeToVolts(2000, {-10, 10}));

    Vek72Capture cap = m.capture(13);
    QCOMPARE(cap.frames, 13u);
    QCOMPARE(cap.channels, (std::vector<uint8_t>{1, 6}));
    // the last 13 frames end with frame 2: frames 0..9 from frame 0 of the previous page, then 0,1,2
    std::vector<unsigned> expectFrames{0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 0, 1, 2};
    for (unsigned k = 0; k < 13; ++k) {
        QCOMPARE(cap.volts[k * 2], vekproto::codeToVolts(expectFrames[k] * 1000, {-10, 10}));
        QCOMPARE(cap.volts[k * 2 + 1], vekproto::codeToVolts(65535 - expectFrames[k] * 1000, {-1, 1}));
    }
    QCOMPARE(m.counters().underruns, uint64_t(0));
}

void TestVek72Sim::cyclicPageLimitsAndSwitch()
{
    Vek72Module m = module8();
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
    QCOMPARE(m.outputs()[2], vekproto::codeToVolts(300, {-10, 10}));
    QCOMPARE(m.switchPage(2 * kSecond), VEK72_E_EMPTY_PAGE); // nothing new loaded
    // a stopped module restarts the page it keeps
    QCOMPARE(m.stop(2 * kSecond), 0);
    QCOMPARE(m.switchPage(3 * kSecond), 0);
    QVERIFY(m.running());
}

void TestVek72Sim::streamingConsumesAtTheRate()
{
    Vek72Module m = module8();
    // four channels at 96 kHz: 24000 frames per second, 96000 words per second
    QCOMPARE(m.configure(config({0, 1, 2, 3}, 96000, 1), 0), 0);
    std::vector<uint32_t> data(96000 * 3);
    for (size_t i = 0; i < data.size(); ++i) data[i] = word(unsigned(i % 4), unsigned(i / 4 % 65536));
    QCOMPARE(m.send(data.data(), uint32_t(data.size()), uint32_t(data.size()), 0), int64_t(data.size()));
    QCOMPARE(m.fifoWords(), uint32_t(data.size()));
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
    // frame 47999 was the last: its words carry code 47999 % 65536
    QCOMPARE(m.outputs()[3], vekproto::codeToVolts(47999, {-10, 10}));
    QCOMPARE(m.counters().underruns, uint64_t(0));
    QCOMPARE(m.stop(t0 + 2 * kSecond), 0);
    QCOMPARE(m.fifoWords(), 0u); // stop empties the FIFO
}

void TestVek72Sim::underrunsAreCountedAndOutputsHeld()
{
    Vek72Module m = module8();
    QCOMPARE(m.configure(config({0}, 48000, 1), 0), 0);
    std::vector<uint32_t> data(480, word(0, 50000));
    QCOMPARE(m.send(data.data(), 480, 480, 0), int64_t(480));
    QCOMPARE(m.streamStart(0), 0);
    m.advance(kSecond / 100); // exactly the 480 frames
    QCOMPARE(m.counters().underruns, uint64_t(0));
    m.advance(kSecond / 50); // 480 periods more without data
    QCOMPARE(m.counters().underruns, uint64_t(1));
    QCOMPARE(m.counters().underrunFrames, uint64_t(480));
    QCOMPARE(m.outputs()[0], vekproto::codeToVolts(50000, {-10, 10}));
    m.advance(kSecond / 25); // the same underrun goes on
    QCOMPARE(m.counters().underruns, uint64_t(1));
    QCOMPARE(m.counters().underrunFrames, uint64_t(1440));
    // data comes back, then runs out again: a second underrun
    QCOMPARE(m.send(data.data(), 480, 480, kSecond / 25), int64_t(480));
    m.advance(kSecond / 25 + kSecond / 100);
    QCOMPARE(m.counters().underruns, uint64_t(1));
    m.advance(kSecond / 10);
    QCOMPARE(m.counters().underruns, uint64_t(2));
    QCOMPARE(m.counters().framesPlayed, uint64_t(960));
    // a start with an empty FIFO underruns at once
    QCOMPARE(m.stop(kSecond), 0);
    QCOMPARE(m.streamStart(kSecond), 0);
    m.advance(kSecond + kSecond / 1000);
    QCOMPARE(m.counters().underruns, uint64_t(3));
}

void TestVek72Sim::underrunEndsWithTheFirstFrameFed()
{
    Vek72Module m = module8();
    QCOMPARE(m.configure(config({0, 1}, 48000, 1), 0), 0); // two channels: 24000 frames per second
    auto period = [](uint64_t frames) { return Nanos((frames * kSecond + 23999) / 24000); }; // frames due from here
    QCOMPARE(m.streamStart(0), 0);
    m.advance(period(100)); // started empty: 100 periods without data
    QCOMPARE(m.counters().underruns, uint64_t(1));
    QCOMPARE(m.counters().underrunFrames, uint64_t(100));
    // one frame comes: the next period plays it, and the underrun is over
    const uint32_t frame[] = {word(0, 1234), word(1, 4321)};
    QCOMPARE(m.send(frame, 2, 2, period(100)), int64_t(2));
    m.advance(period(101));
    QCOMPARE(m.counters().framesPlayed, uint64_t(1));
    QCOMPARE(m.counters().underrunFrames, uint64_t(100));
    QCOMPARE(m.outputs()[1], vekproto::codeToVolts(4321, {-10, 10}));
    // the period after it starves again: a new underrun
    m.advance(period(102));
    QCOMPARE(m.counters().underruns, uint64_t(2));
    QCOMPARE(m.counters().underrunFrames, uint64_t(101));
}

void TestVek72Sim::roomForAWaitingSender()
{
    Vek72Module m = module8();
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

void TestVek72Sim::countersOfReceivedWords()
{
    Vek72Module m = module8();
    QCOMPARE(m.configure(config({0, 2}, 48000, 0), 0), 0);
    uint32_t w[] = {word(0, 1), word(2, 2) | vekproto::kWordSaturatedBit, word(1, 3), 0x12000005u};
    QCOMPARE(m.send(w, 4, 4, 0), int64_t(4));
    QCOMPARE(m.counters().wordsReceived, uint64_t(4));
    QCOMPARE(m.counters().clippedSamples, uint64_t(1));
    QCOMPARE(m.counters().badWords, uint64_t(2)); // channel 1 is not enabled; a wrong tag
    // a limit takes fewer words
    QCOMPARE(m.send(w, 4, 1, 0), int64_t(1));
    QCOMPARE(m.counters().wordsReceived, uint64_t(5));
}

void TestVek72Sim::captureKeepsOnlyTheLastFrames()
{
    Vek72Module m = module8(2);
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
    QCOMPARE(all.volts.front(), vekproto::codeToVolts(unsigned(1000 % 65536), {-2, 20}));
    // a new configuration starts a new capture
    QCOMPARE(m.stop(100 * kSecond), 0);
    QCOMPARE(m.configure(config({3}, 192000, 1), 100 * kSecond), 0);
    QCOMPARE(m.capture(10).frames, 0u);
}

void TestVek72Sim::releaseEndsOutput()
{
    Vek72Module m = module8();
    QCOMPARE(m.configure(config({0}, 48000, 0), 0), 0);
    uint32_t w[] = {word(0, 40000)};
    QCOMPARE(m.send(w, 1, 1, 0), int64_t(1));
    QCOMPARE(m.switchPage(0), 0);
    m.advance(kSecond);
    m.release(kSecond);
    QVERIFY(!m.running());
    QVERIFY(!m.configured());
    QCOMPARE(m.outputs()[0], vekproto::codeToVolts(40000, {-10, 10})); // the output holds
    QCOMPARE(m.send(w, 1, 1, kSecond), int64_t(VEK72_E_NOT_CONFIGURED));
}

QTEST_GUILESS_MAIN(TestVek72Sim)
#include "tst_vek72sim.moc"
