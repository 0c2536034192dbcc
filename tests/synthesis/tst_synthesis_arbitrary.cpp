// The arbitrary shape and the phases: resampling accuracy for sine periods of many lengths against
// the exact sine, harmonics the output cannot carry removed rather than aliased, a short period
// played slowly that passes through its points and is smooth between them, phases between
// channels measured in the filled samples, and the plan's refusals.

#include <QRandomGenerator>
#include <QtTest>

#include <cmath>

#include "synthesis.h"
#include "testsignals.h"
#include "waveformfile.h"

namespace {

constexpr long double twoPiL = 6.283185307179586476925286766559005768L;

WaveformPointer waveformOf(const QVector<double>& values)
{
    const waveformfile::Result r = waveformfile::fromValues(values, QStringLiteral("test"));
    return r.waveform;
}

// n points of sum over (harmonic, amplitude, phase in turns) of a * sin(2 pi (h j / n + phase)).
QVector<double> periodOf(int n, const QVector<std::array<double, 3>>& harmonics)
{
    QVector<double> v(n);
    for (int j = 0; j < n; ++j) {
        long double x = 0;
        for (const auto& h : harmonics) {
            const long double turns = (long double)(qint64(h[0]) * j % n) / n + h[2];
            x += h[1] * std::sin(twoPiL * turns);
        }
        v[j] = double(x);
    }
    return v;
}

ChannelSignal arbitrary(const WaveformPointer& w, double frequency, double amplitude, double offset, double phase = 0,
                        int channel = 1)
{
    ChannelSignal s = sig(ChannelSignal::Arbitrary, frequency, amplitude, offset, channel);
    s.waveform = w;
    s.phase = phase;
    return s;
}

// Phase in degrees of the fundamental of a signal holding `periods` whole periods.
double fundamentalPhase(const QVector<double>& s, qint64 periods)
{
    const qint64 n = s.size();
    long double re = 0, im = 0;
    for (qint64 k = 0; k < n; ++k) {
        const long double angle = twoPiL * (long double)((periods * k) % n) / n;
        re += s[int(k)] * std::cos(angle);
        im -= s[int(k)] * std::sin(angle);
    }
    return double(std::atan2(im, re) * 360 / twoPiL);
}

double degreesBetween(double later, double earlier)
{
    return std::fmod(later - earlier + 720.0, 360.0);
}

} // namespace

class TestSynthesisArbitrary : public QObject
{
    Q_OBJECT

private slots:
    void sinePeriodsResampleAccurately();
    void harmonicsAboveNyquistAreRemoved();
    void shortPeriodPlayedSlowlyIsSmooth();
    void filledInPiecesLikeWhole();
    void phasesBetweenChannels_data();
    void phasesBetweenChannels();
    void phaseValuesAndRefusals();
};

void TestSynthesisArbitrary::sinePeriodsResampleAccurately()
{
    // A sine period of N points played at 10 V peak against A sin(2 pi (k / r + phase)) + O: the
    // error stays below 1 mV, from a 16-point period to the longest, slow and fast, at whole and
    // fractional samples per period, with a phase.
    const int lengths[] = {16, 64, 100, 1000, 4096, 65537, Waveform::maxPoints};
    const double frequencies[] = {3, 700, 1234.567, 15000};
    double worst = 0;
    for (int n : lengths) {
        const WaveformPointer w = waveformOf(periodOf(n, {{1, 1, 0}}));
        QVERIFY(w);
        for (double f : frequencies) {
            const double phase = n % 2 ? 37.5 : 0.0;
            QList<ChannelSignal> list{arbitrary(w, f, 10.0, 0.5, phase)};
            synthesis::Plan plan;
            QVERIFY(synthesis::synthesizeAll(list, 48000, true, &plan));
            const long double r = plan.channels.at(0).samplesPerPeriod;
            const QVector<double>& s = list.at(0).samples;
            double error = 0;
            const qint64 stride = s.size() > 100000 ? 7 : 1;
            for (qint64 k = 0; k < s.size(); k += stride) {
                const long double turns = std::fmod((long double)k, r) / r + phase / 360.0L;
                error = std::max(error, double(std::abs(s[int(k)] - (10 * std::sin(twoPiL * turns) + 0.5L))));
            }
            QVERIFY2(error < 1e-3, qPrintable(QString::asprintf("N=%d at %g Hz: %.3g V", n, f, error)));
            worst = std::max(worst, error);
        }
    }
    qInfo("largest error of a sine period at 10 V: %.3g V", worst);
}

void TestSynthesisArbitrary::harmonicsAboveNyquistAreRemoved()
{
    // The longest period: a sine with harmonics 5001 and 300001 on top. At 1 kHz (48 samples a
    // period, harmonics up to 23) only the sine remains; point picking would fold the others back
    // as noise of half the amplitude.
    const int n = Waveform::maxPoints;
    const QVector<double> rich = periodOf(n, {{1, 1, 0}, {5001, 0.5, 0.1}, {300001, 0.25, 0.3}});
    double peak = 0;
    for (double v : rich)
        peak = std::max(peak, std::abs(v));
    const WaveformPointer w = waveformOf(rich);
    // A period of harmonics 1 and 40: at 700 Hz (68.6 samples, up to 34) the 40th goes, at 100 Hz
    // (480 samples) it stays.
    const QVector<double> two = periodOf(1000, {{1, 1, 0}, {40, 0.5, 0.2}});
    double peakTwo = 0;
    for (double v : two)
        peakTwo = std::max(peakTwo, std::abs(v));
    const WaveformPointer w40 = waveformOf(two);
    const struct
    {
        WaveformPointer waveform;
        double frequency, peak;
        bool keeps40;
    } cases[] = {{w, 1000, peak, false}, {w, 1234.567, peak, false}, {w40, 700, peakTwo, false}, {w40, 100, peakTwo, true}};
    for (const auto& c : cases) {
        QList<ChannelSignal> list{arbitrary(c.waveform, c.frequency, 4.0, -1.0)};
        synthesis::Plan plan;
        QVERIFY(synthesis::synthesizeAll(list, 48000, true, &plan));
        const long double r = plan.channels.at(0).samplesPerPeriod;
        const QVector<double>& s = list.at(0).samples;
        double error = 0;
        for (qint64 k = 0; k < std::min<qint64>(s.size(), 200000); ++k) {
            const long double t = std::fmod((long double)k, r) / r;
            long double x = std::sin(twoPiL * t);
            if (c.keeps40)
                x += 0.5L * std::sin(twoPiL * (40 * t + 0.2L));
            error = std::max(error, double(std::abs(s[int(k)] - (4 * x / c.peak - 1))));
        }
        QVERIFY2(error < 1e-6, qPrintable(QString::asprintf("%g Hz: %.3g V", c.frequency, error)));
    }
}

void TestSynthesisArbitrary::shortPeriodPlayedSlowlyIsSmooth()
{
    // 16 irregular points at 3 Hz: 16000 samples a period, 1000 between points. The output passes
    // through every point, and its second differences stay within what a signal of 8 harmonics
    // can have (Bernstein: |g''| <= (2 pi 8)^2 max |g|): no steps (nearest point) and no corners
    // (straight lines between the points).
    const QVector<double> points{0, 0.9, 0.3, -0.2, 1, -1, 0.5, 0.1, -0.7, 0.2, 0.8, -0.4, 0, 0.6, -0.9, 0.3};
    QList<ChannelSignal> list{arbitrary(waveformOf(points), 3, 2.0, 1.0)};
    synthesis::Plan plan;
    QVERIFY(synthesis::synthesizeAll(list, 48000, true, &plan));
    QCOMPARE(plan.length, qint64(16000));
    const QVector<double>& s = list.at(0).samples;
    for (int j = 0; j < 16; ++j)
        QVERIFY2(std::abs(s[1000 * j] - (2.0 * points[j] + 1.0)) < 1e-9, qPrintable(QString::number(j)));
    double largest = 0, bend = 0;
    for (int k = 0; k < s.size(); ++k) {
        largest = std::max(largest, std::abs(s[k] - 1.0));
        const double d2 = s[(k + 1) % s.size()] - 2 * s[k] + s[(k + s.size() - 1) % s.size()];
        bend = std::max(bend, std::abs(d2));
    }
    const double bound = std::pow(2 * M_PI * 8 / 16000.0, 2) * largest;
    QVERIFY2(bend <= bound, qPrintable(QString::asprintf("second difference %.3g, bound %.3g", bend, bound)));
}

void TestSynthesisArbitrary::filledInPiecesLikeWhole()
{
    // The sender fills block 0 in chunks and the rest past the cache: any pieces give the samples
    // of the whole array.
    QRandomGenerator g(20);
    const WaveformPointer w = waveformOf(periodOf(777, {{1, 1, 0}, {5, 0.3, 0.25}, {300, 0.1, 0}}));
    for (double f : {3.0, 1234.567, 23999.0}) {
        const synthesis::Plan plan = synthesis::makePlan({arbitrary(w, f, 3.0, 0.25, 200.0)}, 48000, true);
        QVERIFY(plan.ok());
        const synthesis::ChannelFiller filler(plan.channels.at(0), plan.length);
        QVector<double> whole(int(plan.length)), pieces(int(plan.length) + 3, -9.0);
        filler.fillStreaming(whole.data(), 0, plan.length);
        for (qint64 k = 0, next = 0; k < pieces.size(); k = next) {
            next = std::min<qint64>(pieces.size(), k + 1 + g.bounded(3000));
            filler.fillInto(pieces.data() + k, k, next);
        }
        QVERIFY(pieces.mid(int(plan.length)) == QVector<double>(3, -9.0));
        pieces.resize(int(plan.length));
        QVERIFY(pieces == whole);
    }
}

void TestSynthesisArbitrary::phasesBetweenChannels_data()
{
    QTest::addColumn<int>("shape");
    QTest::addColumn<double>("frequency");
    QTest::addColumn<int>("points");  // of the arbitrary period
    QTest::addColumn<double>("startPhase");  // of the fundamental at phase 0, -1 when not checked

    QTest::newRow("sine 50 Hz") << int(ChannelSignal::Sine) << 50.0 << 0 << -90.0;
    QTest::newRow("sine 1234.567 Hz") << int(ChannelSignal::Sine) << 1234.567 << 0 << -90.0;
    QTest::newRow("arbitrary 700 Hz") << int(ChannelSignal::Arbitrary) << 700.0 << 100 << -90.0;
    QTest::newRow("arbitrary 16 points, 3 Hz") << int(ChannelSignal::Arbitrary) << 3.0 << 16 << -90.0;
    QTest::newRow("triangle 1 kHz") << int(ChannelSignal::Triangle) << 1000.0 << 0 << -1.0;
    QTest::newRow("saw 1 kHz") << int(ChannelSignal::Saw) << 1000.0 << 0 << -1.0;
    QTest::newRow("pulse 1 kHz") << int(ChannelSignal::Pulse) << 1000.0 << 0 << -1.0;
    QTest::newRow("triangle 10 Hz") << int(ChannelSignal::Triangle) << 10.0 << 0 << -1.0;
}

void TestSynthesisArbitrary::phasesBetweenChannels()
{
    // Three channels at 0, 120 and 240 degrees: the fundamentals in the filled samples are 120 and
    // 240 degrees apart (to 0.1 degree; the later phase leads), and stay so when another channel
    // changes the common length.
    QFETCH(int, shape);
    QFETCH(double, frequency);
    QFETCH(int, points);
    QFETCH(double, startPhase);
    // An arbitrary period whose fundamental is a sine, with harmonics that make it lopsided.
    const WaveformPointer w = points ? waveformOf(periodOf(points, {{1, 1, 0}, {2, 0.4, 0.1}, {double(points / 2 - 1), 0.1, 0}}))
                                     : WaveformPointer();
    QList<ChannelSignal> three;
    for (int i = 0; i < 3; ++i) {
        ChannelSignal s = sig(shape, frequency, 2.5, 0.5, i + 1);
        s.waveform = w;
        s.phase = 120.0 * i;
        three.append(s);
    }
    for (const double other : {0.0, 777.0}) {
        QList<ChannelSignal> list = three;
        if (other > 0)
            list.append(sig(ChannelSignal::Sine, other, 1, 0, 4));
        synthesis::Plan plan;
        QVERIFY(synthesis::synthesizeAll(list, 48000, true, &plan));
        QVector<double> phases;
        for (int i = 0; i < 3; ++i)
            phases.append(fundamentalPhase(list.at(i).samples, plan.channels.at(i).periods));
        const QString where = QString::asprintf("L=%lld: %.4f %.4f %.4f", plan.length, phases[0], phases[1], phases[2]);
        QVERIFY2(std::abs(degreesBetween(phases[1], phases[0]) - 120.0) < 0.1, qPrintable(where));
        QVERIFY2(std::abs(degreesBetween(phases[2], phases[0]) - 240.0) < 0.1, qPrintable(where));
        if (startPhase > -1.0)
            QVERIFY2(std::abs(phases[0] - startPhase) < 0.1, qPrintable(where));
    }
}

void TestSynthesisArbitrary::phaseValuesAndRefusals()
{
    // Phases outside 0 .. 360 wrap; a line ignores its phase.
    const WaveformPointer w = waveformOf(periodOf(50, {{1, 1, 0}, {3, 0.5, 0}}));
    const struct
    {
        double given, same;
    } wraps[] = {{480, 120}, {-90, 270}, {360, 0}, {-720.5, 359.5}};
    for (const auto& p : wraps) {
        for (int shape : {int(ChannelSignal::Sine), int(ChannelSignal::Saw), int(ChannelSignal::Arbitrary)}) {
            ChannelSignal a = arbitrary(w, 700, 1, 0, p.given), b = arbitrary(w, 700, 1, 0, p.same);
            a.shape = b.shape = shape;
            QList<ChannelSignal> list{a, b};
            QVERIFY(synthesis::synthesizeAll(list, 48000, true));
            QVERIFY2(list.at(0).samples == list.at(1).samples, qPrintable(QString::number(p.given)));
        }
    }
    ChannelSignal line = sig(ChannelSignal::Line, 0, 0, 1.5, 2);
    line.phase = std::nan("");
    QVERIFY(synthesis::makePlan({line}, 48000, true).ok());

    // Refused with a message naming the channel.
    ChannelSignal noFile = sig(ChannelSignal::Arbitrary, 100, 1, 0, 3);
    ChannelSignal badPhase = sig(ChannelSignal::Sine, 100, 1, 0, 2);
    badPhase.phase = std::numeric_limits<double>::infinity();
    const struct
    {
        ChannelSignal s;
        synthesis::Plan::Failure failure;
        QString message;
    } refusals[] = {
        {noFile, synthesis::Plan::NoWaveform, "Для канала 3 не загружен произвольный сигнал"},
        {badPhase, synthesis::Plan::BadPhase, "Недопустимая фаза сигнала канала 2"},
    };
    for (const auto& r : refusals) {
        QList<ChannelSignal> list{sig(ChannelSignal::Sine, 50, 1, 0, 1), r.s};
        synthesis::Plan plan;
        QVERIFY(!synthesis::synthesizeAll(list, 48000, true, &plan));
        QCOMPARE(plan.failure, r.failure);
        QCOMPARE(plan.message, r.message);
        QVERIFY(list.at(0).samples.isEmpty());
    }
}

QTEST_APPLESS_MAIN(TestSynthesisArbitrary)
#include "tst_synthesis_arbitrary.moc"
