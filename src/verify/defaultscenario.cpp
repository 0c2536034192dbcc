#include "defaultscenario.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <cmath>

// Resources of a static library are brought in by name, from the global namespace.
static void initVerifyResources()
{
    Q_INIT_RESOURCE(verify);
}

namespace verify {

namespace {

constexpr int defaultDacRate = 192000;
const double acFrequencies[] = { 20.0, 1000.0, 0.0 };   // 0: the highest of the DAC rate
const double acLevels[] = { 0.1, 0.5, 0.9 };
const double dcLevels[] = { -1.0, -0.5, 0.0, 0.5, 1.0 };

// {"value_pct", "range_pct"} at `where`.
bool readTolerance(const QJsonValue& value, const QString& where, Tolerance* out, QString* error)
{
    if (!value.isObject()) {
        *error = where + QStringLiteral(": ожидается объект с \"value_pct\" и \"range_pct\"");
        return false;
    }
    const QJsonObject o = value.toObject();
    Tolerance t;
    for (const char* key : { "value_pct", "range_pct" }) {
        const QJsonValue v = o.value(QLatin1String(key));
        if (!v.isDouble() || v.toDouble() < 0 || v.toDouble() > 100) {
            *error = where + QStringLiteral(", \"%1\": ожидается число от 0 до 100").arg(QLatin1String(key));
            return false;
        }
        (key[0] == 'v' ? t.valuePct : t.rangePct) = v.toDouble();
    }
    *out = t;
    return true;
}

bool readPair(const QJsonObject& o, const QString& where, Tolerance* pair, QString* error)
{
    return readTolerance(o.value(QLatin1String("full")), where + QStringLiteral(", \"full\""), &pair[0], error)
           && readTolerance(o.value(QLatin1String("tenth")), where + QStringLiteral(", \"tenth\""), &pair[1], error);
}

QString moduleTitle(const ModuleFacts& module)
{
    return QStringLiteral("Поверка %1").arg(module.name.isEmpty() ? QStringLiteral("VEK72") : module.name);
}

} // namespace

Tolerance AccuracyTable::forStep(const Step& step) const
{
    const int r = step.range == Range::Full ? 0 : 1;
    switch (step.measure) {
    case Measure::DcVoltage: return dc[r];
    case Measure::Frequency: return frequency;
    case Measure::AcVoltage: break;
    }
    for (const AcBand& band : ac) {
        if (step.frequency <= band.upToHz)
            return band.range[r];
    }
    return ac.isEmpty() ? Tolerance() : ac.last().range[r];
}

bool readAccuracyTable(const QByteArray& json, AccuracyTable* table, QString* error)
{
    QString ignored;
    if (!error)
        error = &ignored;
    const QJsonDocument document = QJsonDocument::fromJson(json);
    if (!document.isObject() || document.object().value(QLatin1String("accuracy")).toInt() != 1) {
        *error = QStringLiteral("это не таблица погрешностей (\"accuracy\": 1)");
        return false;
    }
    const QJsonObject root = document.object();
    AccuracyTable read;
    if (!readPair(root.value(QLatin1String("dc")).toObject(), QStringLiteral("\"dc\""), read.dc, error)
        || !readTolerance(root.value(QLatin1String("frequency")), QStringLiteral("\"frequency\""), &read.frequency, error))
        return false;
    const QJsonArray bands = root.value(QLatin1String("ac")).toArray();
    if (bands.isEmpty()) {
        *error = QStringLiteral("\"ac\": ожидается список полос частот");
        return false;
    }
    for (int i = 0; i < bands.size(); ++i) {
        const QString where = QStringLiteral("\"ac\", полоса %1").arg(i + 1);
        const QJsonObject band = bands.at(i).toObject();
        AccuracyTable::AcBand b;
        b.upToHz = band.value(QLatin1String("upTo_Hz")).toDouble(-1);
        if (b.upToHz <= (read.ac.isEmpty() ? 0 : read.ac.last().upToHz)) {
            *error = where + QStringLiteral(", \"upTo_Hz\": ожидается частота выше, чем у полосы перед ней");
            return false;
        }
        if (!readPair(band, where, b.range, error))
            return false;
        read.ac.append(b);
    }
    *table = read;
    return true;
}

const AccuracyTable& shippedAccuracy()
{
    static const AccuracyTable table = [] {
        initVerifyResources();
        QFile file(QStringLiteral(":/verify/accuracy.json"));
        AccuracyTable t;
        QString error;
        if (!file.open(QIODevice::ReadOnly) || !readAccuracyTable(file.readAll(), &t, &error))
            qFatal("The accuracy table built into the program cannot be read: %s", qUtf8Printable(error));
        return t;
    }();
    return table;
}

double highestFrequency(int dacRate)
{
    return dacRate / 4.0;
}

Scenario defaultScenario(const ModuleFacts& module, const AccuracyTable& accuracy)
{
    Scenario scenario;
    scenario.title = moduleTitle(module);
    scenario.module = module.name;
    QVector<Range> ranges{ Range::Full };
    if (!module.fixedRange)
        ranges.append(Range::Tenth);

    for (int channel = 1; channel <= module.channelCount; ++channel) {
        Node channelNode = Node::category(QStringLiteral("Канал %1").arg(channel));
        for (Range range : ranges) {
            const RangeScale scale = rangeScale(module, range);
            Node rangeNode = Node::category(QStringLiteral("Диапазон %1").arg(rangeText(range)));
            Step base;
            base.channel = channel;
            base.range = range;
            base.dacRate = defaultDacRate;
            base.cyclic = true;

            for (double level : dcLevels) {
                Step s = base;
                s.type = SignalType::Dc;
                s.measure = Measure::DcVoltage;
                s.voltage = level < 0 ? -level * scale.low : level * scale.high;
                s.settleMs = defaultSettleMs(s.measure, s.acFilterHz);
                s.tolerance = accuracy.forStep(s);
                rangeNode.children.append(Node::ofStep(s));
            }
            Step ac = base;
            ac.type = SignalType::Ac;
            ac.measure = Measure::AcVoltage;
            // Around the middle of the range's levels, so that the highest RMS fits either side.
            ac.offset = std::round((scale.low + scale.high) / 2 * 1000) / 1000;
            for (double frequency : acFrequencies) {
                for (double level : acLevels) {
                    Step s = ac;
                    s.frequency = frequency > 0 ? frequency : highestFrequency(s.dacRate);
                    s.voltage = std::round(level * scale.acHigh * 1000) / 1000;
                    s.acFilterHz = acFilterFor(s.frequency);
                    s.settleMs = defaultSettleMs(s.measure, s.acFilterHz);
                    s.tolerance = accuracy.forStep(s);
                    rangeNode.children.append(Node::ofStep(s));
                }
            }
            Step f = ac;
            f.measure = Measure::Frequency;
            f.frequency = 1000;
            f.voltage = std::round(0.5 * scale.acHigh * 1000) / 1000;
            f.settleMs = defaultSettleMs(f.measure, f.acFilterHz);
            f.tolerance = accuracy.forStep(f);
            rangeNode.children.append(Node::ofStep(f));
            channelNode.children.append(rangeNode);
        }
        scenario.items.append(channelNode);
    }
    return scenario;
}

} // namespace verify
