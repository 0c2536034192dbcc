#include "verificationsettings.h"

#include <QDir>
#include <QSettings>

#include "appsettings.h"

namespace {

const char* const groupVerification = "Verification";

} // namespace

QString VerificationSettings::reportDirectory() const
{
    const QString path = reportPath.trimmed().isEmpty() ? QStringLiteral("reports") : reportPath.trimmed();
    return QDir::cleanPath(QDir::current().absoluteFilePath(path));
}

VerificationSettings readVerificationSettings(QSettings* settings)
{
    VerificationSettings values;
    settings->beginGroup(QLatin1String(groupVerification));
    values.reportPath = settings->value(QStringLiteral("ReportPath"), values.reportPath).toString();
    if (settings->contains(QStringLiteral("AutoSave")))
        values.autoSave = settingsBool(settings->value(QStringLiteral("AutoSave")));
    values.operatorName = settings->value(QStringLiteral("Operator")).toString();
    values.conditions = settings->value(QStringLiteral("Conditions")).toString();
    settings->endGroup();
    return values;
}

void writeVerificationSettings(QSettings* settings, const VerificationSettings& values)
{
    settings->beginGroup(QLatin1String(groupVerification));
    settings->setValue(QStringLiteral("ReportPath"), values.reportPath);
    settings->setValue(QStringLiteral("AutoSave"), values.autoSave);
    settings->setValue(QStringLiteral("Operator"), values.operatorName);
    settings->setValue(QStringLiteral("Conditions"), values.conditions);
    settings->endGroup();
}
