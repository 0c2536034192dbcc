// What every user of an SCPI instrument needs, once: a query bounded by its time-out, waiting for
// *OPC? with a time-out of its own (longer than an ordinary query's), and draining SYSTem:ERRor?
// so that an instrument's error becomes the caller's result. Plain code over a LineTransport.
#ifndef INSTRUMENTS_SCPICLIENT_H
#define INSTRUMENTS_SCPICLIENT_H

#include "linetransport.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

namespace instruments {

class ScpiClient {
public:
    enum class Failure {
        None,
        Link,       // the transport failed (linkStatus() says how): the link cannot be trusted any more
        Garbled,    // an answer that is not what the query asks for: the link cannot be trusted either
        Instrument, // the instrument reported errors (drainErrors)
    };

    explicit ScpiClient(LineTransport& transport) : transport_(transport) {}

    // A command line, no answer expected.
    bool write(const QByteArray& line, int timeoutMs);
    // A query line and its one answer line. Lines left from an earlier query that timed out are
    // dropped first, so that an answer always belongs to its query.
    bool query(const QByteArray& line, QByteArray* answer, int timeoutMs);
    // A query answered by one number ("+2.50012345E+00").
    bool queryNumber(const QByteArray& line, double* value, int timeoutMs);
    // *OPC?: true once the instrument has done everything asked of it before.
    bool waitComplete(int timeoutMs);
    // SYSTem:ERRor? until the instrument says it has none ("+0,..." ), at most 32 times. The
    // errors it had ("-222,\"Data out of range\"") are in *errors, oldest first; true when there
    // were none (the failure is then Instrument), false too when the link failed.
    bool drainErrors(QStringList* errors, int timeoutMs);

    Failure failure() const { return failure_; }
    LinkStatus linkStatus() const { return link_; }
    // The last failure in the operator's words, naming the line it happened on.
    QString failureText() const { return failureText_; }
    // True when the failure leaves the link in doubt (Link or Garbled).
    bool linkBroken() const { return failure_ == Failure::Link || failure_ == Failure::Garbled; }

    // "+2.5E+00" as a number; false when it is not one.
    static bool parseNumber(const QByteArray& text, double* value);

private:
    bool linkFailed(LinkStatus status, const QByteArray& line, int timeoutMs);
    bool garbled(const QByteArray& line, const QByteArray& answer);

    LineTransport& transport_;
    Failure failure_ = Failure::None;
    LinkStatus link_ = LinkStatus::Ok;
    QString failureText_;
};

} // namespace instruments

#endif
