// What the simulated module played and counted, as tests read it through vekctl: the last frames
// (one column per enabled channel, volts), the module's status and its counters.
#ifndef VEK72_TESTS_PLAYED_H
#define VEK72_TESTS_PLAYED_H

#include <QJsonObject>
#include <QStringList>
#include <QTemporaryDir>
#include <QVector>

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

} // namespace

#endif
