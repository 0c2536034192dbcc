#include "scriptedtransport.h"

namespace instruments {

LinkStatus ScriptedTransport::open(int timeoutMs)
{
    Q_UNUSED(timeoutMs)
    close();
    if (openStatus_ != LinkStatus::Ok)
        return openStatus_;
    open_ = true;
    ++opened_;
    return LinkStatus::Ok;
}

void ScriptedTransport::close()
{
    open_ = false;
    pending_.clear();
    nextReadFailure_ = LinkStatus::Ok;
}

LinkStatus ScriptedTransport::writeLine(const QByteArray& line, int timeoutMs)
{
    Q_UNUSED(timeoutMs)
    if (!open_)
        return LinkStatus::Closed;
    written_.append(line);
    const auto rule = script_.constFind(line);
    if (rule == script_.constEnd() || rule->isEmpty())
        return LinkStatus::Ok;
    const int turn = used_[line]++;
    const Reply& reply = rule->at(qMin(turn, rule->size() - 1));
    if (reply.failure != LinkStatus::Ok)
        nextReadFailure_ = reply.failure;
    else
        pending_.append(reply.lines);
    return LinkStatus::Ok;
}

LinkStatus ScriptedTransport::readLine(QByteArray* line, int timeoutMs)
{
    Q_UNUSED(timeoutMs)
    if (!open_)
        return LinkStatus::Closed;
    if (nextReadFailure_ != LinkStatus::Ok) {
        const LinkStatus failure = nextReadFailure_;
        nextReadFailure_ = LinkStatus::Ok;
        if (failure == LinkStatus::Closed)
            close();
        return failure;
    }
    if (pending_.isEmpty())
        return LinkStatus::Timeout;
    *line = pending_.takeFirst();
    return LinkStatus::Ok;
}

} // namespace instruments
