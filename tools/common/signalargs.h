// The signal argument of the command-line tools: SHAPE:FREQ[:AMPLITUDE_V[:OFFSET_V]], one channel.
#ifndef VEK72_TOOLS_SIGNALARGS_H
#define VEK72_TOOLS_SIGNALARGS_H

#include <QList>
#include <QString>

#include "channelsignal.h"

namespace toolargs {

// The module has eight channels; a tool takes at most one signal per channel.
constexpr int maxSignals = 8;

// "sine", "triangle", "saw", "pulse" or "line" for a shape code (ChannelSignal::Shape).
const char* shapeName(int shape);

// Reads one signal: the shape, a frequency in hertz (ignored by a line), an amplitude in volts
// (default 1, ignored by a line) and an offset in volts (default 0). Every number must be finite;
// the frequency and the amplitude of the periodic shapes must be above 0. False with a text that
// names the bad part when the argument is not such a signal.
bool parseSignal(const QString& text, ChannelSignal* signal, QString* error);

// Reads the signal of the next channel and appends it; false with a text when the argument is not a
// signal or the channels are all taken.
bool addSignal(const QString& text, QList<ChannelSignal>* channels, QString* error);

// Prints "TOOL: TEXT" and where to find help on standard error; answers the usage exit status, 1.
int usageError(const char* tool, const QString& text);

} // namespace toolargs

#endif
