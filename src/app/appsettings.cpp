#include "appsettings.h"

#include <QDir>
#include <QSettings>
#include <QVariant>

static const char* const groupGlobal = "Global";
static const char* const keyDisplayUpdateMs = "DisplayUpdateMs";
static const char* const keyModuleMode = "ModuleMode";

bool settingsBool(const QVariant& value)
{
    if (value.type() == QVariant::Bool)
        return value.toBool();
    const QString text = value.toString().trimmed().toLower();
    return text == QLatin1String("true") || text == QLatin1String("1");
}

QString settingsFilePath()
{
    return QDir::currentPath() + QStringLiteral("/stendix.ini");
}

GlobalSettings readGlobalSettings(QSettings* settings)
{
    GlobalSettings values;
    settings->beginGroup(QLatin1String(groupGlobal));
    // A key the file lacks is written with its default.
    if (!settings->contains(QLatin1String(keyDisplayUpdateMs)))
        settings->setValue(QLatin1String(keyDisplayUpdateMs), values.displayUpdateMs);
    values.displayUpdateMs = settings->value(QLatin1String(keyDisplayUpdateMs)).toInt();
    if (!settings->contains(QLatin1String(keyModuleMode)))
        settings->setValue(QLatin1String(keyModuleMode), values.moduleMode);
    values.moduleMode = settings->value(QLatin1String(keyModuleMode)).toString();
    settings->endGroup();
    return values;
}

void writeDisplayPeriod(QSettings* settings, int displayUpdateMs)
{
    settings->beginGroup(QLatin1String(groupGlobal));
    settings->setValue(QLatin1String(keyDisplayUpdateMs), displayUpdateMs);
    settings->endGroup();
}
