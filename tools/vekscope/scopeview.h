// What the scope shows: the settings of the screen, one screen's worth of traces with their
// measurements made from a module's status and capture, and the drawing of it all with QPainter
// (the same picture on the window and in a --shot file).
#ifndef VEKSCOPE_SCOPEVIEW_H
#define VEKSCOPE_SCOPEVIEW_H

#include <QColor>
#include <QRect>
#include <QString>
#include <QVector>

#include <array>

#include "scopemath.h"
#include "scopeservice.h"

class QPainter;

namespace scope {

constexpr int divisionsAcross = 10;
constexpr int divisionsUp = 8;

struct ScopeSettings
{
    double secondsPerDivision = 1e-3;
    std::array<double, 8> voltsPerDivision{{1, 1, 1, 1, 1, 1, 1, 1}};  // channel 1 first
    int triggerChannel = 0;  // 1..8; 0: the first enabled channel
    double triggerLevel = 0.0;

    double voltsPerDivisionOf(int channel) const { return voltsPerDivision[size_t(channel - 1)]; }
    double windowSeconds() const { return secondsPerDivision * divisionsAcross; }
};

struct Trace
{
    int channel = 0;          // 1..8
    QVector<double> volts;    // consecutive frames from the left edge on (see ScopeFrame)
    Measurement measurement;
};

// One screen: traces over a window of `windowFrames` frames; the first frame of each trace lies
// `leadFrames` (0 to 1) frames before the window's left edge.
struct ScopeFrame
{
    QString title;            // crate, slot and module
    QString state;            // how the traces were taken
    double rate = 0.0;        // frames per second
    double windowFrames = 0.0;
    double leadFrames = 0.0;
    int triggerChannel = 0;   // the channel triggered on, 0 when none could be
    bool triggered = false;
    QVector<Trace> traces;
};

// The screen for a module as the service reported it and the frames captured from it. A module
// that does not play holds its outputs: its enabled channels (without a configuration, those not
// at 0 V) show as their present levels.
ScopeFrame makeFrame(const ModuleInfo& module, const Capture& capture, const ScopeSettings& settings);
// A screen without traces that only says why (no service, no module, ...).
ScopeFrame messageFrame(const QString& title, const QString& state);

// The channel a frame triggers on under these settings: the chosen one, else the first enabled.
int triggerChannelFor(const ModuleInfo& module, const ScopeSettings& settings);

// "crate · слот N · VEK72-..." of the title line and the module selector.
QString moduleTitle(const ModuleInfo& module);

// Draws the screen into `area`: a title line, the 10 x 8 division grid with the traces (0 V on the
// middle line) and the trigger marks, and a line of measurements per trace.
void drawScope(QPainter& painter, const QRect& area, const ScopeFrame& frame, const ScopeSettings& settings);
// Where drawScope puts the grid inside `area` for a frame with `traceCount` traces.
QRect gridRect(const QRect& area, int traceCount);
// The colour of a channel's trace and texts.
QColor channelColor(int channel);

// A value with the prefix that puts it between 1 and 1000: "1 мс", "200 мкс", "500 мВ"; with
// `digits` significant digits, trailing zeros kept ("1.0000 кГц"), else as short as it goes.
QString engineering(double value, const QString& unit, int digits = 0);

} // namespace scope

#endif
