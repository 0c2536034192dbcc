#include "scpiparser.h"

#include <limits>

#include "scpierrors.h"

namespace scpi {

namespace {

bool isBlank(char c)
{
    // IEEE 488.2 white space: every control character and the space, but not the line end.
    return (static_cast<unsigned char>(c) <= 0x20) && c != '\n';
}

bool isLetter(char c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

bool isDigit(char c)
{
    return c >= '0' && c <= '9';
}

// Reads the commands of one line, left to right.
class LineReader
{
public:
    explicit LineReader(const QByteArray& line) : text(line)
    {
        end = text.size();
        if (end > 0 && text.at(end - 1) == '\r')
            --end;
    }

    QVector<Command> commands()
    {
        QVector<Command> result;
        skipBlanks();
        if (at >= end)
            return result;
        for (;;) {
            const int start = at;
            Command command;
            command.error = readCommand(command);
            command.text = text.mid(start, at - start).trimmed();
            if (command.error == 0) {
                skipBlanks();
                if (at < end && text.at(at) != ';')
                    command.error = SyntaxError;
            }
            if (command.error != 0) {
                // The rest of the line up to the next ';' belongs to this command in messages.
                const int next = text.indexOf(';', at);
                command.text = text.mid(start, (next < 0 || next > end ? end : next) - start).trimmed();
                result.append(command);
                return result;
            }
            applyPath(command.header);
            result.append(command);
            if (at >= end)
                return result;
            ++at;   // ';'
            skipBlanks();
            if (at >= end)
                return result;   // a ';' at the end of the line
        }
    }

private:
    char peek() const { return at < end ? text.at(at) : '\0'; }

    void skipBlanks()
    {
        while (at < end && isBlank(text.at(at)))
            ++at;
    }

    // A mnemonic: a letter, then letters, digits and '_'. The digits at its end are its suffix.
    bool readMnemonic(QString* name, qint64* suffix)
    {
        if (!isLetter(peek()))
            return false;
        const int start = at;
        while (at < end && (isLetter(text.at(at)) || isDigit(text.at(at)) || text.at(at) == '_'))
            ++at;
        int digits = at;
        while (digits > start && isDigit(text.at(digits - 1)))
            --digits;
        *name = QString::fromLatin1(text.constData() + start, digits - start);
        *suffix = -1;
        if (digits < at) {
            qint64 value = 0;
            // Anything beyond the range of an int is simply out of range: it stays at the top.
            for (int i = digits; i < at; ++i)
                value = qMin<qint64>(value * 10 + (text.at(i) - '0'), std::numeric_limits<int>::max());
            *suffix = value;
        }
        return true;
    }

    int readCommand(Command& command)
    {
        Header& header = command.header;
        if (peek() == '*') {
            ++at;
            header.common = true;
            // Common commands have no numeric suffix: their digits belong to the name.
            if (!isLetter(peek()))
                return SyntaxError;
            const int start = at;
            while (at < end && (isLetter(text.at(at)) || isDigit(text.at(at)) || text.at(at) == '_'))
                ++at;
            header.nodes.append(QString::fromLatin1(text.constData() + start, at - start));
            header.suffixes.append(-1);
        } else {
            if (peek() == ':') {
                ++at;
                rooted = true;
            } else {
                rooted = false;
            }
            for (;;) {
                QString name;
                qint64 suffix = -1;
                if (!readMnemonic(&name, &suffix))
                    return SyntaxError;
                header.nodes.append(name);
                header.suffixes.append(suffix);
                if (peek() != ':')
                    break;
                ++at;
            }
        }
        if (peek() == '?') {
            ++at;
            header.query = true;
        }
        if (at >= end || peek() == ';')
            return 0;
        if (!isBlank(peek()))
            return SyntaxError;
        skipBlanks();
        if (at >= end || peek() == ';')
            return 0;
        return readParameters(command.parameters);
    }

    int readParameters(QVector<Parameter>& parameters)
    {
        for (;;) {
            Parameter parameter;
            const int error = readParameter(parameter);
            if (error != 0)
                return error;
            parameters.append(parameter);
            skipBlanks();
            if (peek() != ',')
                return 0;
            ++at;
            skipBlanks();
        }
    }

    int readParameter(Parameter& parameter)
    {
        const char c = peek();
        if (c == '"' || c == '\'')
            return readString(parameter, c);
        if (c == '(')
            return readChannelList(parameter);
        if (isDigit(c) || c == '+' || c == '-' || c == '.')
            return readNumber(parameter);
        if (isLetter(c)) {
            const int start = at;
            while (at < end && (isLetter(text.at(at)) || isDigit(text.at(at)) || text.at(at) == '_'))
                ++at;
            parameter.kind = Parameter::Characters;
            parameter.text = QString::fromLatin1(text.constData() + start, at - start);
            return 0;
        }
        return SyntaxError;
    }

    int readString(Parameter& parameter, char quote)
    {
        ++at;
        QByteArray content;
        for (;;) {
            if (at >= end)
                return SyntaxError;   // not closed
            const char c = text.at(at++);
            if (c == quote) {
                if (peek() != quote)
                    break;
                ++at;   // a doubled quote stands for one
            }
            content.append(c);
        }
        parameter.kind = Parameter::String;
        parameter.text = QString::fromUtf8(content);
        return 0;
    }

    // "(@101,103:105)": kept as written between the parentheses, for the command to read.
    int readChannelList(Parameter& parameter)
    {
        int close = at + 1;
        while (close < end && text.at(close) != ')' && text.at(close) != ';')
            ++close;
        if (close >= end || text.at(close) != ')')
            return SyntaxError;
        parameter.kind = Parameter::ChannelList;
        parameter.text = QString::fromLatin1(text.constData() + at + 1, close - at - 1).remove(QLatin1Char(' '));
        at = close + 1;
        return 0;
    }

    // [+|-] (digits [. digits] | . digits) [E [+|-] digits], then an optional unit of letters.
    int readNumber(Parameter& parameter)
    {
        const int start = at;
        if (peek() == '+' || peek() == '-')
            ++at;
        int mantissaDigits = 0;
        while (isDigit(peek())) {
            ++at;
            ++mantissaDigits;
        }
        if (peek() == '.') {
            ++at;
            while (isDigit(peek())) {
                ++at;
                ++mantissaDigits;
            }
        }
        if (mantissaDigits == 0)
            return SyntaxError;
        // An exponent only when digits follow; "1E" alone is a syntax error, "1 E" a unit.
        if (peek() == 'e' || peek() == 'E') {
            int probe = at + 1;
            if (probe < end && (text.at(probe) == '+' || text.at(probe) == '-'))
                ++probe;
            if (probe < end && isDigit(text.at(probe))) {
                at = probe;
                while (isDigit(peek()))
                    ++at;
            } else {
                return SyntaxError;
            }
        }
        const QByteArray digits = text.mid(start, at - start);
        parameter.kind = Parameter::Number;
        parameter.text = QString::fromLatin1(digits);
        // Always with a '.' whatever the process's locale (strtod follows it); an overflow gives an
        // infinite value, which the command refuses as out of range.
        parameter.number = digits.toDouble();
        // The unit: letters after the number, with or without blanks between.
        const int afterNumber = at;
        skipBlanks();
        if (isLetter(peek())) {
            const int unitStart = at;
            while (isLetter(peek()))
                ++at;
            if (isDigit(peek()) || peek() == '_')
                return SyntaxError;
            parameter.unit = QString::fromLatin1(text.constData() + unitStart, at - unitStart).toUpper();
        } else {
            at = afterNumber;
        }
        return 0;
    }

    // A command after ';' without a leading ':' continues the path of the previous command (its
    // nodes but the last); common commands neither use nor change that path.
    void applyPath(Header& header)
    {
        if (header.common)
            return;
        if (!rooted) {
            header.nodes = pathNodes + header.nodes;
            header.suffixes = pathSuffixes + header.suffixes;
        }
        pathNodes = header.nodes.mid(0, header.nodes.size() - 1);
        pathSuffixes = header.suffixes.mid(0, header.suffixes.size() - 1);
    }

    const QByteArray& text;
    int at = 0;
    int end = 0;
    bool rooted = false;
    QStringList pathNodes;
    QVector<qint64> pathSuffixes;
};

} // namespace

QVector<Command> parseLine(const QByteArray& line)
{
    LineReader reader(line);
    return reader.commands();
}

} // namespace scpi
