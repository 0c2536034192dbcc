#ifndef SERVICEADDRESS_H
#define SERVICEADDRESS_H

#include <QString>

// The address of the crate service the libraries talk to, as "host:port": the environment's
// VEK_SERVICE when set, else the local service 127.0.0.1:11111. For messages that name it.
QString serviceAddressText();

#endif
