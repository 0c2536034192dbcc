// What the scope computes from the frames a module played: where the window of the screen lies
// (rising-edge trigger) and the measurements of each channel. Plain computations on arrays of
// volts: no widgets, no service.
#ifndef VEKSCOPE_SCOPEMATH_H
#define VEKSCOPE_SCOPEMATH_H

#include <cstdint>
#include <limits>

namespace scope {

// One channel's column of a capture: volts of consecutive frames, `stride` doubles apart.
struct Column
{
    const double* data = nullptr;
    int64_t count = 0;
    int stride = 1;
    double operator[](int64_t frame) const { return data[frame * stride]; }
};

struct Measurement
{
    double frequency = std::numeric_limits<double>::quiet_NaN();  // Hz; NaN when no period was seen
    double peakToPeak = 0.0;                                        // V
    double mean = 0.0;                                              // V, over whole periods
};

// Frequency, peak-to-peak and mean of the frames [first, first + count) at `rate` frames per
// second. The frequency counts rising crossings of the middle between minimum and maximum (with a
// tenth of the peak-to-peak as hysteresis, placed between frames by linear interpolation) and
// needs two of them; a signal without swing (a DC level) has none. The mean is taken over the
// whole periods between the first and the last of those crossings, so that it does not depend on
// where the frames cut a period; without two crossings, over all the frames.
Measurement measure(const Column& column, int64_t first, int64_t count, double rate);

// Where the screen's window lies in a capture: `origin` is the (fractional) frame at its left edge.
struct Window
{
    double origin = 0.0;
    bool triggered = false;
};

// The window of `length` frames (a fraction allowed) over a capture whose trigger channel is
// `trigger`: centred on the latest rising crossing of `level` (from below it to at or above it,
// placed between frames by linear interpolation) that leaves half a window on either side; without
// such a crossing, the newest frames.
Window placeWindow(const Column& trigger, double length, double level);

// Frames to ask for so that a window of `length` frames can be centred on a trigger: the window
// and as much again to look for the crossing in.
int64_t framesForWindow(double length);

} // namespace scope

#endif
