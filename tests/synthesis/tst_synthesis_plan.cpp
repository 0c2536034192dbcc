// Planning of the common length: the worked cases of the output rules, the refusals with their
// texts, and the fast period search, common length and block rule against their step-by-step
// transcription over many random cases.

#include <QRandomGenerator>
#include <QtTest>

#include <algorithm>
#include <cmath>
#include <functional>
#include <limits>

#include "synthesis.h"
#include "testsignals.h"

// The planning rules of the output, transcribed step by step without any shortcut: the period
// search walks m = 1, 2, ..., the common length doubles and then scans upwards one by one, the
// block count is raised one by one. Slow, and the yardstick of the library's fast planning.
namespace reference {

// Starting with m = 1: stop if round(m r) equals m r exactly; stop if round((m + 1) r) >= maxLen;
// else m = m + 1. Then u = round(m r).
synthesis::PeriodFit fitPeriods(double r, qint64 maxLen)
{
    qint64 m = 1;
    for (;;) {
        const double x = double(m) * r;
        if (std::round(x) == x)
            break;
        if (std::round(double(m + 1) * r) >= double(maxLen))
            break;
        ++m;
    }
    return {m, std::round(double(m) * r)};
}

// Order by u, largest first; L = the largest. Repeat: every other u divides L: final; else if
// 2 L < maxLen: L = 2 L; else give up. Then scan upwards from the largest u for the first value
// every u divides; none below maxLen: L = maxLen.
qint64 commonLength(QVector<qint64> spans, qint64 maxLen)
{
    std::sort(spans.begin(), spans.end(), std::greater<qint64>());
    auto allDivide = [&spans](qint64 length) {
        for (int i = 1; i < spans.size(); ++i) {
            if (length % spans.at(i) != 0)
                return false;
        }
        return true;
    };
    qint64 length = spans.first();
    for (;;) {
        if (allDivide(length))
            return length;
        if (2 * length < maxLen)
            length *= 2;
        else
            break;
    }
    for (qint64 x = spans.first(); x < maxLen; ++x) {
        if (x % spans.first() == 0 && allDivide(x))
            return x;
    }
    return maxLen;
}

// Streaming: ceil(L n / 4194304), raised one by one until it divides L.
qint64 blockCount(qint64 length, int n)
{
    qint64 count = std::max(qint64(1), qint64(std::ceil(double(length) * n / 4194304.0)));
    while (length % count != 0)
        ++count;
    return count;
}

} // namespace reference

namespace {

ChannelSignal sine(double frequency)
{
    return sig(ChannelSignal::Sine, frequency);
}

// A sine on channel 2.
ChannelSignal second(double frequency)
{
    return sig(ChannelSignal::Sine, frequency, 1.0, 0.0, 2);
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
    auto nudge = [&g](double x) {  // a few units in the last place off
        for (int steps = g.bounded(7) - 3; steps != 0; steps += steps < 0 ? 1 : -1)
            x = std::nextafter(x, steps > 0 ? std::numeric_limits<double>::infinity() : 0.0);
        return x;
    };
    switch (kind) {
    case 0:  // a frequency as the panel shows it, three decimals
        return rate / (std::round(g.bounded(1.0) * (rate / 2.0 - 0.002) * 1000.0 + 1.0) / 1000.0);
    case 1: {  // a ratio of small numbers
        const qint64 b = 1 + g.bounded(5000);
        return nudge(double(2 * b + 1 + g.bounded(200000)) / double(b));
    }
    case 2: {  // a whole number and a short binary fraction
        const int bits = 1 + g.bounded(12);
        return double(2 + g.bounded(100000)) + double(1 + g.bounded((1 << bits) - 1)) / double(1 << bits);
    }
    case 3: {  // products land next to powers of two, where doubles get twice as dense below
        const int j = 4 + g.bounded(23);
        const double q = 1.0 + double(below(g, qint64(std::ldexp(1.0, j - 2))));
        return std::max(2.0000000000000004, nudge(std::ldexp(1.0, j) / q));
    }
    default: {  // the frequency is a ratio of the rate, rounded, then divided back
        const qint64 b = 3 + g.bounded(3000);
        const double f = nudge(rate * double(1 + below(g, std::max<qint64>(1, b / 2 - 1))) / double(b));
        return 2.0 * f < rate ? rate / f : 2.5;
    }
    }
}

} // namespace

Q_DECLARE_METATYPE(ChannelSignal)

class TestSynthesisPlan : public QObject
{
    Q_OBJECT

private slots:
    void workedCases_data();
    void workedCases();
    void refusals();
    void acceptedAtTheEdges();
    void periodSearchMatchesTranscription();
    void commonLengthMatchesTranscription();
    void blockRuleMatchesTranscription();
};

void TestSynthesisPlan::workedCases_data()
{
    QTest::addColumn<QList<ChannelSignal>>("channelSignals");
    QTest::addColumn<bool>("cyclic");
    QTest::addColumn<qint64>("length");
    QTest::addColumn<qint64>("blockCount");
    QTest::addColumn<qint64>("blockPeriodMs");
    QTest::addColumn<QList<qint64>>("periods");      // m in L
    QTest::addColumn<QList<double>>("frequencies");  // achieved

    auto row = [](const char* name, const QList<ChannelSignal>& list, bool cyclic, qint64 length, qint64 blocks,
                  qint64 ms, const QList<qint64>& periods, const QList<double>& frequencies) {
        QTest::newRow(name) << list << cyclic << length << blocks << ms << periods << frequencies;
    };
    // At 48 kHz.
    const ChannelSignal line = sig(ChannelSignal::Line, std::numeric_limits<double>::quiet_NaN(), 0, 1.5);
    row("700 Hz: 7 periods in exactly 480 samples", {sine(700)}, true, 480, 1, 10, {7}, {700});
    row("700 and 1000 Hz share the longer span", {sine(700), sine(1000)}, true, 480, 1, 10, {7, 10}, {700, 1000});
    // Spans 160 and 96: doubling 160 never becomes a multiple of 96 before 2 L reaches maxLen.
    row("300 and 500 Hz: doubling gives up, the scan finds the multiple", {sine(300), sine(500)}, true, 480, 1, 10,
        {3, 5}, {300, 500});
    row("1234.567 Hz cyclic: no exact fit below the limit", {sine(1234.567)}, true, 4194300, 1, 87382, {107878},
        {1234.5669122});
    row("1234.567 Hz streaming: exact, 12 blocks", {sine(1234.567)}, false, 48000000, 12, 83334, {1234567}, {1234.567});
    row("1000 Hz streaming: one short block", {sine(1000)}, false, 48, 1, 1, {1}, {1000});
    row("a line alone, its frequency not even a number: two samples", {line}, true, 2, 1, 1, {1}, {24000});
    row("line beside 1000 Hz: two samples per period", {line, sine(1000)}, true, 48, 1, 1, {24, 1}, {24000, 1000});
    row("triangle at 19200 Hz: 2.5 samples per period", {sig(ChannelSignal::Triangle, 19200)}, true, 5, 1, 1, {2},
        {19200});
    // One period longer than maxLen: the search stops at m = 1 and L follows it above the limit,
    // also beside a span that divides it; beside one that does not, it is squeezed into maxLen.
    row("0.01 Hz: a period longer than the limit", {sine(0.01)}, true, 4800000, 1, 100000, {1}, {0.01});
    row("0.01 Hz beside 700 Hz keeps its period", {sine(0.01), sine(700)}, true, 4800000, 1, 100000, {1, 70000},
        {0.01, 700});
    row("0.01 Hz beside 1234.567 Hz is squeezed", {sine(0.01), sine(1234.567)}, true, 2097152, 1, 43691, {1, 53939},
        {0.02288818359375, 1234.5657348632812});
}

void TestSynthesisPlan::workedCases()
{
    QFETCH(QList<ChannelSignal>, channelSignals);
    QFETCH(bool, cyclic);
    QFETCH(qint64, length);
    QFETCH(qint64, blockCount);
    QFETCH(qint64, blockPeriodMs);
    QFETCH(QList<qint64>, periods);
    QFETCH(QList<double>, frequencies);

    const synthesis::Plan plan = synthesis::makePlan(channelSignals, 48000, cyclic);
    QVERIFY2(plan.ok(), qPrintable(plan.message));
    QCOMPARE(plan.length, length);
    QCOMPARE(plan.blockCount, blockCount);
    QCOMPARE(plan.samplesPerBlock, length / blockCount);
    QCOMPARE(plan.blockPeriodMs, blockPeriodMs);
    QCOMPARE(plan.channels.size(), channelSignals.size());
    for (int i = 0; i < plan.channels.size(); ++i) {
        QCOMPARE(plan.channels.at(i).periods, periods.at(i));
        QVERIFY2(std::abs(plan.channels.at(i).frequency - frequencies.at(i)) < 1e-7,
                 qPrintable(QString::number(plan.channels.at(i).frequency, 'g', 17)));
    }
}

void TestSynthesisPlan::refusals()
{
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    const double largest = double(synthesis::maxArraySamples());
    const QString low = QStringLiteral("Недостаточная частота ЦАП %1 кГц на канал для сигнала %2 кГц (канал %3)");
    const QString memory = QStringLiteral("Недостаточно памяти для генерации сигнала");
    const ChannelSignal line = sig(ChannelSignal::Line, 0);
    using P = synthesis::Plan;
    const struct
    {
        QList<ChannelSignal> channelSignals;
        double rate;
        bool cyclic;
        P::Failure failure;
        QString text;
    } cases[] = {
        {{}, 48000, true, P::NoChannels, QStringLiteral("Нет включенных каналов для генерации")},
        // The refused channel is the second one: the first is fine, the refusal still stops everything
        // and names the channel refused.
        {{sine(1000), second(24000)}, 48000, true, P::LowRate, low.arg("48.000", "24.000", "2")},
        {{sine(1000), second(0)}, 48000, true, P::LowRate, low.arg("48.000", "0.000", "2")},
        {{sine(1000), second(-5)}, 48000, true, P::LowRate, low.arg("48.000", "-0.005", "2")},
        {{sine(1000), second(nan)}, 48000, true, P::LowRate, low.arg("48.000", "nan", "2")},
        {{sine(1000), second(inf)}, 48000, true, P::LowRate, low.arg("48.000", "inf", "2")},
        // A rate that is no positive number (a module reports 0 without channels) cannot time
        // anything, not even a line.
        {{line}, 0, true, P::LowRate, low.arg("0.000", "0.000", "1")},
        {{line}, nan, true, P::LowRate, low.arg("nan", "0.000", "1")},
        {{line}, inf, true, P::LowRate, low.arg("inf", "0.000", "1")},
        // Longer than one array can hold: one period of 480 million samples, or infinitely many
        // (R / f overflows), or one sample more than the largest array.
        {{sine(0.0001)}, 48000, true, P::NoMemory, memory},
        {{sine(4.9e-324)}, 48000, false, P::NoMemory, memory},
        {{sine(48000.0 / (largest + 1))}, 48000, false, P::NoMemory, memory},
    };
    for (const auto& c : cases) {
        const synthesis::Plan plan = synthesis::makePlan(c.channelSignals, c.rate, c.cyclic);
        QCOMPARE(plan.failure, c.failure);
        QCOMPARE(plan.message, c.text);
        QVERIFY(plan.channels.isEmpty());
    }
}

void TestSynthesisPlan::acceptedAtTheEdges()
{
    // Just below half the rate; one period exactly as long as the largest array.
    QVERIFY(synthesis::makePlan({sine(std::nextafter(24000.0, 0.0))}, 48000, true).ok());
    const qint64 largest = synthesis::maxArraySamples();
    const synthesis::Plan edge = synthesis::makePlan({sine(48000.0 / double(largest))}, 48000, false);
    QVERIFY2(edge.ok(), qPrintable(edge.message));
    QCOMPARE(edge.length, largest);
}

void TestSynthesisPlan::periodSearchMatchesTranscription()
{
    auto same = [](double r, qint64 maxLen) {
        const synthesis::PeriodFit fast = synthesis::fitPeriods(r, maxLen);
        const synthesis::PeriodFit slow = reference::fitPeriods(r, maxLen);
        if (fast.periods == slow.periods && fast.span == slow.span)
            return true;
        qWarning("r=%.17g maxLen=%lld: fast m=%lld u=%.17g, reference m=%lld u=%.17g", r, maxLen, fast.periods,
                 fast.span, slow.periods, slow.span);
        return false;
    };
    const double corners[][2] = {
        {48, 4194304},                        // whole: one period
        {2.5, 5},                             // one more period would reach the limit at once
        {2.5, 6},
        {68.571428571428569, 480},            // 7 * r lands on 480 only in double precision
        {std::ldexp(1.0, 51) + 0.5, 4194304}, // huge, not whole
        {std::ldexp(1.0, 53), 4194304},
        {std::numeric_limits<double>::infinity(), 4194304},  // R / f overflowed
        {1.5, 1000},                          // shorter than the planner ever asks for
        {0.3, 1000},
        {2.0000000000000004, 4194304},
        {3.0000000000000004, 134217728},
    };
    for (const auto& c : corners)
        QVERIFY(same(c[0], qint64(c[1])));

    QRandomGenerator g(77031);
    int exact = 0;
    for (int i = 0; i < 14000; ++i) {
        double r = awkwardR(g, i % 5);
        qint64 maxLen = g.bounded(10) < 7 ? 16 + g.bounded(65536) : 65536 + g.bounded(1 << 20);
        if (i % 250 == 0) {
            // the full limits of one to eight channels (streaming: periods of at least 30 samples
            // keep the walk short enough)
            maxLen = synthesis::cyclicSampleLimit / (1 + g.bounded(8));
            if (i % 1500 == 0) {
                maxLen = synthesis::streamingSampleLimit / (1 + g.bounded(2));
                r = std::max(r, 30.0 + g.bounded(1000.0));
            }
        }
        QVERIFY(same(r, maxLen));
        const double x = double(synthesis::fitPeriods(r, maxLen).periods) * r;
        exact += std::round(x) == x;
    }
    // Both ways out of the search were exercised many times.
    QVERIFY2(exact > 800 && exact < 14000 - 800, qPrintable(QString::number(exact)));
}

void TestSynthesisPlan::commonLengthMatchesTranscription()
{
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
            case 0: u = 2 + below(g, maxLen); break;        // anything
            case 1: u = base << g.bounded(6); break;         // doublings of one span
            case 2: u = base * (1 + g.bounded(12)); break;   // multiples of one span
            default: u = maxLen + below(g, maxLen); break;  // beyond the limit
            }
            spans.append(u);
            asDoubles.append(double(u));
        }
        QCOMPARE(synthesis::commonLength(asDoubles, maxLen), reference::commonLength(spans, maxLen));
    }
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
            while (g.bounded(8) != 0 && length * 997 <= (qint64(1) << 28))
                length *= primes[g.bounded(16)];
        }
        const int n = 1 + g.bounded(8);
        QCOMPARE(synthesis::blockCountFor(length, n, false), reference::blockCount(length, n));
    }
}

QTEST_APPLESS_MAIN(TestSynthesisPlan)
#include "tst_synthesis_plan.moc"
