// The planning rules of the output, transcribed step by step without any shortcut: the period
// search walks m = 1, 2, ..., the common length doubles and then scans upwards one by one, the
// block count is raised one by one. Slow, and the yardstick of the library's fast planning.
#ifndef REFERENCEPLAN_H
#define REFERENCEPLAN_H

#include <QList>
#include <QVector>

#include <algorithm>
#include <cmath>
#include <functional>

#include "channelsignal.h"

namespace reference {

struct Fit
{
    qint64 periods;
    double span;
};

// Starting with m = 1: stop if round(m r) equals m r exactly; stop if round((m + 1) r) >= maxLen;
// else m = m + 1. Then u = round(m r).
inline Fit fitPeriods(double r, qint64 maxLen)
{
    qint64 m = 1;
    for (;;) {
        const double x = double(m) * r;
        if (std::round(x) == x)
            break;
        if (std::round(double(m + 1) * r) >= double(maxLen))
            break;
        ++m;
    }
    return {m, std::round(double(m) * r)};
}

// Order by u, largest first; L = the largest. Repeat: every other u divides L: final; else if
// 2 L < maxLen: L = 2 L; else give up. Then scan upwards from the largest u for the first value
// every u divides; none below maxLen: L = maxLen.
inline qint64 commonLength(QVector<qint64> spans, qint64 maxLen)
{
    std::sort(spans.begin(), spans.end(), std::greater<qint64>());
    auto allDivide = [&spans](qint64 length) {
        for (int i = 1; i < spans.size(); ++i) {
            if (length % spans.at(i) != 0)
                return false;
        }
        return true;
    };
    qint64 length = spans.first();
    for (;;) {
        if (allDivide(length))
            return length;
        if (2 * length < maxLen)
            length *= 2;
        else
            break;
    }
    for (qint64 x = spans.first(); x < maxLen; ++x) {
        if (x % spans.first() == 0 && allDivide(x))
            return x;
    }
    return maxLen;
}

// Cyclic: 1. Streaming: ceil(L n / 4194304), raised one by one until it divides L.
inline qint64 blockCount(qint64 length, int n, bool cyclic)
{
    if (cyclic)
        return 1;
    qint64 count = qint64(std::ceil(double(length) * n / 4194304.0));
    if (count < 1)
        count = 1;
    while (length % count != 0)
        ++count;
    return count;
}

struct ChannelResult
{
    qint64 periods = 0;
    double span = 0.0;
    double samplesPerPeriod = 0.0;
    double frequency = 0.0;
};

struct Plan
{
    bool refused = false;
    qint64 maxLength = 0;
    qint64 length = 0;
    qint64 blockCount = 0;
    qint64 samplesPerBlock = 0;
    qint64 blockPeriodMs = 0;
    QVector<ChannelResult> channels;
};

inline Plan makePlan(const QList<ChannelSignal>& list, double rate, bool cyclic)
{
    Plan plan;
    const int n = list.size();
    plan.maxLength = (cyclic ? 4194304 : 134217728) / n;
    QVector<qint64> spans;
    for (const ChannelSignal& s : list) {
        ChannelResult c;
        if (s.shape == ChannelSignal::Line) {
            c.samplesPerPeriod = 2.0;
            c.periods = 1;
            c.span = 2.0;
        } else {
            if (!(s.frequency > 0 && 2 * s.frequency < rate)) {
                plan.refused = true;
                return plan;
            }
            c.samplesPerPeriod = rate / s.frequency;
            const Fit fit = fitPeriods(c.samplesPerPeriod, plan.maxLength);
            c.periods = fit.periods;
            c.span = fit.span;
        }
        spans.append(qint64(c.span));
        plan.channels.append(c);
    }
    plan.length = commonLength(spans, plan.maxLength);
    plan.blockCount = blockCount(plan.length, n, cyclic);
    plan.samplesPerBlock = plan.length / plan.blockCount;
    plan.blockPeriodMs = qint64(std::ceil(double(plan.samplesPerBlock) * 1000.0 / rate));
    for (ChannelResult& c : plan.channels) {
        c.periods = std::max(c.periods, qint64(std::floor(double(plan.length) / c.samplesPerPeriod)));
        c.samplesPerPeriod = double(plan.length) / double(c.periods);
        c.frequency = rate / c.samplesPerPeriod;
    }
    return plan;
}

} // namespace reference

#endif
