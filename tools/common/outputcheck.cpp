#include "outputcheck.h"

#include <algorithm>
#include <cmath>
#include <numeric>

#include <QVector>

#include "dacword.h"
#include "signalargs.h"

namespace toolargs {

namespace {

// Volts a signal may pass a range's end by: what the conversion of an RMS or a peak-to-peak value
// can add to a peak given exactly at the end.
constexpr double rangeSlack = 1e-9;

QString volts(double value)
{
    return QString::number(value, 'g', 10);
}

// The samples of a planned channel that tell its lowest and highest value. The triangle, saw and
// pulse repeat their first period's P samples. The sine and the file's period are taken where
// sample k falls in the period, k * m / L turns: L / gcd(L, m) different places, the first so many
// samples.
qint64 telling(const synthesis::ChannelPlan& c, qint64 length)
{
    if (c.shape != ChannelSignal::Arbitrary)
        return std::min(length, qint64(std::llround(c.samplesPerPeriod)));
    return length / std::gcd(length, std::max<qint64>(1, c.periods));
}

} // namespace

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

int rateDivisor(int channels)
{
    return channels <= 1 ? 1 : channels <= 2 ? 2 : channels <= 4 ? 4 : 8;
}

double outputRate(double dacRateHz, int channels)
{
    return dacRateHz / rateDivisor(channels);
}

OutputRange outputRange(int modification, bool tenth)
{
    const vekproto::Scale scale = vekproto::channelScale(modification, tenth ? 1 : 0);
    return OutputRange{scale.min, scale.max,
                       QStringLiteral("VEK72-%1, %2").arg(modification).arg(tenth ? QStringLiteral("диапазон 1/10")
                                                                                  : QStringLiteral("полный диапазон"))};
}

bool checkRange(const QList<ChannelSignal>& signalList, const OutputRange& range, QString* error,
                const synthesis::Plan* plan)
{
    for (int i = 0; i < signalList.size(); ++i) {
        const ChannelSignal& s = signalList.at(i);
        double low = lowestVolts(s);
        double high = highestVolts(s);
        bool samplesBeyond = false;
        if (plan && i < plan->channels.size() && s.shape != ChannelSignal::Sine && s.shape != ChannelSignal::Line) {
            // A few at a time: a file's period may take all L samples to tell.
            const synthesis::ChannelPlan& c = plan->channels.at(i);
            const qint64 count = telling(c, plan->length);
            const synthesis::ChannelFiller filler(c, plan->length);
            QVector<double> samples(int(std::min<qint64>(std::max<qint64>(count, 0), qint64(1) << 16)));
            for (qint64 from = 0; from < count; from += samples.size()) {
                const qint64 to = std::min(count, from + samples.size());
                filler.fillInto(samples.data(), from, to);
                for (qint64 k = 0; k < to - from; ++k) {
                    const double v = samples[int(k)];
                    samplesBeyond = samplesBeyond || v < low - rangeSlack || v > high + rangeSlack;
                    low = std::min(low, v);
                    high = std::max(high, v);
                }
            }
        }
        if (low >= range.lowest - rangeSlack && high <= range.highest + rangeSlack)
            continue;
        QString what = s.shape == ChannelSignal::Line ? QStringLiteral("уровень %1 В").arg(volts(low))
                                                      : QStringLiteral("сигнал идёт от %1 до %2 В").arg(volts(low), volts(high));
        if (samplesBeyond)
            what += QStringLiteral(" (при %1 выборках на период выборки выходят за заданную амплитуду)")
                        .arg(QString::number(plan->channels.at(i).samplesPerPeriod, 'g', 6));
        *error = QStringLiteral("канал %1: %2, а выход модуля — от %3 до %4 В (%5)")
                     .arg(i + 1)
                     .arg(what, volts(range.lowest), volts(range.highest), range.name);
        return false;
    }
    return true;
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
