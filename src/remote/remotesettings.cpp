#include "remotesettings.h"

#include <QSettings>
#include <QVariant>

#include "appsettings.h"

RemoteSettings readRemoteSettings(QSettings* settings)
{
    RemoteSettings values;
    if (!settings)
        return values;
    settings->beginGroup(QStringLiteral("Remote"));
    const auto keep = [settings](const char* key, const QVariant& fallback) {
        if (!settings->contains(QLatin1String(key)))
            settings->setValue(QLatin1String(key), fallback);
        return settings->value(QLatin1String(key), fallback);
    };
    const QVariant enabled = keep("Enabled", values.enabled);
    values.enabled = settingsBool(enabled);
    values.address = keep("Address", values.address).toString().trimmed();
    bool isNumber = false;
    const int port = keep("Port", values.port).toInt(&isNumber);
    if (isNumber && port >= 0 && port <= 65535)
        values.port = port;
    settings->endGroup();
    return values;
}
