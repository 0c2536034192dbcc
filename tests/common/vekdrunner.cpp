#include "vekdrunner.h"

#include "toolrun.h"

#include <QCoreApplication>
#include <QDebug>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

namespace {

constexpr int kStartTimeoutMs = 10000;
constexpr int kStopTimeoutMs = 3000;

QString toolPath(const char* variable, const char* name)
{
    QString path = qEnvironmentVariable(variable);
    if (path.isEmpty()) path = QCoreApplication::applicationDirPath() + "/" + name;
    return path;
}

} // namespace

VekdRunner::VekdRunner() = default;

VekdRunner::~VekdRunner()
{
    stop();
    delete dir_;
}

bool VekdRunner::start(const QByteArray& configJson)
{
    return launch(configJson, {});
}

bool VekdRunner::startWithMultimeter(double speed, const QByteArray& configJson)
{
    if (!launch(configJson, {"--dmm", "127.0.0.1:0", "--dmm-speed", QString::number(speed)}))
        return false;
    const QByteArray line = outputLine();
    const QByteArray prefix = "dmm listening ";
    if (!line.startsWith(prefix)) {
        qWarning() << "VekdRunner: vekd did not say where its multimeter listens:" << line << log();
        stop();
        return false;
    }
    dmmAddress_ = QString::fromLatin1(line.mid(prefix.size()));
    return true;
}

QByteArray VekdRunner::outputLine()
{
    QElapsedTimer t;
    t.start();
    while (!process_->canReadLine()) {
        if (process_->state() != QProcess::Running || t.elapsed() > kStartTimeoutMs)
            return {};
        process_->waitForReadyRead(100);
    }
    return process_->readLine().trimmed();
}

QString VekdRunner::dmmAddress() const
{
    return dmmAddress_;
}

bool VekdRunner::launch(const QByteArray& configJson, const QStringList& extraArgs)
{
    stop();
    dmmAddress_.clear();
    if (!dir_) {
        dir_ = new QTemporaryDir();
        if (!dir_->isValid()) {
            qWarning("VekdRunner: no temporary directory");
            return false;
        }
    }
    QStringList args{"--listen", "127.0.0.1:0", "--parent-pid", QString::number(QCoreApplication::applicationPid())};
    if (!configJson.isEmpty()) {
        QFile f(dir_->filePath("crates.json"));
        if (!f.open(QIODevice::WriteOnly) || f.write(configJson) != configJson.size()) {
            qWarning("VekdRunner: cannot write the crate file");
            return false;
        }
        f.close();
        args << "--config" << f.fileName();
    }
    args << extraArgs;
    process_ = new QProcess();
    // The log goes to a file: a pipe nobody reads would fill up and stall the service.
    process_->setStandardErrorFile(dir_->filePath("vekd.log"), QIODevice::Append);
    process_->setProcessChannelMode(QProcess::SeparateChannels);
    QString program = toolPath("VEKD_PATH", "vekd");
    process_->start(program, args, QIODevice::ReadOnly);
    if (!process_->waitForStarted(kStartTimeoutMs)) {
        qWarning() << "VekdRunner: cannot start" << program << process_->errorString();
        stop();
        return false;
    }
    const QByteArray line = outputLine();
    if (line.isEmpty()) {
        qWarning() << "VekdRunner: vekd did not report its address;" << log();
        stop();
        return false;
    }
    const QByteArray prefix = "listening ";
    int colon = line.lastIndexOf(':');
    bool ok = false;
    uint port = colon > 0 ? line.mid(colon + 1).toUInt(&ok) : 0;
    if (!line.startsWith(prefix) || !ok || port == 0 || port > 65535) {
        qWarning() << "VekdRunner: unexpected first line of vekd:" << line;
        stop();
        return false;
    }
    port_ = quint16(port);
    qputenv("VEK_SERVICE", address().toUtf8());
    return true;
}

void VekdRunner::stop()
{
    if (!process_) return;
    if (process_->state() != QProcess::NotRunning) {
        process_->terminate();
        if (!process_->waitForFinished(kStopTimeoutMs)) {
            process_->kill();
            process_->waitForFinished(kStopTimeoutMs);
        }
    }
    delete process_;
    process_ = nullptr; // the address stays: tests talk to a stopped service on purpose
}

bool VekdRunner::isRunning() const
{
    return process_ && process_->state() == QProcess::Running;
}

QString VekdRunner::address() const
{
    return QString("127.0.0.1:%1").arg(port_);
}

quint16 VekdRunner::port() const
{
    return port_;
}

qint64 VekdRunner::pid() const
{
    return isRunning() ? process_->processId() : 0;
}

int VekdRunner::vekctl(const QStringList& args, QByteArray* out, QByteArray* err)
{
    const ToolRun run = runTool(toolPath("VEKCTL_PATH", "vekctl"), QStringList{"--service", address()} + args);
    if (out) *out = run.out;
    if (err) *err = run.err;
    return run.exitCode;
}

QByteArray VekdRunner::log() const
{
    if (!dir_) return {};
    QFile f(dir_->filePath("vekd.log"));
    if (!f.open(QIODevice::ReadOnly)) return {};
    return f.readAll();
}
