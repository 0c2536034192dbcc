#ifndef MODIFICATIONLIMITS_H
#define MODIFICATIONLIMITS_H

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

#endif
