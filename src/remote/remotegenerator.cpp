// The commands of the channels' signals: the program's own OUTPut, FUNCtion and VOLTage, and a
// bench function generator's words on the same channels (see the dialect below), with arbitrary
// points sent over the socket.
#include "remotecommandkit.h"

#include <cmath>
#include <cstring>

#include "remotesession.h"

namespace remote {

void speakGenerator(Call& c, bool on)
{
    c.session().memory.insert(QStringLiteral("generator"), on);
}

namespace {

// --- The dialect of bench function generators --------------------------------------------------
// Drivers written for two-channel bench generators send FUNCtion SINusoid|SQUare|RAMP|..., an
// amplitude in VPP or VRMS around an offset that is the signal's centre, OUTPut ON to play. A
// client's session speaks the program's own words (an AC channel's VOLTage is its RMS, a custom
// signal's offset its foot) until it uses a word only a generator has; from then on VOLTage,
// VOLTage:OFFSet, FUNCtion? and OUTPut follow the generator, until the program's own AC or CUSTom
// is chosen again. The signals are the module's: a sine is an AC channel (or the sine of a custom
// signal), a square a custom pulse (high for half its period), a ramp a custom saw (symmetry 100)
// or triangle (symmetry 50), DC a DC channel.

enum class Wave { Sine, Square, Ramp, Pulse, Dc, Arbitrary, None };

const QStringList waveForms{ QStringLiteral("SINusoid"), QStringLiteral("SQUare"), QStringLiteral("RAMP"),
                             QStringLiteral("PULSe"), QStringLiteral("DC"), QStringLiteral("ARBitrary") };
// What a generator has and the module cannot play.
const QStringList missingWaveForms{ QStringLiteral("NOISe"), QStringLiteral("PRBS"), QStringLiteral("TRIangle"),
                                    QStringLiteral("USER"), QStringLiteral("PATTern") };

const double sqrt2 = 1.4142135623730951;
const double sqrt3 = 1.7320508075688772;

enum CustomShape { CustomSine = 0, CustomTriangle = 1, CustomSaw = 2, CustomPulse = 3, CustomLine = 4, CustomArbitrary = 5 };

bool generatorSpoken(Call& c)
{
    return c.session().memory.value(QStringLiteral("generator")).toBool();
}


bool rmsUnit(Call& c)
{
    return c.session().memory.value(QStringLiteral("unit")).toString() == QLatin1String("VRMS");
}

// Peak-to-peak over RMS of a wave.
double crestOf(Wave wave)
{
    switch (wave) {
    case Wave::Square:
    case Wave::Pulse: return 2.0;
    case Wave::Ramp: return 2.0 * sqrt3;
    default: return 2.0 * sqrt2;
    }
}

struct Generator
{
    Commands m;

    // What the panels show once what the earlier changes set off has been done (switching a box on
    // copies the common controls into the channel a moment later, say).
    QVariant value(const char* key, int channel) const
    {
        m.module->settle(RemoteSession::changeSettleMs);
        return m.module->setting(QLatin1String(key), channel);
    }

    // The wave a channel plays now, by its type and its custom shape.
    Wave waveOf(Call& c, int channel) const
    {
        const QString function = value("function", channel).toString();
        if (function == QLatin1String("AC"))
            return Wave::Sine;
        if (function == QLatin1String("DC"))
            return Wave::Dc;
        if (function != QLatin1String("CUSTOM"))
            return Wave::None;
        switch (value("shape", channel).toInt()) {
        case CustomSine: return Wave::Sine;
        case CustomTriangle:
        case CustomSaw: return Wave::Ramp;
        case CustomPulse:
            return c.session().memory.value(QStringLiteral("pulse/%1").arg(channel)).toBool() ? Wave::Pulse : Wave::Square;
        case CustomLine: return Wave::Dc;
        case CustomArbitrary: return Wave::Arbitrary;
        }
        return Wave::None;
    }

    bool custom(int channel) const { return value("function", channel).toString() == QLatin1String("CUSTOM"); }

    // Lowest and highest volts of the channel's signal; false for a level (DC) or an unknown type.
    bool span(Call& c, int channel, double* low, double* high) const
    {
        const Wave wave = waveOf(c, channel);
        const double volts = value("voltage", channel).toDouble();
        const double offset = value("offset", channel).toDouble();
        if (wave == Wave::Sine || wave == Wave::Arbitrary) {
            // The arbitrary points are scaled to their peak: taken as reaching it both ways.
            const double peak = custom(channel) ? volts : volts * sqrt2;
            *low = offset - peak;
            *high = offset + peak;
            return true;
        }
        if (wave == Wave::Square || wave == Wave::Pulse || wave == Wave::Ramp) {
            *low = offset;
            *high = offset + volts;
            return true;
        }
        return false;
    }

    // One value of the panels; the error code, 0 when it was taken.
    int set(int channel, const char* key, const QVariant& v, QString* reason) const
    {
        return errorOf(m.module->changeSetting(QLatin1String(key), channel, v, reason));
    }

    // The channel's amplitude field and offset field to `volts` and `offset`, both or neither: a
    // refused second value puts the first back. A value beyond the one-tenth range takes the full
    // range, as a generator ranges by itself.
    void setPair(Call& c, int channel, double volts, double offset) const
    {
        const QVariant oldVolts = value("voltage", channel);
        const QVariant oldOffset = value("offset", channel);
        const auto attempt = [&](QString* reason) {
            int code = set(channel, "voltage", volts, reason);
            if (code == 0) {
                code = set(channel, "offset", offset, reason);
                if (code != 0) {
                    QString ignored;
                    set(channel, "voltage", oldVolts, &ignored);
                }
            }
            return code;
        };
        QString reason;
        int code = attempt(&reason);
        if (code == scpi::DataOutOfRange && value("range", channel).toString() == QLatin1String("TENTH")) {
            QString ignored;
            if (set(channel, "range", QStringLiteral("FULL"), &ignored) == 0) {
                QString again;
                code = attempt(&again);
                if (code != 0) {
                    set(channel, "range", QStringLiteral("TENTH"), &ignored);
                    set(channel, "voltage", oldVolts, &ignored);
                    set(channel, "offset", oldOffset, &ignored);
                } else {
                    reason.clear();
                }
            }
        }
        c.fail(code, reason);
    }

    // The channel's signal from `low` to `high` volts with its wave as it is.
    void setSpan(Call& c, int channel, double low, double high) const
    {
        if (!(high >= low) || !std::isfinite(low) || !std::isfinite(high)) {
            c.fail(scpi::DataOutOfRange, QStringLiteral("верхний уровень ниже нижнего"));
            return;
        }
        const double centre = (low + high) / 2.0;
        switch (waveOf(c, channel)) {
        case Wave::Sine:
        case Wave::Arbitrary:
            setPair(c, channel, custom(channel) ? (high - low) / 2.0 : (high - low) / (2.0 * sqrt2), centre);
            return;
        case Wave::Square:
        case Wave::Pulse:
        case Wave::Ramp:
            setPair(c, channel, high - low, low);
            return;
        case Wave::Dc:
            c.fail(scpi::SettingsConflict, QStringLiteral("постоянное напряжение задаётся смещением (VOLT:OFFS)"));
            return;
        case Wave::None:
            break;
        }
        c.fail(scpi::SettingsConflict, QStringLiteral("амплитуда этого сигнала по сети не задаётся"));
    }

    // An amplitude parameter: a number in volts with VPP or VRMS after it (or the session's unit),
    // as peak-to-peak volts of `wave`; MIN, MAX, DEF from the field's bounds.
    bool amplitude(Call& c, int index, Wave wave, double* vpp) const
    {
        const scpi::Parameter& p = c.command().parameters.at(index);
        const scpi::Bound bound = c.bound(index);
        if (bound != scpi::Bound::None) {
            double volts = 0;
            if (!m.boundOf(c, bound, "voltage", c.channel(), &volts))
                return false;
            *vpp = wave == Wave::Sine ? (custom(c.channel()) ? 2.0 * volts : 2.0 * sqrt2 * volts) : volts;
            return true;
        }
        bool rms = rmsUnit(c);
        if (p.kind == scpi::Parameter::Number && (p.unit.endsWith(QLatin1String("VPP")) || p.unit.endsWith(QLatin1String("VRMS")))) {
            rms = p.unit.endsWith(QLatin1String("VRMS"));
            const QString prefix = p.unit.left(p.unit.size() - (rms ? 4 : 3));
            double scale = 1;
            if (!scpi::unitScale(scpi::Unit::Volt, prefix + QLatin1Char('V'), &scale)) {
                c.fail(scpi::InvalidSuffix);
                return false;
            }
            *vpp = p.number * scale * (rms ? crestOf(wave) : 1.0);
        } else {
            double volts = 0;
            if (!c.number(index, scpi::Unit::Volt, &volts))
                return false;
            *vpp = volts * (rms ? crestOf(wave) : 1.0);
        }
        if (!std::isfinite(*vpp) || *vpp < 0) {
            c.fail(scpi::DataOutOfRange);
            return false;
        }
        return true;
    }

    void setAmplitude(Call& c, int index) const
    {
        const Wave wave = waveOf(c, c.channel());
        double vpp = 0;
        if (!amplitude(c, index, wave, &vpp))
            return;
        double low = 0;
        double high = 0;
        if (wave == Wave::Dc || !span(c, c.channel(), &low, &high)) {
            setSpan(c, c.channel(), 0, 0);   // the refusal of a level's amplitude
            return;
        }
        const double centre = (low + high) / 2.0;
        setSpan(c, c.channel(), centre - vpp / 2.0, centre + vpp / 2.0);
    }

    void setOffset(Call& c, double centre) const
    {
        const int channel = c.channel();
        const Wave wave = waveOf(c, channel);
        if (wave == Wave::Dc) {
            // The level: a DC channel's voltage, a custom line's offset.
            QString reason;
            c.fail(set(channel, custom(channel) ? "offset" : "voltage", centre, &reason), reason);
            return;
        }
        double low = 0;
        double high = 0;
        if (!span(c, channel, &low, &high)) {
            c.fail(scpi::SettingsConflict, QStringLiteral("смещение этого сигнала по сети не задаётся"));
            return;
        }
        const double half = (high - low) / 2.0;
        setSpan(c, channel, centre - half, centre + half);
    }

    // A centre (offset) parameter in volts; MIN, MAX, DEF from the offset field's bounds (the
    // level field's for DC), as the centre of the channel's signal.
    bool centreOrBound(Call& c, int index, double* volts) const
    {
        const scpi::Bound bound = c.bound(index);
        if (bound == scpi::Bound::None)
            return c.number(index, scpi::Unit::Volt, volts);
        const int channel = c.channel();
        const Wave wave = waveOf(c, channel);
        if (!m.boundOf(c, bound, wave == Wave::Dc && !custom(channel) ? "voltage" : "offset", channel, volts))
            return false;
        double low = 0;
        double high = 0;
        if ((wave == Wave::Square || wave == Wave::Pulse || wave == Wave::Ramp) && span(c, channel, &low, &high))
            *volts += (high - low) / 2.0;
        return true;
    }

    bool centre(Call& c, int channel, double* volts) const
    {
        const Wave wave = waveOf(c, channel);
        if (wave == Wave::Dc) {
            *volts = value(custom(channel) ? "offset" : "voltage", channel).toDouble();
            return true;
        }
        double low = 0;
        double high = 0;
        if (!span(c, channel, &low, &high))
            return false;
        *volts = (low + high) / 2.0;
        return true;
    }

    // FUNCtion <wave>: the module's type and custom shape for it, the amplitude and centre kept.
    void setWave(Call& c, Wave wanted) const
    {
        const int channel = c.channel();
        double low = 0;
        double high = 0;
        double level = 0;
        const bool hadSpan = span(c, channel, &low, &high);
        const bool hadCentre = centre(c, channel, &level);
        QString reason;
        int code = 0;
        const auto customShape = [&](int shape) {
            if (!custom(channel))
                code = set(channel, "function", QStringLiteral("CUSTOM"), &reason);
            if (code == 0)
                code = set(channel, "shape", shape, &reason);
        };
        c.session().memory.insert(QStringLiteral("pulse/%1").arg(channel), wanted == Wave::Pulse);
        switch (wanted) {
        case Wave::Sine:
            if (custom(channel))
                code = set(channel, "shape", int(CustomSine), &reason);
            else
                code = set(channel, "function", QStringLiteral("AC"), &reason);
            break;
        case Wave::Square:
        case Wave::Pulse:
            customShape(CustomPulse);
            break;
        case Wave::Ramp:
            customShape(symmetryOf(c, channel) == 50 ? CustomTriangle : CustomSaw);
            break;
        case Wave::Dc:
            code = set(channel, "function", QStringLiteral("DC"), &reason);
            break;
        case Wave::Arbitrary:
            if (!custom(channel))
                code = set(channel, "function", QStringLiteral("CUSTOM"), &reason);
            if (code == 0)
                code = loadChosen(c, channel, &reason);
            break;
        case Wave::None:
            code = scpi::SettingsConflict;
            break;
        }
        if (code != 0) {
            c.fail(code, reason);
            return;
        }
        // A generator keeps its amplitude and offset through a change of the wave.
        if (wanted == Wave::Dc) {
            if (hadCentre)
                setOffset(c, level);
        } else if (hadSpan) {
            setSpan(c, channel, low, high);
        } else if (hadCentre) {
            setOffset(c, level);
        }
    }

    int symmetryOf(Call& c, int channel) const
    {
        if (custom(channel)) {
            const int shape = value("shape", channel).toInt();
            if (shape == CustomTriangle)
                return 50;
            if (shape == CustomSaw)
                return 100;
        }
        return c.session().memory.value(QStringLiteral("symmetry/%1").arg(channel), 100).toInt();
    }

    // --- Arbitrary points sent over the socket, kept by name for this client.

    static QString arbitraryKey(const QString& name) { return QStringLiteral("arb:") + name.toUpper(); }

    // DATA:ARBitrary <name>,<values -1..1> or <name>,<block of 32-bit floats>; DAC: -32768..32767
    // or a block of 16-bit integers; FORMat:BORDer gives the blocks' byte order.
    static void storePoints(Call& c, bool dac)
    {
        const QVector<scpi::Parameter>& parameters = c.command().parameters;
        if (parameters.size() < 2) {
            c.fail(scpi::MissingParameter);
            return;
        }
        const scpi::Parameter& name = parameters.at(0);
        if (name.kind != scpi::Parameter::Characters && name.kind != scpi::Parameter::String) {
            c.fail(scpi::DataTypeError);
            return;
        }
        if (name.text.isEmpty() || name.text.size() > 32) {
            c.fail(scpi::IllegalParameterValue, QStringLiteral("имя набора точек: от 1 до 32 знаков"));
            return;
        }
        const double highest = dac ? 32767.0 : 1.0;
        const double lowest = dac ? -32768.0 : -1.0;
        QVariantList points;
        if (parameters.size() == 2 && parameters.at(1).kind == scpi::Parameter::Block) {
            const QByteArray& data = parameters.at(1).data;
            const int width = dac ? 2 : 4;
            if (data.size() % width != 0) {
                c.fail(scpi::InvalidBlockData, QStringLiteral("длина блока не кратна %1 байтам").arg(width));
                return;
            }
            const bool swapped = c.session().memory.value(QStringLiteral("swapped")).toBool();
            for (int at = 0; at < data.size(); at += width) {
                quint32 word = 0;
                for (int k = 0; k < width; ++k) {
                    const int byte = swapped ? at + width - 1 - k : at + k;
                    word = (word << 8) | quint8(data.at(byte));
                }
                double v = 0;
                if (dac) {
                    v = double(qint16(quint16(word)));
                } else {
                    float f = 0;
                    std::memcpy(&f, &word, sizeof f);
                    v = double(f);
                }
                if (!(v >= lowest && v <= highest)) {
                    c.fail(scpi::DataOutOfRange, QStringLiteral("точка %1 вне %2..%3").arg(at / width + 1).arg(lowest).arg(highest));
                    return;
                }
                points << v;
            }
        } else {
            for (int i = 1; i < parameters.size(); ++i) {
                double v = 0;
                if (!c.number(i, scpi::Unit::None, &v))
                    return;
                if (!(v >= lowest && v <= highest)) {
                    c.fail(scpi::DataOutOfRange, QStringLiteral("точка %1 вне %2..%3").arg(i).arg(lowest).arg(highest));
                    return;
                }
                points << v;
            }
        }
        if (points.size() < 2) {
            c.fail(scpi::IllegalParameterValue, QStringLiteral("нужно не меньше двух точек"));
            return;
        }
        speakGenerator(c, true);
        c.session().memory.insert(arbitraryKey(name.text), points);
    }

    // The points chosen for the channel with FUNCtion:ARBitrary, into the module.
    int loadChosen(Call& c, int channel, QString* reason) const
    {
        const QString name = c.session().memory.value(QStringLiteral("arbChosen/%1").arg(channel)).toString();
        const QVariant points = c.session().memory.value(arbitraryKey(name));
        if (name.isEmpty() || !points.isValid()) {
            *reason = QStringLiteral("нет точек: сначала DATA:ARB <имя>,<точки> и FUNC:ARB <имя>");
            return scpi::SettingsConflict;
        }
        return set(channel, "waveform", QVariantMap{ { QStringLiteral("name"), name }, { QStringLiteral("points"), points } },
                   reason);
    }

    // OUTPut ON of a generator: the channel switched on with what was set for it (switching a box
    // on copies the common controls into it: what the channel had is put back), and the output
    // started when it is not running.
    void play(Call& c, int channel) const
    {
        if (!value("enabled", channel).toBool()) {
            static const char* const keys[] = { "function", "range", "shape", "frequency", "voltage", "offset", "phase" };
            QVariantList before;
            for (const char* key : keys)
                before << value(key, channel);
            QString reason;
            int code = set(channel, "enabled", true, &reason);
            for (int i = 0; code == 0 && i < int(sizeof(keys) / sizeof(keys[0])); ++i) {
                const bool customOnly = i == 2 || i == 6;
                if (!before.at(i).isValid() || value(keys[i], channel) == before.at(i) || (customOnly && !custom(channel)))
                    continue;
                code = set(channel, keys[i], before.at(i), &reason);
            }
            if (code != 0) {
                c.fail(code, reason);
                return;
            }
        }
        if (!m.module->isRunning())
            m.change(c, "output", 0, true);
    }
};

} // namespace

// The channels' signals in the program's words and in a generator's.
void defineSignalCommands(scpi::CommandTable& table, const Commands& m)
{
    const Generator g{ m };

    table.define(
        "OUTPut#[:STATe]",
        [g](Call& c) {
            bool on = false;
            if (!c.expect(1) || !c.boolean(0, &on) || !g.m.moduleOpen(c))
                return;
            if (on && generatorSpoken(c))
                g.play(c, c.channel());
            else
                g.m.change(c, "enabled", c.channel(), on);
        },
        [m](Call& c) {
            QVariant shown;
            if (m.read(c, "enabled", c.channel(), &shown))
                c.reply(shown.toBool() ? QStringLiteral("1") : QStringLiteral("0"));
        });

    table.define(
        "[SOURce#]:FUNCtion",
        [g](Call& c) {
            if (!c.expect(1) || !g.m.moduleOpen(c))
                return;
            int which = -1;
            const scpi::Parameter& p = c.command().parameters.at(0);
            if (p.kind == scpi::Parameter::Characters) {
                for (const QString& missing : missingWaveForms) {
                    if (scpi::matchesForm(p.text, missing)) {
                        c.fail(scpi::SettingsConflict, QStringLiteral("модуль не играет сигнал %1").arg(scpi::shortForm(missing)));
                        return;
                    }
                }
            }
            QStringList words = waveForms;
            words << QStringLiteral("AC") << QStringLiteral("CUSTom");
            if (!c.choice(0, words, &which))
                return;
            if (which >= waveForms.size()) {
                // The program's own AC and CUSTom: its own words from now on.
                speakGenerator(c, false);
                g.m.change(c, "function", c.channel(), functionValues.at(which == waveForms.size() ? 0 : 2));
                return;
            }
            const Wave wave = Wave(which);
            if (wave == Wave::Dc && !generatorSpoken(c)) {
                g.m.change(c, "function", c.channel(), QStringLiteral("DC"));
                return;
            }
            speakGenerator(c, true);
            g.setWave(c, wave);
        },
        [g](Call& c) {
            QVariant shown;
            if (!g.m.read(c, "function", c.channel(), &shown))
                return;
            if (!generatorSpoken(c)) {
                const int which = functionValues.indexOf(shown.toString());
                c.reply(which < 0 ? QString() : scpi::shortForm(functionForms.at(which)));
                return;
            }
            const Wave wave = g.waveOf(c, c.channel());
            c.reply(wave == Wave::None ? QString() : scpi::shortForm(waveForms.at(int(wave))));
        });

    table.define(
        "[SOURce#]:VOLTage[:LEVel][:IMMediate][:AMPLitude]",
        [g](Call& c) {
            if (!c.expect(1) || !g.m.moduleOpen(c))
                return;
            const QString unit = c.command().parameters.at(0).unit;
            if (unit.endsWith(QLatin1String("VPP")) || unit.endsWith(QLatin1String("VRMS")))
                speakGenerator(c, true);
            if (generatorSpoken(c)) {
                g.setAmplitude(c, 0);
                return;
            }
            double value = 0;
            if (g.m.numberOrBound(c, 0, scpi::Unit::Volt, "voltage", &value))
                g.m.change(c, "voltage", c.channel(), value);
        },
        [g](Call& c) {
            if (!generatorSpoken(c)) {
                double value = 0;
                if (g.m.readNumber(c, "voltage", &value))
                    c.reply(numberText(value));
                return;
            }
            if (c.command().parameters.size() > 1 || !g.m.moduleOpen(c)) {
                c.fail(scpi::ParameterNotAllowed);
                return;
            }
            const Wave wave = g.waveOf(c, c.channel());
            double vpp = 0;
            double low = 0;
            double high = 0;
            if (c.command().parameters.size() == 1) {
                if (c.bound(0) == scpi::Bound::None) {
                    c.fail(scpi::IllegalParameterValue);
                    return;
                }
                if (!g.amplitude(c, 0, wave, &vpp))
                    return;
            } else if (g.span(c, c.channel(), &low, &high)) {
                vpp = high - low;
            } else if (wave != Wave::Dc) {
                c.fail(scpi::SettingsConflict);
                return;
            }
            c.reply(numberText(rmsUnit(c) ? vpp / crestOf(wave) : vpp));
        });

    table.define(
        "[SOURce#]:VOLTage[:LEVel][:IMMediate]:OFFSet",
        [g](Call& c) {
            double value = 0;
            if (!c.expect(1) || !g.m.moduleOpen(c))
                return;
            if (!generatorSpoken(c)) {
                if (g.m.numberOrBound(c, 0, scpi::Unit::Volt, "offset", &value))
                    g.m.change(c, "offset", c.channel(), value);
                return;
            }
            if (g.centreOrBound(c, 0, &value))
                g.setOffset(c, value);
        },
        [g](Call& c) {
            double value = 0;
            if (!generatorSpoken(c)) {
                if (g.m.readNumber(c, "offset", &value))
                    c.reply(numberText(value));
                return;
            }
            if (c.command().parameters.size() > 1 || !g.m.moduleOpen(c)) {
                c.fail(scpi::ParameterNotAllowed);
                return;
            }
            if (c.command().parameters.size() == 1) {
                if (c.bound(0) == scpi::Bound::None)
                    c.fail(scpi::IllegalParameterValue);
                else if (g.centreOrBound(c, 0, &value))
                    c.reply(numberText(value));
                return;
            }
            if (g.centre(c, c.channel(), &value))
                c.reply(numberText(value));
            else
                c.fail(scpi::SettingsConflict);
        });

    // The high and low levels; the other one stays.
    const auto level = [g](bool high) {
        return std::make_pair(
            [g, high](Call& c) {
                double volts = 0;
                if (!c.expect(1) || !c.number(0, scpi::Unit::Volt, &volts) || !g.m.moduleOpen(c))
                    return;
                speakGenerator(c, true);
                double low = 0;
                double top = 0;
                if (!g.span(c, c.channel(), &low, &top)) {
                    g.setSpan(c, c.channel(), 0, 0);
                    return;
                }
                g.setSpan(c, c.channel(), high ? low : volts, high ? volts : top);
            },
            [g, high](Call& c) {
                double low = 0;
                double top = 0;
                if (!c.expect(0) || !g.m.moduleOpen(c))
                    return;
                if (!g.span(c, c.channel(), &low, &top) && !g.centre(c, c.channel(), &low)) {
                    c.fail(scpi::SettingsConflict);
                    return;
                }
                if (g.waveOf(c, c.channel()) == Wave::Dc)
                    top = low;
                c.reply(numberText(high ? top : low));
            });
    };
    const auto highLevel = level(true);
    const auto lowLevel = level(false);
    table.define("[SOURce#]:VOLTage[:LEVel][:IMMediate]:HIGH", highLevel.first, highLevel.second);
    table.define("[SOURce#]:VOLTage[:LEVel][:IMMediate]:LOW", lowLevel.first, lowLevel.second);

    table.define(
        "[SOURce#]:VOLTage:UNIT",
        [](Call& c) {
            const scpi::Parameter* p = c.expect(1) ? &c.command().parameters.at(0) : nullptr;
            if (p && p->kind == scpi::Parameter::Characters && scpi::matchesForm(p->text, QStringLiteral("DBM"))) {
                c.fail(scpi::SettingsConflict, QStringLiteral("нагрузка выходов неизвестна: амплитуда задаётся в VPP или VRMS"));
                return;
            }
            int which = -1;
            if (!p || !c.choice(0, { QStringLiteral("VPP"), QStringLiteral("VRMS") }, &which))
                return;
            speakGenerator(c, true);
            c.session().memory.insert(QStringLiteral("unit"), which == 1 ? QStringLiteral("VRMS") : QStringLiteral("VPP"));
        },
        [](Call& c) {
            if (c.expect(0))
                c.reply(rmsUnit(c) ? QStringLiteral("VRMS") : QStringLiteral("VPP"));
        });

    // The module's pulse is high for half its period.
    const auto dutyCycle = [](Call& c) {
        double percent = 0;
        if (!c.expect(1))
            return;
        if (c.bound(0) == scpi::Bound::None && !c.number(0, scpi::Unit::None, &percent))
            return;
        speakGenerator(c, true);
        if (c.bound(0) == scpi::Bound::None && std::abs(percent - 50.0) > 1e-9)
            c.fail(scpi::SettingsConflict, QStringLiteral("импульс модуля занимает половину периода: скважность только 50 %"));
    };
    const auto dutyCycleShown = [](Call& c) {
        if (c.command().parameters.size() <= 1)
            c.reply(QStringLiteral("50"));
        else
            c.fail(scpi::ParameterNotAllowed);
    };
    table.define("[SOURce#]:FUNCtion:SQUare:DCYCle", dutyCycle, dutyCycleShown);
    table.define("[SOURce#]:FUNCtion:PULSe:DCYCle", dutyCycle, dutyCycleShown);

    table.define(
        "[SOURce#]:FUNCtion:RAMP:SYMMetry",
        [g](Call& c) {
            double percent = 0;
            if (!c.expect(1) || !g.m.moduleOpen(c))
                return;
            const scpi::Bound bound = c.bound(0);
            if (bound != scpi::Bound::None)
                percent = bound == scpi::Bound::Minimum ? 50 : 100;
            else if (!c.number(0, scpi::Unit::None, &percent))
                return;
            speakGenerator(c, true);
            if (percent != 50 && percent != 100) {
                c.fail(scpi::SettingsConflict, QStringLiteral("модуль играет пилу (симметрия 100) и треугольник (симметрия 50)"));
                return;
            }
            c.session().memory.insert(QStringLiteral("symmetry/%1").arg(c.channel()), int(percent));
            if (g.waveOf(c, c.channel()) == Wave::Ramp) {
                QString reason;
                c.fail(g.set(c.channel(), "shape", percent == 50 ? int(CustomTriangle) : int(CustomSaw), &reason), reason);
            }
        },
        [g](Call& c) {
            if (c.expect(0) && g.m.moduleOpen(c))
                c.reply(QString::number(g.symmetryOf(c, c.channel())));
        });

    // Arbitrary points over the socket.
    table.define("FORMat:BORDer",
        [](Call& c) {
            int which = -1;
            if (c.expect(1) && c.choice(0, { QStringLiteral("NORMal"), QStringLiteral("SWAPped") }, &which))
                c.session().memory.insert(QStringLiteral("swapped"), which == 1);
        },
        [](Call& c) {
            if (c.expect(0))
                c.reply(c.session().memory.value(QStringLiteral("swapped")).toBool() ? QStringLiteral("SWAP") : QStringLiteral("NORM"));
        });
    table.define("[SOURce#]:DATA[:ARBitrary]", [](Call& c) { Generator::storePoints(c, false); });
    table.define("[SOURce#]:DATA[:ARBitrary]:DAC", [](Call& c) { Generator::storePoints(c, true); });
    table.define("[SOURce#]:DATA:ATTRibute:POINts", {}, [](Call& c) {
        if (!c.expect(1))
            return;
        const scpi::Parameter& p = c.command().parameters.at(0);
        const QVariant points = c.session().memory.value(Generator::arbitraryKey(p.text));
        if (!points.isValid())
            c.fail(scpi::IllegalParameterValue, QStringLiteral("нет набора точек \"%1\"").arg(p.text));
        else
            c.reply(QString::number(points.toList().size()));
    });
    table.define(
        "[SOURce#]:FUNCtion:ARBitrary",
        [g](Call& c) {
            if (!c.expect(1) || !g.m.moduleOpen(c))
                return;
            const scpi::Parameter& p = c.command().parameters.at(0);
            if (!c.session().memory.contains(Generator::arbitraryKey(p.text))) {
                c.fail(scpi::IllegalParameterValue, QStringLiteral("нет набора точек \"%1\"").arg(p.text));
                return;
            }
            speakGenerator(c, true);
            c.session().memory.insert(QStringLiteral("arbChosen/%1").arg(c.channel()), p.text.toUpper());
            if (g.waveOf(c, c.channel()) == Wave::Arbitrary) {
                QString reason;
                c.fail(g.loadChosen(c, c.channel(), &reason), reason);
            }
        },
        [](Call& c) {
            if (c.expect(0))
                c.reply(QLatin1Char('"') + c.session().memory.value(QStringLiteral("arbChosen/%1").arg(c.channel())).toString()
                        + QLatin1Char('"'));
        });
    // The speed of the points: a period's frequency, or points per second.
    table.define(
        "[SOURce#]:FUNCtion:ARBitrary:FREQuency",
        [g](Call& c) {
            double hertz = 0;
            if (c.expect(1) && g.m.numberOrBound(c, 0, scpi::Unit::Hertz, "frequency", &hertz))
                g.m.change(c, "frequency", c.channel(), hertz);
        },
        [g](Call& c) {
            double hertz = 0;
            if (g.m.readNumber(c, "frequency", &hertz))
                c.reply(numberText(hertz));
        });
    table.define(
        "[SOURce#]:FUNCtion:ARBitrary:SRATe",
        [g](Call& c) {
            double rate = 0;
            if (!c.expect(1) || !c.number(0, scpi::Unit::Hertz, &rate) || !g.m.moduleOpen(c))
                return;
            const int points = g.value("waveformPoints", c.channel()).toInt();
            if (points < 2) {
                c.fail(scpi::SettingsConflict, QStringLiteral("у канала нет произвольного сигнала"));
                return;
            }
            g.m.change(c, "frequency", c.channel(), rate / points);
        },
        [g](Call& c) {
            double hertz = 0;
            if (!g.m.readNumber(c, "frequency", &hertz))
                return;
            c.reply(numberText(hertz * g.value("waveformPoints", c.channel()).toInt()));
        });

    // APPLy:<wave> [<frequency>[,<amplitude>[,<offset>]]]: set and play.
    for (int which = 0; which < waveForms.size() + missingWaveForms.size(); ++which) {
        const bool missing = which >= waveForms.size();
        const QString form = missing ? missingWaveForms.at(which - waveForms.size()) : waveForms.at(which);
        const QByteArray pattern = "[SOURce#]:APPLy:" + form.toLatin1();
        table.define(pattern.constData(), [g, which, missing, form](Call& c) {
            if (missing) {
                c.fail(scpi::SettingsConflict, QStringLiteral("модуль не играет сигнал %1").arg(scpi::shortForm(form)));
                return;
            }
            const int given = c.command().parameters.size();
            if (given > 3) {
                c.fail(scpi::ParameterNotAllowed);
                return;
            }
            if (!g.m.moduleOpen(c))
                return;
            speakGenerator(c, true);
            const Wave wave = Wave(which);
            g.setWave(c, wave);
            if (c.error == 0 && given >= 1 && wave != Wave::Dc) {
                double hertz = 0;
                if (g.m.numberOrBound(c, 0, scpi::Unit::Hertz, "frequency", &hertz))
                    g.m.change(c, "frequency", c.channel(), hertz);
            }
            if (c.error == 0 && given >= 2 && wave != Wave::Dc)
                g.setAmplitude(c, 1);
            if (c.error == 0 && given >= 3) {
                double volts = 0;
                if (g.centreOrBound(c, 2, &volts))
                    g.setOffset(c, volts);
            }
            if (c.error == 0)
                g.play(c, c.channel());
        });
    }
    table.define("[SOURce#]:APPLy", {}, [g](Call& c) {
        if (!c.expect(0) || !g.m.moduleOpen(c))
            return;
        const Wave wave = g.waveOf(c, c.channel());
        double low = 0;
        double high = 0;
        double centre = 0;
        g.centre(c, c.channel(), &centre);
        const bool periodic = g.span(c, c.channel(), &low, &high);
        const double vpp = high - low;
        const QString amplitude = periodic ? numberText(rmsUnit(c) ? vpp / crestOf(wave) : vpp) : QStringLiteral("DEF");
        const QString frequency = periodic ? numberText(g.value("frequency", c.channel()).toDouble()) : QStringLiteral("DEF");
        const QString name = wave == Wave::None ? QStringLiteral("NONE") : scpi::shortForm(waveForms.at(int(wave)));
        c.reply(QStringLiteral("\"%1 %2,%3,%4\"").arg(name, frequency, amplitude, numberText(centre)));
    });

    // What a generator modulates, sweeps or bursts: the module does none of it. Switching it off is
    // what it is already.
    for (const char* subsystem : { "AM", "FM", "PM", "FSKey", "PWM", "BURSt", "SWEep" }) {
        const QByteArray pattern = QByteArray("[SOURce#]:") + subsystem + ":STATe";
        const QString name = scpi::shortForm(QString::fromLatin1(subsystem));
        table.define(
            pattern.constData(),
            [name](Call& c) {
                bool on = false;
                if (c.expect(1) && c.boolean(0, &on) && on)
                    c.fail(scpi::SettingsConflict, QStringLiteral("модуль не умеет %1: только непрерывный сигнал").arg(name));
            },
            [](Call& c) {
                if (c.expect(0))
                    c.reply(QStringLiteral("0"));
            });
    }
}


} // namespace remote
