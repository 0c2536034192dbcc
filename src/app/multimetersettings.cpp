#include "multimetersettings.h"

#include <QSettings>

#include "appsettings.h"

namespace {

const char* const groupMultimeter = "Multimeter";

int readDecimals(QSettings* settings, const char* key, int defaultValue)
{
    if (!settings->contains(QLatin1String(key)))
        return defaultValue;
    const CheckedInt checked = checkIntSetting(QStringLiteral("%1/%2").arg(QLatin1String(groupMultimeter), QLatin1String(key)),
                                               settings->value(QLatin1String(key)), defaultValue, 0,
                                               multimeterDecimalsMaximum);
    if (!checked.warning.isEmpty())
        qWarning("%s", qUtf8Printable(checked.warning));
    return checked.value;
}

} // namespace

MultimeterSettings readMultimeterSettings(QSettings* settings)
{
    MultimeterSettings values;
    settings->beginGroup(QLatin1String(groupMultimeter));
    values.address = settings->value(QStringLiteral("Address")).toString().trimmed();
    values.scanner = settingsBool(settings->value(QStringLiteral("Scanner"), false));
    values.decimalsDC = readDecimals(settings, "AccuracyDC", values.decimalsDC);
    values.decimalsAC = readDecimals(settings, "AccuracyAC", values.decimalsAC);
    values.decimalsFreq = readDecimals(settings, "AccuracyFreq", values.decimalsFreq);
    settings->endGroup();
    return values;
}

void writeMultimeterDecimals(QSettings* settings, const MultimeterSettings& values)
{
    settings->beginGroup(QLatin1String(groupMultimeter));
    settings->setValue(QStringLiteral("AccuracyDC"), values.decimalsDC);
    settings->setValue(QStringLiteral("AccuracyAC"), values.decimalsAC);
    settings->setValue(QStringLiteral("AccuracyFreq"), values.decimalsFreq);
    settings->endGroup();
}
