// Starts a crate service simulator (vekd) of a test's own on a free loopback port and points the
// client libraries of this process at it (VEK_SERVICE). The simulator never outlives the runner:
// the destructor stops it, and vekd itself exits when this process dies (--parent-pid).
#ifndef STENDIX_TESTS_VEKDRUNNER_H
#define STENDIX_TESTS_VEKDRUNNER_H

#include <QByteArray>
#include <QString>
#include <QStringList>

class QProcess;
class QTemporaryDir;

class VekdRunner {
public:
    VekdRunner();
    ~VekdRunner();                                   // stops the service

    // Starts $VEKD_PATH with --listen 127.0.0.1:0 [--config tmpfile]; configJson empty: the built-in
    // bench. Reads the port from the first output line and sets VEK_SERVICE for this process.
    // Answers false (with a warning naming the reason) when the service did not come up.
    bool start(const QByteArray& configJson = {});
    // The same with a simulated multimeter on a free port whose readings take their time divided
    // by `speed` (vekd --dmm 127.0.0.1:0 --dmm-speed speed); dmmAddress() says where it listens.
    bool startWithMultimeter(double speed, const QByteArray& configJson = {});
    void stop();                                     // terminates and waits (bounded), idempotent
    bool isRunning() const;

    QString address() const;                         // "127.0.0.1:PORT" (the last one after stop)
    quint16 port() const;
    QString dmmAddress() const;                      // the multimeter's "127.0.0.1:PORT"; empty without one
    qint64 pid() const;                              // process id of the running service, 0 when none

    // Runs $VEKCTL_PATH --service address ARGS... (runTool); answers its exit code (-1 when it did not
    // start, end in time or exit normally).
    int vekctl(const QStringList& args, QByteArray* out = nullptr, QByteArray* err = nullptr);

    // What the service has logged so far.
    QByteArray log() const;

private:
    bool launch(const QByteArray& configJson, const QStringList& extraArgs);
    // The next line vekd prints on its standard output, bounded; empty when none came.
    QByteArray outputLine();

    QProcess* process_ = nullptr;
    QTemporaryDir* dir_ = nullptr;
    quint16 port_ = 0;
    QString dmmAddress_;
};

#endif
