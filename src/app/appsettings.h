#ifndef APPSETTINGS_H
#define APPSETTINGS_H

#include <QString>

#include "serviceaddress.h"

class QVariant;

class QSettings;

// The program's own group "Global" of "stendix.ini".
struct GlobalSettings
{
    int displayUpdateMs = 500;             // "DisplayUpdateMs"
    QString moduleMode = QStringLiteral("Normal"); // "ModuleMode"
    // "CrateService": where the crate service listens, "host:port". One that cannot be read leaves
    // the default in use (with a warning) and the file as the operator wrote it.
    ServiceAddress crateService;
    // Only the exact text "Emulator" selects emulator mode.
    bool emulator() const { return moduleMode == QLatin1String("Emulator"); }
};

// Range of "DisplayUpdateMs", milliseconds (the options dialog's range too).
constexpr int displayPeriodMinimum = 100;
constexpr int displayPeriodMaximum = 2000;

// An integer of the settings file brought into its range.
struct CheckedInt
{
    int value = 0;
    // Empty when the stored value was used as it stands; otherwise what to tell the operator.
    QString warning;
    // The stored text is not a whole number (empty, "2000mV", "2 000", "2.5"): `value` is the default.
    bool unreadable = false;
    // A whole number below the minimum: `value` is the minimum.
    bool belowMinimum = false;
};

// Checks the stored value of `keyName` (as named in the warning): a whole number within minimum and
// maximum is used as it is; one beyond them is clamped to the nearer bound; anything else (a text
// that is not a whole number, an empty value) takes the default.
CheckedInt checkIntSetting(const QString& keyName, const QVariant& stored, int defaultValue, int minimum,
                           int maximum);

// Reads an integer key of the settings' current group through checkIntSetting: a key the file lacks
// is written with its default; a corrected value is logged as a warning once and used, but the file
// keeps what the operator wrote (the options dialog, when accepted, writes the value it shows).
CheckedInt readCheckedInt(QSettings* settings, const QString& key, int defaultValue, int minimum, int maximum);

// "Global/DisplayUpdateMs": a key as warnings name it, with the group the settings are in.
QString settingsKeyName(const QSettings* settings, const QString& key);

// True when the settings reached the file: syncs them and looks at the outcome. Otherwise `reason`
// says what went wrong, in the operator's words.
bool saveSettings(QSettings* settings, QString* reason = nullptr);

// A boolean of the settings file: "true" or "1" is true, "false" or "0" false (any case); any other
// text ("yes", "abc", empty) does not convert and reads as false.
bool settingsBool(const QVariant& value);

// "stendix.ini" in the working directory (not the executable's directory).
QString settingsFilePath();

// Reads group "Global", first writing every key that the file lacks with its default; the display
// period is brought into its range (readCheckedInt).
GlobalSettings readGlobalSettings(QSettings* settings);

// Writes "DisplayUpdateMs" into group "Global".
void writeDisplayPeriod(QSettings* settings, int displayUpdateMs);
// Writes "CrateService" into group "Global".
void writeCrateService(QSettings* settings, const ServiceAddress& address);

#endif
