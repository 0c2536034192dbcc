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
    if (!settings->contains(QLatin1String(keyDisplayUpdateMs)))
        settings->setValue(QLatin1String(keyDisplayUpdateMs), 500);
    values.displayUpdateMs = settings->value(QLatin1String(keyDisplayUpdateMs), 500).toInt();
    if (!settings->contains(QLatin1String(keyModuleMode)))
        settings->setValue(QLatin1String(keyModuleMode), QStringLiteral("Normal"));
    values.moduleMode = settings->value(QLatin1String(keyModuleMode), QStringLiteral("Normal")).toString();
    settings->endGroup();
    return values;
}

void writeDisplayPeriod(QSettings* settings, int displayUpdateMs)
{
    settings->beginGroup(QLatin1String(groupGlobal));
    settings->setValue(QLatin1String(keyDisplayUpdateMs), displayUpdateMs);
    settings->endGroup();
}
