#ifndef SERVICEADDRESS_H
#define SERVICEADDRESS_H

#include <QString>
#include <QtGlobal>

// Where the crate service listens: an IPv4 address and a port, as the crate service's libraries take
// them (the address as a host-order number).
struct ServiceAddress
{
    quint32 host = 0x7F000001u;   // 127.0.0.1
    quint16 port = 11111;

    // "192.168.0.10:11111"
    QString text() const;
    bool operator==(const ServiceAddress& other) const { return host == other.host && port == other.port; }
    bool operator!=(const ServiceAddress& other) const { return !(*this == other); }
};

// Reads "host:port": a dotted IPv4 address (or "localhost") and a port 1..65535, blanks around
// either allowed. False with the reason, in the operator's words, for anything else.
bool parseServiceAddress(const QString& text, ServiceAddress* address, QString* reason = nullptr);

// The address the program gives the libraries (setting "CrateService" of group "Global"; 127.0.0.1:11111
// until it is set). Any thread may read or set it; a connection opened before a change keeps its
// address until it is opened again.
ServiceAddress configuredService();
void setConfiguredService(const ServiceAddress& address);

// The environment's VEK_SERVICE, which the libraries use instead of the address they are given;
// empty when it is not set.
QString serviceOverride();

// The address of the crate service the libraries talk to, as "host:port": VEK_SERVICE when set, else
// the configured address. For messages that name it.
QString serviceAddressText();

#endif
