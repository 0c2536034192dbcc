// A line link to an instrument: commands go out as lines, answers come back as lines ('\n' ends
// each; a '\r' before it is dropped). Every call is bounded by its time-out. One thread at a time
// uses a transport: the one that opened it.
#ifndef INSTRUMENTS_LINETRANSPORT_H
#define INSTRUMENTS_LINETRANSPORT_H

#include <QByteArray>
#include <QString>

namespace instruments {

enum class LinkStatus {
    Ok,
    Timeout,   // nothing (or not enough) came in time; an answer may still come later
    Closed,    // the instrument closed the connection, or it was never open
    Refused,   // the instrument cannot be reached (refused, no route, no such host)
    Cancelled, // the owner gave up waiting (the program is closing)
    Overlong,  // a line longer than any answer of an instrument
};

// What went wrong, in the operator's words ("не ответил за 1500 мс").
QString linkStatusText(LinkStatus status, int timeoutMs);

class LineTransport {
public:
    // The longest line a reader takes; more without a line end is LinkStatus::Overlong.
    static constexpr int maxLineBytes = 65536;

    virtual ~LineTransport() = default;
    virtual LinkStatus open(int timeoutMs) = 0;
    virtual void close() = 0;
    virtual bool isOpen() const = 0;
    // Sends `line` and its '\n'.
    virtual LinkStatus writeLine(const QByteArray& line, int timeoutMs) = 0;
    // The next line, without its line end.
    virtual LinkStatus readLine(QByteArray* line, int timeoutMs) = 0;
    // Lines that came without being asked for (a late answer after a time-out) are dropped.
    virtual void discardInput() = 0;
    // Where the instrument is, for messages ("127.0.0.1:5025").
    virtual QString peerName() const = 0;
};

} // namespace instruments

#endif
