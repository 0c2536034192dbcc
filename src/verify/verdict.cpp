#include "verdict.h"

namespace verify {

QString verdictText(Verdict verdict)
{
    switch (verdict) {
    case Verdict::NotRun: break;
    case Verdict::Pass: return QStringLiteral("годен");
    case Verdict::Fail: return QStringLiteral("не годен");
    case Verdict::Aborted: return QStringLiteral("прерван");
    case Verdict::Error: return QStringLiteral("ошибка");
    }
    return QString();
}

} // namespace verify
