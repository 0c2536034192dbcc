#include "scopemath.h"

#include <algorithm>
#include <cmath>

namespace scope {

namespace {

// Swing below which a channel counts as a constant level (a few codes of the finest range).
constexpr double flatSwing = 1e-4;

} // namespace

Measurement measure(const Column& column, int64_t first, int64_t count, double rate)
{
    Measurement m;
    first = std::max<int64_t>(first, 0);
    count = std::min(count, column.count - first);
    if (count <= 0)
        return m;
    double lowest = column[first];
    double highest = lowest;
    double sum = 0.0;
    for (int64_t k = first; k < first + count; ++k) {
        const double v = column[k];
        lowest = std::min(lowest, v);
        highest = std::max(highest, v);
        sum += v;
    }
    m.peakToPeak = highest - lowest;
    m.mean = sum / double(count);
    if (m.peakToPeak < flatSwing || !(rate > 0.0))
        return m;

    const double middle = (lowest + highest) / 2.0;
    const double rearm = middle - m.peakToPeak / 10.0;
    bool armed = false;
    int crossings = 0;
    double firstCrossing = 0.0;
    double lastCrossing = 0.0;
    for (int64_t k = first; k < first + count; ++k) {
        const double v = column[k];
        if (v < rearm) {
            armed = true;
        } else if (armed && v >= middle && k > first) {
            const double before = column[k - 1];  // below the middle, else k - 1 had crossed
            const double at = double(k - 1) + (middle - before) / (v - before);
            if (crossings == 0)
                firstCrossing = at;
            lastCrossing = at;
            ++crossings;
            armed = false;
        }
    }
    if (crossings >= 2) {
        m.frequency = double(crossings - 1) * rate / (lastCrossing - firstCrossing);
        // The mean of whole periods: the frames from the first crossing up to the last one.
        const int64_t from = int64_t(std::ceil(firstCrossing));
        const int64_t to = int64_t(std::ceil(lastCrossing));
        double periodsSum = 0.0;
        for (int64_t k = from; k < to; ++k)
            periodsSum += column[k];
        if (to > from)
            m.mean = periodsSum / double(to - from);
    }
    return m;
}

Window placeWindow(const Column& trigger, double length, double level)
{
    Window w;
    const double last = double(trigger.count - 1);
    const double half = length / 2.0;
    // Crossings between frames k - 1 and k, the latest first, while half a window fits after them.
    for (int64_t k = std::min<int64_t>(trigger.count - 1, int64_t(std::floor(last - half)) + 1); k >= 1; --k) {
        const double before = trigger[k - 1];
        const double at = trigger[k];
        if (!(before < level && at >= level))
            continue;
        const double crossing = double(k - 1) + (level - before) / (at - before);
        if (crossing + half > last)
            continue;
        if (crossing - half < 0.0)
            break;
        w.origin = crossing - half;
        w.triggered = true;
        return w;
    }
    w.origin = std::max(0.0, last - length);
    return w;
}

int64_t framesForWindow(double length)
{
    return 2 * int64_t(std::ceil(length)) + 2;
}

} // namespace scope
