#ifndef MODIFICATIONLIMITS_H
#define MODIFICATIONLIMITS_H

#include <QString>
#include <QtGlobal>

// Voltage, offset and custom-amplitude limits of one module modification, in millivolts (except
// offsetBelowMinVolts). The *BelowMin values are one below the real range: a common control shows
// them while the enabled channels disagree.
struct ModificationLimits
{
    qint32 acMin;
    qint32 acMax;                 // full range; the one-tenth range allows acMax / 10
    qint32 dcMin;
    qint32 dcMax;                 // full range; the one-tenth range allows dcMax / 10
    qint32 voltageDefault;
    qint32 customAmplitudeMin;
    qint32 customAmplitudeMax;
    qint32 customAmplitudeDefault;
    qint32 offsetMin;
    qint32 offsetMax;
    qint32 offsetDefault;
    qint32 acBelowMin;
    qint32 dcBelowMin;
    qint32 offsetBelowMinVolts;   // volts
};

// Rows by modification code: 0 no module open, 1 symmetric (-10..+10 V), 2 shifted (-2..+20 V).
constexpr int modificationLimitRows = 3;
extern const ModificationLimits modificationLimits[modificationLimitRows];

// The limits for a modification code. Code 3 shares the output scale of code 2 and takes its
// limits; any code outside the table gets the row of no module (all zeros), never a read past it.
const ModificationLimits& limitsForModification(int code);

// Voltage types of the type selectors, recognised by item text ("AC", "DC"); 0 for any other.
enum VoltageTypeCode { VoltageTypeOther = 0, VoltageTypeAc = 1, VoltageTypeDc = 2 };
VoltageTypeCode voltageTypeFromText(const QString& itemText);
// The special type "Особый" (custom signal), offered only while custom signals are enabled.
QString specialTypeText();

// Text of a range selector item for a voltage type: item 0 is the one-tenth range
// ("%1 В" with the type's maximum / 10000), item 1 the full range (maximum / 1000), in volts in
// the shortest form ("0.7 В", "7 В", "2 В", "20 В"). Empty for any other type or item.
QString rangeItemText(const ModificationLimits& limits, VoltageTypeCode type, int item);

// Range code read back from a range selector's current text: 2 one-tenth range, 1 full range,
// 0 when the text is neither (or empty).
int rangeCodeFromText(const ModificationLimits& limits, const QString& itemText);

// Highest frequency of every frequency field with n channels switched on: the module's word rate
// is shared among them (249999, 124999, 62499 or 31249 Hz).
int frequencyCeilingFor(int checkedChannels);

// Maximum of a voltage spin box for a type and range code; `current` stays for range code 0 or a
// type other than AC and DC.
int voltageMaximum(const ModificationLimits& limits, VoltageTypeCode type, int rangeCode, int current);

#endif
