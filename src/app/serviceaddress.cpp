#include "serviceaddress.h"

#include <QtGlobal>

QString serviceAddressText()
{
    const QString configured = qEnvironmentVariable("VEK_SERVICE").trimmed();
    return configured.isEmpty() ? QStringLiteral("127.0.0.1:11111") : configured;
}
