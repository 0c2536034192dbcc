// Planning of the common length: the worked cases of the output rules, the refusals with their
// texts, the block rule, and the fast planning against the step-by-step transcription over many
// random plans.

#include <QRandomGenerator>
#include <QtTest>

#include <cmath>
#include <limits>

#include "referenceplan.h"
#include "synthesis.h"
#include "testsignals.h"

namespace {

ChannelSignal sine(double frequency)
{
    return sig(ChannelSignal::Sine, frequency);
}

// A random number in [0, n) for 64-bit n.
qint64 below(QRandomGenerator& g, qint64 n)
{
    return qint64(g.generate64() % quint64(n));
}

// Samples-per-period values that make the period search work hard, of several kinds.
double awkwardR(QRandomGenerator& g, int kind)
{
    static const double rates[] = {48000, 24000, 12000, 6000, 96000, 192000, 48000, 8000};
    const double rate = rates[g.bounded(8)];
    auto nudge = [&g](double x) {
        const int steps = g.bounded(7) - 3;
        for (int i = 0; i < steps; ++i)
            x = std::nextafter(x, std::numeric_limits<double>::infinity());
        for (int i = 0; i > steps; --i)
            x = std::nextafter(x, 0.0);
        return x;
    };
    switch (kind) {
    case 0: {  // a frequency as the panel shows it, three decimals
        const double f = std::round(g.bounded(1.0) * (rate / 2.0 - 0.002) * 1000.0 + 1.0) / 1000.0;
        return rate / f;
    }
    case 1: {  // a ratio of small numbers, a few units in the last place off
        const qint64 b = 1 + g.bounded(5000);
        const qint64 a = 2 * b + 1 + g.bounded(200000);
        return nudge(double(a) / double(b));
    }
    case 2: {  // all 52 fraction bits random
        const double mantissa = 1.0 + double(g.generate64() >> 12) / 4503599627370496.0;
        return std::ldexp(mantissa, 1 + g.bounded(20));
    }
    case 3: {  // a whole number and a short binary fraction
        const int bits = 1 + g.bounded(12);
        return double(2 + g.bounded(100000)) + double(1 + g.bounded((1 << bits) - 1)) / double(1 << bits);
    }
    case 4: {  // products land next to powers of two, where doubles get twice as dense below
        const int j = 4 + g.bounded(23);
        const double q = 1.0 + double(below(g, qint64(std::ldexp(1.0, j - 2))));
        return std::max(2.0000000000000004, nudge(std::ldexp(1.0, j) / q));
    }
    case 5: {  // the frequency is a ratio of the rate, rounded, then divided back
        const qint64 b = 3 + g.bounded(3000);
        const qint64 a = 1 + below(g, b / 2 - 1 > 0 ? b / 2 - 1 : 1);
        const double f = nudge(rate * double(a) / double(b));
        return 2.0 * f < rate ? rate / f : 2.5;
    }
    default:  // barely above two samples per period
        return nudge(2.0 + double(g.bounded(1000)) * 1e-9);
    }
}

qint64 randomMaxLen(QRandomGenerator& g)
{
    const int pick = g.bounded(100);
    if (pick < 70)
        return 16 + g.bounded(65536);
    return 65536 + g.bounded(1 << 20);
}

} // namespace

Q_DECLARE_METATYPE(ChannelSignal)

class TestSynthesisPlan : public QObject
{
    Q_OBJECT

private slots:
    void workedCases_data();
    void workedCases();
    void refusedFrequencies_data();
    void refusedFrequencies();
    void lineIgnoresFrequency();
    void refusedWithoutChannelsOrRate();
    void longPeriodBesideOthers();
    void lengthsBeyondAnyArrayAreRefused();
    void blockRule();
    void blockRuleMatchesTranscription();
    void periodSearchCorners();
    void periodSearchMatchesTranscription();
    void periodSearchAtFullLimits();
    void commonLengthMatchesTranscription();
    void wholePlansMatchTranscription();
};

void TestSynthesisPlan::workedCases_data()
{
    QTest::addColumn<QList<ChannelSignal>>("channelSignals");
    QTest::addColumn<bool>("cyclic");
    QTest::addColumn<qint64>("length");
    QTest::addColumn<qint64>("blockCount");
    QTest::addColumn<qint64>("blockPeriodMs");
    QTest::addColumn<QList<double>>("spans");        // u of the period search
    QTest::addColumn<QList<qint64>>("periods");      // m in L
    QTest::addColumn<QList<double>>("frequencies");  // achieved
    QTest::addColumn<double>("tolerance");           // of the frequencies; 0: bit for bit

    // At 48 kHz.
    QTest::newRow("700 Hz: 7 periods in exactly 480 samples")
        << QList<ChannelSignal>{sine(700)} << true << qint64(480) << qint64(1) << qint64(10)
        << QList<double>{480} << QList<qint64>{7} << QList<double>{700} << 0.0;
    QTest::newRow("700 and 1000 Hz share the longer span")
        << QList<ChannelSignal>{sine(700), sine(1000)} << true << qint64(480) << qint64(1) << qint64(10)
        << QList<double>{480, 48} << QList<qint64>{7, 10} << QList<double>{700, 1000} << 0.0;
    // Doubling 160 never becomes a multiple of 96 before 2 L reaches maxLen; the scan finds 480.
    QTest::newRow("300 and 500 Hz: doubling gives up, the scan finds the multiple")
        << QList<ChannelSignal>{sine(300), sine(500)} << true << qint64(480) << qint64(1) << qint64(10)
        << QList<double>{160, 96} << QList<qint64>{3, 5} << QList<double>{300, 500} << 0.0;
    QTest::newRow("1234.567 Hz cyclic: no exact fit below the limit")
        << QList<ChannelSignal>{sine(1234.567)} << true << qint64(4194300) << qint64(1) << qint64(87382)
        << QList<double>{4194300} << QList<qint64>{107878} << QList<double>{1234.5669122} << 1e-7;
    QTest::newRow("1234.567 Hz streaming: exact, 12 blocks")
        << QList<ChannelSignal>{sine(1234.567)} << false << qint64(48000000) << qint64(12) << qint64(83334)
        << QList<double>{48000000} << QList<qint64>{1234567} << QList<double>{1234.567} << 0.0;
    QTest::newRow("1000 Hz streaming: one short block")
        << QList<ChannelSignal>{sine(1000)} << false << qint64(48) << qint64(1) << qint64(1)
        << QList<double>{48} << QList<qint64>{1} << QList<double>{1000} << 0.0;
    QTest::newRow("line beside 1000 Hz: two samples per period")
        << QList<ChannelSignal>{sig(ChannelSignal::Line, 0, 0, 1.5), sine(1000)} << true << qint64(48) << qint64(1)
        << qint64(1) << QList<double>{2, 48} << QList<qint64>{24, 1} << QList<double>{24000, 1000} << 0.0;
    QTest::newRow("triangle at 19200 Hz: 2.5 samples per period")
        << QList<ChannelSignal>{sig(ChannelSignal::Triangle, 19200)} << true << qint64(5) << qint64(1) << qint64(1)
        << QList<double>{5} << QList<qint64>{2} << QList<double>{19200} << 0.0;
    // One period longer than maxLen: the search stops at m = 1 and L follows it above the limit.
    QTest::newRow("0.01 Hz: a period longer than the limit")
        << QList<ChannelSignal>{sine(0.01)} << true << qint64(4800000) << qint64(1) << qint64(100000)
        << QList<double>{4800000} << QList<qint64>{1} << QList<double>{0.01} << 0.0;
}

void TestSynthesisPlan::workedCases()
{
    QFETCH(QList<ChannelSignal>, channelSignals);
    QFETCH(bool, cyclic);
    QFETCH(qint64, length);
    QFETCH(qint64, blockCount);
    QFETCH(qint64, blockPeriodMs);
    QFETCH(QList<double>, spans);
    QFETCH(QList<qint64>, periods);
    QFETCH(QList<double>, frequencies);
    QFETCH(double, tolerance);

    const synthesis::Plan plan = synthesis::makePlan(channelSignals, 48000, cyclic);
    QVERIFY2(plan.ok(), qPrintable(plan.message));
    const int n = channelSignals.size();
    QCOMPARE(plan.maxLength, (cyclic ? qint64(4194304) : qint64(134217728)) / n);
    QCOMPARE(plan.length, length);
    QCOMPARE(plan.blockCount, blockCount);
    QCOMPARE(plan.samplesPerBlock, length / blockCount);
    QCOMPARE(plan.transferWords(), n * (length / blockCount));
    QCOMPARE(plan.blockPeriodMs, blockPeriodMs);
    QCOMPARE(plan.channels.size(), n);
    for (int i = 0; i < n; ++i) {
        const synthesis::ChannelPlan& c = plan.channels.at(i);
        EXACT(c.span, spans.at(i));
        QCOMPARE(c.periods, periods.at(i));
        EXACT(c.samplesPerPeriod, double(length) / double(periods.at(i)));
        if (tolerance == 0.0)
            EXACT(c.frequency, frequencies.at(i));
        else
            QVERIFY2(std::abs(c.frequency - frequencies.at(i)) < tolerance, qPrintable(QString::number(c.frequency, 'g', 17)));
    }
}

void TestSynthesisPlan::refusedFrequencies_data()
{
    QTest::addColumn<double>("frequency");
    QTest::addColumn<QString>("text");
    const QString pattern = QStringLiteral("Недостаточная частота ЦАП 48.000 кГц на канал для сигнала %1 кГц");
    QTest::newRow("half the rate") << 24000.0 << pattern.arg("24.000");
    QTest::newRow("zero") << 0.0 << pattern.arg("0.000");
    QTest::newRow("negative") << -5.0 << pattern.arg("-0.005");
    QTest::newRow("above half") << 30000.0 << pattern.arg("30.000");
    QTest::newRow("NaN") << std::numeric_limits<double>::quiet_NaN() << pattern.arg("nan");
    QTest::newRow("infinity") << std::numeric_limits<double>::infinity() << pattern.arg("inf");
}

void TestSynthesisPlan::refusedFrequencies()
{
    QFETCH(double, frequency);
    QFETCH(QString, text);
    // The refused channel is the second one: the first is fine, the refusal still stops everything.
    const synthesis::Plan plan = synthesis::makePlan({sine(1000), sine(frequency)}, 48000, true);
    QVERIFY(!plan.ok());
    QCOMPARE(plan.failure, synthesis::Plan::LowRate);
    QCOMPARE(plan.message, text);
    QVERIFY(plan.channels.isEmpty());
    // Just below half the rate is accepted.
    QVERIFY(synthesis::makePlan({sine(std::nextafter(24000.0, 0.0))}, 48000, true).ok());
}

void TestSynthesisPlan::lineIgnoresFrequency()
{
    const synthesis::Plan plan = synthesis::makePlan(
        {sig(ChannelSignal::Line, std::numeric_limits<double>::quiet_NaN(), 0, 2.5)}, 48000, true);
    QVERIFY(plan.ok());
    QCOMPARE(plan.length, qint64(2));
    EXACT(plan.channels.at(0).frequency, 24000.0);
}

void TestSynthesisPlan::refusedWithoutChannelsOrRate()
{
    const synthesis::Plan empty = synthesis::makePlan({}, 48000, true);
    QCOMPARE(empty.failure, synthesis::Plan::NoChannels);
    QCOMPARE(empty.message, QStringLiteral("Нет включенных каналов для генерации"));

    // A rate that is no positive number (a module reports 0 without channels) cannot time anything,
    // not even a line.
    for (double rate : {0.0, -48000.0, std::numeric_limits<double>::quiet_NaN(),
                        std::numeric_limits<double>::infinity()}) {
        const synthesis::Plan plan = synthesis::makePlan({sig(ChannelSignal::Line, 0)}, rate, true);
        QCOMPARE(plan.failure, synthesis::Plan::LowRate);
        QVERIFY(plan.message.startsWith(QStringLiteral("Недостаточная частота ЦАП ")));
    }
}

void TestSynthesisPlan::longPeriodBesideOthers()
{
    // Beside another channel whose span divides it, the long period of 0.01 Hz stays.
    const synthesis::Plan divides = synthesis::makePlan({sine(0.01), sine(700)}, 48000, true);
    QVERIFY(divides.ok());
    QCOMPARE(divides.length, qint64(4800000));
    // Beside one whose span does not divide it, the long one is squeezed into maxLen.
    const synthesis::Plan two = synthesis::makePlan({sine(0.01), sine(1234.567)}, 48000, true);
    QVERIFY(two.ok());
    QVERIFY(std::fmod(4800000.0, two.channels.at(1).span) != 0.0);
    QCOMPARE(two.length, two.maxLength);
    QCOMPARE(two.channels.at(0).periods, qint64(1));
    EXACT(two.channels.at(0).samplesPerPeriod, double(two.maxLength));
}

void TestSynthesisPlan::lengthsBeyondAnyArrayAreRefused()
{
    // 0.0001 Hz: one period of 480 million samples, more than one array can hold.
    const synthesis::Plan slow = synthesis::makePlan({sine(0.0001)}, 48000, true);
    QCOMPARE(slow.failure, synthesis::Plan::NoMemory);
    QCOMPARE(slow.message, QStringLiteral("Недостаточно памяти для генерации сигнала"));
    // A frequency so small that R / f is infinite.
    const synthesis::Plan tiny = synthesis::makePlan({sine(4.9e-324)}, 48000, false);
    QCOMPARE(tiny.failure, synthesis::Plan::NoMemory);
    // One period as long as the largest array is planned; one sample more is refused.
    const qint64 largest = synthesis::maxArraySamples();
    const synthesis::Plan edge = synthesis::makePlan({sine(48000.0 / double(largest))}, 48000, false);
    QVERIFY2(edge.ok(), qPrintable(edge.message));
    QCOMPARE(edge.length, largest);
    const synthesis::Plan beyond = synthesis::makePlan({sine(48000.0 / double(largest + 1))}, 48000, false);
    QCOMPARE(beyond.failure, synthesis::Plan::NoMemory);
}

void TestSynthesisPlan::blockRule()
{
    // ceil(L n / 4194304) divides L already.
    QCOMPARE(synthesis::blockCountFor(48000000, 1, false), qint64(12));
    QCOMPARE(synthesis::blockCountFor(48000000, 1, true), qint64(1));
    QCOMPARE(synthesis::blockCountFor(48, 1, false), qint64(1));
    // 8388610 = 2 * 5 * 838861 needs at least 3 blocks; 3 and 4 do not divide it, 5 does.
    QCOMPARE(synthesis::blockCountFor(8388610, 1, false), qint64(5));
    // With 8 channels a block holds at most 524288 frames.
    QCOMPARE(synthesis::blockCountFor(16777216, 8, false), qint64(32));
    // A prime length ends with one-sample blocks.
    QCOMPARE(synthesis::blockCountFor(4194319, 2, false), qint64(4194319));
    // Blocks never exceed the transfer limit.
    const synthesis::Plan plan = synthesis::makePlan({sine(1234.567), sine(700), sine(997.3)}, 48000, false);
    QVERIFY(plan.ok());
    QVERIFY(plan.transferWords() <= synthesis::blockWordLimit);
    QCOMPARE(plan.length % plan.blockCount, qint64(0));
}

void TestSynthesisPlan::blockRuleMatchesTranscription()
{
    QRandomGenerator g(20240611);
    static const int primes[] = {2, 3, 5, 7, 11, 13, 17, 19, 23, 29, 31, 37, 101, 257, 641, 997};
    for (int i = 0; i < 3000; ++i) {
        qint64 length = 1;
        if (i % 3 == 0) {
            // any length up to 2^21: the ladder may climb far, up to L itself for a prime
            length = 1 + g.bounded(1 << 21);
        } else {
            // lengths made of small primes, up to 2^28
            while (length < (qint64(1) << 27) && g.bounded(8) != 0) {
                const qint64 next = length * primes[g.bounded(16)];
                if (next > (qint64(1) << 28))
                    break;
                length = next;
            }
        }
        const int n = 1 + g.bounded(8);
        QCOMPARE(synthesis::blockCountFor(length, n, false), reference::blockCount(length, n, false));
    }
}

void TestSynthesisPlan::periodSearchCorners()
{
    const double inf = std::numeric_limits<double>::infinity();
    const double cases[][2] = {
        {48, 4194304},                        // whole: one period
        {2.5, 5},                             // one more period would reach the limit at once
        {2.5, 6},
        {68.571428571428569, 480},            // 7 * r lands on 480 only in double precision
        {std::ldexp(1.0, 51) + 0.5, 4194304}, // huge, not whole
        {std::ldexp(1.0, 53), 4194304},
        {inf, 4194304},                       // R / f overflowed
        {1.5, 1000},                          // shorter than the planner ever asks for
        {0.3, 1000},
        {2.0000000000000004, 4194304},
        {3.0000000000000004, 134217728},
    };
    for (const auto& c : cases) {
        const synthesis::PeriodFit fast = synthesis::fitPeriods(c[0], qint64(c[1]));
        const reference::Fit slow = reference::fitPeriods(c[0], qint64(c[1]));
        QVERIFY2(fast.periods == slow.periods && fast.span == slow.span,
                 qPrintable(QString::asprintf("r=%.17g maxLen=%.0f: %lld %.17g vs %lld %.17g", c[0], c[1],
                                              fast.periods, fast.span, slow.periods, slow.span)));
    }
    QCOMPARE(synthesis::fitPeriods(48000.0 / 700.0, 4194304).periods, qint64(7));
}

void TestSynthesisPlan::periodSearchMatchesTranscription()
{
    QRandomGenerator g(77031);
    int exact = 0;
    int stopped = 0;
    for (int i = 0; i < 14000; ++i) {
        const int kind = i % 7;
        const double r = awkwardR(g, kind);
        const qint64 maxLen = randomMaxLen(g);
        const synthesis::PeriodFit fast = synthesis::fitPeriods(r, maxLen);
        const reference::Fit slow = reference::fitPeriods(r, maxLen);
        if (fast.periods != slow.periods || fast.span != slow.span) {
            QFAIL(qPrintable(QString::asprintf("r=%.17g maxLen=%lld kind=%d: fast m=%lld u=%.17g, "
                                               "reference m=%lld u=%.17g",
                                               r, maxLen, kind, fast.periods, fast.span,
                                               slow.periods, slow.span)));
        }
        const double x = double(slow.periods) * r;
        if (std::round(x) == x)
            ++exact;
        else
            ++stopped;
    }
    // Both ways out of the search were exercised many times.
    QVERIFY2(exact > 800 && stopped > 800, qPrintable(QStringLiteral("%1 %2").arg(exact).arg(stopped)));
}

void TestSynthesisPlan::periodSearchAtFullLimits()
{
    QRandomGenerator g(5150);
    for (int i = 0; i < 60; ++i) {
        double r = awkwardR(g, i % 7);
        qint64 maxLen = synthesis::cyclicSampleLimit / (1 + g.bounded(8));
        if (i % 6 == 5) {
            // the streaming limit; periods of at least 30 samples keep the walk short enough
            maxLen = synthesis::streamingSampleLimit / (1 + g.bounded(2));
            r = std::max(r, 30.0 + g.bounded(1000.0));
        }
        const synthesis::PeriodFit fast = synthesis::fitPeriods(r, maxLen);
        const reference::Fit slow = reference::fitPeriods(r, maxLen);
        QVERIFY2(fast.periods == slow.periods && fast.span == slow.span,
                 qPrintable(QString::asprintf("r=%.17g maxLen=%lld", r, maxLen)));
    }
}

void TestSynthesisPlan::commonLengthMatchesTranscription()
{
    // The worked case of 300 and 500 Hz, step by step.
    QCOMPARE(reference::commonLength({160, 96}, 2097152), qint64(480));
    QCOMPARE(synthesis::commonLength({160, 96}, 2097152), qint64(480));
    QRandomGenerator g(99);
    for (int i = 0; i < 3000; ++i) {
        const int n = 1 + g.bounded(8);
        const qint64 maxLen = 64 + g.bounded(1 << (i % 30 ? 14 : 20));
        QVector<qint64> spans;
        QVector<double> asDoubles;
        const qint64 base = 2 + g.bounded(200);
        for (int c = 0; c < n; ++c) {
            qint64 u = 0;
            switch (g.bounded(4)) {
            case 0: u = 2 + below(g, maxLen); break;                       // anything
            case 1: u = base << g.bounded(6); break;                        // doublings of one span
            case 2: u = base * (1 + g.bounded(12)); break;                  // multiples of one span
            default: u = maxLen + below(g, maxLen); break;                 // beyond the limit
            }
            spans.append(u);
            asDoubles.append(double(u));
        }
        QCOMPARE(synthesis::commonLength(asDoubles, maxLen), reference::commonLength(spans, maxLen));
    }
}

void TestSynthesisPlan::wholePlansMatchTranscription()
{
    QRandomGenerator g(4242);
    int plans = 0;
    for (int i = 0; i < 260; ++i) {
        const bool cyclic = i % 13 != 0;
        const int n = 1 + g.bounded(8);
        // the module's rate per channel: the DAC rate over n rounded up to 1, 2, 4 or 8
        const int divisor = n <= 1 ? 1 : n == 2 ? 2 : n <= 4 ? 4 : 8;
        const double rate = 48000.0 * (1 << g.bounded(3)) / divisor;
        QList<ChannelSignal> list;
        const double base = rate / awkwardR(g, g.bounded(7));
        for (int c = 0; c < n; ++c) {
            const int shape = g.bounded(5);
            double f = 0.0;
            switch (g.bounded(3)) {
            case 0: f = rate / awkwardR(g, g.bounded(7)); break;
            case 1: f = base * (1 + g.bounded(4)); break;   // harmonics of one frequency
            default: f = std::round(g.bounded(rate / 2.0) * 1000.0) / 1000.0; break;
            }
            if (!cyclic)
                f = std::min(f, rate / 30.0);  // keeps the step-by-step walk affordable
            list.append(sig(shape, f, g.bounded(10.0), g.bounded(4.0) - 2.0));
        }
        const synthesis::Plan fast = synthesis::makePlan(list, rate, cyclic);
        const reference::Plan slow = reference::makePlan(list, rate, cyclic);
        QCOMPARE(fast.ok(), !slow.refused);
        if (slow.refused)
            continue;
        ++plans;
        QCOMPARE(fast.maxLength, slow.maxLength);
        QCOMPARE(fast.length, slow.length);
        QCOMPARE(fast.blockCount, slow.blockCount);
        QCOMPARE(fast.samplesPerBlock, slow.samplesPerBlock);
        QCOMPARE(fast.blockPeriodMs, slow.blockPeriodMs);
        for (int c = 0; c < n; ++c) {
            QCOMPARE(fast.channels.at(c).periods, slow.channels.at(c).periods);
            EXACT(fast.channels.at(c).samplesPerPeriod, slow.channels.at(c).samplesPerPeriod);
            EXACT(fast.channels.at(c).frequency, slow.channels.at(c).frequency);
        }
    }
    QVERIFY2(plans > 150, qPrintable(QString::number(plans)));
}

QTEST_APPLESS_MAIN(TestSynthesisPlan)
#include "tst_synthesis_plan.moc"
