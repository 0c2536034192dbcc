// Filling of the sample arrays: the shape formulas at chosen samples, every sample of the periodic
// shapes, filled in pieces, against a plain transcription of the shape table, the accuracy of the
// fast sine, the vector kernels, interleaving, allocation, and the frames filled on demand at any
// stream position against the whole-signal fill.

#include <QRandomGenerator>
#include <QtTest>

#include <cmath>
#include <limits>
#include <numeric>

#include "synthesis.h"
#include "synthesiskernels.h"
#include "testsignals.h"
#include "waveformfile.h"

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

QVector<double> filled(const synthesis::ChannelPlan& channel, qint64 length)
{
    QVector<double> out(static_cast<int>(length));
    synthesis::ChannelFiller(channel, length).fillInto(out.data(), 0, length);
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
    void workedSamples();
    void periodicShapesInPiecesMatchTheTable();
    void sineStaysWithinBound();
    void kernelsMatchPlainArithmetic();
    void interleaving();
    void allocation();
    void synthesizeAll();
    void framesOnDemandAreTheWholeFill_data();
    void framesOnDemandAreTheWholeFill();
};

Q_DECLARE_METATYPE(QList<ChannelSignal>)

void TestSynthesisFill::workedSamples()
{
    // One channel alone at 48 kHz. 19200 Hz: r = 2.5, P = 3, H = 1, L = 5, so the second period
    // starts at 3 and is cut after sample 4. 4800 Hz: r = P = 10, H = 5, the triangle's peak at 5.
    const int triangle = ChannelSignal::Triangle, pulse = ChannelSignal::Pulse;
    const struct
    {
        int shape;
        double frequency, amplitude, offset;
        int k;
        double value;
    } samples[] = {
        {triangle, 19200, 2, -0.5, 0, -0.5}, {triangle, 19200, 2, -0.5, 1, 1.9}, {triangle, 19200, 2, -0.5, 2, 0.3},
        {triangle, 19200, 2, -0.5, 3, -0.5}, {triangle, 19200, 2, -0.5, 4, 1.9}, {pulse, 19200, 2, -0.5, 0, 1.5},
        {pulse, 19200, 2, -0.5, 1, -0.5},    {pulse, 19200, 2, -0.5, 2, -0.5},    {pulse, 19200, 2, -0.5, 3, 1.5},
        {pulse, 19200, 2, -0.5, 4, -0.5},    {triangle, 4800, 5, 1, 4, 5},        {triangle, 4800, 5, 1, 5, 6},
        {ChannelSignal::Saw, 4800, 5, 1, 3, 2.5}, {ChannelSignal::Line, 0, 5, 1, 1, 1},
    };
    for (const auto& s : samples) {
        const synthesis::Plan plan = planOf(sig(s.shape, s.frequency, s.amplitude, s.offset));
        const double got = filled(plan.channels.at(0), plan.length).value(s.k, std::nan(""));
        QVERIFY2(std::abs(got - s.value) < 1e-14, qPrintable(QString::asprintf("shape %d at %g Hz, sample %d: %.17g",
                                                                               s.shape, s.frequency, s.k, got)));
    }
}

void TestSynthesisFill::periodicShapesInPiecesMatchTheTable()
{
    QRandomGenerator g(1717);
    const double rate = 48000;
    // A frequency of q / p times the rate: whole periods in p samples, r = p / q fractional.
    auto rational = [&g, rate]() {
        const int p = 3 + g.bounded(2000);
        const int q = 1 + g.bounded(std::max(1, (p - 1) / 2));
        return rate * q / p;
    };
    // First 0.5 Hz: 96000 samples per period, longer than a copied period table.
    QList<QList<ChannelSignal>> lists{{sig(ChannelSignal::Triangle, 0.5, 4, -1)}, {sig(ChannelSignal::Saw, 0.5, 4, -1)},
                                      {sig(ChannelSignal::Pulse, 0.5, 4, -1)}};
    for (int i = 0; i < 320; ++i) {
        const int shape = 1 + g.bounded(4);  // triangle, saw, pulse, line
        if (i % 16 == 0) {
            // the whole page, r far from any ratio (1234.567 Hz and the like), the last period cut at L
            const double f = std::round(g.bounded(rate / 2.0 - 1.0) * 1000.0 + 1.0) / 1000.0;
            lists.append({sig(shape, f, g.bounded(10.0), g.bounded(4.0) - 2.0)});
        } else {
            // a second channel at another frequency changes L, and with it r of the first
            lists.append({sig(shape, rational(), g.bounded(10.0), g.bounded(4.0) - 2.0), sig(ChannelSignal::Sine, rational())});
        }
    }
    int checked = 0;
    for (int i = 0; i < lists.size(); ++i) {
        const QList<ChannelSignal>& list = lists.at(i);
        const synthesis::Plan plan = synthesis::makePlan(list, rate, true);
        QVERIFY(plan.ok());
        if (list.size() > 1 && plan.length > 400000)
            continue;
        // Filled in pieces of any length and asked past L: nothing is written at or beyond L.
        const synthesis::ChannelPlan& c = plan.channels.at(0);
        const synthesis::ChannelFiller filler(c, plan.length);
        QVector<double> s(int(plan.length) + 8, -7.0);
        for (qint64 k = 0, next = 0; k < s.size(); k = next) {
            next = std::min<qint64>(s.size(), k + 1 + g.bounded(i % 2 ? 5000 : 50));
            filler.fillInto(s.data() + k, k, next);
        }
        QVERIFY(s.mid(int(plan.length)) == QVector<double>(8, -7.0));
        const QVector<double> t = transcribedShape(c.shape, c.amplitude, c.offset, c.samplesPerPeriod, plan.length);
        for (int k = 0; k < t.size(); ++k) {
            if (!(s[k] == t[k])) {
                QFAIL(qPrintable(QString::asprintf("shape %d r=%.17g L=%lld k=%d: %.17g != %.17g", c.shape,
                                                   c.samplesPerPeriod, plan.length, k, s[k], t[k])));
            }
        }
        ++checked;
    }
    QVERIFY2(checked > 150, qPrintable(QString::number(checked)));
}

void TestSynthesisFill::sineStaysWithinBound()
{
    const struct
    {
        double frequency, amplitude, offset;
        bool cyclic;
    } sines[] = {
        {700, 1, 0, true},
        {1234.567, 10, 3, true},    // the whole page
        {0.01, 7, -2, true},        // one long period
        {23999.999, 2.5, 10, true}, // near half the rate
        {0.000182, 10, 5, false},   // the longest arrays: the phase keeps its accuracy at indices of
                                    // hundreds of millions
    };
    for (const auto& s : sines) {
        const synthesis::Plan plan = planOf(sig(ChannelSignal::Sine, s.frequency, s.amplitude, s.offset), 48000, s.cyclic);
        QVERIFY(plan.ok());
        const double r = plan.channels.at(0).samplesPerPeriod;
        const synthesis::ChannelFiller filler(plan.channels.at(0), plan.length);
        const QVector<double> whole = s.cyclic ? filled(plan.channels.at(0), plan.length) : QVector<double>();
        // Pieces at the start, in the middle and at the end, filled on their own: the very samples of
        // the whole array.
        for (qint64 from : {qint64(0), plan.length / 2 + 333, plan.length - 20000}) {
            from = qBound(qint64(0), from, plan.length);
            QVector<double> part(int(std::min<qint64>(20000, plan.length - from)));
            filler.fillInto(part.data(), from, from + part.size());
            QVERIFY(whole.isEmpty() || part == whole.mid(int(from), part.size()));
            for (int j = 0; j < part.size(); ++j) {
                const double error = double(std::abs((long double)part[j] - exactSine(s.amplitude, s.offset, r, from + j)));
                QVERIFY2(error <= 1e-12 + 1e-12 * s.amplitude,
                         qPrintable(QString::asprintf("%g Hz, k=%lld: error %.3g", s.frequency, from + j, error)));
            }
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
    // The arbitrary shape's table: values and derivatives at 1024 points of a period, as the cubic
    // of every interval between them.
    QVector<double> ends(2 * 1025);
    for (double& t : ends)
        t = g.bounded(2.0) - 1.0;
    ends[2048] = ends[0];
    ends[2049] = ends[1];
    QVector<double> buffer(4 * 1024 + synthesis::kernels::coefficientsPadding);
    double* table = synthesis::kernels::alignedCoefficients(buffer.data());
    for (int i = 0; i < 1024; ++i) {
        const double y0 = ends[2 * i], d0 = ends[2 * i + 1], y1 = ends[2 * i + 2], d1 = ends[2 * i + 3];
        table[4 * i] = y0;
        table[4 * i + 1] = d0;
        table[4 * i + 2] = 3.0 * (y1 - y0) - 2.0 * d0 - d1;
        table[4 * i + 3] = d0 + d1 - 2.0 * (y1 - y0);
    }
    for (int round = 0; round < 200; ++round) {
        const int start = g.bounded(64);
        const int n = g.bounded(2900);
        const double as = g.bounded(20.0) - 10.0, ac = g.bounded(20.0) - 10.0, o = g.bounded(4.0) - 2.0;
        const bool stream = round % 2;
        QVector<double> sine(3000, -5.0), copy(3000, -5.0), fill(3000, -5.0), arbitrary(3000, -5.0);
        synthesis::kernels::sineRun(sine.data() + start, c.constData() + start, s.constData() + start, as, ac, o, n,
                                    stream);
        synthesis::kernels::copyRun(copy.data() + start, c.constData() + start, n, stream);
        synthesis::kernels::fillRun(fill.data() + start, o, n, stream);
        // Positions start + (first + j) * step through the table, over its end and round again.
        const double at = g.bounded(1024.0), step = g.bounded(600.0);
        const qint64 first = g.bounded(1024);
        synthesis::kernels::arbitraryRun(arbitrary.data() + start, table, 1023, at, step, first, as, o, n, stream);
        for (int j = 0; j < 3000; ++j) {
            const bool inside = j >= start && j < start + n;
            QVERIFY2(sine[j] == (inside ? (as * c[j] + ac * s[j]) + o : -5.0),
                     qPrintable(QString("round %1 sample %2").arg(round).arg(j)));
            EXACT(copy[j], inside ? c[j] : -5.0);
            EXACT(fill[j], inside ? o : -5.0);
            double expected = -5.0;
            if (inside) {
                const double x = at + double(first + j - start) * step;
                const double f = x - std::floor(x);
                const int e = 2 * (int(std::floor(x)) % 1024);
                const double y0 = ends[e], d0 = ends[e + 1], y1 = ends[e + 2], d1 = ends[e + 3];
                const double c2 = (3.0 * (y1 - y0) - 2.0 * d0) - d1;
                const double c3 = (d0 + d1) - 2.0 * (y1 - y0);
                expected = as * (y0 + f * (d0 + f * (c2 + f * c3))) + o;
            }
            QVERIFY2(arbitrary[j] == expected,
                     qPrintable(QString::asprintf("round %d sample %d: %.17g, not %.17g", round, j, arbitrary[j], expected)));
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
    // An ordinary array of exactly the length asked for, owned by this vector alone: copies share
    // it until one of them writes, it grows like any other.
    QVERIFY(synthesis::allocateSamples(a, 5000000));
    QCOMPARE(a.size(), 5000000);
    QVERIFY(a.isDetached());
    std::iota(a.begin(), a.end(), 0.0);
    QVector<double> copy = a;
    copy[17] = -1.0;
    EXACT(a[17], 17.0);
    EXACT(copy.last(), 4999999.0);
    a.append(-2.0);
    EXACT(a[4999999], 4999999.0);
    // Too long: refused, and the array given back.
    QVERIFY(!synthesis::allocateSamples(a, synthesis::maxArraySamples() + 1));
    QVERIFY(a.isEmpty());
}

void TestSynthesisFill::synthesizeAll()
{
    QList<ChannelSignal> list{sig(ChannelSignal::Sine, 700), sig(ChannelSignal::Line, 0, 0, 2.5),
                              sig(ChannelSignal::Sine, 1001)};
    synthesis::Plan plan;
    QVERIFY(synthesis::synthesizeAll(list, 48000, true, &plan));
    for (int i = 0; i < list.size(); ++i) {
        QCOMPARE(qint64(list.at(i).samples.size()), plan.length);
        EXACT(list.at(i).frequency, plan.channels.at(i).frequency);
    }
    EXACT(list.at(1).samples.last(), 2.5);
    EXACT(list.at(1).frequency, 24000.0);

    // Refused: the records keep what they had.
    QList<ChannelSignal> refused{sig(ChannelSignal::Sine, 700), sig(ChannelSignal::Sine, 0.00001)};
    QVERIFY(!synthesis::synthesizeAll(refused, 48000, false, &plan));
    QCOMPARE(plan.message, QStringLiteral("Недостаточно памяти для генерации сигнала"));
    QVERIFY(refused.at(0).samples.isEmpty());
    EXACT(refused.at(0).frequency, 700.0);
}

void TestSynthesisFill::framesOnDemandAreTheWholeFill_data()
{
    QTest::addColumn<QList<ChannelSignal>>("signalList");
    QTest::addColumn<double>("rate");
    QTest::addColumn<bool>("cyclic");
    QVector<double> points(1000);
    for (int j = 0; j < points.size(); ++j)
        points[j] = std::sin(2 * M_PI * j / 1000.0) + (j < 250 ? 0.5 : -0.2);
    const WaveformPointer file = waveformfile::fromValues(points, QStringLiteral("period.csv")).waveform;
    auto phased = [](ChannelSignal s, double phase) {
        s.phase = phase;
        return s;
    };
    ChannelSignal arb = phased(sig(ChannelSignal::Arbitrary, 930.0, 4.0, 0.5, 3), 45.0);
    arb.waveform = file;
    QTest::newRow("every shape with phases and a file, 6000 frames/s")
        << QList<ChannelSignal>{phased(sig(ChannelSignal::Sine, 1234.5, 3.0, 0.25, 1), 120.0),
                                phased(sig(ChannelSignal::Triangle, 333.3, 4.0, -1.0, 2), 200.0), arb,
                                phased(sig(ChannelSignal::Saw, 777.7, 2.0, 1.0, 4), 10.0),
                                phased(sig(ChannelSignal::Pulse, 1125.0, 2.0, 1.0, 5), 90.0),
                                sig(ChannelSignal::Line, 0, 0, -2.5, 6)}
        << 6000.0 << false;
    // An awkward frequency alone: the longest page, of 4194300 frames, an r of 38.88.
    QTest::newRow("1234.567 Hz alone, the longest page") << QList<ChannelSignal>{sig(ChannelSignal::Sine, 1234.567, 5.0)}
                                                         << 48000.0 << true;
    ChannelSignal slowFile = phased(sig(ChannelSignal::Arbitrary, 1234.567, 5.0, 0.0, 2), 300.0);
    slowFile.waveform = file;
    QTest::newRow("a file at an awkward frequency beside a sine")
        << QList<ChannelSignal>{phased(sig(ChannelSignal::Sine, 2345.6789, 1.0), 33.0), slowFile} << 24000.0 << true;
    // 48 frames: every fill wraps many times.
    QTest::newRow("a short signal") << QList<ChannelSignal>{sig(ChannelSignal::Sine, 1000, 1.0), sig(ChannelSignal::Triangle, 2000, 1.0, 0, 2)}
                                    << 48000.0 << false;
}

// The frames the sender streams: any stream position, any number of frames, across the wrap at L
// and far beyond it, give the samples of the whole-signal fill at position mod L, bit for bit.
void TestSynthesisFill::framesOnDemandAreTheWholeFill()
{
    QFETCH(QList<ChannelSignal>, signalList);
    QFETCH(double, rate);
    QFETCH(bool, cyclic);
    const synthesis::Plan plan = synthesis::makePlan(signalList, rate, cyclic);
    QVERIFY(plan.ok());
    QList<ChannelSignal> whole = signalList;
    QVERIFY(synthesis::synthesizeAll(whole, rate, cyclic));
    const qint64 length = plan.length;
    const int e = signalList.size();
    synthesis::FrameSource source(plan);
    QCOMPARE(source.channelCount(), e);
    QCOMPARE(source.length(), length);
    QRandomGenerator g(25);
    struct Span
    {
        qint64 from;
        qint64 frames;
    };
    QVector<Span> spans{{0, 3000}, {length - 7, 2500}, {length - 1, 1}, {3 * length + 5, 1024}, {length / 2, 1}};
    for (int k = 0; k < 20; ++k)
        spans.append({qint64(g.generate64() % quint64(5 * length)), qint64(g.bounded(5000))});
    for (const Span& span : spans) {
        QVector<double> frames(int(span.frames * e) + 1, -99.0);
        const qint64 next = source.fill(frames.data(), span.from, span.frames);
        QCOMPARE(next, (span.from + span.frames) % length);
        for (qint64 f = 0; f < span.frames; ++f) {
            const qint64 at = (span.from + f) % length;
            for (int i = 0; i < e; ++i) {
                QVERIFY2(frames[int(f * e + i)] == whole.at(i).samples.at(int(at)),
                         qPrintable(QString::asprintf("channel %d at %lld (fill from %lld): %.17g, not %.17g", i + 1, at,
                                                      span.from, frames[int(f * e + i)], whole.at(i).samples.at(int(at)))));
            }
        }
        EXACT(frames.last(), -99.0);
    }
}

QTEST_APPLESS_MAIN(TestSynthesisFill)
#include "tst_synthesis_fill.moc"
