#ifndef BENCHSTATUS_H
#define BENCHSTATUS_H

// What the simulator says about its crates and clients ("vekctl status"), for tests that check what
// the program left in the hardware.

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include "vekdrunner.h"

namespace benchstatus {

inline QJsonObject status(VekdRunner& vekd)
{
    QByteArray out;
    if (vekd.vekctl({QStringLiteral("status")}, &out) != 0)
        return {};
    return QJsonDocument::fromJson(out).object();
}

// The module of a slot ("opened", "running", "outputs", "configured", ...); empty when none.
inline QJsonObject module(const QJsonObject& status, const QString& crateSerial, int slot)
{
    for (const QJsonValue& crate : status.value(QStringLiteral("crates")).toArray()) {
        if (crate.toObject().value(QStringLiteral("serial")).toString() != crateSerial)
            continue;
        for (const QJsonValue& entry : crate.toObject().value(QStringLiteral("slots")).toArray())
            if (entry.toObject().value(QStringLiteral("slot")).toInt() == slot)
                return entry.toObject().value(QStringLiteral("module")).toObject();
    }
    return {};
}

inline bool opened(VekdRunner& vekd, const QString& crateSerial, int slot)
{
    return module(status(vekd), crateSerial, slot).value(QStringLiteral("opened")).toBool();
}

// True when every output of the module stands at 0 V.
inline bool outputsAtZero(const QJsonObject& module)
{
    const QJsonArray outputs = module.value(QStringLiteral("outputs")).toArray();
    if (outputs.isEmpty())
        return false;
    for (const QJsonValue& volts : outputs)
        if (volts.toDouble(1.0) != 0.0)
            return false;
    return true;
}

// Samples the module has put out flat at the end of an output's scale ("clippedSamples"): 0 for
// every test that plays, since nothing may play beyond the outputs.
inline qint64 clippedSamples(const QJsonObject& module)
{
    return qint64(module.value(QStringLiteral("counters")).toObject().value(QStringLiteral("clippedSamples")).toDouble(-1));
}

// Client connections the service holds, vekctl's own included.
inline int connections(const QJsonObject& status)
{
    return status.value(QStringLiteral("service")).toObject().value(QStringLiteral("connections")).toInt(-1);
}

} // namespace benchstatus

#endif
