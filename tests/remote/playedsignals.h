// What a module of the simulator played last, per channel: frequency, peak-to-peak and mean, as the
// scope measures them from `vekctl capture`.
#ifndef PLAYEDSIGNALS_H
#define PLAYEDSIGNALS_H

#include <QFile>
#include <QTest>
#include <QMap>
#include <QTemporaryDir>
#include <QVector>

#include "benchstatus.h"
#include "scopemath.h"
#include "vekdrunner.h"

struct PlayedSignals
{
    double rate = 0;                          // frames per second the module plays
    int frames = 0;                           // frames captured
    QMap<int, scope::Measurement> channels;   // by channel number
    // Per channel: the lowest and highest volts, and the share of frames within 2 % of the swing
    // of one of them (about 1 for a square, far less for a sine or a ramp).
    QMap<int, double> lowest;
    QMap<int, double> highest;
    QMap<int, double> atExtremes;
    QString problem;                          // empty when the capture was read

    bool has(int channel) const { return channels.contains(channel); }
    scope::Measurement operator[](int channel) const { return channels.value(channel); }
};

inline PlayedSignals capturePlayed(VekdRunner& service, const QString& crate, int slot, int frames)
{
    PlayedSignals played;
    played.rate = benchstatus::module(benchstatus::status(service), crate, slot).value(QStringLiteral("outputRate")).toDouble();
    if (played.rate <= 0) {
        played.problem = QStringLiteral("the module plays nothing");
        return played;
    }
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("played.csv"));
    QByteArray err;
    if (service.vekctl({ "capture", "--crate", crate, "--slot", QString::number(slot), "--frames", QString::number(frames),
                         "--out", path }, nullptr, &err) != 0) {
        played.problem = QStringLiteral("vekctl capture: ") + QString::fromUtf8(err);
        return played;
    }
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        played.problem = QStringLiteral("no capture file");
        return played;
    }
    const QList<QByteArray> header = file.readLine().trimmed().split(',');
    QVector<double> values;
    int rows = 0;
    while (!file.atEnd()) {
        const QList<QByteArray> cells = file.readLine().trimmed().split(',');
        if (cells.size() != header.size())
            continue;
        for (const QByteArray& cell : cells)
            values.append(cell.toDouble());
        ++rows;
    }
    played.frames = rows;
    for (int i = 0; i < header.size(); ++i) {
        const int channel = header.at(i).mid(2).toInt();   // "ch3"
        const scope::Column column{ values.constData() + i, rows, int(header.size()) };
        played.channels[channel] = scope::measure(column, 0, rows, played.rate);
        double low = 0;
        double high = 0;
        for (int r = 0; r < rows; ++r) {
            const double v = values.at(r * header.size() + i);
            low = r == 0 ? v : qMin(low, v);
            high = r == 0 ? v : qMax(high, v);
        }
        int near = 0;
        for (int r = 0; r < rows; ++r) {
            const double v = values.at(r * header.size() + i);
            near += qAbs(v - low) <= 0.02 * (high - low) || qAbs(v - high) <= 0.02 * (high - low);
        }
        played.lowest[channel] = low;
        played.highest[channel] = high;
        played.atExtremes[channel] = rows > 0 ? double(near) / rows : 0.0;
    }
    return played;
}

// The next `frames` frames the module plays from now on (none of them played before this call).
inline PlayedSignals waitForPlayed(VekdRunner& service, const QString& crate, int slot, int frames)
{
    const auto playedSoFar = [&] {
        const QJsonObject module = benchstatus::module(benchstatus::status(service), crate, slot);
        return qint64(module.value(QStringLiteral("counters")).toObject().value(QStringLiteral("framesPlayed")).toDouble(-1));
    };
    const qint64 from = playedSoFar();
    PlayedSignals played;
    if (from < 0 || !QTest::qWaitFor([&] { return playedSoFar() >= from + frames; }, 20000)) {
        played.problem = QStringLiteral("the module did not play %1 frames").arg(frames);
        return played;
    }
    return capturePlayed(service, crate, slot, frames);
}

#endif
