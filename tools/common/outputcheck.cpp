#include "outputcheck.h"

#include <QVector>

#include "outputrange.h"
#include "signalargs.h"

namespace toolargs {

QString withChannels(int n)
{
    return QStringLiteral("при %1 %2").arg(n).arg(n % 10 == 1 && n % 100 != 11 ? QStringLiteral("канале")
                                                                                : QStringLiteral("каналах"));
}

bool checkDacRate(double dacRateHz, QString* error)
{
    if (dacRateHz == 48000.0 || dacRateHz == 96000.0 || dacRateHz == 192000.0)
        return true;
    *error = QStringLiteral("частота ЦАП %1 Гц: модуль работает только на 48000, 96000 или 192000 Гц")
                 .arg(QString::number(dacRateHz, 'g', 12));
    return false;
}

bool checkRange(const QList<ChannelSignal>& signalList, int modification, bool tenth, QString* error,
                const synthesis::Plan* plan)
{
    // In the terms synthesis plays them, which the plan's samples are in.
    QList<ChannelSignal> played;
    for (const ChannelSignal& s : signalList)
        played.append(forSynthesis(s));
    *error = synthesis::beyondOutputs(played, modification, QVector<bool>(played.size(), tenth), plan);
    return error->isEmpty();
}

bool checkLength(const QList<ChannelSignal>& signalList, double rateHz, bool cyclic, QString* error)
{
    const int n = signalList.size();
    if (n == 0 || !(rateHz > 0.0))
        return true;  // the planner refuses these with its own texts
    const qint64 total = cyclic ? synthesis::cyclicSampleLimit : synthesis::streamingSampleLimit;
    const qint64 perChannel = total / n;
    for (int i = 0; i < n; ++i) {
        const ChannelSignal& s = signalList.at(i);
        if (s.shape == ChannelSignal::Line || !(s.frequency > 0.0))
            continue;
        const double period = rateHz / s.frequency;
        if (period <= double(perChannel))
            continue;
        const QString holds = cyclic ? QStringLiteral("страница модуля вмещает %1 слова").arg(total)
                                     : QStringLiteral("поток программы вмещает %1 выборок").arg(total);
        *error = QStringLiteral("канал %1: период сигнала %2 Гц при %3 выборках/с на канал — %4 выборок, а %5, %6 — "
                                "не больше %7 на канал; самая низкая частота — %8 Гц")
                     .arg(i + 1)
                     .arg(QString::number(s.frequency, 'g', 10), QString::number(rateHz, 'g', 10),
                          QString::number(period, 'g', 10), holds, withChannels(n))
                     .arg(perChannel)
                     .arg(QString::number(rateHz / double(perChannel), 'g', 6));
        return false;
    }
    return true;
}

bool planOutput(const QList<ChannelSignal>& signalList, double rateHz, bool cyclic, synthesis::Plan* plan,
                QString* error, QList<ChannelSignal>* filled)
{
    if (!checkLength(signalList, rateHz, cyclic, error))
        return false;
    QList<ChannelSignal> converted;
    for (const ChannelSignal& s : signalList)
        converted.append(forSynthesis(s));
    bool planned = false;
    if (filled) {
        planned = synthesis::synthesizeAll(converted, rateHz, cyclic, plan);
        if (planned)
            *filled = converted;
    } else {
        *plan = synthesis::makePlan(converted, rateHz, cyclic);
        planned = plan->ok();
    }
    if (!planned) {
        *error = plan->message;
        return false;
    }
    // The checked periods keep the common length within the limit; a plan beyond it is never played.
    const qint64 total = cyclic ? synthesis::cyclicSampleLimit : synthesis::streamingSampleLimit;
    if (plan->length * signalList.size() > total) {
        *error = QStringLiteral("общая длина %1 выборок на канал %2 больше предела %3 выборок на все каналы")
                     .arg(plan->length)
                     .arg(withChannels(int(signalList.size())))
                     .arg(total);
        return false;
    }
    return true;
}

} // namespace toolargs
