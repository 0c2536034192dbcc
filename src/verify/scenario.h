// A verification scenario: a tree of categories and steps. A step sets one channel of the module
// (its signal, range, DAC rate and mode), waits, measures it with the bench's multimeter and
// compares the result with the value the channel should play, within a tolerance. Plain values,
// no widgets; the scenario's files are indented, versioned JSON (scenariofile.h).
#ifndef VERIFY_SCENARIO_H
#define VERIFY_SCENARIO_H

#include <QString>
#include <QStringList>
#include <QVector>

namespace verify {

enum class SignalType { Ac, Dc, Custom };
enum class Range { Full, Tenth };
enum class Measure { DcVoltage, AcVoltage, Frequency };

// ±(valuePct % of the expected value + rangePct % of the range), or ± an absolute limit in the
// measurement's unit (volts, hertz).
struct Tolerance
{
    bool absolute = false;
    double valuePct = 0;
    double rangePct = 0;
    double limit = 0;

    // The same limits: the absolute one, or the two shares.
    bool operator==(const Tolerance& o) const
    {
        return absolute == o.absolute && (absolute ? limit == o.limit : valuePct == o.valuePct && rangePct == o.rangePct);
    }
    bool operator!=(const Tolerance& o) const { return !(*this == o); }
};

struct Step
{
    QString title;            // empty: described by its settings (stepTitle)
    int channel = 1;          // 1..8
    SignalType type = SignalType::Dc;
    int shape = 0;            // custom signal: 0 sine, 1 triangle, 2 saw, 3 pulse, 4 line
    Range range = Range::Full;
    double voltage = 0;       // V: the DC level, the AC RMS, the custom signal's amplitude
    double frequency = 1000;  // Hz: AC and custom
    double offset = 0;        // V: AC and custom
    int dacRate = 192000;     // Hz: 48000, 96000 or 192000
    bool cyclic = true;       // "Циклический автогенератор", else "Потоковый"
    Measure measure = Measure::DcVoltage;
    int acFilterHz = 20;      // the meter's AC filter: 3, 20 or 200 Hz
    int settleMs = 250;       // from the channel playing the step's signal to the first reading
    int readings = 1;         // readings averaged
    bool expectedGiven = false;  // false: the value the channel should play (expectedValue)
    double expected = 0;
    Tolerance tolerance;

    // The same settings, as a file keeps them (a shape only for a custom signal, a filter only for
    // an AC measurement, an expected value only when given).
    bool operator==(const Step& o) const;
    bool operator!=(const Step& o) const { return !(*this == o); }
};

// A category (with children) or a step.
struct Node
{
    bool isStep = false;
    QString title;            // a category's title
    Step step;                // a step's settings
    QVector<Node> children;   // a category's contents
    // An identity a front end may give the node (to keep its results by); not saved, not compared.
    int key = 0;

    static Node category(const QString& title, const QVector<Node>& children = {});
    static Node ofStep(const Step& step);
    bool operator==(const Node& o) const;
    bool operator!=(const Node& o) const { return !(*this == o); }
};

struct Scenario
{
    QString title;
    QString module;           // the module it was made for ("VEK72-1-8"); informational
    QVector<Node> items;

    bool operator==(const Scenario& o) const { return title == o.title && module == o.module && items == o.items; }
    bool operator!=(const Scenario& o) const { return !(*this == o); }
};

// The settle time a new step of that measurement gets: long enough for the meter to read the new
// signal alone (its aperture, its AC filter's settling), ms.
int defaultSettleMs(Measure measure, int acFilterHz);
// The meter's AC filter for a signal of that frequency: the fastest one below it (3, 20 or 200 Hz).
int acFilterFor(double frequencyHz);

// The steps in the order they run (depth first), with the titles of the categories above each.
struct StepEntry
{
    const Step* step = nullptr;
    QStringList path;         // category titles from the top
};
QVector<StepEntry> stepsOf(const Scenario& scenario);
int stepCount(const QVector<Node>& nodes);

// "полный", "1/10".
QString rangeText(Range range);
// "DC", "AC", "частота".
QString measureText(Measure measure);
// The unit of a measurement: "В" or "Гц".
QString measureUnit(Measure measure);
// "синус", "треугольник", "пила", "импульс", "линия".
QString shapeText(int shape);
constexpr int shapeCount = 5;
// A number as the report writes it: a decimal comma, no trailing zeros ("-0,5", "1000", "0,000012").
QString numberText(double value, int decimals = 6);
// What the step sets, in a few words: "DC -5 В", "AC 0,7 В 20 Гц", "синус 1 В 50 Гц +0,5 В".
QString settingText(const Step& step);
// The step's title, or what it sets and measures when it has none ("AC 0,7 В 20 Гц", "частота
// AC 3,5 В 1000 Гц").
QString stepTitle(const Step& step);

} // namespace verify

#endif
