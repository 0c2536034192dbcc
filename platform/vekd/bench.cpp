#include "bench.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>
#include <QSet>

namespace vekd {

Crate* Bench::find(const std::string& serial) const
{
    for (const auto& c : crates)
        if (c->serial == serial) return c.get();
    return nullptr;
}

bool takeFault(FaultTable& table, const std::string& function, int* code)
{
    auto it = table.find(function);
    if (it == table.end() || it->second.remaining <= 0) return false;
    *code = it->second.code;
    if (--it->second.remaining <= 0) table.erase(it);
    return true;
}

void builtinBench(Bench& bench)
{
    static const char kBuiltin[] = R"({"crates": [
        {"serial": "4B210736", "slots": [
            {"slot": 1, "type": 4660},
            {"slot": 3, "type": 8995, "modification": 1, "channels": 8, "serial": "72A10419", "firmware": 214},
            {"slot": 7, "type": 8995, "modification": 2, "channels": 4, "serial": "72B20733", "firmware": 215}]},
        {"serial": "4B210751", "slots": [{"slot": 2, "type": 4660}]}]})";
    QString error;
    if (!parseBench(kBuiltin, bench, &error)) qFatal("the built-in bench: %s", qPrintable(error));
}

static bool fail(QString* error, const QString& text)
{
    if (error) *error = text;
    return false;
}

// An integer member within [lo, hi]; absent gives def.
static bool intMember(const QJsonObject& o, const char* key, int lo, int hi, int def, int* out, QString* error,
                      const QString& where)
{
    QJsonValue v = o.value(key);
    if (v.isUndefined()) {
        *out = def;
        return true;
    }
    double d = v.toDouble();
    // the range first: converting a double outside int's range is undefined
    if (!v.isDouble() || d < lo || d > hi || d != double(int(d)))
        return fail(error, QString("%1: \"%2\" must be an integer from %3 to %4").arg(where, key).arg(lo).arg(hi));
    *out = int(d);
    return true;
}

static bool textMember(const QJsonObject& o, const char* key, const QString& def, std::string* out, QString* error,
                       const QString& where)
{
    QJsonValue v = o.value(key);
    QString s = v.isUndefined() ? def : v.toString();
    QByteArray utf8 = s.toUtf8();
    if ((!v.isUndefined() && !v.isString()) || utf8.isEmpty() || utf8.size() > 15 || utf8.contains('\0'))
        return fail(error, QString("%1: \"%2\" must be a text of 1 to 15 bytes").arg(where, key));
    *out = utf8.toStdString();
    return true;
}

bool parseBench(const QByteArray& json, Bench& bench, QString* error)
{
    QJsonParseError pe;
    QJsonDocument doc = QJsonDocument::fromJson(json, &pe);
    if (doc.isNull()) return fail(error, QString("not JSON: %1 at offset %2").arg(pe.errorString()).arg(pe.offset));
    if (!doc.isObject() || !doc.object().value("crates").isArray())
        return fail(error, "the top level must be an object with an array \"crates\"");
    QJsonArray crates = doc.object().value("crates").toArray();
    if (crates.size() > 16) return fail(error, "at most 16 crates");
    Bench out;
    QSet<QString> serials;
    for (int ci = 0; ci < crates.size(); ++ci) {
        QString where = QString("crates[%1]").arg(ci);
        if (!crates[ci].isObject()) return fail(error, where + ": must be an object");
        QJsonObject co = crates[ci].toObject();
        auto crate = std::make_unique<Crate>();
        if (!textMember(co, "serial", QString(), &crate->serial, error, where)) return false;
        if (serials.contains(QString::fromStdString(crate->serial)))
            return fail(error, where + ": serial \"" + QString::fromStdString(crate->serial) + "\" appears twice");
        serials.insert(QString::fromStdString(crate->serial));
        QJsonValue refuse = co.value("refuseOpen");
        if (!refuse.isUndefined() && !refuse.isBool()) return fail(error, where + ": \"refuseOpen\" must be true or false");
        crate->refuseOpen = refuse.toBool(false);
        QJsonValue slotsValue = co.value("slots");
        if (!slotsValue.isUndefined() && !slotsValue.isArray()) return fail(error, where + ": \"slots\" must be an array");
        QJsonArray slots = slotsValue.toArray();
        for (int si = 0; si < slots.size(); ++si) {
            QString sw = QString("%1.slots[%2]").arg(where).arg(si);
            if (!slots[si].isObject()) return fail(error, sw + ": must be an object");
            QJsonObject so = slots[si].toObject();
            int slot = 0, type = 0;
            if (!so.contains("slot") || !so.contains("type"))
                return fail(error, sw + ": \"slot\" and \"type\" are required");
            if (!intMember(so, "slot", 1, 16, 0, &slot, error, sw)) return false;
            if (!intMember(so, "type", 1, 65535, 0, &type, error, sw)) return false;
            Slot& s = crate->slots[size_t(slot - 1)];
            if (s.type) return fail(error, QString("%1: slot %2 appears twice").arg(sw).arg(slot));
            s.type = uint16_t(type);
            if (type != VEK72_MODULE_TYPE) continue;
            int modification = 1, channels = 8, firmware = 100;
            Vek72Identity id;
            if (!intMember(so, "modification", 0, 255, 1, &modification, error, sw)) return false;
            if (!intMember(so, "channels", 1, 8, 8, &channels, error, sw)) return false;
            if (!intMember(so, "firmware", 0, 65535, 100, &firmware, error, sw)) return false;
            QString defSerial = QString("%1-%2").arg(QString::fromStdString(crate->serial).left(12)).arg(slot);
            if (!textMember(so, "serial", defSerial, &id.serial, error, sw)) return false;
            QJsonValue faulty = so.value("faulty");
            if (!faulty.isUndefined() && !faulty.isBool()) return fail(error, sw + ": \"faulty\" must be true or false");
            s.faulty = faulty.toBool(false);
            id.modification = uint8_t(modification);
            id.channels = uint8_t(channels);
            id.firmware = uint16_t(firmware);
            s.module = std::make_unique<Vek72Module>(id);
        }
        out.crates.push_back(std::move(crate));
    }
    bench.crates = std::move(out.crates);
    return true;
}

} // namespace vekd
