#include "panelmodel.h"

#include <QtGlobal>

PanelModel::PanelModel(int modification_, int channels_, bool customSignals_)
    : lim(limitsForModification(modification_)), modification(modification_), channels(channels_),
      customSignals(customSignals_)
{
    // Only channel 1 on; everything AC at its defaults, in the one-tenth range or a fixed full one.
    for (int n = 0; n <= 8; ++n) {
        Panel& p = at(n);
        p.on = n == 1;
        p.range = modification == 2 ? 1 : 0;
        const double values[] = { double(lim.voltageDefault), 1000, lim.offsetDefault / 1000.0 };
        const double lows[] = { double(n ? lim.acMin : lim.acBelowMin), n ? 1.0 : 0.0,
                                n ? lim.offsetMin / 1000.0 : lim.offsetBelowMinVolts };
        const double highs[] = { double(maximumFor(Ac, p.range)), 249999, lim.offsetMax / 1000.0 };
        for (int f = 0; f < 3; ++f) {
            p.value[f] = values[f];
            p.low[f] = lows[f];
            p.high[f] = highs[f];
        }
        p.amplitude = lim.customAmplitudeDefault;
    }
    allBox = channels == 1 ? 2 : 1;
    // Showing the panels highlights channel 1, which is on (with custom signals).
    highlighted = customSignals ? 1 : 0;
}

QString PanelModel::typeName(int type)
{
    static const char* const names[] = { "AC", "DC", "Особый" };
    return type >= 0 && type < 3 ? QString::fromUtf8(names[type]) : QString();
}

// Item 0 is the one-tenth range, item 1 the full one, in volts ("0.7 В", "7 В").
QString PanelModel::label(Type labels, int item) const
{
    if (item < 0)
        return QString();
    return QStringLiteral("%1 В").arg((labels == Ac ? lim.acMax : lim.dcMax) / (item ? 1000.0 : 10000.0), 0, 'g', -1);
}

int PanelModel::maximumFor(Type type, int item) const
{
    return (type == Ac ? lim.acMax : lim.dcMax) / (item ? 1 : 10);
}

// A value given to a field by the program: the field keeps it within its limits.
double PanelModel::set(int n, int field, double value)
{
    return at(n).value[field] = qBound(at(n).low[field], value, at(n).high[field]);
}

int PanelModel::channelsOn() const
{
    int count = 0;
    for (int n = 1; n <= channels; ++n)
        count += at(n).on ? 1 : 0;
    return count;
}

// --- Operator actions ------------------------------------------------------------------------

// With custom signals, moving into a channel that is on focuses it, once until another channel is
// focused; the custom group then serves it when it is of the special type.
void PanelModel::focus(int n)
{
    if (!customSignals || !at(n).on || n == highlighted)
        return;
    highlighted = focusedChannel = n;
    customGroup = at(n).type == Special;
}

void PanelModel::touch(int n)
{
    focus(n);
}

// A channel switched on is focused and takes what the common controls show: type, range, values.
void PanelModel::switchChannel(int n)
{
    focus(n);
    Panel& p = at(n);
    p.on = !p.on;
    if (p.on && customSignals) {
        highlighted = focusedChannel = n;
        customGroup = p.type == Special;
    }
    if (p.on) {
        const Panel shown = at(0);
        copyInto(n, shown, true);
    } else if (customSignals) {
        customGroup = false;
    }
    syncAll();
    if (channelsOn())
        syncEverything();
}

// All channels on (from some or none) or off; every channel on takes what the common controls
// showed, as a channel switched on by itself does; the custom group then serves the focused channel.
void PanelModel::clickAllChannels()
{
    const bool target = allBox != 2;
    if (!target && customSignals)
        customGroup = false;
    for (int n = 1; n <= channels; ++n)
        at(n).on = target;
    syncAll();
    if (!channelsOn())
        return;
    const Panel shown = at(0);
    for (int n = 1; n <= channels; ++n) {
        if (at(n).on)
            copyInto(n, shown, false);
    }
    if (customSignals)
        customGroup = at(focusedChannel).on && at(focusedChannel).type == Special;
    syncEverything();
}

// A channel's type; or the common type, which every channel on takes at its defaults.
void PanelModel::pickType(int n, int item)
{
    const Type type = Type(item);
    if (n) {
        focus(n);
        applyType(n, type, true);
        syncType(n);
        syncRange(n);
        for (int f = 0; f < 3; ++f)
            sync(f, n);
        return;
    }
    applyType(0, type, false);
    int last = 0;
    for (int m = 1; m <= channels; ++m) {
        if (at(m).on)
            applyType(last = m, type, false);
    }
    if (last) {
        syncRange(last);
        for (int f = 0; f < 3; ++f)
            sync(f, last);
    }
}

// A channel's range; or the common range, which every channel takes, on or off.
void PanelModel::pickRange(int n, int item)
{
    if (n) {
        focus(n);
        applyRange(n, item);
        return;
    }
    for (int m = 0; m <= channels; ++m) {
        at(m).range = item;
        if (takes(at(m).type, Voltage))
            resetVoltage(m, at(m).type);
    }
}

// A channel value changes only the channel. A common value goes into every channel field that
// can take it; "-" is no value: the channels keep theirs, and the field shows what they agree on.
void PanelModel::enter(int n, int field, double value)
{
    at(n).value[field] = value;
    if (n) {
        focus(n);
        sync(field, n);
        return;
    }
    if (value == at(0).low[field]) {
        for (int m = 1; m <= channels; ++m) {
            if (enabled(m, field))
                return sync(field, m);
        }
        return;
    }
    int short_ = 0;
    for (int m = 1; m <= channels; ++m) {
        if (enabled(m, field) && set(m, field, value) != value)
            short_ = m;
    }
    if (short_)   // a range that holds less: the channel keeps its maximum, the field shows "-"
        sync(field, short_);
}

// --- Rules shared by the actions --------------------------------------------------------------

// AC and DC relabel the range and put the voltage (and the AC offset) back at the defaults; the
// special type only takes the value fields out of use.
void PanelModel::applyType(int n, Type type, bool customGroupFollows)
{
    at(n).type = type;
    if (type != Special) {
        resetVoltage(n, type);
        if (type == Ac)
            at(n).value[Offset] = lim.offsetDefault / 1000.0;
    }
    if (customGroupFollows && customSignals && n == focusedChannel)
        customGroup = type == Special;
}

void PanelModel::applyRange(int n, int item)
{
    at(n).range = item;
    if (takes(at(n).type, Voltage))
        resetVoltage(n, at(n).type);
    syncRange(n);
    sync(Voltage, n);
}

void PanelModel::resetVoltage(int n, Type type)
{
    Panel& p = at(n);
    p.labels = type;
    p.value[Voltage] = lim.voltageDefault;
    if (n)
        p.low[Voltage] = type == Ac ? lim.acMin : lim.dcMin;
    else
        p.low[Voltage] = type == Ac ? lim.acBelowMin : lim.dcBelowMin;
    if (p.range >= 0)
        p.high[Voltage] = maximumFor(type, p.range);
}

// The type and range first (items found by their text), then the values not shown as "-".
void PanelModel::copyInto(int n, const Panel& shown, bool customGroupFollows)
{
    if (shown.type != None && at(n).type != shown.type)
        applyType(n, shown.type, customGroupFollows);
    const QString range = label(shown.labels, shown.range);
    for (int item = 0; shown.range >= 0 && rangeText(n) != range && item < 2; ++item) {
        if (label(at(n).labels, item) == range)
            applyRange(n, item);
    }
    for (int f = 0; f < 3; ++f) {
        if (takes(shown.type, f) && shown.value[f] != shown.low[f])
            set(n, f, shown.value[f]);
    }
}

// --- The common controls follow the channels --------------------------------------------------
// Each step compares the channels with a reference channel, which takes part whether it is on or
// not; of the others only those whose control can be used.

void PanelModel::syncType(int ref)
{
    Panel& common = at(0);
    const Type type = at(ref).type;
    for (int n = 1; n <= channels; ++n) {
        if (n != ref && at(n).on && at(n).type != type) {
            // Types apart: no common voltage either, "-".
            common.type = None;
            common.range = -1;
            common.value[Voltage] = common.low[Voltage];
            return;
        }
    }
    if (common.type == type)
        return;
    common.type = type;
    if (type == Special)
        return;
    resetVoltage(0, type);
    sync(Voltage, ref);
    if (type == Ac) {
        common.value[Frequency] = 1000;
        sync(Frequency, ref);
        common.value[Offset] = lim.offsetDefault / 1000.0;
        sync(Offset, ref);
    }
}

void PanelModel::syncRange(int ref)
{
    Panel& common = at(0);
    const bool volts = takes(common.type, Voltage);
    for (int n = 1; n <= channels; ++n) {
        if (n != ref && rangeEnabled(n) && at(n).range != at(ref).range) {
            // Ranges apart: the common voltage may hold anything of the full range.
            common.range = -1;
            if (volts)
                common.high[Voltage] = maximumFor(common.type, 1);
            return;
        }
    }
    if (common.range == at(ref).range)
        return;
    common.range = at(ref).range;
    if (volts)
        resetVoltage(0, common.type);
    else
        common.value[Voltage] = common.type == None ? common.low[Voltage] : lim.voltageDefault;
    sync(Voltage, 1);
}

// The common field shows the reference's value when every other usable channel field holds it
// and the common field can hold it; "-" otherwise.
void PanelModel::sync(int field, int ref)
{
    if (field == Voltage && !takes(at(0).type, Voltage))
        return;
    const double value = at(ref).value[field];
    bool differ = false;
    for (int n = 1; n <= channels; ++n)
        differ = differ || (n != ref && enabled(n, field) && at(n).value[field] != value);
    if (differ || set(0, field, value) != value)
        at(0).value[field] = at(0).low[field];
}

// The frequency ceiling follows the number of channels on (values above it come down to it); the
// all-channels box shows whether all, some or none are on.
void PanelModel::syncAll()
{
    const int on = channelsOn();
    const double ceiling = on <= 1 ? 249999 : on == 2 ? 124999 : on <= 4 ? 62499 : 31249;
    for (int n = 0; n <= channels; ++n) {
        at(n).high[Frequency] = ceiling;
        at(n).value[Frequency] = qMin(at(n).value[Frequency], ceiling);
    }
    allBox = on == channels ? 2 : on ? 1 : 0;
}

void PanelModel::syncEverything()
{
    syncType(1);
    syncRange(1);
    for (int f = 0; f < 3; ++f)
        sync(f, 1);
}
