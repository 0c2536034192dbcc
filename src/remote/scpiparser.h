// The command lines of remote control (IEEE 488.2 / SCPI style): one line holds one or more
// commands separated by ';'. Plain code: no sockets, no widgets.
#ifndef SCPIPARSER_H
#define SCPIPARSER_H

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QVector>

namespace scpi {

// One parameter of a command, as written.
struct Parameter
{
    enum Kind { Number, String, Characters, ChannelList, Block };
    Kind kind = Characters;
    QString text;       // Characters: the word; String: the content without quotes; Number: as written;
                        // ChannelList: what stands between the parentheses ("@101,103:105")
    QByteArray data;    // Block: the bytes of a definite-length block ("#3123...")
    double number = 0;  // Number: the value without its unit (may be infinite when it overflows)
    QString unit;       // Number: the unit written after it, upper case ("MV", "KHZ"); empty without
};

// The header of a command with the path of the line's earlier commands already applied (a command
// after ';' without a leading ':' continues the previous command's path).
struct Header
{
    bool common = false;      // "*IDN?" and the like
    bool query = false;       // ends with '?'
    QStringList nodes;        // mnemonics without their numeric suffix, as written ("SOUR", "VOLT")
    QVector<qint64> suffixes; // per node: the numeric suffix, -1 when none was written
    int inherited = 0;        // how many of the first nodes came from the path of the line's earlier commands
};

struct Command
{
    Header header;
    QVector<Parameter> parameters;
    int error = 0;     // 0, or the code of what is wrong with the command as written (-102)
    QByteArray text;   // the command as written, for messages
};

// Splits one line (without its '\n'; a '\r' before it is ignored) into its commands. Parsing stops
// after the first command that cannot be parsed: that command is the last one, with its error. An
// empty line (or one of blanks only) gives no command; empty commands between ';' are left out.
// Numbers: decimal with an exponent (blanks allowed around the 'E'), or #H, #Q, #B followed by
// hexadecimal, octal or binary digits. A definite-length block "#<n><length><bytes>" takes its
// bytes as they are, '\n' among them.
QVector<Command> parseLine(const QByteArray& line);

// How many bytes a line still needs for the definite-length block it ends in: 0 when it ends in
// none, or when the block is complete. The server reads on past a '\n' that falls inside a block.
qint64 blockBytesMissing(const QByteArray& line);

} // namespace scpi

#endif
