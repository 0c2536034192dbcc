// The arbitrary shape and the phases: resampled periods against the exact shape (sine periods of
// many lengths, and harmonics the output cannot carry removed rather than aliased), a short period
// played slowly, filling in pieces, the band-limited tables made once and shared, phases between
// channels measured in the filled samples, and the plan's refusals.

#include <QRandomGenerator>
#include <QtTest>

#include <array>
#include <cmath>

#include "synthesis.h"
#include "testsignals.h"
#include "waveformfile.h"

namespace {

constexpr long double twoPiL = 6.283185307179586476925286766559005768L;

using Harmonics = QVector<std::array<double, 3>>;  // harmonic, amplitude, phase in turns

// sum of a * sin(2 pi (h t + phase)) over the harmonics with h below `below`
long double shapeAt(const Harmonics& harmonics, long double t, double below = 1e300)
{
    long double x = 0;
    for (const auto& h : harmonics) {
        if (h[0] < below)
            x += h[1] * std::sin(twoPiL * (std::fmod(h[0] * t, 1.0L) + h[2]));
    }
    return x;
}

QVector<double> periodOf(int n, const Harmonics& harmonics)
{
    QVector<double> v(n);
    for (int j = 0; j < n; ++j)
        v[j] = double(shapeAt(harmonics, (long double)j / n));
    return v;
}

ChannelSignal arbitrary(const QVector<double>& points, double frequency, double amplitude, double offset,
                        double phase = 0, int channel = 1)
{
    ChannelSignal s = sig(ChannelSignal::Arbitrary, frequency, amplitude, offset, channel);
    s.waveform = waveformfile::fromValues(points, QStringLiteral("test")).waveform;
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

} // namespace

class TestSynthesisArbitrary : public QObject
{
    Q_OBJECT

private slots:
    void resampledAgainstExactShape();
    void shortPeriodPlayedSlowlyIsSmooth();
    void filledInPiecesLikeWhole();
    void tablesMadeOnceAndShared();
    void phasesBetweenChannels_data();
    void phasesBetweenChannels();
    void phaseValuesAndRefusals();
};

void TestSynthesisArbitrary::resampledAgainstExactShape()
{
    // Every period played at 10 V peak (+0.5 V) against its exact shape at the achieved frequency:
    // the harmonics below the output's Nyquist frequency (h < r / 2) scaled by the points' peak.
    // Sine periods of 16 to 1048576 points, slow and fast, whole and fractional samples per
    // period, with a phase: below 1 mV. The longest period with harmonics 5001 and 300001 at
    // 1 kHz (up to 23 kept): the sine alone, where point picking would fold them back as noise;
    // harmonic 40 gone at 700 Hz (up to 34 kept) and kept at 100 Hz.
    struct Case
    {
        int points;
        Harmonics harmonics;
        double frequency, phase;
    };
    QVector<Case> cases;
    for (int n : {16, 64, 100, 1000, 4096, 65537, Waveform::maxPoints})
        for (double f : {3.0, 700.0, 1234.567, 15000.0})
            cases.append({n, {{1, 1, 0}}, f, n % 2 ? 37.5 : 0.0});
    const Harmonics rich{{1, 1, 0}, {5001, 0.5, 0.1}, {300001, 0.25, 0.3}}, forty{{1, 1, 0}, {40, 0.5, 0.2}};
    cases += {{Waveform::maxPoints, rich, 1000, 0}, {Waveform::maxPoints, rich, 1234.567, 90}, {1000, forty, 700, 0},
              {1000, forty, 100, 0}};
    for (const Case& c : cases) {
        const QVector<double> points = periodOf(c.points, c.harmonics);
        const auto [low, high] = std::minmax_element(points.begin(), points.end());
        const double peak = std::max(-*low, *high);
        QList<ChannelSignal> list{arbitrary(points, c.frequency, 10.0, 0.5, c.phase)};
        synthesis::Plan plan;
        QVERIFY(synthesis::synthesizeAll(list, 48000, true, &plan));
        const long double r = plan.channels.at(0).samplesPerPeriod;
        const QVector<double>& s = list.at(0).samples;
        double error = 0;
        for (qint64 k = 0; k < s.size(); k += s.size() > 100000 ? 7 : 1) {
            const long double t = std::fmod((long double)k, r) / r + c.phase / 360.0L;
            error = std::max(error, double(std::abs(s[int(k)] - (10 * shapeAt(c.harmonics, t, double(r / 2)) / peak + 0.5L))));
        }
        QVERIFY2(error < 1e-3, qPrintable(QString::asprintf("N=%d at %g Hz: %.3g V", c.points, c.frequency, error)));
    }
}

void TestSynthesisArbitrary::shortPeriodPlayedSlowlyIsSmooth()
{
    // 16 irregular points at 3 Hz: 16000 samples a period, 1000 between points. The output passes
    // through every point, and its second differences stay within what a signal of 8 harmonics
    // can have (Bernstein: |g''| <= (2 pi 8)^2 max |g|): no steps (nearest point) and no corners
    // (straight lines between the points).
    const QVector<double> points{0, 0.9, 0.3, -0.2, 1, -1, 0.5, 0.1, -0.7, 0.2, 0.8, -0.4, 0, 0.6, -0.9, 0.3};
    QList<ChannelSignal> list{arbitrary(points, 3, 2.0, 1.0)};
    QVERIFY(synthesis::synthesizeAll(list, 48000, true));
    const QVector<double>& s = list.at(0).samples;
    QCOMPARE(s.size(), 16000);
    for (int j = 0; j < 16; ++j)
        QVERIFY2(std::abs(s[1000 * j] - (2.0 * points[j] + 1.0)) < 1e-9, qPrintable(QString::number(j)));
    double largest = 0, bend = 0;
    for (int k = 0; k < s.size(); ++k) {
        largest = std::max(largest, std::abs(s[k] - 1.0));
        bend = std::max(bend, std::abs(s[(k + 1) % s.size()] - 2 * s[k] + s[(k + s.size() - 1) % s.size()]));
    }
    const double bound = std::pow(2 * M_PI * 8 / 16000.0, 2) * largest;
    QVERIFY2(bend <= bound, qPrintable(QString::asprintf("second difference %.3g, bound %.3g", bend, bound)));
}

void TestSynthesisArbitrary::filledInPiecesLikeWhole()
{
    // The sender fills block 0 in chunks and the rest past the cache: any pieces give the samples
    // of the whole array, and nothing is written at or beyond L.
    QRandomGenerator g(20);
    const QVector<double> points = periodOf(777, {{1, 1, 0}, {5, 0.3, 0.25}, {300, 0.1, 0}});
    for (double f : {3.0, 1234.567, 23999.0}) {
        const synthesis::Plan plan = synthesis::makePlan({arbitrary(points, f, 3.0, 0.25, 200.0)}, 48000, true);
        QVERIFY(plan.ok());
        const synthesis::ChannelFiller filler(plan.channels.at(0), plan.length);
        QVector<double> whole(int(plan.length)), pieces(int(plan.length) + 3, -9.0);
        filler.fillStreaming(whole.data(), 0, plan.length);
        for (qint64 k = 0, next = 0; k < pieces.size(); k = next) {
            next = std::min<qint64>(pieces.size(), k + 1 + g.bounded(3000));
            filler.fillInto(pieces.data() + k, k, next);
        }
        QVERIFY(pieces == whole + QVector<double>(3, -9.0));
    }
}

// Eight channels of one file: one table per frequency (harmonic count), made once, shared by the
// channels and kept with the waveform after they are gone; asking for a table that exists does not
// make it again.
void TestSynthesisArbitrary::tablesMadeOnceAndShared()
{
    const QVector<double> points = periodOf(4096, {{1, 1, 0}, {7, 0.2, 0.1}});
    QList<ChannelSignal> list;
    for (int c = 1; c <= 8; ++c)
        list.append(arbitrary(points, c <= 6 ? 1234.567 : 50.0, 1.0 + c, 0.0, 15.0 * c, c));
    const WaveformPointer waveform = list.first().waveform;
    for (ChannelSignal& s : list)
        s.waveform = waveform;
    int made = 0;
    const auto table = [&](qint64 harmonics) {
        return waveform->table(harmonics, [&made] {
            ++made;
            return Waveform::Table(new QVector<double>(4));
        });
    };
    const synthesis::Plan plan = synthesis::makePlan(list, 6000, false);
    QVERIFY(plan.ok());
    const qint64 fast = synthesis::ChannelFiller::harmonicLimit(points.size(), plan.channels.at(0).samplesPerPeriod);
    const qint64 slow = synthesis::ChannelFiller::harmonicLimit(points.size(), plan.channels.at(7).samplesPerPeriod);
    QVERIFY(fast != slow);
    {
        const synthesis::FrameSource source(plan);
        QVERIFY(table(fast)->size() == 4 * synthesis::ChannelFiller::tableSizeFor(fast) + 4);
        QVERIFY(table(slow)->size() == 4 * synthesis::ChannelFiller::tableSizeFor(slow) + 4);
        QCOMPARE(made, 0);
    }
    // The channels are gone; the table last asked for stays with the waveform.
    QVERIFY(table(slow)->size() > 4);
    QCOMPARE(made, 0);
    // Another harmonic count is a table of its own.
    QCOMPARE(table(fast + 1)->size(), 4);
    QCOMPARE(made, 1);
}

void TestSynthesisArbitrary::phasesBetweenChannels_data()
{
    QTest::addColumn<int>("shape");
    QTest::addColumn<double>("frequency");
    QTest::addColumn<int>("points");        // of the arbitrary period
    QTest::addColumn<double>("startPhase");  // of the fundamental at phase 0; NaN: not checked

    const double any = std::nan("");
    QTest::newRow("sine 1234.567 Hz") << int(ChannelSignal::Sine) << 1234.567 << 0 << -90.0;
    QTest::newRow("arbitrary 700 Hz") << int(ChannelSignal::Arbitrary) << 700.0 << 100 << -90.0;
    QTest::newRow("arbitrary 16 points, 3 Hz") << int(ChannelSignal::Arbitrary) << 3.0 << 16 << -90.0;
    QTest::newRow("triangle 1 kHz") << int(ChannelSignal::Triangle) << 1000.0 << 0 << any;
    QTest::newRow("saw 1 kHz") << int(ChannelSignal::Saw) << 1000.0 << 0 << any;
    QTest::newRow("pulse 1 kHz") << int(ChannelSignal::Pulse) << 1000.0 << 0 << any;
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
    // An arbitrary period whose fundamental is a sine, made lopsided by two more harmonics.
    const QVector<double> period = periodOf(std::max(points, 2), {{1, 1, 0}, {2, 0.4, 0.1}, {double(points / 2 - 1), 0.1, 0}});
    QList<ChannelSignal> three;
    for (int i = 0; i < 3; ++i) {
        three.append(arbitrary(period, frequency, 2.5, 0.5, 120.0 * i, i + 1));
        three.last().shape = shape;
    }
    for (const double other : {0.0, 777.0}) {
        QList<ChannelSignal> list = three;
        if (other > 0)
            list.append(sig(ChannelSignal::Sine, other, 1, 0, 4));
        synthesis::Plan plan;
        QVERIFY(synthesis::synthesizeAll(list, 48000, true, &plan));
        double phase[3];
        for (int i = 0; i < 3; ++i)
            phase[i] = fundamentalPhase(list.at(i).samples, plan.channels.at(i).periods);
        const QString where = QString::asprintf("L=%lld: %.4f %.4f %.4f", plan.length, phase[0], phase[1], phase[2]);
        for (int i = 1; i < 3; ++i)
            QVERIFY2(std::abs(std::fmod(phase[i] - phase[0] + 720.0, 360.0) - 120.0 * i) < 0.1, qPrintable(where));
        if (!std::isnan(startPhase))
            QVERIFY2(std::abs(phase[0] - startPhase) < 0.1, qPrintable(where));
    }
}

void TestSynthesisArbitrary::phaseValuesAndRefusals()
{
    // Phases outside 0 .. 360 wrap; a line ignores its phase, even one that is no number.
    const QVector<double> period = periodOf(50, {{1, 1, 0}, {3, 0.5, 0}});
    for (const auto& p : {std::make_pair(480.0, 120.0), {-90.0, 270.0}, {360.0, 0.0}, {-720.5, 359.5}}) {
        for (int shape : {int(ChannelSignal::Sine), int(ChannelSignal::Saw), int(ChannelSignal::Arbitrary)}) {
            QList<ChannelSignal> list{arbitrary(period, 700, 1, 0, p.first), arbitrary(period, 700, 1, 0, p.second)};
            list[0].shape = list[1].shape = shape;
            QVERIFY(synthesis::synthesizeAll(list, 48000, true));
            QVERIFY2(list.at(0).samples == list.at(1).samples, qPrintable(QString::number(p.first)));
        }
    }
    ChannelSignal line = sig(ChannelSignal::Line, 0, 0, 1.5, 2);
    line.phase = std::nan("");
    QVERIFY(synthesis::makePlan({line}, 48000, true).ok());

    // Refused with a message naming the channel; the records keep what they had.
    ChannelSignal noFile = sig(ChannelSignal::Arbitrary, 100, 1, 0, 3), badPhase = sig(ChannelSignal::Sine, 100, 1, 0, 2);
    badPhase.phase = std::numeric_limits<double>::infinity();
    for (const ChannelSignal& s : {noFile, badPhase}) {
        QList<ChannelSignal> list{sig(ChannelSignal::Sine, 50, 1, 0, 1), s};
        synthesis::Plan plan;
        QVERIFY(!synthesis::synthesizeAll(list, 48000, true, &plan));
        QCOMPARE(plan.message, s.channel == 3 ? QStringLiteral("Для канала 3 не загружен произвольный сигнал")
                                              : QStringLiteral("Недопустимая фаза сигнала канала 2"));
        QVERIFY(list.at(0).samples.isEmpty());
    }
}

QTEST_APPLESS_MAIN(TestSynthesisArbitrary)
#include "tst_synthesis_arbitrary.moc"
