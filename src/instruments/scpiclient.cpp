#include "scpiclient.h"

#include <QRegularExpression>

#include <cmath>

namespace instruments {

namespace {

constexpr int maxErrorsDrained = 32;

// An answer as it may be shown in a message: printable, and not too long.
QString shownAnswer(const QByteArray& answer)
{
    QString text;
    for (char c : answer.left(40))
        text += (c >= 0x20 && c < 0x7F) ? QChar::fromLatin1(c) : QChar(0xFFFD);
    return answer.size() > 40 ? text + QStringLiteral("…") : text;
}

} // namespace

bool ScpiClient::parseNumber(const QByteArray& text, double* value)
{
    static const QRegularExpression number(QStringLiteral("^[+-]?(\\d+\\.?\\d*|\\.\\d+)([eE][+-]?\\d+)?$"));
    const QByteArray trimmed = text.trimmed();
    if (!number.match(QString::fromLatin1(trimmed)).hasMatch())
        return false;
    bool ok = false;
    const double v = trimmed.toDouble(&ok);
    if (!ok || !std::isfinite(v))
        return false;
    *value = v;
    return true;
}

bool ScpiClient::linkFailed(LinkStatus status, const QByteArray& line, int timeoutMs)
{
    failure_ = Failure::Link;
    link_ = status;
    failureText_ = QStringLiteral("%1 (%2)").arg(linkStatusText(status, timeoutMs), QString::fromLatin1(line));
    return false;
}

bool ScpiClient::garbled(const QByteArray& line, const QByteArray& answer)
{
    failure_ = Failure::Garbled;
    link_ = LinkStatus::Ok;
    failureText_ = QStringLiteral("ответил непонятно: «%1» (%2)").arg(shownAnswer(answer), QString::fromLatin1(line));
    return false;
}

bool ScpiClient::write(const QByteArray& line, int timeoutMs)
{
    failure_ = Failure::None;
    const LinkStatus status = transport_.writeLine(line, timeoutMs);
    return status == LinkStatus::Ok || linkFailed(status, line, timeoutMs);
}

bool ScpiClient::query(const QByteArray& line, QByteArray* answer, int timeoutMs)
{
    transport_.discardInput();
    if (!write(line, timeoutMs))
        return false;
    const LinkStatus status = transport_.readLine(answer, timeoutMs);
    return status == LinkStatus::Ok || linkFailed(status, line, timeoutMs);
}

bool ScpiClient::queryNumber(const QByteArray& line, double* value, int timeoutMs)
{
    QByteArray answer;
    if (!query(line, &answer, timeoutMs))
        return false;
    return parseNumber(answer, value) || garbled(line, answer);
}

bool ScpiClient::waitComplete(int timeoutMs)
{
    QByteArray answer;
    const QByteArray line("*OPC?");
    if (!query(line, &answer, timeoutMs))
        return false;
    double done = 0;
    return (parseNumber(answer, &done) && done == 1) || garbled(line, answer);
}

bool ScpiClient::drainErrors(QStringList* errors, int timeoutMs)
{
    static const QRegularExpression entry(QStringLiteral("^([+-]?\\d+),\"(.*)\"$"));
    const QByteArray line("SYST:ERR?");
    errors->clear();
    for (int i = 0; i < maxErrorsDrained; ++i) {
        QByteArray answer;
        if (!query(line, &answer, timeoutMs))
            return false;
        const QRegularExpressionMatch match = entry.match(QString::fromLatin1(answer.trimmed()));
        if (!match.hasMatch())
            return garbled(line, answer);
        if (match.captured(1).toInt() == 0)
            break;
        errors->append(QString::fromLatin1(answer.trimmed()));
    }
    if (errors->isEmpty())
        return true;
    failure_ = Failure::Instrument;
    failureText_ = errors->join(QStringLiteral("; "));
    return false;
}

} // namespace instruments
