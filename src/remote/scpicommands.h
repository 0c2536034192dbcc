// The command table of remote control: which headers exist, in their long and short forms, and
// what runs for the command form and for the query form of each. Plain code: no sockets, no widgets.
// A command is added with one line:
//     table.define("SOURce#:VOLTage:OFFSet", setOffset, queryOffset);
#ifndef SCPICOMMANDS_H
#define SCPICOMMANDS_H

#include <QString>
#include <QStringList>
#include <QVariantHash>
#include <QVector>

#include <functional>

#include "scpierrors.h"
#include "scpiparser.h"
#include "scpistatus.h"

namespace scpi {

// The highest channel suffix a header takes.
constexpr int maxChannel = 8;

// What the commands of one client share beyond the command itself.
class Session
{
public:
    virtual ~Session() = default;
    virtual ErrorQueue& errors() = 0;
    // Waits until everything the commands before asked for has been done (restarts included).
    // False when that did not happen in time.
    virtual bool synchronise() = 0;

    // An error of a command or of what it set off: into the queue, and its bit into the standard
    // event status register.
    void report(int code, const QString& detail = QString())
    {
        errors().push(code, detail);
        status.errorHappened(code);
    }

    StatusModel status;
    // What commands keep for this client between lines (the units it chose, say), by name.
    QVariantHash memory;
};

// The quantity of a numeric parameter: its base unit (V, HZ, DEG or RAD) with SCPI's multipliers
// (EX PE T G MA K M U N P F A: "MA" is mega, "M" milli; "MHZ" is megahertz as SCPI has it).
enum class Unit { None, Volt, Hertz, Degree };

// MINimum, MAXimum, DEFault in place of a number.
enum class Bound { None, Minimum, Maximum, Default };

// One command being executed: its parameters read by type (a wrong one records its error and
// answers false), its answer, its error.
class Call
{
public:
    Call(const Command& command, int channel, Session& session)
        : command_(command), channel_(channel), session_(session) {}

    int channel() const { return channel_; }
    Session& session() { return session_; }
    const Command& command() const { return command_; }

    // Exactly `count` parameters: fewer is -109, more -108.
    bool expect(int count);
    // ON, OFF, or a number rounded to a whole one: 0 is OFF, any other ON.
    bool boolean(int index, bool* value);
    // A number, in `unit`'s base (volts, hertz, degrees); a suffix of another quantity is -131, a
    // word -224, a string -104, an infinite value -222.
    bool number(int index, Unit unit, double* value);
    // Whether the parameter is MINimum, MAXimum or DEFault (Bound::None for anything else).
    Bound bound(int index) const;
    // One of `forms` in its long or short form ("SINusoid": SIN or SINUSOID, any case); `which`
    // is its index.
    bool choice(int index, const QStringList& forms, int* which);
    // A quoted string.
    bool string(int index, QString* value);

    void reply(const QString& text) { answer = text; answered = true; }
    // The first error of the command; `why` is the program's own text for it (in the queue after the
    // standard text).
    void fail(int code, const QString& why = QString())
    {
        if (error == 0) {
            error = code;
            detail = why;
        }
    }

    int error = 0;
    QString detail;
    bool answered = false;
    QString answer;

private:
    const Command& command_;
    int channel_;
    Session& session_;
};

using Handler = std::function<void(Call&)>;

// The factor of a unit as written (upper case) to `unit`'s base; false when it is not one of its.
bool unitScale(Unit unit, const QString& written, double* scale);

// The short form of a mnemonic's long form: its upper-case letters and digits ("SOURce" -> "SOUR").
QString shortForm(const QString& longForm);
// Whether `written` is `form` in its short or its long form, in any case.
bool matchesForm(const QString& written, const QString& form);

class CommandTable
{
public:
    // `pattern`: nodes separated by ':', each in its long form with the short form in upper case;
    // '#' after a node lets it carry a channel suffix 1..maxChannel (omitted: 1); "[:NODE]" may be
    // left out; "*IDN" is a common command. `set` runs for the command form, `query` for the form
    // with '?'; a missing one makes that form an undefined header.
    void define(const char* pattern, Handler set, Handler query = {});

    // Runs a parsed command: its header is looked up, its channel checked, its handler run. Answers
    // the error code (0 when all went well); `answer` gets the query's answer, `detail` (when given)
    // the program's text for the error, if it has one.
    int execute(const Command& command, Session& session, QString* answer, bool* answered,
                QString* detail = nullptr) const;

    // Every pattern, in the order defined, with "?" after those that have a query form.
    QStringList patterns() const;

private:
    struct Node
    {
        QString longForm;
        bool optional = false;
        bool takesChannel = false;
    };
    struct Entry
    {
        QString pattern;
        bool common = false;
        QVector<Node> nodes;
        Handler set;
        Handler query;
    };
    int executeHeader(const Command& command, Session& session, QString* answer, bool* answered, QString* detail) const;
    // Matches written nodes [i..] against pattern nodes [j..]; `used` gets the pattern index of
    // each written node.
    static bool match(const Entry& entry, const Header& header, int i, int j, QVector<int>& used);

    QVector<Entry> entries;
};

} // namespace scpi

#endif
