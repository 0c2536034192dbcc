#include "remotesettings.h"

#include <QDebug>
#include <QRegularExpression>
#include <QSettings>
#include <QVariant>

#include "appsettings.h"

namespace {

// A day: a longer silence is as good as never.
constexpr int idleTimeoutMaximumMs = 86400000;

} // namespace

AllowedHosts AllowedHosts::parse(const QString& text, QStringList* unreadable)
{
    AllowedHosts hosts;
    static const QRegularExpression separators(QStringLiteral("[,;\\s]+"));
    for (const QString& entry : text.split(separators, Qt::SkipEmptyParts)) {
        QHostAddress address;
        if (address.setAddress(entry)) {
            address = plainPeerAddress(address);
            const int bits = address.protocol() == QAbstractSocket::IPv4Protocol ? 32 : 128;
            hosts.entries.append({ address, bits });
            hosts.shown.append(address.toString());
            continue;
        }
        const QPair<QHostAddress, int> network = QHostAddress::parseSubnet(entry);
        // parseSubnet takes "10.0.0.5/" and "10.0.0.5/33" too: only a prefix written out counts.
        static const QRegularExpression prefix(QStringLiteral("^[^/]+/[0-9]{1,3}$"));
        if (network.first.isNull() || network.second < 0 || !prefix.match(entry).hasMatch()) {
            if (unreadable)
                unreadable->append(entry);
            continue;
        }
        hosts.entries.append(network);
        hosts.shown.append(QStringLiteral("%1/%2").arg(network.first.toString()).arg(network.second));
    }
    return hosts;
}

bool AllowedHosts::allows(const QHostAddress& peer) const
{
    const QHostAddress address = plainPeerAddress(peer);
    if (entries.isEmpty())
        return address.isLoopback();
    for (const auto& entry : entries) {
        if (address.isInSubnet(entry.first, entry.second))
            return true;
    }
    return false;
}

QHostAddress plainPeerAddress(const QHostAddress& address)
{
    if (address.protocol() == QAbstractSocket::IPv6Protocol) {
        bool mapped = false;
        const quint32 v4 = address.toIPv4Address(&mapped);
        if (mapped)
            return QHostAddress(v4);
    }
    return address;
}

bool isLoopbackAddress(const QString& address)
{
    if (address.compare(QLatin1String("localhost"), Qt::CaseInsensitive) == 0)
        return true;
    QHostAddress host;
    return host.setAddress(address) && plainPeerAddress(host).isLoopback();
}

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
    values.port = readCheckedInt(settings, QStringLiteral("Port"), values.port, 0, 65535).value;
    // A list with commas reads back as a list of texts.
    const QVariant allowed = keep("AllowedHosts", QString());
    const QString allowedText = allowed.type() == QVariant::StringList ? allowed.toStringList().join(QLatin1Char(','))
                                                                       : allowed.toString();
    QStringList unreadable;
    values.allowed = AllowedHosts::parse(allowedText, &unreadable);
    for (const QString& entry : unreadable)
        qWarning().noquote() << QStringLiteral("Настройка %1: «%2» — не адрес и не сеть (например 192.168.1.0/24); "
                                               "с него подключаться нельзя")
                                    .arg(settingsKeyName(settings, QStringLiteral("AllowedHosts")), entry);
    values.idleTimeoutMs =
        readCheckedInt(settings, QStringLiteral("IdleTimeoutMs"), values.idleTimeoutMs, 0, idleTimeoutMaximumMs).value;
    settings->endGroup();
    return values;
}
