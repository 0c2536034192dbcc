// The scenario a module gets by default ("Восстановить изначальный сценарий"), and the table of the
// module's accuracy its tolerances come from. The table ships with the program
// (resources/verify/accuracy.json); a stand edits the tolerances in its scenarios.
#ifndef VERIFY_DEFAULTSCENARIO_H
#define VERIFY_DEFAULTSCENARIO_H

#include <QByteArray>
#include <QString>
#include <QVector>

#include "evaluation.h"
#include "scenario.h"

namespace verify {

struct AccuracyTable
{
    Tolerance dc[2];                 // full, one-tenth range
    struct AcBand
    {
        double upToHz = 0;
        Tolerance range[2];          // full, one-tenth range
    };
    QVector<AcBand> ac;              // by rising upToHz
    Tolerance frequency;

    // The tolerance of a step's measurement, at its range and frequency (an AC frequency above every
    // band takes the last band's).
    Tolerance forStep(const Step& step) const;
};

// False with `error` naming the first bad entry when the JSON is not such a table.
bool readAccuracyTable(const QByteArray& json, AccuracyTable* table, QString* error);
// The table that ships with the program.
const AccuracyTable& shippedAccuracy();

// The highest frequency a channel is verified at: four samples a period at the DAC rate (the
// channel alone on, it gets the whole rate).
double highestFrequency(int dacRate);

// Every channel of the module in its ranges (the full range only when the module's range is fixed):
// DC at -100 %, -50 %, 0, +50 % and +100 % of the range's limits; AC at 10 %, 50 % and 90 % of its
// highest RMS at 20 Hz, 1 kHz and the highest frequency of the DAC rate, around the middle of the
// range's levels; and the frequency of 1 kHz at 50 %. DAC rate 192 kHz, cyclic mode. One category
// per channel, one below it per range. Empty for a module without channels.
Scenario defaultScenario(const ModuleFacts& module, const AccuracyTable& accuracy = shippedAccuracy());

} // namespace verify

#endif
