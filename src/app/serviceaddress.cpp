#include "serviceaddress.h"

#include <QStringList>

#include <atomic>

namespace {

// Host and port in one word, so that a reader on another thread never sees half a change.
std::atomic<quint64> configured{ (quint64(0x7F000001u) << 16) | 11111u };

} // namespace

QString ServiceAddress::text() const
{
    return QStringLiteral("%1.%2.%3.%4:%5")
        .arg(host >> 24)
        .arg((host >> 16) & 0xFFu)
        .arg((host >> 8) & 0xFFu)
        .arg(host & 0xFFu)
        .arg(port);
}

bool parseServiceAddress(const QString& text, ServiceAddress* address, QString* reason)
{
    const auto fail = [reason](const QString& why) {
        if (reason)
            *reason = why;
        return false;
    };
    const QString trimmed = text.trimmed();
    const int colon = trimmed.lastIndexOf(QLatin1Char(':'));
    if (trimmed.isEmpty())
        return fail(QStringLiteral("адрес не задан"));
    if (colon < 0)
        return fail(QStringLiteral("нет порта: нужно адрес:порт"));
    QString host = trimmed.left(colon).trimmed();
    const QString portText = trimmed.mid(colon + 1).trimmed();
    bool isNumber = !portText.isEmpty() && portText.size() <= 5;
    for (const QChar c : portText)
        isNumber = isNumber && c >= QLatin1Char('0') && c <= QLatin1Char('9');
    const uint port = isNumber ? portText.toUInt() : 0;
    if (!isNumber || port < 1 || port > 65535)
        return fail(QStringLiteral("порт «%1» не число от 1 до 65535").arg(portText));
    if (host.compare(QLatin1String("localhost"), Qt::CaseInsensitive) == 0)
        host = QStringLiteral("127.0.0.1");
    // Four decimal numbers 0..255, nothing else (no "10.1", no hexadecimal, no name to look up: the
    // libraries take the address as a number).
    const QStringList parts = host.split(QLatin1Char('.'));
    bool dotted = parts.size() == 4;
    quint32 number = 0;
    for (const QString& part : parts) {
        bool digits = !part.isEmpty() && part.size() <= 3;
        for (const QChar c : part)
            digits = digits && c >= QLatin1Char('0') && c <= QLatin1Char('9');
        const uint byte = digits ? part.toUInt() : 256;
        dotted = dotted && byte <= 255;
        number = (number << 8) | (byte & 0xFFu);
    }
    if (!dotted)
        return fail(QStringLiteral("«%1» не адрес IPv4").arg(host));
    if (address) {
        address->host = number;
        address->port = quint16(port);
    }
    return true;
}

ServiceAddress configuredService()
{
    const quint64 packed = configured.load();
    ServiceAddress address;
    address.host = quint32(packed >> 16);
    address.port = quint16(packed & 0xFFFFu);
    return address;
}

void setConfiguredService(const ServiceAddress& address)
{
    configured.store((quint64(address.host) << 16) | address.port);
}

QString serviceOverride()
{
    return qEnvironmentVariable("VEK_SERVICE").trimmed();
}

QString serviceAddressText()
{
    const QString override = serviceOverride();
    return override.isEmpty() ? configuredService().text() : override;
}
