// One remote client's command lines, executed in order against the module: its error queue, the
// restarts of a line held until the line has run, and the waits that keep a command from running
// before what the earlier ones asked of the module has been done. Plain code: no sockets, no widgets.
#ifndef REMOTESESSION_H
#define REMOTESESSION_H

#include <QByteArray>

#include <functional>

#include "scpicommands.h"

class Module;

class RemoteSession : public scpi::Session
{
public:
    // Bounds of the waits for the module, milliseconds: before a command that follows a change, and
    // for *OPC? and *WAI (which include a restart).
    static constexpr int changeSettleMs = 10000;
    static constexpr int synchroniseMs = 30000;

    RemoteSession(const scpi::CommandTable& table, Module* module);

    // Executes one line (without its '\n'). Answers the answer line, the answers of its queries
    // joined by ';' and ended by '\n', or nothing when no query answered. The first command that
    // fails ends the line: its error goes to the queue, the commands after it are not run.
    QByteArray execute(const QByteArray& line);

    scpi::ErrorQueue& errors() override { return queue; }
    bool synchronise() override;

    // Told of every error of a command as it goes to the queue, with the command as written (for the
    // journal; the module's own failures are there already).
    std::function<void(int code, const QByteArray& command)> errorReported;

    // The error a failure of the module gives a client, by the program's text: the library's
    // failure -240 (a service that does not answer -200), anything else the program refused -221.
    static int moduleFailureCode(const QString& text);

private:
    // What the module reports failed or refused of what this client asked, into the queue.
    void collectModuleFailures();
    // The operation and questionable conditions as the module is now; their events latch the
    // changes a command of this client sees.
    void updateConditions();

    const scpi::CommandTable& table;
    Module* module;
    scpi::ErrorQueue queue;
    // A command since the last wait changed something: the next command waits for the module first.
    bool changed = false;
};

#endif
