#include "remotecommands.h"

#include <cmath>

#include "remotecommandkit.h"
#include "version.h"

using namespace remote;

namespace {

// The value of a register's enable: a number 0..`highest`, rounded to a whole number as IEEE 488.2
// rounds decimal data for an integer.
bool registerValue(Call& c, int highest, int* value)
{
    double number = 0;
    if (!c.expect(1) || !c.number(0, scpi::Unit::None, &number))
        return false;
    const double whole = std::round(number);
    if (whole < 0 || whole > highest) {
        c.fail(scpi::DataOutOfRange);
        return false;
    }
    *value = int(whole);
    return true;
}

// The DAC rates the module takes: 48, 96 and 192 kHz, the last as the form opens.
bool rateBound(scpi::Bound bound, double* rate)
{
    switch (bound) {
    case scpi::Bound::Minimum: *rate = 48000; return true;
    case scpi::Bound::Maximum:
    case scpi::Bound::Default: *rate = 192000; return true;
    case scpi::Bound::None: break;
    }
    return false;
}

// The choices a client made for itself, as after *RST.
void resetClientChoices(scpi::Session& session)
{
    session.memory.clear();
}

} // namespace

void defineRemoteCommands(scpi::CommandTable& table, Module* module, RemoteHost* host)
{
    const Commands m{ module, host };

    // IEEE 488.2 common commands.
    table.define("*IDN", {}, [m](Call& c) {
        if (!c.expect(0))
            return;
        QString name = QStringLiteral("VEK72");
        QString serial = QStringLiteral("?");
        if (m.host)
            m.host->identity(&name, &serial);
        c.reply(QStringLiteral("ZELMAR,%1,%2,%3").arg(name, serial, QStringLiteral(STENDIX_VERSION)));
    });
    table.define("*RST", [m](Call& c) {
        if (!c.expect(0))
            return;
        // What the client chose for itself goes back to its defaults too.
        resetClientChoices(c.session());
        if (m.moduleOpen(c) && !m.module->resetPanels())
            c.fail(scpi::ExecutionError);
    });
    table.define("*TST", {}, [m](Call& c) {
        // The module is open and its panels answer: 0; otherwise 1. The outputs are not measured.
        if (!c.expect(0))
            return;
        const bool answers = m.module && m.module->isOpened() && m.module->setting(QStringLiteral("channelCount"), 0).isValid();
        c.reply(answers ? QStringLiteral("0") : QStringLiteral("1"));
    });
    table.define("*CLS", [](Call& c) {
        if (!c.expect(0))
            return;
        c.session().errors().clear();
        c.session().status.clear();
    });
    table.define(
        "*OPC",
        [](Call& c) {
            if (!c.expect(0))
                return;
            // The bit is set once everything before has been done; nothing runs in the background
            // after a command line, so that is at once after the wait.
            if (c.session().synchronise())
                c.session().status.operationComplete();
            else
                c.fail(scpi::ExecutionError);
        },
        [](Call& c) {
            if (!c.expect(0))
                return;
            if (c.session().synchronise())
                c.reply(QStringLiteral("1"));
            else
                c.fail(scpi::ExecutionError);
        });
    table.define("*WAI", [](Call& c) {
        if (c.expect(0) && !c.session().synchronise())
            c.fail(scpi::ExecutionError);
    });
    table.define("*ESR", {}, [](Call& c) {
        if (c.expect(0))
            c.reply(QString::number(c.session().status.takeEvents()));
    });
    table.define(
        "*ESE",
        [](Call& c) {
            int value = 0;
            if (registerValue(c, 255, &value))
                c.session().status.eventEnable = quint8(value);
        },
        [](Call& c) {
            if (c.expect(0))
                c.reply(QString::number(c.session().status.eventEnable));
        });
    table.define(
        "*SRE",
        [](Call& c) {
            int value = 0;
            if (registerValue(c, 255, &value))
                c.session().status.setServiceRequestEnable(quint8(value));
        },
        [](Call& c) {
            if (c.expect(0))
                c.reply(QString::number(c.session().status.serviceRequestEnable()));
        });
    table.define("*STB", {}, [](Call& c) {
        if (c.expect(0))
            c.reply(QString::number(c.session().status.statusByte(c.session().errors().count() > 0)));
    });

    // SCPI's required subsystems.
    table.define("SYSTem:VERSion", {}, [](Call& c) {
        if (c.expect(0))
            c.reply(QStringLiteral("1999.0"));
    });
    table.define("STATus:PRESet", [](Call& c) {
        if (c.expect(0))
            c.session().status.preset();
    });
    const auto defineStatusRegister = [&table](const char* event, const char* condition, const char* enable,
                                               scpi::StatusRegister scpi::StatusModel::*which) {
        table.define(event, {}, [which](Call& c) {
            if (c.expect(0))
                c.reply(QString::number((c.session().status.*which).takeEvent()));
        });
        table.define(condition, {}, [which](Call& c) {
            if (c.expect(0))
                c.reply(QString::number((c.session().status.*which).condition()));
        });
        table.define(
            enable,
            [which](Call& c) {
                int value = 0;
                if (registerValue(c, 32767, &value))
                    (c.session().status.*which).setEnable(quint16(value));
            },
            [which](Call& c) {
                if (c.expect(0))
                    c.reply(QString::number((c.session().status.*which).enable()));
            });
    };
    defineStatusRegister("STATus:OPERation[:EVENt]", "STATus:OPERation:CONDition", "STATus:OPERation:ENABle",
                         &scpi::StatusModel::operation);
    defineStatusRegister("STATus:QUEStionable[:EVENt]", "STATus:QUEStionable:CONDition", "STATus:QUEStionable:ENABle",
                         &scpi::StatusModel::questionable);

    // The error queue.
    table.define("SYSTem:ERRor[:NEXT]", {}, [](Call& c) {
        if (c.expect(0))
            c.reply(c.session().errors().next());
    });
    table.define("SYSTem:ERRor:ALL", {}, [](Call& c) {
        if (!c.expect(0))
            return;
        // Every error, oldest first; the queue is empty afterwards.
        QStringList all;
        while (c.session().errors().count() > 0)
            all << c.session().errors().next();
        c.reply(all.isEmpty() ? c.session().errors().next() : all.join(QLatin1Char(',')));
    });
    table.define("SYSTem:ERRor:COUNt", {}, [](Call& c) {
        if (c.expect(0))
            c.reply(QString::number(c.session().errors().count()));
    });

    // The channels.
    defineSignalCommands(table, m);
    table.define(
        "[SOURce#]:FUNCtion:SHAPe",
        [m](Call& c) {
            int which = -1;
            if (!c.expect(1) || !c.choice(0, shapeForms, &which))
                return;
            speakGenerator(c, false);
            m.change(c, "shape", c.channel(), which);
        },
        [m](Call& c) {
            QVariant shown;
            if (m.read(c, "shape", c.channel(), &shown))
                c.reply(scpi::shortForm(shapeForms.value(shown.toInt())));
        });
    m.defineNumber(table, "[SOURce#]:FREQuency[:CW]", "frequency", scpi::Unit::Hertz);
    m.defineNumber(table, "[SOURce#]:FREQuency:FIXed", "frequency", scpi::Unit::Hertz);
    m.defineNumber(table, "[SOURce#]:PHASe[:ADJust]", "phase", scpi::Unit::Degree);
    m.defineChoice(table, "[SOURce#]:VOLTage:RANGe", "range", true, rangeForms, rangeValues);

    // The module's own settings.
    table.define(
        "SOURce:RATE",
        [m](Call& c) {
            double rate = 0;
            if (!c.expect(1) || !(c.bound(0) != scpi::Bound::None ? rateBound(c.bound(0), &rate) : c.number(0, scpi::Unit::Hertz, &rate)))
                return;
            m.change(c, "rate", 0, std::round(rate) == rate && std::abs(rate) < 1e9 ? QVariant(int(rate)) : QVariant(rate));
        },
        [m](Call& c) {
            double rate = 0;
            if (c.command().parameters.size() == 1) {
                if (rateBound(c.bound(0), &rate))
                    c.reply(QString::number(rate));
                else
                    c.fail(scpi::IllegalParameterValue);
                return;
            }
            QVariant shown;
            if (m.read(c, "rate", 0, &shown))
                c.reply(QString::number(shown.toInt()));
        });
    m.defineChoice(table, "SOURce:MODE", "mode", false, modeForms, modeValues);

    // Output: "Старт" and "Стоп".
    table.define("INITiate[:IMMediate]", [m](Call& c) {
        if (c.expect(0))
            m.change(c, "output", 0, true);
    });
    table.define("INITiate:STATe", {}, [m](Call& c) {
        if (c.expect(0) && m.moduleOpen(c))
            c.reply(m.module->isRunning() ? QStringLiteral("1") : QStringLiteral("0"));
    });
    table.define("ABORt", [m](Call& c) {
        if (c.expect(0))
            m.change(c, "output", 0, false);
    });

    // Setups: *SAV/*RCL n (1..9) and named files.
    const auto setupOutcome = [](Call& c, RemoteHost::SetupResult result) {
        switch (result) {
        case RemoteHost::SetupResult::Done: break;
        case RemoteHost::SetupResult::NotFound: c.fail(scpi::FileNameNotFound); break;
        case RemoteHost::SetupResult::BadName: c.fail(scpi::FileNameError); break;
        case RemoteHost::SetupResult::Failed: c.fail(scpi::MassStorageError); break;
        case RemoteHost::SetupResult::NoModule: c.fail(scpi::HardwareMissing); break;
        }
    };
    const auto numbered = [m, setupOutcome](bool save) {
        return [m, setupOutcome, save](Call& c) {
            double number = 0;
            if (!c.expect(1) || !c.number(0, scpi::Unit::None, &number) || !m.moduleOpen(c))
                return;
            if (number != std::round(number) || number < 1 || number > 9) {
                c.fail(scpi::DataOutOfRange);
                return;
            }
            if (!m.host) {
                c.fail(scpi::HardwareMissing);
                return;
            }
            setupOutcome(c, save ? m.host->saveSetup(QString(), int(number)) : m.host->recallSetup(QString(), int(number)));
        };
    };
    table.define("*SAV", numbered(true));
    table.define("*RCL", numbered(false));
    const auto named = [m, setupOutcome](bool save) {
        return [m, setupOutcome, save](Call& c) {
            QString file;
            if (!c.expect(1) || !c.string(0, &file) || !m.moduleOpen(c))
                return;
            if (file.trimmed().isEmpty()) {
                c.fail(scpi::IllegalParameterValue);
                return;
            }
            if (!m.host) {
                c.fail(scpi::HardwareMissing);
                return;
            }
            setupOutcome(c, save ? m.host->saveSetup(file, 0) : m.host->recallSetup(file, 0));
        };
    };
    table.define("MMEMory:CATalog[:ALL]", {}, [m](Call& c) {
        // <bytes used>,<bytes free>{,"<name>,STAT,<size>"} of the setups folder.
        if (!c.expect(0))
            return;
        if (!m.host) {
            c.fail(scpi::HardwareMissing);
            return;
        }
        qint64 free = -1;
        qint64 used = 0;
        QStringList entries;
        for (const RemoteHost::StoredFile& file : m.host->setupFiles(&free)) {
            used += file.size;
            entries << quoted(QStringLiteral("%1,STAT,%2").arg(file.name).arg(file.size));
        }
        c.reply((QStringList{ QString::number(used), QString::number(qMax<qint64>(free, 0)) } + entries).join(QLatin1Char(',')));
    });
    table.define("MMEMory:STORe:STATe", named(true));
    table.define("MMEMory:LOAD:STATe", named(false));

    // The module and the window.
    table.define("SYSTem:CHANnel:COUNt", {}, [m](Call& c) {
        QVariant count;
        if (m.read(c, "channelCount", 0, &count))
            c.reply(QString::number(count.toInt()));
    });
    table.define("SYSTem:MODule:CATalog", {}, [m](Call& c) {
        if (!c.expect(0))
            return;
        QStringList entries;
        if (m.host) {
            for (const RemoteHost::CatalogEntry& entry : m.host->moduleCatalog())
                entries.append(QStringLiteral("%1,%2,%3").arg(quoted(entry.crate)).arg(entry.slot).arg(quoted(entry.name)));
        }
        c.reply(entries.isEmpty() ? QStringLiteral("\"\"") : entries.join(QLatin1Char(';')));
    });
    table.define(
        "SYSTem:MODule",
        [m](Call& c) {
            QString crate;
            double slot = 0;
            if (!c.expect(2) || !c.string(0, &crate) || !c.number(1, scpi::Unit::None, &slot))
                return;
            if (slot != std::round(slot) || slot < 1 || slot > 16) {
                c.fail(scpi::DataOutOfRange);
                return;
            }
            if (!m.host) {
                c.fail(scpi::HardwareMissing);
                return;
            }
            switch (m.host->selectModule(crate, int(slot))) {
            case RemoteHost::Selection::Done: break;
            case RemoteHost::Selection::NotListed: c.fail(scpi::IllegalParameterValue); break;
            case RemoteHost::Selection::Busy: c.fail(scpi::SettingsConflict); break;
            case RemoteHost::Selection::Failed: c.fail(scpi::HardwareMissing); break;
            }
        },
        [m](Call& c) {
            if (!c.expect(0))
                return;
            QString crate;
            int slot = 0;
            if (!m.host || !m.host->currentModule(&crate, &slot)) {
                crate.clear();
                slot = 0;
            }
            c.reply(QStringLiteral("%1,%2").arg(quoted(crate)).arg(slot));
        });
}
