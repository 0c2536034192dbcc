// Remote control's command lines under arbitrary input: the input, split into lines at '\n' as the
// server splits a client's stream, goes through one client's session (parser, command table,
// error queue) with the program's whole command set, against a module and a window that take
// everything. Every answer must be one line ending in '\n', the error queue must stay within its
// 32 entries, and no number the module is given may be infinite or NaN.
#include "wireharness.h"

#include <QByteArray>
#include <QRegularExpression>

#include <cmath>

#include "fakeremote.h"
#include "remotecommands.h"
#include "remoteserver.h"
#include "remotesession.h"

bool interpretCommandLines(const uint8_t* data, size_t size, std::string* problem)
{
    FakeRemoteModule module;
    for (const char* key : { "enabled", "function", "shape", "voltage", "offset", "frequency", "range" }) {
        for (int channel = 1; channel <= 8; ++channel)
            module.values[QStringLiteral("%1/%2").arg(QLatin1String(key)).arg(channel)] = QStringLiteral("1");
    }
    for (const char* key : { "rate", "mode", "channelCount" })
        module.values[QStringLiteral("%1/0").arg(QLatin1String(key))] = QStringLiteral("8");
    FakeRemoteHost host;
    scpi::CommandTable table;
    defineRemoteCommands(table, &module, &host);
    RemoteSession session(table, &module);

    const QByteArray input(reinterpret_cast<const char*>(data), int(size));
    for (const QByteArray& line : input.split('\n')) {
        // The server never hands over more than this.
        const QByteArray answer = session.execute(line.left(RemoteServer::maxLineBytes + 1));
        if (!answer.isEmpty() && (!answer.endsWith('\n') || answer.count('\n') != 1)) {
            *problem = "an answer that is not one line: " + answer.left(200).toStdString();
            return false;
        }
        if (session.errors().count() > scpi::ErrorQueue::capacity) {
            *problem = "the error queue holds " + std::to_string(session.errors().count());
            return false;
        }
    }
    static const QRegularExpression notFinite(QStringLiteral("\\b(inf|-inf|nan)\\b"), QRegularExpression::CaseInsensitiveOption);
    for (const QString& call : module.log()) {
        if (notFinite.match(call).hasMatch()) {
            *problem = "the module was given " + call.toStdString();
            return false;
        }
    }
    return true;
}

#ifdef SCPI_FUZZER
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    return fuzzOneInput(interpretCommandLines, data, size);
}
#endif
