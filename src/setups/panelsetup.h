#ifndef PANELSETUP_H
#define PANELSETUP_H

#include <QString>
#include <QStringList>
#include <QVariantMap>
#include <QVector>

#include "channelsignal.h"
#include "modificationlimits.h"

// A setup: everything the panels of one module hold, as plain values. The module hands it out and
// takes it back as a QVariantMap (Module::panelSetup / applyPanelSetup); this is the same thing in
// checked, typed form, and the rules by which a setup is brought into the limits of a module.
//
// The map, and the JSON of a setup file, have these members (keys as written here):
//   "module": { "modification", "channelCount", "crate", "slot" }   where the setup was taken
//   "mode": "cyclic" | "streaming",  "dacRate": 48000 | 96000 | 192000 (Hz)
//   "channels": [ { "channel": 1..8, "on": bool, "type": "AC" | "DC" | "custom",
//                   "range": "full" | "tenth", "voltage_mV", "frequency_Hz", "offset_V",
//                   "custom": { "shape": "sine" | "triangle" | "saw" | "pulse" | "line" | "arbitrary",
//                               "amplitude_V", "frequency_Hz", "offset_V", "phase_deg",
//                               "waveform" } } ]   (custom and waveform are optional)
// In the map "waveform" holds a WaveformPointer; a file holds its file name and points instead.
namespace setups {

enum class ChannelType { Ac, Dc, Custom };
enum class Range { Tenth, Full };

// A channel's custom signal (the special type "Особый").
struct CustomSetup
{
    int shape = ChannelSignal::Sine;
    double amplitude = 0.0;       // V, peak
    double frequency = 1000.0;    // Hz
    double offset = 0.0;          // V
    double phase = 0.0;           // degrees
    WaveformPointer waveform;     // the arbitrary shape's period, when there is one

    bool operator==(const CustomSetup& other) const;
    bool operator!=(const CustomSetup& other) const { return !(*this == other); }
};

struct ChannelSetup
{
    int channel = 1;              // 1..8
    bool on = false;
    ChannelType type = ChannelType::Ac;
    Range range = Range::Full;
    double voltage = 0.0;         // mV: RMS for AC, the level for DC (whole once fitted)
    double frequency = 1000.0;    // Hz
    double offset = 0.0;          // V
    bool hasCustom = false;       // whether `custom` is part of the setup
    CustomSetup custom;

    bool operator==(const ChannelSetup& other) const;
    bool operator!=(const ChannelSetup& other) const { return !(*this == other); }
};

struct PanelSetup
{
    int modification = 0;         // of the module it was taken from; 0 when no module was open
    int channelCount = 0;
    QString crate;                // informational: where it was taken from
    int slot = 0;
    bool cyclic = true;           // "Циклический автогенератор", else "Потоковый"
    int dacRate = 192000;         // Hz
    QVector<ChannelSetup> channels;   // in ascending channel order, each channel once

    const ChannelSetup* find(int channel) const;
    bool operator==(const PanelSetup& other) const;
    bool operator!=(const PanelSetup& other) const { return !(*this == other); }
};

// The DAC rates a module offers, in hertz.
bool isDacRate(int hertz);
// "sine" ... "arbitrary" for a shape code; empty for none.
QString shapeName(int shape);

QVariantMap toVariant(const PanelSetup& setup);
// Checks every member and fills `setup`; false with a Russian text naming the first bad entry
// ("канал 3, \"type\": ...") and `setup` unchanged.
bool fromVariant(const QVariantMap& map, PanelSetup* setup, QString* error);
// Whether two maps describe the same setup (false when either is not one).
bool sameSetup(const QVariantMap& a, const QVariantMap& b);

// What a module can take: its limits, channel count, whether it offers custom signals, its fixed
// range (modification 2), the decimals its fields show and the frequency ceiling by the number of
// channels on (index 0..8).
struct ModuleCapacity
{
    ModificationLimits limits{};
    int modification = 0;
    int channelCount = 0;
    bool customSignals = false;
    bool fixedRange = false;
    int frequencyDecimals = 3;
    int offsetDecimals = 3;
    int frequencyCeiling[9] = {};
};

// Brings `setup` into what the module can take and gives one Russian line per change that matters
// to the operator (`notes`). Channels beyond the module's count are dropped; a custom channel on a
// module without custom signals is switched off; every value is rounded to what its field shows
// (whole millivolts, the fields' decimals) without a note. Channels the module has but the setup
// lacks stay out of it (applying switches them off).
// A value that lies outside the module's limits even so is never clamped: the setup is refused
// (false) with `error` naming the first such entry and its limits, and `setup` is then not to be used.
bool fitToModule(PanelSetup& setup, const ModuleCapacity& module, QStringList* notes, QString* error);

// Empty when every channel the setup switches on stays within its output on that module
// (synthesis::beyondOutputs); else the text naming the first channel that would not, and the
// limit. Custom channels count only when the module offers custom signals.
QString beyondOutputs(const PanelSetup& setup, int modification, bool customSignals);

// The largest voltage of a type in a range, mV. A channel of the custom type does not use its
// voltage field; it keeps it within the DC limits (the peak volts its range labels show).
int voltageCeiling(const ModificationLimits& limits, ChannelType type, Range range);

} // namespace setups

#endif
