#include "scenario.h"

#include <cmath>

namespace verify {

bool Step::operator==(const Step& o) const
{
    return title == o.title && channel == o.channel && type == o.type && (type != SignalType::Custom || shape == o.shape)
           && range == o.range && voltage == o.voltage && frequency == o.frequency && offset == o.offset
           && dacRate == o.dacRate && cyclic == o.cyclic && measure == o.measure
           && (measure != Measure::AcVoltage || acFilterHz == o.acFilterHz) && settleMs == o.settleMs
           && readings == o.readings && expectedGiven == o.expectedGiven
           && (!expectedGiven || expected == o.expected) && tolerance == o.tolerance;
}

Node Node::category(const QString& title, const QVector<Node>& children)
{
    Node node;
    node.title = title;
    node.children = children;
    return node;
}

Node Node::ofStep(const Step& step)
{
    Node node;
    node.isStep = true;
    node.step = step;
    return node;
}

bool Node::operator==(const Node& o) const
{
    if (isStep != o.isStep)
        return false;
    return isStep ? step == o.step : title == o.title && children == o.children;
}

int defaultSettleMs(Measure measure, int acFilterHz)
{
    switch (measure) {
    case Measure::DcVoltage: return 250;
    case Measure::Frequency: return 150;
    case Measure::AcVoltage: break;
    }
    return acFilterHz >= 200 ? 150 : acFilterHz >= 20 ? 1100 : 7500;
}

int acFilterFor(double frequencyHz)
{
    return frequencyHz >= 200 ? 200 : frequencyHz >= 20 ? 20 : 3;
}

namespace {

void collect(const QVector<Node>& nodes, QStringList& path, QVector<StepEntry>& out)
{
    for (const Node& node : nodes) {
        if (node.isStep) {
            out.append(StepEntry{ &node.step, path });
            continue;
        }
        path.append(node.title);
        collect(node.children, path, out);
        path.removeLast();
    }
}

} // namespace

QVector<StepEntry> stepsOf(const Scenario& scenario)
{
    QVector<StepEntry> out;
    QStringList path;
    collect(scenario.items, path, out);
    return out;
}

int stepCount(const QVector<Node>& nodes)
{
    int count = 0;
    for (const Node& node : nodes)
        count += node.isStep ? 1 : stepCount(node.children);
    return count;
}

QString rangeText(Range range)
{
    return range == Range::Full ? QStringLiteral("полный") : QStringLiteral("1/10");
}

QString measureText(Measure measure)
{
    switch (measure) {
    case Measure::DcVoltage: return QStringLiteral("DC");
    case Measure::AcVoltage: return QStringLiteral("AC");
    case Measure::Frequency: break;
    }
    return QStringLiteral("частота");
}

QString measureUnit(Measure measure)
{
    return measure == Measure::Frequency ? QStringLiteral("Гц") : QStringLiteral("В");
}

QString shapeText(int shape)
{
    static const char* const names[shapeCount] = { "синус", "треугольник", "пила", "импульс", "линия" };
    return shape >= 0 && shape < shapeCount ? QString::fromUtf8(names[shape]) : QString();
}

QString numberText(double value, int decimals)
{
    if (!std::isfinite(value))
        return QStringLiteral("-");
    QString text = QString::number(value, 'f', decimals);
    if (text.contains(QLatin1Char('.'))) {
        while (text.endsWith(QLatin1Char('0')))
            text.chop(1);
        if (text.endsWith(QLatin1Char('.')))
            text.chop(1);
    }
    if (text == QLatin1String("-0"))
        text = QStringLiteral("0");
    text.replace(QLatin1Char('.'), QLatin1Char(','));
    return text;
}

QString settingText(const Step& step)
{
    const QString volts = numberText(step.voltage) + QStringLiteral(" В");
    const QString hertz = numberText(step.frequency, 3) + QStringLiteral(" Гц");
    const QString offset = step.offset != 0.0
                               ? QStringLiteral(" %1%2 В").arg(step.offset > 0 ? QStringLiteral("+") : QString(),
                                                                numberText(step.offset))
                               : QString();
    switch (step.type) {
    case SignalType::Dc: return QStringLiteral("DC ") + volts;
    case SignalType::Ac: return QStringLiteral("AC %1 %2%3").arg(volts, hertz, offset);
    case SignalType::Custom: break;
    }
    if (step.shape == 4)
        return QStringLiteral("%1%2").arg(shapeText(step.shape), offset.isEmpty() ? QStringLiteral(" 0 В") : offset);
    return QStringLiteral("%1 %2 %3%4").arg(shapeText(step.shape), volts, hertz, offset);
}

QString stepTitle(const Step& step)
{
    if (!step.title.trimmed().isEmpty())
        return step.title;
    const QString set = settingText(step);
    const bool plain = (step.measure == Measure::DcVoltage && step.type == SignalType::Dc)
                       || (step.measure == Measure::AcVoltage && step.type == SignalType::Ac);
    return plain ? set : measureText(step.measure) + QStringLiteral(": ") + set;
}

} // namespace verify
