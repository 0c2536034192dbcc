// The VEK72 module through vek72api against a vekd of the test's own: configuration and state,
// the sample word format, cyclic and streaming output observed through vekctl, fault injection,
// error texts.
#include "platformtest.h"
#include "vekdrunner.h"

#include "vek72api.h"
#include "vekapi.h"

#include <QtTest>
#include <QTextCodec>

#include <cmath>
#include <vector>

namespace {

const char kCrate[] = "4B210736";

struct Module {
    TVEK72 h;
    Module() { VEK72_Init(&h); }
    ~Module()
    {
        if (VEK72_IsOpened(&h) == 0) VEK72_Close(&h);
    }
    int open(int slot) { return VEK72_Open(&h, kLocal, kPort, kCrate, uint16_t(slot)); }
    // channels: physical index -> output selector
    int configure(const QMap<int, int>& channels, uint8_t mode, double rate)
    {
        for (auto& c : h.config.channel) c = TVEK72_CHANNEL{0, 0, 0, 0};
        for (auto it = channels.begin(); it != channels.end(); ++it) {
            h.config.channel[it.key()].enabled = 1;
            h.config.channel[it.key()].output = uint8_t(it.value());
        }
        h.config.outputMode = mode;
        h.config.dacEnable = 1;
        VEK72_FillOutFreq(&h.config, rate, nullptr);
        return VEK72_Configure(&h);
    }
    std::vector<uint32_t> prepare(const std::vector<double>& samples)
    {
        std::vector<uint32_t> words(samples.size());
        int rc = VEK72_PrepareDacData(&h, samples.data(), uint32_t(samples.size()), VEK72_PREPARE_VOLTS, words.data(), nullptr);
        if (rc != 0) words.clear();
        return words;
    }
};

QJsonObject moduleStatus(VekdRunner& vekd, int slot)
{
    QByteArray out;
    if (vekd.vekctl({"status"}, &out) != 0) return {};
    return QJsonDocument::fromJson(out)["crates"][0]["slots"][slot - 1]["module"].toObject();
}

double counter(VekdRunner& vekd, int slot, const char* name)
{
    return moduleStatus(vekd, slot)["counters"].toObject()[name].toDouble(-1);
}

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
        QStringList cells = QString::fromUtf8(f.readLine()).trimmed().split(',');
        std::vector<double> row;
        for (const QString& c : cells) row.push_back(c.toDouble());
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
    void configureStateFields();
    void configureRefusals();
    void fractionalRatesAreRounded_data();
    void fractionalRatesAreRounded();
    void zeroingConfiguration();
    void sampleWordFormat();
    void cyclicRoundTripThroughCapture();
    void streamingSendWaitsForRoom();
    void streamingFramesFollowTheRate();
    void streamingUnderrunsWhenStarved();
    void faultInjectionOnModuleCalls();
    void faultInjectionOnCrateCalls();
    void vekctlUsageAndErrors();
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

void TestPlatformModule::configureStateFields()
{
    Module m;
    QCOMPARE(m.open(3), 0);
    const double rates[] = {48000, 96000, 192000};
    for (double rate : rates) {
        for (int n = 1; n <= 8; ++n) {
            QMap<int, int> channels;
            for (int i = 0; i < n; ++i) channels[(i * 3) % 8] = i % 2; // spread over the module
            const int k = n == 1 ? 1 : n == 2 ? 2 : n <= 4 ? 4 : 8;
            for (uint8_t mode = 0; mode < 2; ++mode) {
                QCOMPARE(m.configure(channels, mode, rate), 0);
                QCOMPARE(int(m.h.state.enabledChannels), n);
                QCOMPARE(m.h.state.outputRate, rate / k);
                QCOMPARE(int(m.h.state.outputMode), int(mode));
                QCOMPARE(int(m.h.state.configured), 1);
                QCOMPARE(int(m.h.state.running), 0);
            }
        }
    }
    QJsonObject st = moduleStatus(*vekd_, 3);
    QCOMPARE(st["mode"].toString(), QString("streaming"));
    QCOMPARE(st["dacRateHz"].toDouble(), 192000.0);
    QCOMPARE(st["enabledChannels"].toArray().size(), 8);
    QCOMPARE(st["outputRate"].toDouble(), 24000.0);
}

void TestPlatformModule::configureRefusals()
{
    Module m;
    QCOMPARE(m.configure({{0, 0}}, 0, 48000), VEK72_E_NOT_OPENED);
    QCOMPARE(m.open(7), 0); // four channels
    double actual = 0;
    QCOMPARE(VEK72_FillOutFreq(&m.h.config, 44100, &actual), VEK72_E_BAD_RATE);
    QCOMPARE(actual, 44100.0);
    QCOMPARE(VEK72_Configure(&m.h), VEK72_E_BAD_RATE);
    QCOMPARE(int(m.h.state.configured), 0);
    QCOMPARE(VEK72_FillOutFreq(nullptr, 48000, nullptr), VEK72_E_ARGUMENT);
    QCOMPARE(VEK72_FillOutFreq(&m.h.config, NAN, nullptr), VEK72_E_ARGUMENT);
    QCOMPARE(m.configure({{4, 0}}, 0, 48000), VEK72_E_ARGUMENT); // channel 5 of a 4-channel module
    QCOMPARE(m.configure({{0, 2}}, 0, 48000), VEK72_E_ARGUMENT); // no such output selector
    QCOMPARE(m.configure({{0, 0}}, 3, 48000), VEK72_E_ARGUMENT); // no such mode
    // a good configuration, then output, then a configuration while running
    QCOMPARE(m.configure({{0, 0}, {3, 1}}, 0, 96000), 0);
    std::vector<uint32_t> words = m.prepare({1.0, 0.5});
    QCOMPARE(VEK72_Send(&m.h, words.data(), 2, 1000), 2);
    QCOMPARE(VEK72_StreamStart(&m.h, 0), VEK72_E_WRONG_MODE);
    QCOMPARE(VEK72_SwitchCyclePage(&m.h, 0, 1000), 0);
    QCOMPARE(int(m.h.state.running), 1);
    QCOMPARE(m.configure({{1, 0}}, 0, 48000), VEK72_E_RUNNING);
    QCOMPARE(m.h.state.outputRate, 48000.0); // the applied configuration stays
    QCOMPARE(int(m.h.state.enabledChannels), 2);
    QCOMPARE(VEK72_Stop(&m.h, 0), 0);
    QCOMPARE(int(m.h.state.running), 0);
    QCOMPARE(VEK72_Stop(&m.h, 0), VEK72_E_NOT_RUNNING);
}

void TestPlatformModule::fractionalRatesAreRounded_data()
{
    QTest::addColumn<double>("asked");
    QTest::addColumn<double>("rate");
    QTest::addColumn<int>("result");
    QTest::newRow("48 kHz less half a hertz") << 47999.5 << 48000.0 << 0;
    QTest::newRow("96 kHz and a bit") << 96000.49 << 96000.0 << 0;
    QTest::newRow("192 kHz less a bit") << 191999.7 << 192000.0 << 0;
    QTest::newRow("half a hertz above 48 kHz") << 48000.5 << 48001.0 << VEK72_E_BAD_RATE;
}

// A rate within half a hertz of a supported one is that rate: written rounded, applied by the module.
void TestPlatformModule::fractionalRatesAreRounded()
{
    QFETCH(double, asked);
    QFETCH(double, rate);
    QFETCH(int, result);
    Module m;
    QCOMPARE(m.open(3), 0);
    double actual = 0;
    QCOMPARE(VEK72_FillOutFreq(&m.h.config, asked, &actual), result);
    QCOMPARE(actual, rate);
    QCOMPARE(double(m.h.config.dacRateHz), rate);
    m.h.config.channel[0] = TVEK72_CHANNEL{1, 0, 0, 0};
    m.h.config.dacEnable = 1;
    QCOMPARE(VEK72_Configure(&m.h), result);
    if (result == 0) QCOMPARE(moduleStatus(*vekd_, 3)["dacRateHz"].toDouble(), rate);
}

void TestPlatformModule::zeroingConfiguration()
{
    Module m;
    QCOMPARE(m.open(3), 0);
    QCOMPARE(m.configure({{0, 0}, {1, 0}}, 0, 48000), 0);
    std::vector<uint32_t> words = m.prepare({2.5, -3.0});
    QCOMPARE(VEK72_Send(&m.h, words.data(), 2, 1000), 2);
    QCOMPARE(VEK72_SwitchCyclePage(&m.h, 0, 1000), 0);
    QTRY_VERIFY(std::abs(moduleStatus(*vekd_, 3)["outputs"].toArray()[0].toDouble() - 2.5) < 0.001);
    QCOMPARE(VEK72_Stop(&m.h, 0), 0);
    QVERIFY(std::abs(moduleStatus(*vekd_, 3)["outputs"].toArray()[1].toDouble() + 3.0) < 0.001); // held

    // no channel: applied, every output at 0 V, nothing can start
    QCOMPARE(m.configure({}, 0, 48000), 0);
    QCOMPARE(int(m.h.state.enabledChannels), 0);
    QCOMPARE(m.h.state.outputRate, 0.0);
    QCOMPARE(int(m.h.state.configured), 1);
    for (const QJsonValue& v : moduleStatus(*vekd_, 3)["outputs"].toArray()) QCOMPARE(v.toDouble(), 0.0);
    QCOMPARE(VEK72_Send(&m.h, words.data(), 2, 1000), VEK72_E_NO_CHANNELS);
    QCOMPARE(VEK72_SwitchCyclePage(&m.h, 0, 1000), VEK72_E_NO_CHANNELS);
    double sample = 1.0;
    uint32_t word = 0;
    QCOMPARE(VEK72_PrepareDacData(&m.h, &sample, 1, 1, &word, nullptr), VEK72_E_NO_CHANNELS);
    QCOMPARE(m.configure({}, 1, 48000), 0);
    QCOMPARE(VEK72_StreamStart(&m.h, 0), VEK72_E_NO_CHANNELS);
    // closing a module that was never zeroed is allowed too
    Module n;
    QCOMPARE(n.open(7), 0);
    QCOMPARE(n.configure({{0, 0}}, 0, 48000), 0);
    QCOMPARE(VEK72_Close(&n.h), 0);
}

void TestPlatformModule::sampleWordFormat()
{
    Module m;
    QCOMPARE(m.open(3), 0); // modification 1: -10..10 V, one-tenth -1..1 V
    double s = 0;
    uint32_t w = 0;
    QCOMPARE(VEK72_PrepareDacData(&m.h, &s, 1, 1, &w, nullptr), VEK72_E_NOT_CONFIGURED);
    QCOMPARE(m.configure({{1, 0}, {4, 1}}, 0, 48000), 0);
    QCOMPARE(VEK72_PrepareDacData(&m.h, &s, 1, 0, &w, nullptr), VEK72_E_ARGUMENT);
    QCOMPARE(VEK72_PrepareDacData(&m.h, &s, 1, 1, &w, &w), VEK72_E_ARGUMENT);
    QCOMPARE(VEK72_PrepareDacData(&m.h, nullptr, 1, 1, &w, nullptr), VEK72_E_ARGUMENT);
    QCOMPARE(VEK72_PrepareDacData(&m.h, &s, 0, 1, &w, nullptr), 0);
    QCOMPARE(VEK72_PrepareDacData(nullptr, &s, 1, 1, &w, nullptr), VEK72_E_HANDLE);

    const std::vector<double> samples{-10, -1, 0, 0, 10, 1, 11, -2, NAN, 0.5, -0.000152, 0.999985};
    std::vector<uint32_t> words = m.prepare(samples);
    QCOMPARE(words.size(), samples.size());
    const uint32_t expectCode[] = {0, 0, 32768, 32768, 65535, 65535, 65535, 0, 0, 49151, 32767, 65535};
    const bool expectSaturated[] = {false, false, false, false, false, false, true, true, true, false, false, false};
    for (size_t i = 0; i < words.size(); ++i) {
        QCOMPARE(words[i] >> 24, uint32_t(VEK72_WORD_TAG));
        QCOMPARE(channel(words[i]), i % 2 ? 4u : 1u);
        QCOMPARE((words[i] >> 20) & 0xFu, 0u);
        QCOMPARE(code(words[i]), expectCode[i]);
        QVERIFY2(saturated(words[i]) == expectSaturated[i], qPrintable(QString("sample %1").arg(i)));
    }
    // the words follow the applied configuration, not later edits of the block
    m.h.config.channel[1].output = 1;
    QCOMPARE(code(m.prepare({0.5, 0.0})[0]), 34406u);

    // modification 2: -2..20 V, one-tenth -0.2..2 V
    Module n;
    QCOMPARE(n.open(7), 0);
    QCOMPARE(n.configure({{0, 0}, {1, 1}, {2, 0}}, 1, 96000), 0);
    words = n.prepare({0.0, 0.0, 20.0, -0.2, 2.0, -3.0, 9.0});
    const uint32_t expect2[] = {5958, 5958, 65535, 5362, 65535, 0, 32768};
    for (size_t i = 0; i < words.size(); ++i) {
        QCOMPARE(channel(words[i]), unsigned(i % 3));
        QCOMPARE(code(words[i]), expect2[i]);
    }
    QVERIFY(saturated(words[5]));
    // one long run through every position of the repeat: exact agreement with the formula
    std::vector<double> many(1003);
    for (size_t i = 0; i < many.size(); ++i) many[i] = -3.0 + 25.0 * double(i) / double(many.size());
    words = n.prepare(many);
    for (size_t i = 0; i < many.size(); ++i) {
        double lo = i % 3 == 1 ? -0.2 : -2.0, hi = i % 3 == 1 ? 2.0 : 20.0;
        double x = (many[i] - lo) * 65535.0 / (hi - lo);
        uint32_t c = x <= 0 ? 0 : x >= 65535 ? 65535 : uint32_t(std::floor(x + 0.5));
        QCOMPARE(code(words[i]), c);
        QCOMPARE(saturated(words[i]), x < 0 || x > 65535);
    }
}

void TestPlatformModule::cyclicRoundTripThroughCapture()
{
    Module m;
    QCOMPARE(m.open(3), 0);
    QCOMPARE(m.configure({{0, 0}, {2, 1}}, 0, 48000), 0);
    QCOMPARE(m.h.state.outputRate, 24000.0);
    const int frames = 480;
    std::vector<double> samples;
    for (int f = 0; f < frames; ++f) {
        samples.push_back(-9.0 + 18.0 * f / frames);            // channel 1: a ramp, every value distinct
        samples.push_back(0.8 * std::sin(2 * M_PI * f / frames)); // channel 3, one-tenth range
    }
    std::vector<uint32_t> words = m.prepare(samples);
    QCOMPARE(VEK72_Send(&m.h, words.data(), uint32_t(words.size()), 1000), int(words.size()));
    QCOMPARE(VEK72_SwitchCyclePage(&m.h, 0, 1000), 0);
    QCOMPARE(int(m.h.state.running), 1);
    QTRY_VERIFY(counter(*vekd_, 3, "framesPlayed") >= 2 * frames);

    const QString csv = QDir::temp().filePath(QString("capture-%1.csv").arg(QCoreApplication::applicationPid()));
    QByteArray out, err;
    QCOMPARE(vekd_->vekctl({"capture", "--crate", kCrate, "--slot", "3", "--frames", QString::number(frames), "--out", csv},
                           &out, &err), 0);
    QStringList header;
    std::vector<std::vector<double>> rows;
    QVERIFY(readCapture(csv, &header, &rows));
    QFile::remove(csv);
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
    QCOMPARE(int(m.h.state.running), 0);
    const QJsonObject st = moduleStatus(*vekd_, 3);
    QCOMPARE(st["running"].toBool(), false);
    QCOMPARE(st["counters"]["wordsReceived"].toDouble(), double(words.size()));
    QCOMPARE(st["counters"]["clippedSamples"].toDouble(), 0.0);
    QCOMPARE(st["counters"]["underruns"].toDouble(), 0.0);
    double played = st["counters"]["framesPlayed"].toDouble();
    // stopped: nothing more is played
    QTest::qWait(50);
    QCOMPARE(counter(*vekd_, 3, "framesPlayed"), played);

    // a new page with out-of-range samples: counted as clipped, played saturated
    QCOMPARE(m.configure({{0, 0}}, 0, 192000), 0);
    words = m.prepare({12.0, -15.0, 3.0});
    QCOMPARE(VEK72_Send(&m.h, words.data(), 3, 1000), 3);
    QCOMPARE(counter(*vekd_, 3, "clippedSamples"), 2.0);
    QCOMPARE(VEK72_SwitchCyclePage(&m.h, 0, 1000), 0);
    auto captured = [&]() {
        return vekd_->vekctl({"capture", "--crate", kCrate, "--slot", "3", "--frames", "3", "--out", csv}) == 0
            && readCapture(csv, &header, &rows) && rows.size() == 3;
    };
    QTRY_VERIFY(captured());
    QFile::remove(csv);
    std::vector<double> seen{rows[0][0], rows[1][0], rows[2][0]};
    std::sort(seen.begin(), seen.end());
    QCOMPARE(seen[0], -10.0);
    QVERIFY(std::abs(seen[1] - 3.0) < lsb1);
    QCOMPARE(seen[2], 10.0);
}

void TestPlatformModule::streamingSendWaitsForRoom()
{
    Module m;
    QCOMPARE(m.open(3), 0);
    QCOMPARE(m.configure({{0, 0}}, 1, 48000), 0); // 48000 words per second
    // fill the whole FIFO in one transfer
    std::vector<uint32_t> fill = m.prepare(std::vector<double>(VEK72_FIFO_WORDS, 1.0));
    QCOMPARE(VEK72_Send(&m.h, fill.data(), VEK72_FIFO_WORDS, 1000), int(VEK72_FIFO_WORDS));
    QCOMPARE(moduleStatus(*vekd_, 3)["fifoWords"].toDouble(), double(VEK72_FIFO_WORDS));
    // full and not started: no room comes, so the send waits out its time-out and takes nothing
    QCOMPARE(VEK72_Send(&m.h, fill.data(), 1000, 300), 0);
    QVERIFY(vekd_->log().contains("send timed out: 0 of 1000 words taken"));
    // without a time-out it answers at once, with nothing taken either
    QCOMPARE(VEK72_Send(&m.h, fill.data(), 1000, 0), 0);
    QCOMPARE(counter(*vekd_, 3, "wordsReceived"), double(VEK72_FIFO_WORDS));
    // running: room comes at 48000 words per second, and the send takes everything once there is
    // room for it, which the module has only after playing 4800 frames
    QCOMPARE(VEK72_StreamStart(&m.h, 0), 0);
    QCOMPARE(int(m.h.state.running), 1);
    QCOMPARE(VEK72_StreamStart(&m.h, 0), VEK72_E_RUNNING);
    QCOMPARE(VEK72_Send(&m.h, fill.data(), 4800, 5000), 4800);
    const QJsonObject afterSend = moduleStatus(*vekd_, 3);
    QVERIFY(afterSend["counters"].toObject()["framesPlayed"].toDouble() >= 4800);
    QVERIFY(afterSend["fifoWords"].toDouble() <= double(VEK72_FIFO_WORDS));
    QCOMPARE(afterSend["counters"].toObject()["wordsReceived"].toDouble(), double(VEK72_FIFO_WORDS) + 4800);
    QCOMPARE(VEK72_SwitchCyclePage(&m.h, 0, 1000), VEK72_E_WRONG_MODE);
    QCOMPARE(VEK72_Stop(&m.h, 0), 0);
    QCOMPARE(moduleStatus(*vekd_, 3)["fifoWords"].toDouble(), 0.0);
    QCOMPARE(counter(*vekd_, 3, "underruns"), 0.0);
}

void TestPlatformModule::streamingFramesFollowTheRate()
{
    Module m;
    QCOMPARE(m.open(7), 0);
    QCOMPARE(m.configure({{0, 0}, {1, 0}, {2, 0}}, 1, 96000), 0); // three channels: 24000 frames/s
    QCOMPARE(m.h.state.outputRate, 24000.0);
    std::vector<uint32_t> words = m.prepare(std::vector<double>(3 * 24000 * 10, 5.0)); // ten seconds
    QCOMPARE(VEK72_Send(&m.h, words.data(), uint32_t(words.size()), 1000), int(words.size()));
    QElapsedTimer clock;
    clock.start();
    qint64 beforeStart = clock.nsecsElapsed();
    QCOMPARE(VEK72_StreamStart(&m.h, 0), 0);
    qint64 afterStart = clock.nsecsElapsed();
    for (int round = 0; round < 3; ++round) {
        QTest::qWait(100);
        qint64 beforeStatus = clock.nsecsElapsed();
        double played = counter(*vekd_, 7, "framesPlayed");
        qint64 afterStatus = clock.nsecsElapsed();
        // the service's clock lies between ours around the calls
        double least = std::floor(24000.0 * double(beforeStatus - afterStart) / 1e9);
        double most = std::ceil(24000.0 * double(afterStatus - beforeStart) / 1e9);
        QVERIFY2(played >= least - 1 && played <= most + 1,
                 qPrintable(QString("played %1, expected %2..%3").arg(played).arg(least).arg(most)));
    }
    QCOMPARE(counter(*vekd_, 7, "underruns"), 0.0);
    QJsonArray outs = moduleStatus(*vekd_, 7)["outputs"].toArray();
    QVERIFY(std::abs(outs[2].toDouble() - 5.0) < 0.001);
    QCOMPARE(outs[3].toDouble(), 0.0); // not enabled
}

void TestPlatformModule::streamingUnderrunsWhenStarved()
{
    Module m;
    QCOMPARE(m.open(3), 0);
    QCOMPARE(m.configure({{5, 0}}, 1, 48000), 0);
    std::vector<uint32_t> words = m.prepare(std::vector<double>(480, -4.25)); // 10 ms
    QCOMPARE(VEK72_Send(&m.h, words.data(), 480, 1000), 480);
    QCOMPARE(VEK72_StreamStart(&m.h, 0), 0);
    QTRY_VERIFY(counter(*vekd_, 3, "underruns") >= 1);
    QCOMPARE(counter(*vekd_, 3, "underruns"), 1.0);
    QCOMPARE(counter(*vekd_, 3, "framesPlayed"), 480.0);
    QVERIFY(counter(*vekd_, 3, "underrunFrames") > 0);
    QJsonObject st = moduleStatus(*vekd_, 3);
    QVERIFY(std::abs(st["outputs"].toArray()[5].toDouble() + 4.25) < 0.001); // holds the last output
    QCOMPARE(st["running"].toBool(), true);
    // fed again, then starved again: a second underrun
    QCOMPARE(VEK72_Send(&m.h, words.data(), 480, 1000), 480);
    QTRY_VERIFY(counter(*vekd_, 3, "underruns") >= 2);
    QCOMPARE(counter(*vekd_, 3, "framesPlayed"), 960.0);
    QCOMPARE(VEK72_Stop(&m.h, 0), 0);
}

void TestPlatformModule::faultInjectionOnModuleCalls()
{
    auto fault = [this](const QStringList& args) {
        QByteArray out, err;
        int rc = vekd_->vekctl(QStringList{"fault"} + args, &out, &err);
        if (rc != 0) qWarning() << "vekctl" << args << rc << err;
        return rc;
    };
    const QString hw = text(VEK72_E_HARDWARE);
    QCOMPARE(hw, QString::fromUtf8("Аппаратная ошибка модуля"));

    QCOMPARE(fault({"fail", "--crate", kCrate, "--slot", "3", "--function", "VEK72_Open"}), 0);
    Module m;
    QCOMPARE(m.open(3), VEK72_E_HARDWARE);
    QCOMPARE(m.open(3), 0); // only the next call failed
    QVERIFY(vekd_->log().contains("injected fault: VEK72_Open 4B210736/3 answers -116\n"));

    QCOMPARE(fault({"fail", "--crate", kCrate, "--slot", "3", "--function", "VEK72_Configure", "--code", "-116"}), 0);
    QCOMPARE(m.configure({{0, 0}}, 0, 48000), VEK72_E_HARDWARE);
    QCOMPARE(int(m.h.state.configured), 0);
    QCOMPARE(m.configure({{0, 0}}, 0, 48000), 0);

    std::vector<uint32_t> words = m.prepare(std::vector<double>(100, 1.0));
    QCOMPARE(fault({"fail", "--crate", kCrate, "--slot", "3", "--function", "VEK72_Send", "--count", "2", "--code", "-113"}), 0);
    QCOMPARE(VEK72_Send(&m.h, words.data(), 100, 1000), VEK72_E_RUNNING);
    QCOMPARE(text(VEK72_E_RUNNING), QString::fromUtf8("Операция недопустима во время генерации"));
    QCOMPARE(VEK72_Send(&m.h, words.data(), 100, 1000), VEK72_E_RUNNING);
    QCOMPARE(VEK72_Send(&m.h, words.data(), 100, 1000), 100);

    QCOMPARE(fault({"short-send", "--crate", kCrate, "--slot", "3", "--words", "10"}), 0);
    QCOMPARE(VEK72_Send(&m.h, words.data(), 100, 1000), 10);
    QCOMPARE(VEK72_Send(&m.h, words.data(), 50, 1000), 50);

    QCOMPARE(fault({"fail", "--crate", kCrate, "--slot", "3", "--function", "VEK72_SwitchCyclePage"}), 0);
    QCOMPARE(VEK72_SwitchCyclePage(&m.h, 0, 1000), VEK72_E_HARDWARE);
    QCOMPARE(int(m.h.state.running), 0);
    QCOMPARE(VEK72_SwitchCyclePage(&m.h, 0, 1000), 0);
    QCOMPARE(int(m.h.state.running), 1);

    QCOMPARE(fault({"fail", "--crate", kCrate, "--slot", "3", "--function", "VEK72_Stop"}), 0);
    QCOMPARE(VEK72_Stop(&m.h, 0), VEK72_E_HARDWARE);
    QCOMPARE(int(m.h.state.running), 1); // a failed call changed nothing
    QCOMPARE(moduleStatus(*vekd_, 3)["running"].toBool(), true);
    QCOMPARE(VEK72_Stop(&m.h, 0), 0);

    QCOMPARE(m.configure({{0, 0}}, 1, 48000), 0);
    QCOMPARE(VEK72_Send(&m.h, words.data(), 100, 1000), 100);
    QCOMPARE(fault({"fail", "--crate", kCrate, "--slot", "3", "--function", "VEK72_StreamStart"}), 0);
    QCOMPARE(VEK72_StreamStart(&m.h, 0), VEK72_E_HARDWARE);
    QCOMPARE(int(m.h.state.running), 0);
    QCOMPARE(VEK72_StreamStart(&m.h, 0), 0);
    QCOMPARE(VEK72_Stop(&m.h, 0), 0);

    // a failed close still lets the module go
    QCOMPARE(fault({"fail", "--crate", kCrate, "--slot", "3", "--function", "VEK72_Close"}), 0);
    QCOMPARE(VEK72_Close(&m.h), VEK72_E_HARDWARE);
    QVERIFY(VEK72_IsOpened(&m.h) != 0);
    Module other;
    QCOMPARE(other.open(3), 0);

    // faults are listed and can be cleared
    QCOMPARE(fault({"fail", "--crate", kCrate, "--slot", "7", "--function", "VEK72_Open", "--count", "5"}), 0);
    QCOMPARE(moduleStatus(*vekd_, 7)["faults"].toObject()["VEK72_Open"].toObject()["remaining"].toInt(), 5);
    QCOMPARE(fault({"clear"}), 0);
    Module seven;
    QCOMPARE(seven.open(7), 0);
}

void TestPlatformModule::faultInjectionOnCrateCalls()
{
    auto fault = [this](const QStringList& args) { return vekd_->vekctl(QStringList{"fault"} + args); };
    TVEK svc;
    VEK_Init(&svc);
    QCOMPARE(fault({"fail", "--function", "VEK_OpenSvcControl"}), 0);
    QCOMPARE(VEK_OpenSvcControl(&svc, kLocal, kPort), VEK_E_CONNECTION);
    QVERIFY(vekd_->log().contains("injected fault: VEK_OpenSvcControl answers -2\n"));
    QVERIFY(VEK_IsOpened(&svc) != 0);
    QCOMPARE(VEK_OpenSvcControl(&svc, kLocal, kPort), 0);
    QCOMPARE(fault({"fail", "--function", "VEK_GetCrates", "--code", "-3"}), 0);
    char serials[VEK_MAX_CRATES][VEK_SERIAL_SIZE] = {};
    QCOMPARE(VEK_GetCrates(&svc, serials), VEK_E_TIMEOUT);
    QCOMPARE(serials[0][0], '\0');
    QCOMPARE(VEK_GetCrates(&svc, serials), 0);
    QCOMPARE(QByteArray(serials[0]), QByteArray(kCrate));
    VEK_Close(&svc);

    TVEK crate;
    VEK_Init(&crate);
    QCOMPARE(fault({"refuse", "--crate", kCrate}), 0);
    QCOMPARE(VEK_OpenCrate(&crate, kLocal, kPort, 0, kCrate), VEK_E_CRATE_REFUSED);
    QCOMPARE(VEK_OpenCrate(&crate, kLocal, kPort, 0, kCrate), VEK_E_CRATE_REFUSED);
    QCOMPARE(moduleStatus(*vekd_, 3).isEmpty(), false);
    QCOMPARE(fault({"refuse", "--crate", kCrate, "--off"}), 0);
    QCOMPARE(fault({"fail", "--crate", kCrate, "--function", "VEK_OpenCrate"}), 0);
    QCOMPARE(VEK_OpenCrate(&crate, kLocal, kPort, 0, kCrate), VEK_E_CRATE_REFUSED);
    QCOMPARE(VEK_OpenCrate(&crate, kLocal, kPort, 0, kCrate), 0);
    QCOMPARE(fault({"fail", "--crate", kCrate, "--function", "VEK_GetCrateModules", "--code", "-4"}), 0);
    uint16_t ids[VEK_SLOT_COUNT] = {};
    QCOMPARE(VEK_GetCrateModules(&crate, ids), VEK_E_PROTOCOL);
    QCOMPARE(ids[2], uint16_t(0));
    QCOMPARE(VEK_GetCrateModules(&crate, ids), 0);
    QCOMPARE(ids[2], uint16_t(VEK72_MODULE_TYPE));
    VEK_Close(&crate);
}

void TestPlatformModule::vekctlUsageAndErrors()
{
    QByteArray out, err;
    QCOMPARE(vekd_->vekctl({"fault", "fail", "--crate", kCrate, "--slot", "3", "--function", "VEK72_Nothing"}, &out, &err), 1);
    QVERIFY(err.contains("no injectable function \"VEK72_Nothing\""));
    QCOMPARE(vekd_->vekctl({"fault", "fail", "--crate", "NOPE", "--slot", "3", "--function", "VEK72_Send"}, &out, &err), 1);
    QVERIFY(err.contains("no crate \"NOPE\""));
    QCOMPARE(vekd_->vekctl({"fault", "short-send", "--crate", kCrate, "--slot", "1", "--words", "3"}, &out, &err), 1);
    QVERIFY(err.contains("has no VEK72 in slot 1"));
    QCOMPARE(vekd_->vekctl({"capture", "--crate", kCrate, "--slot", "2", "--frames", "3", "--out", "/tmp/x.csv"}, &out, &err), 1);
    QVERIFY(err.contains("the slot holds no VEK72"));
    QCOMPARE(vekd_->vekctl({"capture", "--crate", kCrate, "--slot", "3", "--frames", "0", "--out", "/tmp/x.csv"}, &out, &err), 2);
    QCOMPARE(vekd_->vekctl({"capture", "--crate", kCrate, "--slot", "3", "--frames", "5", "--out", "/nonexistent/dir/x.csv"}, &out, &err), 4);
    QCOMPARE(vekd_->vekctl({"frobnicate"}, &out, &err), 2);
    QVERIFY(err.contains("unknown command \"frobnicate\""));
    QCOMPARE(vekd_->vekctl({"status", "--bogus"}, &out, &err), 2);
    QCOMPARE(vekd_->vekctl({"ping"}, &out, &err), 0);
    // a capture of a module that never played is empty but written
    const QString csv = QDir::temp().filePath(QString("empty-%1.csv").arg(QCoreApplication::applicationPid()));
    QCOMPARE(vekd_->vekctl({"capture", "--crate", kCrate, "--slot", "3", "--frames", "5", "--out", csv}, &out, &err), 0);
    QVERIFY(err.contains("only 0 frame(s)"));
    QFile::remove(csv);
    // no service at all
    vekd_->stop();
    QCOMPARE(vekd_->vekctl({"status"}, &out, &err), 3);
    QVERIFY(err.contains("cannot reach the crate service"));
}

void TestPlatformModule::errorTexts()
{
    const int codes[] = {VEK72_OK, VEK72_E_HANDLE, VEK72_E_CONNECTION, VEK72_E_TIMEOUT, VEK72_E_PROTOCOL,
                         VEK72_E_NOT_OPENED, VEK72_E_NO_CRATE, VEK72_E_NO_MODULE, VEK72_E_BUSY, VEK72_E_ARGUMENT,
                         VEK72_E_NO_CHANNELS, VEK72_E_BAD_RATE, VEK72_E_NOT_CONFIGURED, VEK72_E_RUNNING,
                         VEK72_E_NOT_RUNNING, VEK72_E_EMPTY_PAGE, VEK72_E_HARDWARE, VEK72_E_ALREADY_OPEN,
                         VEK72_E_WRONG_MODE};
    const QString unknown = text(12345);
    QCOMPARE(unknown, QString::fromUtf8("Неизвестная ошибка"));
    QCOMPARE(text(-1), unknown);
    QSet<QString> seen;
    for (int c : codes) {
        QString t = text(c);
        QVERIFY2(!t.isEmpty() && t != unknown, qPrintable(QString::number(c)));
        QVERIFY2(!seen.contains(t), qPrintable(t));
        seen.insert(t);
        // Windows-1251: Cyrillic letters are single bytes at 0xC0 and above, never UTF-8 lead pairs
        QByteArray raw(VEK72_GetErrorString(c));
        QVERIFY(!raw.contains("\xD0\x9D"));
    }
    QCOMPARE(text(VEK72_E_BUSY), QString::fromUtf8("Модуль занят другим клиентом"));
    QCOMPARE(text(VEK72_E_NO_CHANNELS), QString::fromUtf8("Не включён ни один канал"));
}

QTEST_GUILESS_MAIN(TestPlatformModule)
#include "tst_platformmodule.moc"
