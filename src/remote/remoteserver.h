// The remote-control server: a raw TCP socket on which scripts send command lines (pyvisa's
// "TCPIP::<address>::<port>::SOCKET"). It lives on a thread of its own, neither the GUI thread nor
// the module's, and is never waited on by them. Several clients may be connected; their lines run
// one at a time, in the order they arrived, each to its end before the next.
#ifndef REMOTESERVER_H
#define REMOTESERVER_H

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QString>

#include <atomic>
#include <memory>

#include "scpicommands.h"

class Module;
class QTcpServer;
class QTcpSocket;
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

    // The commands act on `module` and ask `host` for the window's part. Built on any thread, then
    // moved to the server's thread.
    RemoteServer(Module* module, RemoteHost* host);
    ~RemoteServer() override;

    // From any thread: no line is started after this returns (the one running goes to its end).
    void stopCommands() { stopping = true; }

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

    scpi::CommandTable table;
    Module* module;
    QTcpServer* server = nullptr;
    QList<Client*> clients;
    QList<Client*> waiting;   // clients with lines to run, in the order they became ready
    QList<Client*> departed;  // disconnected, to be deleted
    bool serving = false;
    std::atomic<bool> stopping{false};
};

#endif
