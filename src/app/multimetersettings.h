#ifndef MULTIMETERSETTINGS_H
#define MULTIMETERSETTINGS_H

#include <QString>

class QSettings;

// Group "Multimeter" of "stendix.ini": the bench's DMM. A file without the group (or with an empty
// "Address") has none, and the program shows nothing of it.
struct MultimeterSettings
{
    QString address;      // "Address": "host:port" of the meter's SCPI socket (port 5025 as a rule)
    bool scanner = false; // "Scanner": its multiplexer's channels 101..108 reach the module's outputs 1..8
    int decimalsDC = 6;   // "AccuracyDC": decimals of a DC reading, volts
    int decimalsAC = 6;   // "AccuracyAC": decimals of an AC reading, volts RMS
    int decimalsFreq = 3; // "AccuracyFreq": decimals of a frequency, hertz

    bool present() const { return !address.trimmed().isEmpty(); }
};

// Decimals a reading is shown with: 0 to this.
constexpr int multimeterDecimalsMaximum = 9;

// Reads the group; nothing is written (a value out of range is used brought into it, with a warning).
MultimeterSettings readMultimeterSettings(QSettings* settings);
// Writes the three decimals into the group.
void writeMultimeterDecimals(QSettings* settings, const MultimeterSettings& values);

#endif
