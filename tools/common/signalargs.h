// The signal argument of the command-line tools, SHAPE:FREQ[:[KIND:]AMPLITUDE_V[:OFFSET_V]][@PHASE]
// or arb:FILE:FREQ[...] for one period from a file, one channel, and what the tools share besides:
// their exit statuses and their usage message.
//
// One meaning of amplitude for every tool: the peak. A periodic signal swings between
// OFFSET - AMPLITUDE and OFFSET + AMPLITUDE, whatever its shape; the amplitude may also be given as
// an RMS value ("rms:2", of the alternating part, for the ideal shape) or peak to peak ("pp:4").
// The file's period, as the program plays it, is its points normalised to their peak (the largest
// absolute value becomes 1) times the amplitude, plus the offset: OFFSET + AMPLITUDE * point. A
// line is the constant level OFFSET. PHASE, in degrees, is where in its period the signal starts
// (wrapped into 0..360: -90 is 270), as the program's field "Фаза"; a line has none.
#ifndef VEK72_TOOLS_SIGNALARGS_H
#define VEK72_TOOLS_SIGNALARGS_H

#include <QList>
#include <QString>

#include "channelsignal.h"

namespace toolargs {

// Exit statuses shared by vek72-plan, vek72-play, vekscope and vekctl.
constexpr int exitOk = 0;
constexpr int exitRefused = 1;    // the module (or the service) cannot do what was asked; the reason is printed
constexpr int exitUsage = 2;      // bad command line
constexpr int exitService = 3;    // the crate service cannot be reached, failed or refused the module
constexpr int exitFile = 4;       // an output file cannot be written

// The module has eight channels; a tool takes at most one signal per channel.
constexpr int maxSignals = 8;

// The help lines on the signal argument, the same in every tool that takes signals.
extern const char* const signalHelp;

// "sine", "triangle", "saw", "pulse", "line" or "arb" for a shape code (ChannelSignal::Shape).
const char* shapeName(int shape);

// Reads one signal: the shape (for "arb" followed by the file, read here), a frequency in hertz
// (ignored by a line), an amplitude in volts (default 1 V peak; "rms:" or "pp:" before it for an
// RMS or a peak-to-peak value; ignored by a line), an offset in volts (default 0) and a phase in
// degrees after "@". The signal is stored with its amplitude as the peak and its offset as the
// middle of its swing (for "arb" the scale of the normalised points and their zero). Every number
// must be finite; the frequency and the amplitude of the periodic shapes must be above 0. False
// with a text that names the bad part (for a file the reader's text) when the argument is not
// such a signal.
bool parseSignal(const QString& text, ChannelSignal* signal, QString* error);

// Reads the signal of the next channel and appends it; false with a text when the argument is not a
// signal or the channels are all taken.
bool addSignal(const QString& text, QList<ChannelSignal>* channels, QString* error);

// The record the synthesis fills for a signal read by parseSignal. The synthesis makes its
// triangle, saw and pulse rise from the offset by the amplitude, and its sine swing around the
// offset by the amplitude: the periodic shapes other than the sine are handed over with twice the
// peak from offset - peak.
ChannelSignal forSynthesis(const ChannelSignal& signal);

// Prints "TOOL: TEXT" and where to find help on standard error; answers exitUsage.
int usageError(const char* tool, const QString& text);

// Prints "TOOL: TEXT" on standard error; answers `status`.
int fail(const char* tool, const QString& text, int status);

} // namespace toolargs

#endif
