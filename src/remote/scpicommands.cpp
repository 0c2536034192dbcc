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
    if (p.kind == Parameter::Number && p.unit.isEmpty() && (p.number == 0 || p.number == 1)) {
        *value = p.number == 1;
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
    if (!p.unit.isEmpty()) {
        if (unit == Unit::Volt && p.unit == QLatin1String("V"))
            scale = 1.0;
        else if (unit == Unit::Volt && p.unit == QLatin1String("MV"))
            scale = 1e-3;
        else if (unit == Unit::Hertz && p.unit == QLatin1String("HZ"))
            scale = 1.0;
        else if (unit == Unit::Hertz && p.unit == QLatin1String("KHZ"))
            scale = 1e3;
        else {
            fail(InvalidSuffix);
            return false;
        }
    }
    const double v = p.number * scale;
    if (!std::isfinite(v)) {
        fail(DataOutOfRange);
        return false;
    }
    *value = v;
    return true;
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
