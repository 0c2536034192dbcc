// The scope's measurements and trigger on frames made here: sine, DC, triangle, pulse, frames that
// cut a period, and a trigger level the signal never crosses.
#include <QtTest>

#include <cmath>
#include <vector>

#include "scopemath.h"

using scope::Column;

namespace {

enum Shape { Sine, Dc, Triangle, Pulse };

// `frames` frames of a shape at `rate` frames per second, starting at a quarter of a period before
// the rising zero crossing of its middle (so that the first frame is no crossing itself).
std::vector<double> make(Shape shape, double frequency, double amplitude, double offset, double rate, int frames)
{
    std::vector<double> v(static_cast<size_t>(frames));
    for (int k = 0; k < frames; ++k) {
        const double phase = std::fmod(frequency * k / rate + 0.75, 1.0);  // 0 at the rising middle crossing
        double x = 0;
        switch (shape) {
        case Sine: x = std::sin(2 * M_PI * phase); break;
        case Dc: x = 0; break;
        case Triangle: x = phase < 0.25 ? 4 * phase : phase < 0.75 ? 2 - 4 * phase : 4 * phase - 4; break;
        case Pulse: x = phase < 0.5 ? 1 : -1; break;
        }
        v[size_t(k)] = offset + amplitude * x;
    }
    return v;
}

double at(const Column& c, double frame)
{
    const int64_t k = int64_t(std::floor(frame));
    return c[k] + (c[k + 1] - c[k]) * (frame - double(k));
}

} // namespace

class TestScopeMeasure : public QObject
{
    Q_OBJECT

private slots:
    void knownSignals_data();
    void knownSignals();
    void shortCaptures();
};

void TestScopeMeasure::knownSignals_data()
{
    QTest::addColumn<int>("shape");
    QTest::addColumn<double>("frequency");
    QTest::addColumn<double>("amplitude");
    QTest::addColumn<double>("offset");
    QTest::addColumn<double>("rate");
    QTest::addColumn<int>("frames");
    QTest::addColumn<double>("peakToPeak");
    QTest::addColumn<double>("mean");
    QTest::addColumn<double>("level");      // trigger level
    QTest::addColumn<bool>("triggered");

    const double none = std::nan("");
    // 48 frames a period, 10 periods: the peaks are frames, the mean is the offset.
    QTest::newRow("sine") << int(Sine) << 1000.0 << 2.0 << 0.5 << 48000.0 << 480 << 4.0 << 0.5 << 0.5 << true;
    // 38.88... frames a period: crossings fall between frames.
    QTest::newRow("sine between frames") << int(Sine) << 1234.5 << 1.0 << 0.0 << 48000.0 << 3889 << none << none
                                         << 0.3 << true;
    QTest::newRow("DC") << int(Dc) << 0.0 << 0.0 << 3.0 << 12000.0 << 120 << 0.0 << 3.0 << 0.0 << false;
    QTest::newRow("triangle") << int(Triangle) << 500.0 << 1.0 << -1.0 << 12000.0 << 240 << 2.0 << -1.0 << -1.5 << true;
    QTest::newRow("pulse") << int(Pulse) << 250.0 << 0.2 << 0.0 << 6000.0 << 240 << 0.4 << 0.0 << 0.0 << true;
    QTest::newRow("level never crossed") << int(Sine) << 1000.0 << 1.0 << 0.0 << 48000.0 << 480 << 2.0 << 0.0 << 1.5
                                         << false;
    QTest::newRow("level at the peak, reached by a frame")
        << int(Sine) << 1000.0 << 1.0 << 0.0 << 48000.0 << 480 << 2.0 << 0.0 << 1.0 << true;
    // Frames that cut a period: the mean is still the offset, taken over whole periods only.
    QTest::newRow("sine, 10.4 periods") << int(Sine) << 1000.0 << 2.0 << 0.5 << 48000.0 << 500 << 4.0 << 0.5 << 0.5 << true;
    QTest::newRow("sine, 2.5 periods") << int(Sine) << 500.0 << std::sqrt(2.0) << 0.5 << 12000.0 << 60 << 2 * std::sqrt(2.0)
                                       << 0.5 << 0.5 << true;
    QTest::newRow("triangle, 11.25 periods") << int(Triangle) << 500.0 << 1.0 << -1.0 << 12000.0 << 270 << 2.0 << -1.0
                                             << -1.5 << true;
    QTest::newRow("pulse, 10.4 periods") << int(Pulse) << 250.0 << 0.2 << 0.1 << 6000.0 << 250 << 0.4 << 0.1 << 0.1 << true;
}

void TestScopeMeasure::knownSignals()
{
    QFETCH(int, shape);
    QFETCH(double, frequency);
    QFETCH(double, amplitude);
    QFETCH(double, offset);
    QFETCH(double, rate);
    QFETCH(int, frames);
    QFETCH(double, peakToPeak);
    QFETCH(double, mean);
    QFETCH(double, level);
    QFETCH(bool, triggered);
    const std::vector<double> v = make(Shape(shape), frequency, amplitude, offset, rate, frames);
    const Column column{v.data(), frames, 1};

    const scope::Measurement m = scope::measure(column, 0, frames, rate);
    if (shape == Dc)
        QVERIFY(std::isnan(m.frequency));
    else
        QVERIFY2(std::fabs(m.frequency - frequency) < frequency * 1e-4, qPrintable(QString::number(m.frequency)));
    if (!std::isnan(peakToPeak)) {
        QVERIFY(std::fabs(m.peakToPeak - peakToPeak) < 1e-9);
        QVERIFY(std::fabs(m.mean - mean) < 1e-9);
    }

    // The window of half the frames, centred on a rising crossing of the level when there is one.
    const double length = frames / 2.0;
    const scope::Window w = scope::placeWindow(column, length, level);
    QCOMPARE(w.triggered, triggered);
    if (triggered) {
        const double centre = w.origin + length / 2;
        QVERIFY(w.origin >= 0 && w.origin + length <= frames - 1);
        QVERIFY2(std::fabs(at(column, centre) - level) < 1e-9, qPrintable(QString::number(at(column, centre))));
        QVERIFY(at(column, centre - 0.5) < level);
        // The latest such crossing: none later that still leaves half a window after it.
        const scope::Window later = scope::placeWindow(Column{v.data() + 1, frames - 1, 1}, length, level);
        QVERIFY(later.origin + 1 >= w.origin);
    } else {
        QCOMPARE(w.origin, frames - 1 - length);  // the newest frames
    }
}

void TestScopeMeasure::shortCaptures()
{
    // One period and a bit: a single crossing gives no frequency; the window takes what there is.
    const std::vector<double> v = make(Sine, 1000.0, 1.0, 0.0, 48000.0, 60);
    const Column column{v.data(), 60, 1};
    const scope::Measurement m = scope::measure(column, 0, 60, 48000.0);
    QVERIFY(std::isnan(m.frequency));
    // Without two crossings there are no whole periods to average: all frames count.
    double sum = 0;
    for (double volts : v)
        sum += volts;
    QCOMPARE(m.mean, sum / 60);
    const scope::Window w = scope::placeWindow(column, 480.0, 0.0);
    QVERIFY(!w.triggered);
    QCOMPARE(w.origin, 0.0);
    // Enough frames asked for to centre a window on a crossing: the window and as much again.
    QVERIFY(scope::framesForWindow(480.0) >= 960);
}

QTEST_APPLESS_MAIN(TestScopeMeasure)
#include "tst_scope_measure.moc"
