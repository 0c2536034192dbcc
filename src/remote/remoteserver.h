// The remote-control server: a raw TCP socket on which scripts send command lines (pyvisa's
// "TCPIP::<address>::<port>::SOCKET"). It lives on a thread of its own, neither the GUI thread nor
// the module's, and is never waited on by them. Several clients may be connected; their lines run
// one at a time, in the order they arrived, each to its end before the next.
//
// Who may connect: only this computer, unless the policy lists the hosts allowed (then only those);
// an address other than a loopback one is not listened on without such a list. A client that sends
// nothing for the idle time-out is disconnected, so that clients gone quiet cannot lock the others
// out. What the server writes into the journal is rate-limited: a flood of connections cannot fill
// the disk.
#ifndef REMOTESERVER_H
#define REMOTESERVER_H

#include <QByteArray>
#include <QElapsedTimer>
#include <QList>
#include <QObject>
#include <QString>

#include <atomic>
#include <memory>

#include "remotesettings.h"
#include "scpicommands.h"

class Module;
class QTcpServer;
class QTcpSocket;
class QTimer;
class RemoteHost;
class RemoteSession;

class RemoteServer : public QObject
{
    Q_OBJECT

public:
    // The longest line taken, without its line end; a longer one is answered -223 and its client
    // disconnected.
    static constexpr int maxLineBytes = 65536;
    // Clients connected at once; a further one is turned away.
    static constexpr int maxClients = 16;
    // Answers not yet taken by a client, in bytes, beyond which its lines wait until it reads.
    static constexpr qint64 maxPendingAnswers = 1 << 20;
    // Errors of one client written to the journal; later ones only go to its queue.
    static constexpr int maxJournalErrors = 50;

    struct Policy
    {
        AllowedHosts allowed;          // empty: this computer only
        int idleTimeoutMs = 300000;    // 0: never
        // At most journalLines lines in each journalWindowMs; the rest are counted, and their
        // number is written when the window ends.
        int journalLines = 100;
        int journalWindowMs = 10000;
    };

    // The commands act on `module` and ask `host` for the window's part. Built on any thread, then
    // moved to the server's thread.
    RemoteServer(Module* module, RemoteHost* host);
    ~RemoteServer() override;

    // From any thread: no line is started after this returns (the one running goes to its end).
    void stopCommands() { stopping = true; }
    // Before listen(), on the thread that built the server.
    void setPolicy(const Policy& newPolicy) { policy = newPolicy; }

public slots:
    // Starts listening; answers with listening() or unavailable().
    void listen(const QString& address, quint16 port);
    // Disconnects every client and stops listening.
    void shutdown();

signals:
    void listening(const QString& address, quint16 port);
    void unavailable(const QString& reason);

private:
    struct Client;

    void acceptClients();
    void clientReadable(Client* client);
    void clientGone(Client* client);
    // Runs waiting lines, one per client in turn, then lets the event loop in again.
    void serveLines();
    // One line of the client: false when it has none complete (or must wait for its reader).
    bool serveOneLine(Client* client);
    void refuseOversizedLine(Client* client);
    void reportError(Client* client, int code, const QByteArray& command);
    void touch(Client* client);
    void idle(Client* client);
    // A line of the server for the journal, within the rate limit.
    void journal(QtMsgType type, const QString& text);
    void journalWindowEnded();

    scpi::CommandTable table;
    Module* module;
    QTcpServer* server = nullptr;
    QList<Client*> clients;
    QList<Client*> waiting;   // clients with lines to run, in the order they became ready
    QList<Client*> departed;  // disconnected, to be deleted
    bool serving = false;
    std::atomic<bool> stopping{false};
    Policy policy;
    // The journal's rate limit: the lines of this window, and those left out of it.
    qint64 journalWindowStart = -1;
    int journalWritten = 0;
    int journalLeftOut = 0;
    QTimer* journalWindow = nullptr;
    QElapsedTimer clock;
};

#endif
