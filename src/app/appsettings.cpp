#include "appsettings.h"

#include <QDir>
#include <QRegularExpression>
#include <QSettings>
#include <QStringList>
#include <QVariant>

#include <limits>

static const char* const groupGlobal = "Global";
static const char* const keyDisplayUpdateMs = "DisplayUpdateMs";
static const char* const keyModuleMode = "ModuleMode";
static const char* const keyCrateService = "CrateService";

bool settingsBool(const QVariant& value)
{
    if (value.type() == QVariant::Bool)
        return value.toBool();
    const QString text = value.toString().trimmed().toLower();
    return text == QLatin1String("true") || text == QLatin1String("1");
}

CheckedInt checkIntSetting(const QString& keyName, const QVariant& stored, int defaultValue, int minimum,
                           int maximum)
{
    // A value with a comma reads back from an INI file as a list of texts.
    const QString text = stored.type() == QVariant::StringList ? stored.toStringList().join(QLatin1Char(','))
                                                               : stored.toString();
    const QString trimmed = text.trimmed();
    bool isNumber = false;
    qlonglong number = trimmed.toLongLong(&isNumber, 10);
    if (!isNumber) {
        // Digits beyond what a number holds are still a number far out of range.
        static const QRegularExpression digits(QStringLiteral("^[+-]?[0-9]+$"));
        if (digits.match(trimmed).hasMatch()) {
            isNumber = true;
            number = trimmed.startsWith(QLatin1Char('-')) ? std::numeric_limits<qlonglong>::min()
                                                          : std::numeric_limits<qlonglong>::max();
        }
    }
    CheckedInt result;
    if (!isNumber) {
        result.unreadable = true;
        result.value = defaultValue;
        result.warning = QStringLiteral("Настройка %1=«%2» не является целым числом; используется значение по "
                                        "умолчанию %3")
                             .arg(keyName, text)
                             .arg(defaultValue);
        return result;
    }
    result.value = int(qBound(qlonglong(minimum), number, qlonglong(maximum)));
    result.belowMinimum = number < minimum;
    if (result.value != number)
        result.warning = QStringLiteral("Настройка %1=%2 вне диапазона %3..%4; используется %5")
                             .arg(keyName, trimmed)
                             .arg(minimum)
                             .arg(maximum)
                             .arg(result.value);
    return result;
}

QString settingsKeyName(const QSettings* settings, const QString& key)
{
    const QString group = settings->group();
    return group.isEmpty() ? key : group + QLatin1Char('/') + key;
}

CheckedInt readCheckedInt(QSettings* settings, const QString& key, int defaultValue, int minimum, int maximum)
{
    if (!settings->contains(key))
        settings->setValue(key, defaultValue);
    const CheckedInt checked = checkIntSetting(settingsKeyName(settings, key), settings->value(key, defaultValue),
                                               defaultValue, minimum, maximum);
    if (!checked.warning.isEmpty())
        qWarning("%s", qUtf8Printable(checked.warning));
    return checked;
}

bool saveSettings(QSettings* settings, QString* reason)
{
    settings->sync();
    const QSettings::Status status = settings->status();
    if (status == QSettings::NoError)
        return true;
    // A settings object keeps the first error it met for good, so a file written again after a
    // failure still reports one: the file read back says whether this sync reached it.
    const QSettings file(settings->fileName(), settings->format());
    bool same = file.status() == QSettings::NoError;
    const QStringList keys = settings->allKeys();
    for (int i = 0; same && i < keys.size(); ++i)
        same = file.value(keys.at(i)).toString() == settings->value(keys.at(i)).toString();
    if (same)
        return true;
    if (reason)
        *reason = status == QSettings::FormatError ? QStringLiteral("ошибка формата файла")
                                                   : QStringLiteral("нет доступа на запись");
    return false;
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
    values.displayUpdateMs = readCheckedInt(settings, QLatin1String(keyDisplayUpdateMs), values.displayUpdateMs,
                                            displayPeriodMinimum, displayPeriodMaximum).value;
    if (!settings->contains(QLatin1String(keyModuleMode)))
        settings->setValue(QLatin1String(keyModuleMode), values.moduleMode);
    values.moduleMode = settings->value(QLatin1String(keyModuleMode)).toString();
    if (!settings->contains(QLatin1String(keyCrateService)))
        settings->setValue(QLatin1String(keyCrateService), values.crateService.text());
    const QVariant service = settings->value(QLatin1String(keyCrateService));
    // "host:port" has no comma, but a value with one reads back as a list.
    const QString serviceText = service.type() == QVariant::StringList ? service.toStringList().join(QLatin1Char(','))
                                                                       : service.toString();
    QString reason;
    if (!parseServiceAddress(serviceText, &values.crateService, &reason)) {
        values.crateService = ServiceAddress();
        qWarning("%s", qUtf8Printable(QStringLiteral("Настройка %1=«%2» не адрес службы крейтов (%3); используется %4")
                                          .arg(settingsKeyName(settings, QLatin1String(keyCrateService)), serviceText,
                                               reason, values.crateService.text())));
    }
    settings->endGroup();
    return values;
}

void writeDisplayPeriod(QSettings* settings, int displayUpdateMs)
{
    settings->beginGroup(QLatin1String(groupGlobal));
    settings->setValue(QLatin1String(keyDisplayUpdateMs), displayUpdateMs);
    settings->endGroup();
}

void writeCrateService(QSettings* settings, const ServiceAddress& address)
{
    settings->beginGroup(QLatin1String(groupGlobal));
    settings->setValue(QLatin1String(keyCrateService), address.text());
    settings->endGroup();
}
