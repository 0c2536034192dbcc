// What the VEK72 panels must show, worked out without widgets: per channel whether it is on, its
// type, range, voltage, frequency and offset with their limits and whether each can be used; the
// common controls, which set every enabled channel at once and show what the channels agree on
// ("-" or no item where they differ); the all-channels box, the frequency ceiling and, with custom
// signals, the focused channel, its custom group and the custom amplitudes. Each operator action
// changes the model by the panel rules as the operator meets them.
#ifndef VEK72_TESTS_PANELMODEL_H
#define VEK72_TESTS_PANELMODEL_H

#include <QString>
#include <QStringList>

#include "modificationlimits.h"

class PanelModel
{
public:
    enum Type { None = -1, Ac = 0, Dc = 1, Special = 2 };   // the items of the type selectors, in order
    enum Field { Voltage = 0, Frequency = 1, Offset = 2 };

    // The panels right after a module of `modification` with `channels` channels was opened.
    PanelModel(int modification, int channels, bool customSignals);

    // --- Operator actions on controls that can be used; n = 0 is the common control --------------
    void touch(int n);   // the operator moves into a control of channel n, changing nothing
    void switchChannel(int n);
    void clickAllChannels();
    // One item picked (with the arrow keys every item on the way is a pick of its own).
    void pickType(int n, int item);
    void pickRange(int n, int item);
    // A value field holds `value` after one of the operator's keys.
    void enter(int n, int field, double value);
    void enterCustomAmplitude(int millivolts) { at(focusedChannel).amplitude = millivolts; }

    // --- What the panels show; n = 0 is the common controls --------------------------------------
    bool on(int n) const { return at(n).on; }
    bool usable(int n) const { return n <= channels; }
    QString typeText(int n) const { return typeName(at(n).type); }
    bool typeEnabled(int n) const { return n == 0 || at(n).on; }
    QString rangeText(int n) const { return label(at(n).labels, at(n).range); }
    bool rangeEnabled(int n) const { return modification != 2 && (n ? at(n).on : at(0).type != None); }
    double value(int n, int field) const { return at(n).value[field]; }
    bool enabled(int n, int field) const { return takes(at(n).type, field) && (n == 0 || at(n).on); }
    double low(int n, int field) const { return at(n).low[field]; }
    double high(int n, int field) const { return at(n).high[field]; }
    int allChannels() const { return allBox; }
    int ceiling() const { return int(at(0).high[Frequency]); }
    bool custom() const { return customSignals; }
    int focused() const { return focusedChannel; }
    bool customGroupEnabled() const { return customGroup; }
    int customAmplitude(int n) const { return at(n).amplitude; }
    // The custom group shows the focused channel's own custom signal, enabled or not: never another's.
    int customGroupAmplitude() const { return at(focusedChannel).amplitude; }

    int typeItems() const { return customSignals ? 3 : 2; }
    static QString typeName(int type);

private:
    struct Panel
    {
        bool on = false;
        Type type = Ac;
        Type labels = Ac;   // the range items are labelled for this type
        int range = 0;      // the range item; -1: none
        double value[3];    // mV, Hz, V
        double low[3];      // a common field's minimum is its "-"
        double high[3];
        int amplitude = 0;  // mV, the custom signal's
    };

    Panel& at(int n) { return panels[n]; }
    const Panel& at(int n) const { return panels[n]; }
    // Whether a field is used by a type: the voltage by AC and DC, frequency and offset by AC.
    static bool takes(Type type, int field) { return field == Voltage ? type == Ac || type == Dc : type == Ac; }
    QString label(Type labels, int item) const;
    int maximumFor(Type type, int item) const;
    double set(int n, int field, double value);
    int channelsOn() const;

    void focus(int n);
    void applyType(int n, Type type, bool customGroupFollows);
    void applyRange(int n, int item);
    void resetVoltage(int n, Type type);
    void copyInto(int n, const Panel& shown, bool customGroupFollows);
    void syncType(int ref);
    void syncRange(int ref);
    void sync(int field, int ref);
    void syncAll();
    void syncEverything();

    ModificationLimits lim;
    int modification;
    int channels;
    bool customSignals;
    Panel panels[9];
    int allBox = 0;
    int focusedChannel = 1;   // the module's focused channel
    int highlighted;          // the channel the panel handler last highlighted
    bool customGroup = false;
};

// "name=value" of everything the panels show, read through `p` (the model, or the widgets).
template <typename Panels>
QStringList panelView(const Panels& p)
{
    static const char* const fields[] = { " voltage", " frequency", " offset" };
    const auto number = [](double value) { return QString::number(value, 'f', 3); };
    QStringList out;
    for (int n = 0; n <= 8; ++n) {
        const QString at = n ? QStringLiteral("channel %1").arg(n) : QStringLiteral("common");
        if (n)
            out << at + " on=" + QString::number(p.on(n)) << at + " usable=" + QString::number(p.usable(n));
        out << at + " type=" + p.typeText(n) << at + " type enabled=" + QString::number(p.typeEnabled(n))
            << at + " range=" + p.rangeText(n) << at + " range enabled=" + QString::number(p.rangeEnabled(n));
        for (int f = 0; f < 3; ++f) {
            out << at + fields[f] + "=" + number(p.value(n, f))
                << at + fields[f] + " enabled=" + QString::number(p.enabled(n, f))
                << at + fields[f] + " limits=" + number(p.low(n, f)) + ".." + number(p.high(n, f));
        }
    }
    out << "all channels=" + QString::number(p.allChannels()) << "frequency ceiling=" + QString::number(p.ceiling());
    if (p.custom()) {
        out << "focused channel=" + QString::number(p.focused())
            << "custom group enabled=" + QString::number(p.customGroupEnabled())
            << "custom group amplitude=" + QString::number(p.customGroupAmplitude());
        for (int n = 1; n <= 8; ++n)
            out << QStringLiteral("channel %1 custom amplitude=%2").arg(n).arg(p.customAmplitude(n));
    }
    return out;
}

#endif
