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
