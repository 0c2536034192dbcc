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
        skipEmptyCommands();
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
            skipEmptyCommands();
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

    // Blanks and the ';' of empty commands (";*IDN?", "*RST;;*CLS").
    void skipEmptyCommands()
    {
        skipBlanks();
        while (at < end && text.at(at) == ';') {
            ++at;
            skipBlanks();
        }
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
        if (c == '#') {
            const char kind = at + 1 < end ? text.at(at + 1) : '\0';
            if (isDigit(kind))
                return readBlock(parameter);
            return readBasedNumber(parameter);
        }
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
        QByteArray digits = text.mid(start, at - start);
        // An exponent, with blanks allowed before and after the 'E' ("1 E 3"), only when digits
        // follow; "1E" alone is a syntax error, "1 E" a unit.
        const int afterMantissa = at;
        skipBlanks();
        if (peek() == 'e' || peek() == 'E') {
            const bool glued = at == afterMantissa;
            int probe = at + 1;
            while (probe < end && isBlank(text.at(probe)))
                ++probe;
            const int sign = probe;
            if (probe < end && (text.at(probe) == '+' || text.at(probe) == '-'))
                ++probe;
            if (probe < end && isDigit(text.at(probe))) {
                while (probe < end && isDigit(text.at(probe)))
                    ++probe;
                digits += 'e' + text.mid(sign, probe - sign);
                at = probe;
            } else if (glued) {
                return SyntaxError;
            } else {
                at = afterMantissa;
            }
        } else {
            at = afterMantissa;
        }
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

    // "#H1F", "#Q17", "#B1010": a whole number in base 16, 8 or 2 (at most 2^53 - 1).
    int readBasedNumber(Parameter& parameter)
    {
        const int start = at;
        ++at;   // '#'
        const char kind = char(peek() & ~0x20);
        const int base = kind == 'H' ? 16 : kind == 'Q' ? 8 : kind == 'B' ? 2 : 0;
        if (base == 0)
            return SyntaxError;
        ++at;
        double value = 0;
        int count = 0;
        for (;; ++at, ++count) {
            const char c = peek();
            int digit = -1;
            if (isDigit(c))
                digit = c - '0';
            else if (base == 16 && isLetter(c) && (c & ~0x20) <= 'F')
                digit = (c & ~0x20) - 'A' + 10;
            if (digit < 0 || digit >= base)
                break;
            value = value * base + digit;
        }
        if (count == 0 || isLetter(peek()) || isDigit(peek()) || value > 9007199254740991.0)
            return SyntaxError;
        parameter.kind = Parameter::Number;
        parameter.text = QString::fromLatin1(text.constData() + start, at - start);
        parameter.number = value;
        return 0;
    }

    // "#<n><length><bytes>": n (1..9) digits give the length, the bytes follow as they are.
    int readBlock(Parameter& parameter)
    {
        const int lengthDigits = text.at(at + 1) - '0';
        if (lengthDigits == 0)
            return InvalidBlockData;   // the indefinite form ends only with the message: not taken
        int probe = at + 2;
        qint64 length = 0;
        for (int i = 0; i < lengthDigits; ++i, ++probe) {
            if (probe >= end || !isDigit(text.at(probe)))
                return InvalidBlockData;
            length = length * 10 + (text.at(probe) - '0');
        }
        // A '\r' at the end of the line is a block's last byte when the block says so.
        if (length > end - probe && length <= text.size() - probe)
            end = text.size();
        if (length > end - probe)
            return InvalidBlockData;   // fewer bytes than the length says
        parameter.kind = Parameter::Block;
        parameter.data = text.mid(probe, int(length));
        at = probe + int(length);
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
            header.inherited = pathNodes.size();
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

qint64 blockBytesMissing(const QByteArray& line)
{
    // Outside quotes, the last "#<n><length>" whose bytes reach beyond the line.
    qint64 missing = 0;
    char quote = 0;
    for (int i = 0; i < line.size(); ++i) {
        const char c = line.at(i);
        if (quote) {
            if (c == quote)
                quote = 0;
            continue;
        }
        if (c == '"' || c == '\'') {
            quote = c;
            continue;
        }
        if (c != '#' || i + 1 >= line.size() || !isDigit(line.at(i + 1)) || line.at(i + 1) == '0')
            continue;
        const int lengthDigits = line.at(i + 1) - '0';
        if (i + 2 + lengthDigits > line.size())
            return 0;   // its length is not all there: the parser refuses it
        qint64 length = 0;
        for (int k = 0; k < lengthDigits; ++k) {
            const char d = line.at(i + 2 + k);
            if (!isDigit(d))
                return 0;
            length = length * 10 + (d - '0');
        }
        const qint64 available = line.size() - (i + 2 + lengthDigits);
        if (length > available)
            return length - available;
        i += 1 + lengthDigits + int(length);
    }
    return missing;
}

} // namespace scpi
