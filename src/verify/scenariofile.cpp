#include "scenariofile.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>

#include <cmath>

#include "version.h"

namespace verify {

namespace scenariofile {

namespace {

const QStringList typeNames{ QStringLiteral("AC"), QStringLiteral("DC"), QStringLiteral("custom") };
const QStringList rangeNames{ QStringLiteral("full"), QStringLiteral("tenth") };
const QStringList modeNames{ QStringLiteral("cyclic"), QStringLiteral("streaming") };
const QStringList measureNames{ QStringLiteral("DC"), QStringLiteral("AC"), QStringLiteral("frequency") };
const QStringList shapeNames{ QStringLiteral("sine"), QStringLiteral("triangle"), QStringLiteral("saw"),
                              QStringLiteral("pulse"), QStringLiteral("line") };

const SignalType typeValues[] = { SignalType::Ac, SignalType::Dc, SignalType::Custom };
const Measure measureValues[] = { Measure::DcVoltage, Measure::AcVoltage, Measure::Frequency };

QString typeName(SignalType type)
{
    return type == SignalType::Ac ? typeNames[0] : type == SignalType::Dc ? typeNames[1] : typeNames[2];
}

QString measureName(Measure measure)
{
    return measure == Measure::DcVoltage ? measureNames[0] : measure == Measure::AcVoltage ? measureNames[1]
                                                                                            : measureNames[2];
}

QJsonObject stepObject(const Step& s)
{
    QJsonObject o{
        { QStringLiteral("step"), s.title },
        { QStringLiteral("channel"), s.channel },
        { QStringLiteral("type"), typeName(s.type) },
        { QStringLiteral("range"), rangeNames[s.range == Range::Full ? 0 : 1] },
        { QStringLiteral("voltage_V"), s.voltage },
        { QStringLiteral("frequency_Hz"), s.frequency },
        { QStringLiteral("offset_V"), s.offset },
        { QStringLiteral("dacRate_Hz"), s.dacRate },
        { QStringLiteral("mode"), modeNames[s.cyclic ? 0 : 1] },
        { QStringLiteral("measure"), measureName(s.measure) },
        { QStringLiteral("settle_ms"), s.settleMs },
        { QStringLiteral("readings"), s.readings },
        { QStringLiteral("expected"), s.expectedGiven ? QJsonValue(s.expected) : QJsonValue(QStringLiteral("auto")) },
    };
    if (s.type == SignalType::Custom)
        o.insert(QStringLiteral("shape"), shapeNames.value(s.shape));
    if (s.measure == Measure::AcVoltage)
        o.insert(QStringLiteral("acFilter_Hz"), s.acFilterHz);
    const Tolerance& t = s.tolerance;
    o.insert(QStringLiteral("tolerance"),
             t.absolute ? QJsonObject{ { QStringLiteral("absolute"), t.limit } }
                        : QJsonObject{ { QStringLiteral("value_pct"), t.valuePct },
                                       { QStringLiteral("range_pct"), t.rangePct } });
    return o;
}

QJsonArray itemsArray(const QVector<Node>& nodes)
{
    QJsonArray items;
    for (const Node& node : nodes) {
        if (node.isStep)
            items.append(stepObject(node.step));
        else
            items.append(QJsonObject{ { QStringLiteral("category"), node.title },
                                      { QStringLiteral("items"), itemsArray(node.children) } });
    }
    return items;
}

QString num(double value)
{
    return QString::number(value, 'g', 10);
}

// Reads the members of one object and names the first that is missing or wrong, after `where`
// (the entry: the categories above and the step).
class Reader
{
public:
    Reader(const QJsonObject& object, QString where, QString* error)
        : object(object), where(std::move(where)), error(error)
    {
    }

    bool fail(const QString& key, const QString& text) const
    {
        *error = where + (key.isEmpty() ? QString() : QStringLiteral("\"%1\": ").arg(key)) + text;
        return false;
    }
    bool has(const char* key) const { return object.contains(QLatin1String(key)); }
    QJsonValue value(const char* key) const { return object.value(QLatin1String(key)); }

    bool number(const char* key, double* out) const
    {
        const QJsonValue v = value(key);
        if (v.isUndefined())
            return fail(QLatin1String(key), QStringLiteral("нет значения"));
        if (!v.isDouble())
            return fail(QLatin1String(key), QStringLiteral("ожидается число"));
        *out = v.toDouble();
        return true;
    }
    // Optional: absent keeps *out.
    bool numberIn(const char* key, double low, double high, double* out, bool required = false) const
    {
        if (!required && !has(key))
            return true;
        double d = 0;
        if (!number(key, &d))
            return false;
        if (!(d >= low && d <= high))
            return fail(QLatin1String(key), QStringLiteral("%1 — ожидается число от %2 до %3").arg(num(d), num(low), num(high)));
        *out = d;
        return true;
    }
    bool integerIn(const char* key, int low, int high, int* out, bool required = false) const
    {
        if (!required && !has(key))
            return true;
        double d = 0;
        if (!number(key, &d))
            return false;
        if (d != std::floor(d) || d < low || d > high)
            return fail(QLatin1String(key), QStringLiteral("%1 — ожидается целое число от %2 до %3").arg(num(d)).arg(low).arg(high));
        *out = int(d);
        return true;
    }
    bool oneOf(const char* key, const QList<int>& allowed, int* out) const
    {
        if (!has(key))
            return true;
        double d = 0;
        if (!number(key, &d))
            return false;
        if (d != std::floor(d) || !allowed.contains(int(d))) {
            QStringList names;
            for (int a : allowed)
                names << QString::number(a);
            return fail(QLatin1String(key), QStringLiteral("%1 — нет такого значения (%2)").arg(num(d), names.join(QStringLiteral(", "))));
        }
        *out = int(d);
        return true;
    }
    bool choice(const char* key, const QStringList& names, int* out, bool required = false) const
    {
        const QJsonValue v = value(key);
        if (v.isUndefined()) {
            if (required)
                return fail(QLatin1String(key), QStringLiteral("нет значения"));
            return true;
        }
        if (!v.isString())
            return fail(QLatin1String(key), QStringLiteral("ожидается текст (%1)").arg(names.join(QStringLiteral(", "))));
        const int index = names.indexOf(v.toString());
        if (index < 0)
            return fail(QLatin1String(key),
                        QStringLiteral("\"%1\" — нет такого значения (%2)").arg(v.toString(), names.join(QStringLiteral(", "))));
        *out = index;
        return true;
    }
    bool text(const char* key, QString* out) const
    {
        const QJsonValue v = value(key);
        if (v.isUndefined())
            return true;
        if (!v.isString())
            return fail(QLatin1String(key), QStringLiteral("ожидается текст"));
        *out = v.toString();
        return true;
    }

    const QJsonObject object;
    QString where;
    QString* error;
};

constexpr double maxVolts = 1000.0;
constexpr double maxFrequency = 250000.0;
constexpr double maxPercent = 100.0;

bool readTolerance(const Reader& step, Tolerance* tolerance)
{
    const QJsonValue v = step.value("tolerance");
    if (v.isUndefined())
        return step.fail(QStringLiteral("tolerance"), QStringLiteral("нет значения"));
    if (!v.isObject())
        return step.fail(QStringLiteral("tolerance"), QStringLiteral("ожидается объект с \"value_pct\" и \"range_pct\" или с \"absolute\""));
    const Reader r(v.toObject(), step.where + QStringLiteral("\"tolerance\", "), step.error);
    Tolerance t;
    if (r.has("absolute")) {
        if (r.has("value_pct") || r.has("range_pct"))
            return r.fail(QString(), QStringLiteral("\"absolute\" или \"value_pct\" и \"range_pct\", не то и другое"));
        t.absolute = true;
        if (!r.numberIn("absolute", 0, 1e9, &t.limit, true))
            return false;
    } else {
        if (!r.has("value_pct") && !r.has("range_pct"))
            return r.fail(QString(), QStringLiteral("нет ни \"value_pct\", ни \"range_pct\", ни \"absolute\""));
        if (!r.numberIn("value_pct", 0, maxPercent, &t.valuePct) || !r.numberIn("range_pct", 0, maxPercent, &t.rangePct))
            return false;
    }
    *tolerance = t;
    return true;
}

bool readStep(const QJsonObject& object, const QString& where, Step* out, QString* error)
{
    const Reader r(object, where, error);
    Step s;
    int index = 0;
    if (!r.text("step", &s.title) || !r.integerIn("channel", 1, 8, &s.channel, true))
        return false;
    if (!r.choice("type", typeNames, &index, true))
        return false;
    s.type = typeValues[index];
    if (!r.choice("shape", shapeNames, &s.shape))
        return false;
    if (!r.choice("range", rangeNames, &index, true))
        return false;
    s.range = index == 0 ? Range::Full : Range::Tenth;
    if (!r.numberIn("voltage_V", -maxVolts, maxVolts, &s.voltage, true)
        || !r.numberIn("frequency_Hz", 0.001, maxFrequency, &s.frequency)
        || !r.numberIn("offset_V", -maxVolts, maxVolts, &s.offset)
        || !r.oneOf("dacRate_Hz", { 48000, 96000, 192000 }, &s.dacRate))
        return false;
    index = 0;
    if (!r.choice("mode", modeNames, &index))
        return false;
    s.cyclic = index == 0;
    if (!r.choice("measure", measureNames, &index, true))
        return false;
    s.measure = measureValues[index];
    if (!r.oneOf("acFilter_Hz", { 3, 20, 200 }, &s.acFilterHz))
        return false;
    s.settleMs = defaultSettleMs(s.measure, s.acFilterHz);
    if (!r.integerIn("settle_ms", 0, 600000, &s.settleMs) || !r.integerIn("readings", 1, 100, &s.readings))
        return false;
    const QJsonValue expected = r.value("expected");
    if (expected.isDouble()) {
        if (!r.numberIn("expected", -1e9, 1e9, &s.expected))
            return false;
        s.expectedGiven = true;
    } else if (!expected.isUndefined() && expected.toString() != QLatin1String("auto")) {
        return r.fail(QStringLiteral("expected"), QStringLiteral("ожидается число или \"auto\""));
    }
    if (!readTolerance(r, &s.tolerance))
        return false;
    *out = s;
    return true;
}

// The entry of a node in messages: the categories above it, then the node.
QString entryOf(const QString& above, const QJsonObject& object, int stepNumber)
{
    if (object.contains(QLatin1String("category")))
        return above + QStringLiteral("категория «%1»").arg(object.value(QLatin1String("category")).toString());
    const QString title = object.value(QLatin1String("step")).toString();
    return above + (title.isEmpty() ? QStringLiteral("шаг %1").arg(stepNumber)
                                    : QStringLiteral("шаг %1 «%2»").arg(stepNumber).arg(title));
}

bool readItems(const QJsonValue& value, const QString& above, int* stepNumber, QVector<Node>* out, QString* error)
{
    if (!value.isArray()) {
        *error = above + QStringLiteral("\"items\": ожидается список категорий и шагов");
        return false;
    }
    const QJsonArray items = value.toArray();
    QVector<Node> nodes;
    for (int i = 0; i < items.size(); ++i) {
        if (!items.at(i).isObject()) {
            *error = above + QStringLiteral("элемент %1 списка \"items\": ожидается объект").arg(i + 1);
            return false;
        }
        const QJsonObject object = items.at(i).toObject();
        const bool isCategory = object.contains(QLatin1String("category"));
        if (isCategory && !object.value(QLatin1String("category")).isString()) {
            *error = above + QStringLiteral("элемент %1 списка \"items\", \"category\": ожидается текст").arg(i + 1);
            return false;
        }
        if (isCategory) {
            const QString entry = entryOf(above, object, 0) + QStringLiteral(" › ");
            Node category = Node::category(object.value(QLatin1String("category")).toString());
            if (!readItems(object.value(QLatin1String("items")), entry, stepNumber, &category.children, error))
                return false;
            nodes.append(category);
            continue;
        }
        ++*stepNumber;
        Step step;
        if (!readStep(object, entryOf(above, object, *stepNumber) + QStringLiteral(": "), &step, error))
            return false;
        nodes.append(Node::ofStep(step));
    }
    *out = nodes;
    return true;
}

} // namespace

QString suffix()
{
    return QStringLiteral("json");
}

QByteArray toJson(const Scenario& scenario)
{
    const QJsonObject root{
        { QStringLiteral("scenario"), formatVersion },
        { QStringLiteral("program"), QStringLiteral(STENDIX_VERSION) },
        { QStringLiteral("title"), scenario.title },
        { QStringLiteral("module"), scenario.module },
        { QStringLiteral("items"), itemsArray(scenario.items) },
    };
    return QJsonDocument(root).toJson(QJsonDocument::Indented);
}

bool fromJson(const QByteArray& bytes, Scenario* scenario, QString* error)
{
    QString ignored;
    if (!error)
        error = &ignored;
    QJsonParseError parseError{};
    const QJsonDocument document = QJsonDocument::fromJson(bytes, &parseError);
    if (parseError.error != QJsonParseError::NoError) {
        *error = QStringLiteral("это не сценарий: ошибка JSON в позиции %1 (%2)").arg(parseError.offset).arg(parseError.errorString());
        return false;
    }
    if (!document.isObject()) {
        *error = QStringLiteral("это не сценарий: ожидается объект JSON");
        return false;
    }
    const QJsonObject root = document.object();
    const QJsonValue version = root.value(QLatin1String("scenario"));
    if (version.isUndefined()) {
        *error = QStringLiteral("это не сценарий поверки: нет версии формата (\"scenario\")");
        return false;
    }
    if (!version.isDouble() || version.toDouble() < 1 || version.toDouble() != std::floor(version.toDouble())) {
        *error = QStringLiteral("\"scenario\": ожидается целое число от 1");
        return false;
    }
    if (version.toDouble() > formatVersion) {
        *error = QStringLiteral("сценарий записан в формате версии %1 более новой программой (%2), эта программа "
                                "читает формат до версии %3")
                     .arg(version.toDouble()).arg(root.value(QLatin1String("program")).toString(QStringLiteral("?")))
                     .arg(formatVersion);
        return false;
    }
    Scenario read;
    for (const char* key : { "title", "module" }) {
        const QJsonValue v = root.value(QLatin1String(key));
        if (!v.isUndefined() && !v.isString()) {
            *error = QStringLiteral("\"%1\": ожидается текст").arg(QLatin1String(key));
            return false;
        }
    }
    read.title = root.value(QLatin1String("title")).toString();
    read.module = root.value(QLatin1String("module")).toString();
    int stepNumber = 0;
    if (!readItems(root.value(QLatin1String("items")), QString(), &stepNumber, &read.items, error))
        return false;
    *scenario = read;
    return true;
}

bool save(const QString& path, const Scenario& scenario, QString* error)
{
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(toJson(scenario)) < 0 || !file.commit()) {
        if (error)
            *error = QStringLiteral("сценарий не записан в %1: %2").arg(path, file.errorString());
        return false;
    }
    return true;
}

bool load(const QString& path, Scenario* scenario, QString* error)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        if (error)
            *error = QStringLiteral("%1: %2").arg(path, file.errorString());
        return false;
    }
    QString why;
    if (!fromJson(file.readAll(), scenario, &why)) {
        if (error)
            *error = QStringLiteral("%1: %2").arg(path, why);
        return false;
    }
    return true;
}

} // namespace scenariofile
} // namespace verify
