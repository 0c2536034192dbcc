#include "scpicommands.h"

#include <cmath>

namespace scpi {

// --- Parameters --------------------------------------------------------------------------------

bool Call::expect(int count)
{
    const int given = command_.parameters.size();
    if (given < count)
        fail(MissingParameter);
    else if (given > count)
        fail(ParameterNotAllowed);
    return given == count;
}

bool Call::boolean(int index, bool* value)
{
    const Parameter& p = command_.parameters.at(index);
    if (p.kind == Parameter::String) {
        fail(DataTypeError);
        return false;
    }
    if (p.kind == Parameter::Number && p.unit.isEmpty() && std::isfinite(p.number)) {
        *value = std::round(p.number) != 0;
        return true;
    }
    if (p.kind == Parameter::Characters && (matchesForm(p.text, QStringLiteral("ON")) || matchesForm(p.text, QStringLiteral("OFF")))) {
        *value = matchesForm(p.text, QStringLiteral("ON"));
        return true;
    }
    fail(IllegalParameterValue);
    return false;
}

bool Call::number(int index, Unit unit, double* value)
{
    const Parameter& p = command_.parameters.at(index);
    if (p.kind == Parameter::String) {
        fail(DataTypeError);
        return false;
    }
    if (p.kind != Parameter::Number) {
        fail(IllegalParameterValue);
        return false;
    }
    double scale = 1.0;
    if (!p.unit.isEmpty() && !unitScale(unit, p.unit, &scale)) {
        fail(InvalidSuffix);
        return false;
    }
    const double v = p.number * scale;
    if (!std::isfinite(v)) {
        fail(DataOutOfRange);
        return false;
    }
    *value = v;
    return true;
}

Bound Call::bound(int index) const
{
    const Parameter& p = command_.parameters.at(index);
    if (p.kind != Parameter::Characters)
        return Bound::None;
    if (matchesForm(p.text, QStringLiteral("MINimum")))
        return Bound::Minimum;
    if (matchesForm(p.text, QStringLiteral("MAXimum")))
        return Bound::Maximum;
    if (matchesForm(p.text, QStringLiteral("DEFault")))
        return Bound::Default;
    return Bound::None;
}

bool unitScale(Unit unit, const QString& written, double* scale)
{
    QStringList bases;
    QList<double> factors;
    switch (unit) {
    case Unit::None: return false;
    case Unit::Volt: bases << QStringLiteral("V"); factors << 1.0; break;
    case Unit::Hertz:
        if (written == QLatin1String("MHZ")) {
            *scale = 1e6;
            return true;
        }
        bases << QStringLiteral("HZ"); factors << 1.0;
        break;
    case Unit::Degree:
        bases << QStringLiteral("DEG") << QStringLiteral("RAD"); factors << 1.0 << 180.0 / M_PI;
        break;
    }
    static const QList<QPair<QString, double>> multipliers{
        { QString(), 1.0 }, { QStringLiteral("EX"), 1e18 }, { QStringLiteral("PE"), 1e15 }, { QStringLiteral("T"), 1e12 },
        { QStringLiteral("G"), 1e9 }, { QStringLiteral("MA"), 1e6 }, { QStringLiteral("K"), 1e3 }, { QStringLiteral("M"), 1e-3 },
        { QStringLiteral("U"), 1e-6 }, { QStringLiteral("N"), 1e-9 }, { QStringLiteral("P"), 1e-12 },
        { QStringLiteral("F"), 1e-15 }, { QStringLiteral("A"), 1e-18 } };
    for (int i = 0; i < bases.size(); ++i) {
        if (!written.endsWith(bases.at(i)))
            continue;
        const QString prefix = written.left(written.size() - bases.at(i).size());
        for (const auto& multiplier : multipliers) {
            if (multiplier.first == prefix) {
                *scale = multiplier.second * factors.at(i);
                return true;
            }
        }
    }
    return false;
}

bool Call::choice(int index, const QStringList& forms, int* which)
{
    const Parameter& p = command_.parameters.at(index);
    if (p.kind == Parameter::String) {
        fail(DataTypeError);
        return false;
    }
    if (p.kind == Parameter::Characters) {
        for (int i = 0; i < forms.size(); ++i) {
            if (matchesForm(p.text, forms.at(i))) {
                *which = i;
                return true;
            }
        }
    }
    fail(IllegalParameterValue);
    return false;
}

bool Call::string(int index, QString* value)
{
    const Parameter& p = command_.parameters.at(index);
    if (p.kind != Parameter::String) {
        fail(DataTypeError);
        return false;
    }
    *value = p.text;
    return true;
}

// --- Headers -----------------------------------------------------------------------------------

QString shortForm(const QString& longForm)
{
    QString result;
    for (const QChar c : longForm) {
        if (c.isUpper() || c.isDigit())
            result.append(c);
    }
    return result;
}

bool matchesForm(const QString& written, const QString& form)
{
    return written.compare(shortForm(form), Qt::CaseInsensitive) == 0
           || written.compare(form, Qt::CaseInsensitive) == 0;
}

void CommandTable::define(const char* pattern, Handler set, Handler query)
{
    Entry entry;
    entry.pattern = QString::fromLatin1(pattern);
    entry.set = std::move(set);
    entry.query = std::move(query);
    QString text = entry.pattern;
    if (text.startsWith(QLatin1Char('*'))) {
        entry.common = true;
        entry.nodes.append(Node{text.mid(1), false, false});
    } else {
        // "SOURce#:VOLTage[:LEVel]": walk node by node, brackets marking optional ones.
        bool optional = false;
        QString current;
        const auto flush = [&] {
            if (current.isEmpty())
                return;
            Node node;
            node.takesChannel = current.endsWith(QLatin1Char('#'));
            node.longForm = node.takesChannel ? current.left(current.size() - 1) : current;
            node.optional = optional;
            entry.nodes.append(node);
            current.clear();
        };
        for (const QChar c : text) {
            if (c == QLatin1Char('[')) {
                flush();
                optional = true;
            } else if (c == QLatin1Char(']')) {
                flush();
                optional = false;
            } else if (c == QLatin1Char(':')) {
                flush();
            } else {
                current.append(c);
            }
        }
        flush();
    }
    entries.append(entry);
}

bool CommandTable::match(const Entry& entry, const Header& header, int i, int j, QVector<int>& used)
{
    if (j == entry.nodes.size())
        return i == header.nodes.size();
    const Node& node = entry.nodes.at(j);
    if (i < header.nodes.size() && matchesForm(header.nodes.at(i), node.longForm)) {
        used[i] = j;
        if (match(entry, header, i + 1, j + 1, used))
            return true;
    }
    return node.optional && match(entry, header, i, j + 1, used);
}

int CommandTable::execute(const Command& command, Session& session, QString* answer, bool* answered,
                          QString* detail) const
{
    *answered = false;
    if (command.error != 0)
        return command.error;
    // A command the path of the line's earlier commands leads nowhere is looked up again under the
    // path's shorter forms, down to the root ("VOLT:OFFS 1;OUTP ON" is OUTP, "SOUR2:VOLT:RANG FULL;
    // VOLT 1" is SOUR2:VOLT).
    Command shortened = command;
    for (;;) {
        const int code = executeHeader(shortened, session, answer, answered, detail);
        if (code != UndefinedHeader || shortened.header.inherited == 0)
            return code;
        const int drop = shortened.header.inherited - 1;
        shortened.header.nodes.removeAt(drop);
        shortened.header.suffixes.removeAt(drop);
        shortened.header.inherited = drop;
    }
}

int CommandTable::executeHeader(const Command& command, Session& session, QString* answer, bool* answered,
                                QString* detail) const
{
    const Header& header = command.header;
    for (const Entry& entry : entries) {
        if (entry.common != header.common)
            continue;
        QVector<int> used(header.nodes.size(), -1);
        if (entry.common) {
            if (header.nodes.size() != 1 || header.nodes.first().compare(entry.nodes.first().longForm, Qt::CaseInsensitive) != 0)
                continue;
        } else if (!match(entry, header, 0, 0, used)) {
            continue;
        }
        const Handler& handler = header.query ? entry.query : entry.set;
        if (!handler)
            return UndefinedHeader;
        // A suffix where the node takes a channel is that channel, 1..maxChannel; elsewhere only
        // 1 (the same as none) is allowed.
        int channel = 1;
        for (int i = 0; i < header.nodes.size(); ++i) {
            const qint64 suffix = header.suffixes.at(i);
            if (suffix < 0)
                continue;
            const bool takesChannel = !entry.common && entry.nodes.at(used.at(i)).takesChannel;
            if (takesChannel ? (suffix < 1 || suffix > maxChannel) : suffix != 1)
                return SuffixOutOfRange;
            if (takesChannel)
                channel = int(suffix);
        }
        Call call(command, channel, session);
        handler(call);
        if (call.error != 0) {
            if (detail)
                *detail = call.detail;
            return call.error;
        }
        *answered = call.answered;
        *answer = call.answer;
        return 0;
    }
    return UndefinedHeader;
}

QStringList CommandTable::patterns() const
{
    QStringList result;
    for (const Entry& entry : entries) {
        if (entry.set)
            result.append(entry.pattern);
        if (entry.query)
            result.append(entry.pattern + QLatin1Char('?'));
    }
    return result;
}

} // namespace scpi
