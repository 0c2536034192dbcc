#include "modificationlimits.h"

const ModificationLimits modificationLimits[modificationLimitRows] = {
    //  acMin acMax  dcMin   dcMax voltDef cAmpMin cAmpMax cAmpDef offMin  offMax offDef acBel  dcBel  offBelV
    {   0,    0,     0,      0,    0,      0,      0,      0,      0,      0,     0,     -1,    -1,     -1 },
    {   0,    7000, -10000,  10000, 0,     0,      10000,  0,     -10000,  10000, 0,     -1,    -10001, -11 },
    {   0,    7000, -2000,   20000, 0,     0,      10000,  0,     -2000,   20000, 10000, -1,    -2001,  -3 },
};

const ModificationLimits& limitsForModification(int code)
{
    if (code == 3)
        return modificationLimits[2];
    if (code < 0 || code >= modificationLimitRows)
        return modificationLimits[0];
    return modificationLimits[code];
}

VoltageTypeCode voltageTypeFromText(const QString& itemText)
{
    if (itemText == QLatin1String("AC"))
        return VoltageTypeAc;
    if (itemText == QLatin1String("DC"))
        return VoltageTypeDc;
    return VoltageTypeOther;
}

QString specialTypeText()
{
    return QStringLiteral("Особый");
}

// Highest voltage of the full range for AC or DC, in millivolts; 0 for any other type.
static int fullRangeMaximum(const ModificationLimits& limits, VoltageTypeCode type)
{
    if (type == VoltageTypeAc)
        return limits.acMax;
    if (type == VoltageTypeDc)
        return limits.dcMax;
    return 0;
}

QString rangeItemText(const ModificationLimits& limits, VoltageTypeCode type, int item)
{
    if (type != VoltageTypeAc && type != VoltageTypeDc)
        return QString();
    const int maximum = fullRangeMaximum(limits, type);
    if (item == 0)
        return QStringLiteral("%1 В").arg(maximum / 10000.0, 0, 'g', -1);
    if (item == 1)
        return QStringLiteral("%1 В").arg(maximum / 1000.0, 0, 'g', -1);
    return QString();
}

int rangeCodeFromText(const ModificationLimits& limits, const QString& itemText)
{
    if (itemText.isEmpty())
        return 0;
    if (itemText == rangeItemText(limits, VoltageTypeAc, 0)
        || itemText == rangeItemText(limits, VoltageTypeDc, 0))
        return 2;
    if (itemText == rangeItemText(limits, VoltageTypeAc, 1)
        || itemText == rangeItemText(limits, VoltageTypeDc, 1))
        return 1;
    return 0;
}

int voltageMaximum(const ModificationLimits& limits, VoltageTypeCode type, int rangeCode, int current)
{
    if (type != VoltageTypeAc && type != VoltageTypeDc)
        return current;
    const int maximum = fullRangeMaximum(limits, type);
    if (rangeCode == 1)
        return maximum;
    if (rangeCode == 2)
        return maximum / 10;
    return current;
}

int frequencyCeilingFor(int checkedChannels)
{
    if (checkedChannels <= 1)
        return 249999;
    if (checkedChannels == 2)
        return 124999;
    if (checkedChannels <= 4)
        return 62499;
    return 31249;
}
