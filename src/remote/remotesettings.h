// Group "Remote" of "stendix.ini": whether remote control runs, where it listens, who may connect
// and how long a client may stay without sending anything.
#ifndef REMOTESETTINGS_H
#define REMOTESETTINGS_H

#include <QHostAddress>
#include <QList>
#include <QPair>
#include <QString>
#include <QStringList>

class QSettings;

// The hosts allowed to connect: addresses and networks ("192.168.1.0/24, 10.0.0.5", "fd00::/8").
// Empty: only this computer (loopback addresses).
class AllowedHosts
{
public:
    // Entries separated by commas, semicolons or blanks; those that are neither an address nor a
    // network go to `unreadable` and allow nobody.
    static AllowedHosts parse(const QString& text, QStringList* unreadable = nullptr);

    bool isEmpty() const { return entries.isEmpty(); }
    bool allows(const QHostAddress& peer) const;
    // The entries as read, for the operator: "192.168.1.0/24, 10.0.0.5".
    QString text() const { return shown.join(QStringLiteral(", ")); }

private:
    QList<QPair<QHostAddress, int>> entries;
    QStringList shown;
};

// A peer's address as the journal and the allow-list see it: an IPv4 address that came through an
// IPv6 socket ("::ffff:10.0.0.5") as plain IPv4.
QHostAddress plainPeerAddress(const QHostAddress& address);
// True for 127.0.0.1, ::1, "localhost" and the rest of the loopback network.
bool isLoopbackAddress(const QString& address);

struct RemoteSettings
{
    bool enabled = true;                             // "Enabled"
    QString address = QStringLiteral("127.0.0.1");   // "Address"
    int port = 5025;                                 // "Port"; 0: any free port
    AllowedHosts allowed;                            // "AllowedHosts"; needed for any address but loopback
    int idleTimeoutMs = 300000;                      // "IdleTimeoutMs"; 0: never
};

// Reads group "Remote", first writing every key the file lacks with its default. "Enabled" reads as
// the file's other switches do ("true" or "1" is on, any other text off); a port or time-out that is
// not a whole number, or lies beyond its range, is used as the default or brought into the range,
// with a warning; an entry of AllowedHosts that cannot be read allows nobody, with a warning. The
// file keeps what the operator wrote.
RemoteSettings readRemoteSettings(QSettings* settings);

#endif
