// A transport that plays a script instead of an instrument, for tests of what goes over a link:
// each line written is looked up in the script, and what the script says for it happens - answer
// lines to read, or a failure of the next read (nothing comes, the connection ends). Lines the
// script does not know are taken silently, as an instrument takes a command. Every line written is
// kept for the test to compare.
#ifndef INSTRUMENTS_SCRIPTEDTRANSPORT_H
#define INSTRUMENTS_SCRIPTEDTRANSPORT_H

#include "linetransport.h"

#include <QByteArrayList>
#include <QList>
#include <QMap>

namespace instruments {

class ScriptedTransport : public LineTransport {
public:
    // What the instrument does once for a line: the lines it answers, or (failure not Ok) how the
    // read after it fails; a Closed failure ends the connection.
    struct Reply {
        QByteArrayList lines;
        LinkStatus failure = LinkStatus::Ok;
    };
    static Reply answer(const QByteArray& line) { return Reply{{line}, LinkStatus::Ok}; }
    static Reply failure(LinkStatus status) { return Reply{{}, status}; }

    // The replies to `line` from now on, one each time it is written, the last one again and again.
    void on(const QByteArray& line, const QList<Reply>& replies)
    {
        script_[line] = replies;
        used_.remove(line);
    }
    void on(const QByteArray& line, const QByteArray& answerLine) { on(line, {answer(answerLine)}); }
    // open() fails with this (Ok: it opens).
    void refuseOpen(LinkStatus status) { openStatus_ = status; }

    const QByteArrayList& written() const { return written_; }
    int opened() const { return opened_; }

    LinkStatus open(int timeoutMs) override;
    void close() override;
    bool isOpen() const override { return open_; }
    LinkStatus writeLine(const QByteArray& line, int timeoutMs) override;
    LinkStatus readLine(QByteArray* line, int timeoutMs) override;
    void discardInput() override { pending_.clear(); }
    QString peerName() const override { return QStringLiteral("script"); }

private:
    QMap<QByteArray, QList<Reply>> script_;
    QMap<QByteArray, int> used_;
    QByteArrayList written_;
    QByteArrayList pending_;
    LinkStatus nextReadFailure_ = LinkStatus::Ok;
    LinkStatus openStatus_ = LinkStatus::Ok;
    bool open_ = false;
    int opened_ = 0;
};

} // namespace instruments

#endif
