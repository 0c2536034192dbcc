// What the simulated module played and counted, as tests read it through vekctl: the last frames
// (one column per enabled channel, volts), the module's status and its counters.
#ifndef VEK72_TESTS_PLAYED_H
#define VEK72_TESTS_PLAYED_H

#include <QJsonObject>
#include <QStringList>
#include <QTemporaryDir>
#include <QVector>

#include <algorithm>
#include <cmath>

#include "apptestutil.h"
#include "benchstatus.h"
#include "vekdrunner.h"

namespace {

const QString crateA = QStringLiteral("4B210736");

// The last frames the module played, one column per enabled channel, in volts.
struct Played
{
    QStringList channels;            // "ch1", "ch3", ...
    QVector<QVector<double>> columns;
    int frames() const { return columns.isEmpty() ? 0 : columns.first().size(); }
};

inline Played capture(VekdRunner& service, int slot, int frames)
{
    Played played;
    QTemporaryDir dir;
    const QString path = dir.filePath("frames.csv");
    if (service.vekctl({"capture", "--crate", crateA, "--slot", QString::number(slot), "--frames",
                        QString::number(frames), "--out", path}) != 0)
        return played;
    const QList<QByteArray> lines = apptest::readFile(path).split('\n');
    played.channels = QString::fromLatin1(lines.value(0)).split(',');
    played.columns.resize(played.channels.size());
    for (int i = 1; i < lines.size(); ++i) {
        if (lines.at(i).isEmpty())
            continue;
        const QList<QByteArray> cells = lines.at(i).split(',');
        if (cells.size() != played.channels.size())
            continue;
        for (int c = 0; c < cells.size(); ++c)
            played.columns[c].append(cells.at(c).toDouble());
    }
    return played;
}

inline QJsonObject moduleOf(VekdRunner& service, int slot = 3)
{
    return benchstatus::module(benchstatus::status(service), crateA, slot);
}

inline qint64 counter(const QJsonObject& module, const char* name)
{
    return qint64(module.value("counters").toObject().value(QLatin1String(name)).toDouble(-1));
}

// The largest distance of the column from the best sine of `cyclesPerFrame` (and an offset) through
// all its frames: a channel that went on without a break fits one sine however long the capture.
inline double distanceFromOneSine(const QVector<double>& v, double cyclesPerFrame)
{
    // Least squares for v[k] ~ a sin(wk) + b cos(wk) + c.
    const double w = 2 * M_PI * cyclesPerFrame;
    double m[3][4] = {};
    for (int k = 0; k < v.size(); ++k) {
        const double row[3] = {std::sin(w * k), std::cos(w * k), 1.0};
        for (int i = 0; i < 3; ++i) {
            for (int j = 0; j < 3; ++j)
                m[i][j] += row[i] * row[j];
            m[i][3] += row[i] * v[k];
        }
    }
    for (int i = 0; i < 3; ++i) {
        for (int r = 0; r < 3; ++r) {
            if (r == i)
                continue;
            const double f = m[r][i] / m[i][i];
            for (int c = i; c < 4; ++c)
                m[r][c] -= f * m[i][c];
        }
    }
    const double a = m[0][3] / m[0][0], b = m[1][3] / m[1][1], c = m[2][3] / m[2][2];
    double worst = 0;
    for (int k = 0; k < v.size(); ++k)
        worst = std::max(worst, std::abs(v[k] - (a * std::sin(w * k) + b * std::cos(w * k) + c)));
    return worst;
}

} // namespace

#endif
