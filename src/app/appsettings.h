#ifndef APPSETTINGS_H
#define APPSETTINGS_H

#include <QString>

class QVariant;

class QSettings;

// The program's own group "Global" of "stendix.ini".
struct GlobalSettings
{
    int displayUpdateMs = 500;             // "DisplayUpdateMs"
    QString moduleMode = QStringLiteral("Normal"); // "ModuleMode"
    // Only the exact text "Emulator" selects emulator mode.
    bool emulator() const { return moduleMode == QLatin1String("Emulator"); }
};

// A boolean of the settings file: "true" or "1" is true, "false" or "0" false (any case); any other
// text ("yes", "abc", empty) does not convert and reads as false.
bool settingsBool(const QVariant& value);

// "stendix.ini" in the working directory (not the executable's directory).
QString settingsFilePath();

// Reads group "Global", first writing every key that the file lacks with its default.
GlobalSettings readGlobalSettings(QSettings* settings);

// Writes "DisplayUpdateMs" into group "Global".
void writeDisplayPeriod(QSettings* settings, int displayUpdateMs);

#endif
