#include "panelsetup.h"

#include "outputrange.h"

#include <QMetaType>

#include <cmath>

namespace setups {

namespace {

const char* const shapeNames[] = { "sine", "triangle", "saw", "pulse", "line", "arbitrary" };
constexpr int shapeCount = int(sizeof shapeNames / sizeof shapeNames[0]);
constexpr int maxChannels = 8;

QString typeName(ChannelType type)
{
    switch (type) {
    case ChannelType::Ac: return QStringLiteral("AC");
    case ChannelType::Dc: return QStringLiteral("DC");
    case ChannelType::Custom: break;
    }
    return QStringLiteral("custom");
}

QString rangeName(Range range)
{
    return range == Range::Full ? QStringLiteral("full") : QStringLiteral("tenth");
}

QString moduleName(int modification, int channels)
{
    return QStringLiteral("VEK72-%1-%2").arg(modification).arg(channels);
}

QString num(double value)
{
    return QString::number(value, 'g', 10);
}

// Reads the members of one map of a setup and names the first one that is missing or wrong: the
// entry is the channel (when there is one) and the key.
class Reader
{
public:
    Reader(const QVariantMap& map, QString where, QString* error) : map(map), where(std::move(where)), error(error) {}

    bool fail(const char* key, const QString& text) const
    {
        if (error)
            *error = (where.isEmpty() ? QString() : where + QStringLiteral(", "))
                     + QStringLiteral("\"%1\": %2").arg(QLatin1String(key), text);
        return false;
    }

    bool present(const char* key) const { return map.contains(QLatin1String(key)); }
    QVariant value(const char* key) const { return map.value(QLatin1String(key)); }

    bool number(const char* key, double* out) const
    {
        if (!present(key))
            return fail(key, QStringLiteral("нет значения"));
        const QVariant v = value(key);
        switch (v.userType()) {
        case QMetaType::Int: case QMetaType::UInt: case QMetaType::LongLong: case QMetaType::ULongLong:
        case QMetaType::Double: case QMetaType::Float:
            break;
        default:
            return fail(key, QStringLiteral("\"%1\" — ожидается число").arg(v.toString()));
        }
        const double d = v.toDouble();
        if (!std::isfinite(d))
            return fail(key, QStringLiteral("ожидается конечное число"));
        *out = d;
        return true;
    }

    bool integer(const char* key, int low, int high, int* out) const
    {
        double d = 0;
        if (!number(key, &d))
            return false;
        if (d != std::floor(d) || d < low || d > high)
            return fail(key, QStringLiteral("%1 — ожидается целое число от %2 до %3").arg(num(d)).arg(low).arg(high));
        *out = int(d);
        return true;
    }

    bool boolean(const char* key, bool* out) const
    {
        if (!present(key))
            return fail(key, QStringLiteral("нет значения"));
        if (value(key).userType() != QMetaType::Bool)
            return fail(key, QStringLiteral("\"%1\" — ожидается true или false").arg(value(key).toString()));
        *out = value(key).toBool();
        return true;
    }

    bool text(const char* key, QString* out) const
    {
        if (!present(key))
            return fail(key, QStringLiteral("нет значения"));
        if (value(key).userType() != QMetaType::QString)
            return fail(key, QStringLiteral("ожидается текст"));
        *out = value(key).toString();
        return true;
    }

    // One of `names`; its index.
    bool choice(const char* key, const QStringList& names, int* out) const
    {
        QString t;
        if (!text(key, &t))
            return false;
        const int index = names.indexOf(t);
        if (index < 0)
            return fail(key, QStringLiteral("\"%1\" — нет такого значения (%2)").arg(t, names.join(QStringLiteral(", "))));
        *out = index;
        return true;
    }

    bool object(const char* key, QVariantMap* out) const
    {
        if (!present(key))
            return fail(key, QStringLiteral("нет значения"));
        if (value(key).userType() != QMetaType::QVariantMap)
            return fail(key, QStringLiteral("ожидается объект"));
        *out = value(key).toMap();
        return true;
    }

private:
    const QVariantMap& map;
    QString where;
    QString* error;
};

bool readCustom(const QVariantMap& map, const QString& where, CustomSetup* custom, QString* error)
{
    const Reader r(map, where, error);
    QStringList shapes;
    for (const char* name : shapeNames)
        shapes << QLatin1String(name);
    if (!r.choice("shape", shapes, &custom->shape) || !r.number("amplitude_V", &custom->amplitude)
        || !r.number("frequency_Hz", &custom->frequency) || !r.number("offset_V", &custom->offset))
        return false;
    custom->phase = 0.0;
    if (r.present("phase_deg") && !r.number("phase_deg", &custom->phase))
        return false;
    custom->waveform.reset();
    if (r.present("waveform")) {
        const QVariant v = r.value("waveform");
        if (v.userType() != qMetaTypeId<WaveformPointer>() || v.value<WaveformPointer>().isNull())
            return r.fail("waveform", QStringLiteral("ожидаются точки формы"));
        custom->waveform = v.value<WaveformPointer>();
    }
    if (custom->shape == ChannelSignal::Arbitrary && !custom->waveform)
        return r.fail("waveform", QStringLiteral("нет значения — у формы \"arbitrary\" должны быть точки"));
    return true;
}

bool readChannel(const QVariant& entry, int index, ChannelSetup* channel, QString* error)
{
    const QString where = QStringLiteral("канал в позиции %1").arg(index + 1);
    if (entry.userType() != QMetaType::QVariantMap) {
        if (error)
            *error = where + QStringLiteral(": ожидается объект");
        return false;
    }
    const QVariantMap map = entry.toMap();
    if (!Reader(map, where, error).integer("channel", 1, maxChannels, &channel->channel))
        return false;
    const Reader r(map, QStringLiteral("канал %1").arg(channel->channel), error);
    int type = 0;
    int range = 0;
    if (!r.boolean("on", &channel->on)
        || !r.choice("type", { QStringLiteral("AC"), QStringLiteral("DC"), QStringLiteral("custom") }, &type)
        || !r.choice("range", { QStringLiteral("tenth"), QStringLiteral("full") }, &range)
        || !r.number("voltage_mV", &channel->voltage) || !r.number("frequency_Hz", &channel->frequency)
        || !r.number("offset_V", &channel->offset))
        return false;
    channel->type = ChannelType(type);
    channel->range = Range(range);
    channel->hasCustom = r.present("custom");
    if (!channel->hasCustom)
        return true;
    QVariantMap custom;
    return r.object("custom", &custom)
           && readCustom(custom, QStringLiteral("канал %1, \"custom\"").arg(channel->channel), &channel->custom, error);
}

// Rounds to `decimals` places the way the value fields do.
double roundTo(double value, int decimals)
{
    return QString::number(value, 'f', qBound(0, decimals, 15)).toDouble();
}

// A value as its field shows it, within [low, high]; otherwise `error` names the entry and the
// limits (in the file's unit: mV, Hz or V).
bool withinLimits(double shown, double low, double high, const QString& entry, double asWritten, const QString& unit,
                  QString* error)
{
    if (shown >= low && shown <= high)
        return true;
    if (error)
        *error = QStringLiteral("%1: %2 — вне пределов модуля (%3..%4 %5)").arg(entry, num(asWritten), num(low), num(high), unit);
    return false;
}

QString channelList(const QList<int>& channels)
{
    QStringList parts;
    for (int n : channels)
        parts << QString::number(n);
    return parts.join(QStringLiteral(", "));
}

} // namespace

bool CustomSetup::operator==(const CustomSetup& o) const
{
    const bool sameWaveform = waveform == o.waveform
                              || (waveform && o.waveform && waveform->fileName() == o.waveform->fileName()
                                  && waveform->points() == o.waveform->points());
    return shape == o.shape && amplitude == o.amplitude && frequency == o.frequency && offset == o.offset
           && phase == o.phase && sameWaveform;
}

bool ChannelSetup::operator==(const ChannelSetup& o) const
{
    return channel == o.channel && on == o.on && type == o.type && range == o.range && voltage == o.voltage
           && frequency == o.frequency && offset == o.offset && hasCustom == o.hasCustom
           && (!hasCustom || custom == o.custom);
}

bool PanelSetup::operator==(const PanelSetup& o) const
{
    return modification == o.modification && channelCount == o.channelCount && crate == o.crate && slot == o.slot
           && cyclic == o.cyclic && dacRate == o.dacRate && channels == o.channels;
}

const ChannelSetup* PanelSetup::find(int channel) const
{
    for (const ChannelSetup& c : channels) {
        if (c.channel == channel)
            return &c;
    }
    return nullptr;
}

bool isDacRate(int hertz)
{
    return hertz == 48000 || hertz == 96000 || hertz == 192000;
}

QString shapeName(int shape)
{
    return shape >= 0 && shape < shapeCount ? QLatin1String(shapeNames[shape]) : QString();
}

QString beyondOutputs(const PanelSetup& setup, int modification, bool customSignals)
{
    QList<ChannelSignal> signalList;
    QVector<bool> tenth;
    for (const ChannelSetup& c : setup.channels) {
        if (!c.on || (c.type == ChannelType::Custom && (!customSignals || !c.hasCustom)))
            continue;
        ChannelSignal s;
        if (c.type == ChannelType::Ac) {
            s = synthesis::acChannelSignal(c.channel, c.voltage, c.frequency, c.offset);
        } else if (c.type == ChannelType::Dc) {
            s = synthesis::dcChannelSignal(c.channel, c.voltage);
        } else {
            s.channel = c.channel;
            s.shape = c.custom.shape;
            s.amplitude = c.custom.amplitude;
            s.offset = c.custom.offset;
            s.waveform = c.custom.waveform;
        }
        signalList.append(s);
        tenth.append(c.range == Range::Tenth);
    }
    return synthesis::beyondOutputs(signalList, modification, tenth);
}

int voltageCeiling(const ModificationLimits& limits, ChannelType type, Range range)
{
    const int full = type == ChannelType::Ac ? limits.acMax : limits.dcMax;
    return range == Range::Full ? full : full / 10;
}

QVariantMap toVariant(const PanelSetup& setup)
{
    QVariantList channels;
    for (const ChannelSetup& c : setup.channels) {
        QVariantMap channel{
            { QStringLiteral("channel"), c.channel },
            { QStringLiteral("on"), c.on },
            { QStringLiteral("type"), typeName(c.type) },
            { QStringLiteral("range"), rangeName(c.range) },
            { QStringLiteral("voltage_mV"), c.voltage },
            { QStringLiteral("frequency_Hz"), c.frequency },
            { QStringLiteral("offset_V"), c.offset },
        };
        if (c.hasCustom) {
            QVariantMap custom{
                { QStringLiteral("shape"), shapeName(c.custom.shape) },
                { QStringLiteral("amplitude_V"), c.custom.amplitude },
                { QStringLiteral("frequency_Hz"), c.custom.frequency },
                { QStringLiteral("offset_V"), c.custom.offset },
                { QStringLiteral("phase_deg"), c.custom.phase },
            };
            if (c.custom.waveform)
                custom.insert(QStringLiteral("waveform"), QVariant::fromValue(c.custom.waveform));
            channel.insert(QStringLiteral("custom"), custom);
        }
        channels.append(channel);
    }
    return {
        { QStringLiteral("module"), QVariantMap{ { QStringLiteral("modification"), setup.modification },
                                                 { QStringLiteral("channelCount"), setup.channelCount },
                                                 { QStringLiteral("crate"), setup.crate },
                                                 { QStringLiteral("slot"), setup.slot } } },
        { QStringLiteral("mode"), setup.cyclic ? QStringLiteral("cyclic") : QStringLiteral("streaming") },
        { QStringLiteral("dacRate"), setup.dacRate },
        { QStringLiteral("channels"), channels },
    };
}

bool fromVariant(const QVariantMap& map, PanelSetup* setup, QString* error)
{
    PanelSetup s;
    const Reader r(map, QString(), error);
    QVariantMap module;
    if (!r.object("module", &module))
        return false;
    const Reader m(module, QStringLiteral("\"module\""), error);
    if (!m.integer("modification", 1, 3, &s.modification) || !m.integer("channelCount", 1, maxChannels, &s.channelCount))
        return false;
    if (m.present("crate") && !m.text("crate", &s.crate))
        return false;
    if (m.present("slot") && !m.integer("slot", 0, 16, &s.slot))
        return false;
    int mode = 0;
    if (!r.choice("mode", { QStringLiteral("cyclic"), QStringLiteral("streaming") }, &mode)
        || !r.integer("dacRate", 0, 1000000, &s.dacRate))
        return false;
    s.cyclic = mode == 0;
    if (!isDacRate(s.dacRate))
        return r.fail("dacRate", QStringLiteral("%1 — ожидается 48000, 96000 или 192000").arg(s.dacRate));
    if (!r.present("channels"))
        return r.fail("channels", QStringLiteral("нет значения"));
    if (r.value("channels").userType() != QMetaType::QVariantList)
        return r.fail("channels", QStringLiteral("ожидается список"));
    const QVariantList channels = r.value("channels").toList();
    for (int i = 0; i < channels.size(); ++i) {
        ChannelSetup c;
        if (!readChannel(channels.at(i), i, &c, error))
            return false;
        if (s.find(c.channel)) {
            if (error)
                *error = QStringLiteral("канал %1 описан дважды").arg(c.channel);
            return false;
        }
        // A file that contradicts itself: more channels than its own module has.
        if (c.channel > s.channelCount) {
            if (error)
                *error = QStringLiteral("канал %1: у модуля, с которого снята настройка (\"module\": %2), каналов только %3")
                             .arg(c.channel).arg(moduleName(s.modification, s.channelCount)).arg(s.channelCount);
            return false;
        }
        s.channels.append(c);
    }
    std::sort(s.channels.begin(), s.channels.end(),
              [](const ChannelSetup& a, const ChannelSetup& b) { return a.channel < b.channel; });
    *setup = s;
    return true;
}

bool sameSetup(const QVariantMap& a, const QVariantMap& b)
{
    PanelSetup sa;
    PanelSetup sb;
    return fromVariant(a, &sa, nullptr) && fromVariant(b, &sb, nullptr) && sa == sb;
}

bool fitToModule(PanelSetup& setup, const ModuleCapacity& module, QStringList* notesOut, QString* error)
{
    QStringList notes;
    const ModificationLimits& lim = module.limits;
    if (setup.modification != module.modification || setup.channelCount != module.channelCount)
        notes << QStringLiteral("настройка снята с модуля %1, открыт модуль %2")
                     .arg(moduleName(setup.modification, setup.channelCount),
                          moduleName(module.modification, module.channelCount));

    QVector<ChannelSetup> kept;
    QList<int> dropped;
    QList<int> absent;
    for (const ChannelSetup& c : setup.channels) {
        if (c.channel <= module.channelCount)
            kept.append(c);
        else
            dropped.append(c.channel);
    }
    for (int n = 1; n <= module.channelCount; ++n) {
        if (!setup.find(n))
            absent << n;
    }
    if (!dropped.isEmpty())
        notes << QStringLiteral("каналы %1 пропущены: каналов у модуля %2").arg(channelList(dropped)).arg(module.channelCount);
    if (!absent.isEmpty())
        notes << QStringLiteral("каналов %1 нет в настройке: они выключены").arg(channelList(absent));

    // A custom channel without custom signals cannot be set up: it stays off and as it was.
    int on = 0;
    for (ChannelSetup& c : kept) {
        if (c.type == ChannelType::Custom && !module.customSignals) {
            c.on = false;
            notes << QStringLiteral("канал %1: особый сигнал, а особые сигналы выключены (EnableCustomSignals) — "
                                    "канал оставлен выключенным").arg(c.channel);
        }
        on += c.on ? 1 : 0;
    }
    const double ceiling = module.frequencyCeiling[qBound(0, on, 8)];
    QList<int> fullRange;   // channels whose one-tenth range a module with a fixed range cannot take
    const double offsetLow = lim.offsetMin / 1000.0;
    const double offsetHigh = lim.offsetMax / 1000.0;

    for (ChannelSetup& c : kept) {
        if (c.type == ChannelType::Custom && !module.customSignals)
            continue;
        const QString channel = QStringLiteral("канал %1, ").arg(c.channel);
        if (module.fixedRange && c.range == Range::Tenth) {
            c.range = Range::Full;
            fullRange << c.channel;
        }
        const bool ac = c.type == ChannelType::Ac;
        // Every field, used by the channel's type or not: a value beyond the limits by more than
        // its field's rounding is a damaged or foreign file, and playing the nearest limit instead
        // would put out what the file does not say. The custom type keeps its (unused) voltage
        // field within the DC limits.
        const double voltage = std::round(c.voltage);
        const double frequency = roundTo(c.frequency, module.frequencyDecimals);
        const double offset = roundTo(c.offset, module.offsetDecimals);
        if (!withinLimits(voltage, ac ? lim.acMin : lim.dcMin, voltageCeiling(lim, c.type, c.range),
                          channel + QStringLiteral("\"voltage_mV\""), c.voltage, QStringLiteral("мВ"), error)
            || !withinLimits(frequency, 1.0, ceiling, channel + QStringLiteral("\"frequency_Hz\""), c.frequency,
                             QStringLiteral("Гц"), error)
            || !withinLimits(offset, offsetLow, offsetHigh, channel + QStringLiteral("\"offset_V\""), c.offset,
                             QStringLiteral("В"), error))
            return false;
        c.voltage = voltage;
        c.frequency = frequency;
        c.offset = offset;

        if (!module.customSignals) {
            c.hasCustom = false;
            continue;
        }
        if (!c.hasCustom)
            continue;
        CustomSetup& s = c.custom;
        const QString custom = channel + QStringLiteral("\"custom\", ");
        const double amplitude = std::round(s.amplitude * 1000.0) / 1000.0;
        const double customOffset = std::round(s.offset * 1000.0) / 1000.0;
        const double customFrequency = roundTo(s.frequency, module.frequencyDecimals);
        if (!withinLimits(amplitude, lim.customAmplitudeMin / 1000.0, lim.customAmplitudeMax / 1000.0,
                          custom + QStringLiteral("\"amplitude_V\""), s.amplitude, QStringLiteral("В"), error)
            || !withinLimits(customOffset, offsetLow, offsetHigh, custom + QStringLiteral("\"offset_V\""), s.offset,
                             QStringLiteral("В"), error)
            || !withinLimits(customFrequency, 1.0, ceiling, custom + QStringLiteral("\"frequency_Hz\""), s.frequency,
                             QStringLiteral("Гц"), error))
            return false;
        s.amplitude = amplitude;
        s.offset = customOffset;
        s.frequency = customFrequency;
        // The same angle as the field shows it: within one turn (-90 is 270), three decimals, and
        // what rounds to a whole turn is 0.
        s.phase = roundTo(std::fmod(s.phase, 360.0) + (s.phase < 0.0 ? 360.0 : 0.0), ChannelSignal::phaseDecimals);
        if (!(s.phase <= ChannelSignal::phaseFieldMaximum) || s.phase < 0.0)
            s.phase = 0.0;
    }
    if (!fullRange.isEmpty())
        notes << QStringLiteral("каналы %1: диапазон 1/10 заменён полным, у модуля диапазон постоянный")
                     .arg(channelList(fullRange));
    setup.channels = kept;
    if (notesOut)
        *notesOut = notes;
    return true;
}

} // namespace setups
