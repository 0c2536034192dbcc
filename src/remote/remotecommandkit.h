// What the commands of remote control share: the module's answers as error codes, numbers and
// texts as answered, and the helpers that set and read the module's settings for one command.
// Private to src/remote.
#ifndef REMOTECOMMANDKIT_H
#define REMOTECOMMANDKIT_H

#include <QStringList>
#include <QVariant>

#include "module.h"
#include "remotehost.h"
#include "scpicommands.h"

namespace remote {

using scpi::Call;

inline int errorOf(Module::SettingResult result)
{
    switch (result) {
    case Module::SettingResult::Done: return scpi::NoError;
    case Module::SettingResult::UnknownKey: return scpi::UndefinedHeader;
    case Module::SettingResult::OutOfRange: return scpi::DataOutOfRange;
    case Module::SettingResult::IllegalValue: return scpi::IllegalParameterValue;
    case Module::SettingResult::SettingsConflict: return scpi::SettingsConflict;
    case Module::SettingResult::NoModule: return scpi::HardwareMissing;
    case Module::SettingResult::NoAnswer: return scpi::ExecutionError;
    }
    return scpi::ExecutionError;
}

inline QString numberText(double value)
{
    return QString::number(value, 'g', 12);
}

inline QString quoted(const QString& text)
{
    QString doubled = text;
    doubled.replace(QLatin1Char('"'), QLatin1String("\"\""));
    return QLatin1Char('"') + doubled + QLatin1Char('"');
}

// The words a setting takes and answers: the long forms as a command takes them, in the order of
// the module's values; the answer is the short form.
inline const QStringList functionForms{ QStringLiteral("AC"), QStringLiteral("DC"), QStringLiteral("CUSTom") };
inline const QStringList functionValues{ QStringLiteral("AC"), QStringLiteral("DC"), QStringLiteral("CUSTOM") };
inline const QStringList shapeForms{ QStringLiteral("SINusoid"), QStringLiteral("TRIangle"), QStringLiteral("SAWtooth"),
                              QStringLiteral("PULSe"), QStringLiteral("LINE"), QStringLiteral("ARBitrary") };
inline const QStringList rangeForms{ QStringLiteral("FULL"), QStringLiteral("TENTh") };
inline const QStringList rangeValues{ QStringLiteral("FULL"), QStringLiteral("TENTH") };
inline const QStringList modeForms{ QStringLiteral("CYCLic"), QStringLiteral("STReam") };
inline const QStringList modeValues{ QStringLiteral("CYCLIC"), QStringLiteral("STREAM") };

// The commands of one module, with what they share.
struct Commands
{
    Module* module;
    RemoteHost* host;

    bool moduleOpen(Call& c) const
    {
        if (module && module->isOpened())
            return true;
        c.fail(scpi::HardwareMissing);
        return false;
    }

    void change(Call& c, const char* key, int channel, const QVariant& value) const
    {
        if (!moduleOpen(c))
            return;
        QString reason;
        const int code = errorOf(module->changeSetting(QLatin1String(key), channel, value, &reason));
        c.fail(code, reason);
    }

    // What a setting shows; false (with -241) when there is no module or no such channel.
    bool read(Call& c, const char* key, int channel, QVariant* value) const
    {
        if (!c.expect(0) || !moduleOpen(c))
            return false;
        *value = module->setting(QLatin1String(key), channel);
        if (value->isValid())
            return true;
        c.fail(scpi::HardwareMissing);
        return false;
    }

    // A setting of words: the command takes one of `forms` and sets the matching `values` entry;
    // the query answers the short form of the form whose value the setting shows.
    void defineChoice(scpi::CommandTable& table, const char* pattern, const char* key, bool perChannel,
                      const QStringList& forms, const QStringList& values) const
    {
        const Commands self = *this;
        table.define(
            pattern,
            [self, key, perChannel, forms, values](Call& c) {
                int which = -1;
                if (c.expect(1) && c.choice(0, forms, &which))
                    self.change(c, key, perChannel ? c.channel() : 0, values.at(which));
            },
            [self, key, perChannel, forms, values](Call& c) {
                QVariant shown;
                if (!self.read(c, key, perChannel ? c.channel() : 0, &shown))
                    return;
                const int which = values.indexOf(shown.toString());
                c.reply(which < 0 ? QString() : scpi::shortForm(forms.at(which)));
            });
    }

    // The bound of a channel's value its field has now (MIN, MAX, DEF); false (with -221) when the
    // channel's type has no such field.
    bool boundOf(Call& c, scpi::Bound bound, const char* key, int channel, double* value) const
    {
        if (!moduleOpen(c))
            return false;
        const char* which = bound == scpi::Bound::Minimum ? "minimum:" : bound == scpi::Bound::Maximum ? "maximum:" : "default:";
        const QVariant shown = module->setting(QLatin1String(which) + QLatin1String(key), channel);
        if (!shown.isValid()) {
            c.fail(module->setting(QStringLiteral("enabled"), channel).isValid() ? scpi::SettingsConflict : scpi::HardwareMissing);
            return false;
        }
        *value = shown.toDouble();
        return true;
    }

    // A number in `unit`, or MIN, MAX, DEF for the field's bounds.
    bool numberOrBound(Call& c, int index, scpi::Unit unit, const char* key, double* value) const
    {
        const scpi::Bound bound = c.bound(index);
        if (bound != scpi::Bound::None)
            return boundOf(c, bound, key, c.channel(), value);
        return c.number(index, unit, value);
    }

    // A query of a number: no parameter for the value, MIN, MAX or DEF for the field's bounds.
    bool readNumber(Call& c, const char* key, double* value) const
    {
        if (c.command().parameters.size() == 1) {
            const scpi::Bound bound = c.bound(0);
            if (bound == scpi::Bound::None) {
                c.fail(scpi::IllegalParameterValue);
                return false;
            }
            return boundOf(c, bound, key, c.channel(), value);
        }
        QVariant shown;
        if (!read(c, key, c.channel(), &shown))
            return false;
        *value = shown.toDouble();
        return true;
    }

    // A setting of a number in `unit`.
    void defineNumber(scpi::CommandTable& table, const char* pattern, const char* key, scpi::Unit unit) const
    {
        const Commands self = *this;
        table.define(
            pattern,
            [self, key, unit](Call& c) {
                double value = 0;
                if (c.expect(1) && self.numberOrBound(c, 0, unit, key, &value))
                    self.change(c, key, c.channel(), value);
            },
            [self, key](Call& c) {
                double value = 0;
                if (self.readNumber(c, key, &value))
                    c.reply(numberText(value));
            });
    }
};

// The channels' signals (OUTPut, FUNCtion, VOLTage, the generator's words and arbitrary points).
void defineSignalCommands(scpi::CommandTable& table, const Commands& m);
// Whether a client speaks a bench generator's words from now on.
void speakGenerator(Call& c, bool on);

} // namespace remote

#endif
