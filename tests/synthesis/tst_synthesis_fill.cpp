// Filling of the sample arrays: the shape formulas at chosen samples, the cut of the last period,
// every sample against a plain transcription of the shape table, the accuracy of the fast sine,
// filling in pieces, interleaving and allocation.

#include <QRandomGenerator>
#include <QtTest>

#include <cmath>
#include <limits>

#include "synthesis.h"
#include "synthesiskernels.h"
#include "testsignals.h"

namespace {

// The shape table as written: periodic shapes start a period at b = 0, P, 2P, ... while b < L and
// write j = 0 .. P - 1 (the pulse: j from H while j < r) without touching positions at or beyond L.
QVector<double> transcribedShape(int shape, double a, double o, double r, qint64 length)
{
    QVector<double> s(int(length), std::numeric_limits<double>::quiet_NaN());
    const qint64 p = qint64(std::round(r));
    const qint64 h = qint64(std::round(r / 2));
    if (shape == ChannelSignal::Line) {
        for (qint64 k = 0; k < length; ++k)
            s[int(k)] = o;
        return s;
    }
    for (qint64 b = 0; b < length; b += p) {
        auto put = [&](qint64 j, double v) {
            if (b + j < length)
                s[int(b + j)] = v;
        };
        switch (shape) {
        case ChannelSignal::Triangle:
            for (qint64 j = 0; j < h; ++j)
                put(j, 2 * a * double(j) / r + o);
            for (qint64 j = h; j < p; ++j)
                put(j, (1 - double(j) / r) * 2 * a + o);
            break;
        case ChannelSignal::Saw:
            for (qint64 j = 0; j < p; ++j)
                put(j, a * double(j) / r + o);
            break;
        case ChannelSignal::Pulse:
            for (qint64 j = 0; j < h; ++j)
                put(j, a + o);
            for (qint64 j = h; double(j) < r; ++j)
                put(j, o);
            break;
        default:
            break;
        }
    }
    return s;
}

// A * sin(2 pi k / r) + O in long double, the phase reduced exactly (fmod is exact).
long double exactSine(double a, double o, double r, qint64 k)
{
    const long double twoPi = 6.283185307179586476925286766559005768L;
    const long double phase = std::fmod((long double)k, (long double)r) / (long double)r;
    return (long double)a * std::sin(twoPi * phase) + (long double)o;
}

double sineTolerance(double a)
{
    return 1e-12 + 1e-12 * std::abs(a);
}

QVector<double> filled(const synthesis::ChannelPlan& channel, qint64 length)
{
    QVector<double> out(static_cast<int>(length));
    synthesis::ChannelFiller(channel, length).fill(out.data(), 0, length);
    return out;
}

synthesis::Plan planOf(const ChannelSignal& s, double rate = 48000, bool cyclic = true)
{
    return synthesis::makePlan({s}, rate, cyclic);
}

} // namespace

class TestSynthesisFill : public QObject
{
    Q_OBJECT

private slots:
    void triangleCutAtFifthSample();
    void sineAtQuarterPeriods();
    void sawPulseTriangleAtChosenSamples();
    void periodicShapesOfFractionalPeriod();
    void longPeriodsAreComputedDirectly();
    void everySampleMatchesTheShapeTable();
    void sineStaysWithinBound_data();
    void sineStaysWithinBound();
    void sineFarIntoLongSignal();
    void fillingInPiecesGivesSameSamples();
    void kernelsMatchPlainArithmetic();
    void interleaving();
    void allocation();
    void synthesizeAllFillsRecords();
    void synthesizeAllLeavesListOnRefusal();
};

void TestSynthesisFill::triangleCutAtFifthSample()
{
    const double a = 2.0, o = -0.5;
    const synthesis::Plan plan = planOf(sig(ChannelSignal::Triangle, 19200, a, o));
    QCOMPARE(plan.length, qint64(5));
    const QVector<double> s = filled(plan.channels.at(0), plan.length);
    // r = 2.5: P = 3, H = 1; the second period starts at 3 and is cut after sample 4.
    EXACT(s[0], o);
    EXACT(s[1], (1 - 1 / 2.5) * 2 * a + o);
    EXACT(s[2], (1 - 2 / 2.5) * 2 * a + o);
    EXACT(s[3], o);
    EXACT(s[4], s[1]);
    // The pulse at the same rate: high for H = 1 sample, low for the rest of the period.
    const QVector<double> pulse =
        filled(planOf(sig(ChannelSignal::Pulse, 19200, a, o)).channels.at(0), 5);
    EXACT(pulse[0], a + o);
    EXACT(pulse[1], o);
    EXACT(pulse[2], o);
    EXACT(pulse[3], a + o);
    EXACT(pulse[4], o);
}

void TestSynthesisFill::sineAtQuarterPeriods()
{
    const double a = 3.0, o = 0.25;
    const synthesis::Plan plan = planOf(sig(ChannelSignal::Sine, 1000, a, o));
    QCOMPARE(plan.length, qint64(48));
    const QVector<double> s = filled(plan.channels.at(0), plan.length);
    QVERIFY(std::abs(s[0] - o) < 1e-15);
    QVERIFY(std::abs(s[12] - (o + a)) < 1e-14);  // crest a quarter period in
    QVERIFY(std::abs(s[24] - o) < 1e-14);
    QVERIFY(std::abs(s[36] - (o - a)) < 1e-14);  // trough
    QVERIFY(std::abs(s[8] - (o + a * std::sqrt(3.0) / 2)) < 1e-14);  // 60 degrees
}

void TestSynthesisFill::sawPulseTriangleAtChosenSamples()
{
    const double a = 5.0, o = 1.0;
    // 4800 Hz: r = 10 samples per period, P = 10, H = 5.
    const synthesis::Plan saw = planOf(sig(ChannelSignal::Saw, 4800, a, o));
    QCOMPARE(saw.length, qint64(10));
    const QVector<double> s = filled(saw.channels.at(0), 10);
    EXACT(s[0], o);
    EXACT(s[3], a * 3 / 10.0 + o);
    EXACT(s[9], a * 9 / 10.0 + o);

    const QVector<double> t = filled(planOf(sig(ChannelSignal::Triangle, 4800, a, o)).channels.at(0), 10);
    EXACT(t[0], o);
    EXACT(t[4], 2 * a * 4 / 10.0 + o);
    EXACT(t[5], (1 - 5 / 10.0) * 2 * a + o);  // the peak, O + A
    EXACT(t[5], a + o);
    EXACT(t[9], (1 - 9 / 10.0) * 2 * a + o);

    const QVector<double> p = filled(planOf(sig(ChannelSignal::Pulse, 4800, a, o)).channels.at(0), 10);
    for (int k = 0; k < 5; ++k)
        EXACT(p[k], a + o);
    for (int k = 5; k < 10; ++k)
        EXACT(p[k], o);

    const QVector<double> line = filled(planOf(sig(ChannelSignal::Line, 0, a, o)).channels.at(0), 2);
    EXACT(line[0], o);
    EXACT(line[1], o);
}

void TestSynthesisFill::periodicShapesOfFractionalPeriod()
{
    // 1234.567 Hz in cyclic mode: r = 4194300 / 107878 = 38.88..., P = 39: the periodic shapes
    // restart every 39 samples and the last period is cut at L.
    const double a = 1.5, o = 0.5;
    const synthesis::Plan plan = planOf(sig(ChannelSignal::Saw, 1234.567, a, o));
    const synthesis::ChannelPlan& c = plan.channels.at(0);
    QCOMPARE(plan.length, qint64(4194300));
    const QVector<double> s = filled(c, plan.length);
    EXACT(s[0], o);
    EXACT(s[38], a * 38 / c.samplesPerPeriod + o);
    EXACT(s[39], o);
    const qint64 last = plan.length - 1;  // 4194299 = 39 * 107546 + 5
    EXACT(s[int(last)], a * double(last % 39) / c.samplesPerPeriod + o);
}

void TestSynthesisFill::longPeriodsAreComputedDirectly()
{
    // 0.5 Hz: 96000 samples per period, longer than a copied period table.
    const double a = 4.0, o = -1.0;
    for (int shape : {int(ChannelSignal::Triangle), int(ChannelSignal::Saw), int(ChannelSignal::Pulse)}) {
        const synthesis::Plan plan = planOf(sig(shape, 0.5, a, o));
        const synthesis::ChannelPlan& c = plan.channels.at(0);
        QCOMPARE(c.samplesPerPeriod, 96000.0);
        const QVector<double> s = filled(c, plan.length);
        const QVector<double> t = transcribedShape(shape, a, o, c.samplesPerPeriod, plan.length);
        QVERIFY(s == t);
    }
}

void TestSynthesisFill::everySampleMatchesTheShapeTable()
{
    QRandomGenerator g(1717);
    const double rate = 48000;
    // A frequency of q / p times the rate: whole periods in p samples, r = p / q fractional.
    auto rational = [&g, rate]() {
        const int p = 3 + g.bounded(2000);
        const int q = 1 + g.bounded(std::max(1, (p - 1) / 2));
        return rate * q / p;
    };
    int checked = 0;
    for (int i = 0; i < 320; ++i) {
        const int shape = 1 + g.bounded(4);  // triangle, saw, pulse, line
        const bool awkward = i % 16 == 0;    // the whole page, r far from any ratio
        const double f = awkward ? std::round(g.bounded(rate / 2.0 - 1.0) * 1000.0 + 1.0) / 1000.0 : rational();
        QList<ChannelSignal> list{sig(shape, f, g.bounded(10.0), g.bounded(4.0) - 2.0)};
        // a second channel at another frequency changes L, and with it r of the first
        if (!awkward)
            list.append(sig(ChannelSignal::Sine, rational(), 1, 0));
        const synthesis::Plan plan = synthesis::makePlan(list, rate, true);
        QVERIFY(plan.ok());
        if (!awkward && plan.length > 400000)
            continue;
        const synthesis::ChannelPlan& c = plan.channels.at(0);
        const QVector<double> s = filled(c, plan.length);
        const QVector<double> t = transcribedShape(shape, c.amplitude, c.offset, c.samplesPerPeriod, plan.length);
        for (int k = 0; k < s.size(); ++k) {
            if (!(s[k] == t[k])) {
                QFAIL(qPrintable(QString::asprintf("shape %d r=%.17g L=%lld k=%d: %.17g != %.17g", shape,
                                                   c.samplesPerPeriod, plan.length, k, s[k], t[k])));
            }
        }
        ++checked;
    }
    QVERIFY2(checked > 150, qPrintable(QString::number(checked)));
}

void TestSynthesisFill::sineStaysWithinBound_data()
{
    QTest::addColumn<double>("frequency");
    QTest::addColumn<double>("amplitude");
    QTest::addColumn<double>("offset");
    QTest::addColumn<bool>("cyclic");
    QTest::newRow("700 Hz") << 700.0 << 1.0 << 0.0 << true;
    QTest::newRow("1234.567 Hz, the whole page") << 1234.567 << 10.0 << 3.0 << true;
    QTest::newRow("0.01 Hz, one long period") << 0.01 << 7.0 << -2.0 << true;
    QTest::newRow("near half the rate") << 23999.999 << 2.5 << 10.0 << true;
    QTest::newRow("2999.987 Hz") << 2999.987 << 9.9 << 0.1 << true;
}

void TestSynthesisFill::sineStaysWithinBound()
{
    QFETCH(double, frequency);
    QFETCH(double, amplitude);
    QFETCH(double, offset);
    QFETCH(bool, cyclic);
    const synthesis::Plan plan = planOf(sig(ChannelSignal::Sine, frequency, amplitude, offset), 48000, cyclic);
    QVERIFY(plan.ok());
    const synthesis::ChannelPlan& c = plan.channels.at(0);
    const QVector<double> s = filled(c, plan.length);
    const double bound = sineTolerance(amplitude);
    double worst = 0;
    const qint64 step = plan.length > 5000000 ? 7 : 1;
    for (qint64 k = 0; k < plan.length; k += step) {
        const double error = double(std::abs((long double)s[int(k)] - exactSine(amplitude, offset, c.samplesPerPeriod, k)));
        worst = std::max(worst, error);
    }
    QVERIFY2(worst <= bound, qPrintable(QString::asprintf("worst %.3g, bound %.3g", worst, bound)));
}

void TestSynthesisFill::sineFarIntoLongSignal()
{
    // The samples near the end of the longest arrays, filled on their own: the reduction of the
    // phase keeps its accuracy at indices of hundreds of millions.
    const double a = 10.0, o = 5.0;
    const synthesis::Plan plan = planOf(sig(ChannelSignal::Sine, 0.000182, a, o), 48000, false);
    QVERIFY(plan.ok());
    QVERIFY(plan.length > 200000000);
    const synthesis::ChannelFiller filler(plan.channels.at(0), plan.length);
    const double r = plan.channels.at(0).samplesPerPeriod;
    for (qint64 from : {plan.length - 5000, plan.length / 2 + 333, qint64(123456789)}) {
        QVector<double> part(5000);
        filler.fillInto(part.data(), from, from + part.size());
        for (int j = 0; j < part.size(); ++j) {
            const double error = double(std::abs((long double)part[j] - exactSine(a, o, r, from + j)));
            QVERIFY2(error <= sineTolerance(a), qPrintable(QString::asprintf("k=%lld error %.3g", from + j, error)));
        }
    }
}

void TestSynthesisFill::fillingInPiecesGivesSameSamples()
{
    QRandomGenerator g(31337);
    for (int shape = 0; shape < 5; ++shape) {
        for (double f : {700.0, 1234.567, 19200.0, 0.37}) {
            const synthesis::Plan plan = planOf(sig(shape, f, 2.0, 0.5));
            const synthesis::ChannelFiller filler(plan.channels.at(0), plan.length);
            QVector<double> whole(int(plan.length));
            filler.fill(whole.data(), 0, plan.length);
            QVector<double> pieces(int(plan.length), -99.0);
            qint64 k = 0;
            while (k < plan.length) {
                const qint64 next = std::min(plan.length, k + 1 + g.bounded(5000));
                filler.fill(pieces.data(), k, next);
                k = next;
            }
            QVERIFY2(whole == pieces, qPrintable(QString("shape %1 at %2 Hz").arg(shape).arg(f)));
            // Nothing is written at or beyond L.
            QVector<double> guard(int(plan.length) + 8, -7.0);
            filler.fill(guard.data(), 0, plan.length + 8);
            for (int i = int(plan.length); i < guard.size(); ++i)
                EXACT(guard[i], -7.0);
        }
    }
}

void TestSynthesisFill::kernelsMatchPlainArithmetic()
{
    // Whatever vector width the processor offers, the kernels give the samples of plain
    // arithmetic (two roundings, in this order), at any start and length, cached or streamed.
    QRandomGenerator g(8);
    QVector<double> c(3000), s(3000);
    for (int j = 0; j < c.size(); ++j) {
        c[j] = g.bounded(2.0) - 1.0;
        s[j] = g.bounded(2.0) - 1.0;
    }
    for (int round = 0; round < 200; ++round) {
        const int start = g.bounded(64);
        const int n = g.bounded(2900);
        const double as = g.bounded(20.0) - 10.0, ac = g.bounded(20.0) - 10.0, o = g.bounded(4.0) - 2.0;
        const bool stream = round % 2;
        QVector<double> out(3000, -5.0);
        synthesis::kernels::sineRun(out.data() + start, c.constData() + start, s.constData() + start, as, ac, o, n,
                                    stream);
        for (int j = 0; j < 3000; ++j) {
            const double expected = j >= start && j < start + n ? (as * c[j] + ac * s[j]) + o : -5.0;
            QVERIFY2(out[j] == expected, qPrintable(QString("round %1 sample %2").arg(round).arg(j)));
        }
        QVector<double> copy(3000, -5.0);
        synthesis::kernels::copyRun(copy.data() + start, c.constData() + start, n, stream);
        QVector<double> filledWith(3000, -5.0);
        synthesis::kernels::fillRun(filledWith.data() + start, o, n, stream);
        for (int j = 0; j < 3000; ++j) {
            const bool inside = j >= start && j < start + n;
            EXACT(copy[j], inside ? c[j] : -5.0);
            EXACT(filledWith[j], inside ? o : -5.0);
        }
    }
}

void TestSynthesisFill::interleaving()
{
    // Up to the eight channels of the module, and one more (the general loop). Two calls: an odd
    // number of frames (the tail after the frame pairs), then the rest from frame 301 on.
    for (int e = 1; e <= 9; ++e) {
        const int frames = 1000;
        const int first = 301;
        QVector<QVector<double>> channels(e);
        QVector<const double*> sources, rest;
        for (int i = 0; i < e; ++i) {
            channels[i].resize(frames);
            for (int g = 0; g < frames; ++g)
                channels[i][g] = i * 10000 + g;
            sources.append(channels[i].constData());
            rest.append(channels[i].constData() + first);
        }
        QVector<double> out(e * frames + 1, -1.0);
        synthesis::interleaveFrames(sources.constData(), e, out.data(), first);
        synthesis::interleaveFrames(rest.constData(), e, out.data() + e * first, frames - first);
        for (int g = 0; g < frames; ++g)
            for (int i = 0; i < e; ++i)
                EXACT(out[e * g + i], double(i * 10000 + g));
        EXACT(out.last(), -1.0);  // nothing past the last frame
    }
}

void TestSynthesisFill::allocation()
{
    QVector<double> a(3, 1.0);
    QVERIFY(synthesis::allocateSamples(a, 0));
    QVERIFY(a.isEmpty());
    // An ordinary array of exactly the length asked for, owned by this vector alone.
    QVERIFY(synthesis::allocateSamples(a, 5000000));
    QCOMPARE(a.size(), 5000000);
    QCOMPARE(a.capacity(), 5000000);
    QVERIFY(a.isDetached());
    const double* memory = a.constData();
    QCOMPARE(quintptr(memory) % alignof(double), quintptr(0));
    for (int k = 0; k < a.size(); ++k)
        a[k] = k;
    QCOMPARE(a.constData(), memory);  // writing did not copy
    // Copies share it until one of them writes; the writer gets a copy of every sample.
    QVector<double> copy = a;
    QCOMPARE(copy.constData(), memory);
    QVERIFY(!a.isDetached());
    copy[17] = -1.0;
    QVERIFY(copy.constData() != memory);
    QCOMPARE(a.constData(), memory);
    QVERIFY(a.isDetached());
    EXACT(a[17], 17.0);
    EXACT(copy[16], 16.0);
    EXACT(copy.last(), 4999999.0);
    // It grows like any other.
    a.append(-2.0);
    QCOMPARE(a.size(), 5000001);
    EXACT(a[4999999], 4999999.0);
    EXACT(a.last(), -2.0);
    // Too long: refused, and the array given back.
    QVERIFY(!synthesis::allocateSamples(a, synthesis::maxArraySamples() + 1));
    QVERIFY(a.isEmpty());
}

void TestSynthesisFill::synthesizeAllFillsRecords()
{
    QList<ChannelSignal> list{sig(ChannelSignal::Sine, 700, 1, 0), sig(ChannelSignal::Line, 0, 0, 2.5),
                              sig(ChannelSignal::Sine, 1001, 1, 0)};
    synthesis::Plan plan;
    QVERIFY(synthesis::synthesizeAll(list, 48000, true, &plan));
    for (int i = 0; i < list.size(); ++i) {
        QCOMPARE(qint64(list.at(i).samples.size()), plan.length);
        EXACT(list.at(i).frequency, plan.channels.at(i).frequency);
    }
    EXACT(list.at(1).samples.last(), 2.5);
    EXACT(list.at(1).frequency, 24000.0);
}

void TestSynthesisFill::synthesizeAllLeavesListOnRefusal()
{
    QList<ChannelSignal> list{sig(ChannelSignal::Sine, 700, 1, 0), sig(ChannelSignal::Sine, 0.00001, 1, 0)};
    synthesis::Plan plan;
    QVERIFY(!synthesis::synthesizeAll(list, 48000, false, &plan));
    QCOMPARE(plan.message, QStringLiteral("Недостаточно памяти для генерации сигнала"));
    QVERIFY(list.at(0).samples.isEmpty());
    EXACT(list.at(0).frequency, 700.0);
}

QTEST_APPLESS_MAIN(TestSynthesisFill)
#include "tst_synthesis_fill.moc"
