// Group "Remote" of "stendix.ini": whether remote control runs and where it listens.
#ifndef REMOTESETTINGS_H
#define REMOTESETTINGS_H

#include <QString>

class QSettings;

struct RemoteSettings
{
    bool enabled = true;                             // "Enabled"
    QString address = QStringLiteral("127.0.0.1");   // "Address"
    int port = 5025;                                 // "Port"; 0: any free port
};

// Reads group "Remote", first writing every key the file lacks with its default. "Enabled" reads as
// the file's other switches do ("true" or "1" is on, any other text off); a port outside 0..65535
// or one that is not a number reads as the default.
RemoteSettings readRemoteSettings(QSettings* settings);

#endif
