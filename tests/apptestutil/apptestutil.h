#ifndef APPTESTUTIL_H
#define APPTESTUTIL_H

// Helpers shared by the tests of start-up and journal, engine and main window: a temporary working
// directory (the settings file and the journal live in the working directory), file contents, and the
// messages of every thread captured for the test to look at.

#include <QByteArray>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QMetaObject>
#include <QMutex>
#include <QObject>
#include <QSettings>
#include <QStringList>
#include <QTemporaryDir>
#include <QTest>
#include <QVariant>

#include <atomic>
#include <functional>
#include <memory>

namespace apptest {

// Waits until the thread of `receiver` has run every call queued to it before this one (queued calls
// run in order), while this thread keeps processing events. False after timeoutMs.
inline bool runQueuedCalls(QObject* receiver, int timeoutMs = 5000)
{
    // Shared with the marker, which may still run after a wait that gave up.
    auto ran = std::make_shared<std::atomic<bool>>(false);
    QMetaObject::invokeMethod(receiver, [ran] { *ran = true; }, Qt::QueuedConnection);
    return QTest::qWaitFor([ran] { return ran->load(); }, timeoutMs);
}

// Counts the emissions of a signal sent from any thread, for the thread that made the counter. A
// QSignalSpy appends on the emitting thread, so reading it while another thread emits races with the
// appending. Here each emission is queued to this thread, and count() first takes in the emissions
// queued so far: everything emitted before count() is called is counted.
class SignalCounter
{
public:
    template <typename Sender, typename Signal>
    SignalCounter(const Sender* sender, Signal signal)
    {
        QObject::connect(sender, signal, &receiver, [this] { ++emitted; }, Qt::QueuedConnection);
    }
    SignalCounter(const SignalCounter&) = delete;
    SignalCounter& operator=(const SignalCounter&) = delete;

    int count()
    {
        QCoreApplication::sendPostedEvents(&receiver, QEvent::MetaCall);
        return emitted;
    }
    bool isEmpty() { return count() == 0; }

private:
    QObject receiver;
    int emitted = 0;
};

// Runs `probe` on the emitting thread when a signal comes, to see the emitter's state at that moment,
// and hands the answer of the first emission to the thread that made the probe.
template <typename T>
class EmissionProbe
{
public:
    template <typename Sender, typename Signal>
    EmissionProbe(const Sender* sender, Signal signal, std::function<T()> probe)
    {
        QObject::connect(sender, signal, &receiver, [this, probe] {
            const T answer = probe();
            QMetaObject::invokeMethod(&receiver, [this, answer] {
                if (!taken)
                    value = answer;
                taken = true;
            }, Qt::QueuedConnection);
        }, Qt::DirectConnection);
    }
    EmissionProbe(const EmissionProbe&) = delete;
    EmissionProbe& operator=(const EmissionProbe&) = delete;

    // The answer at the first emission; `none` when no signal came within timeoutMs.
    T first(const T& none, int timeoutMs = 5000)
    {
        const bool came = QTest::qWaitFor([this] {
            QCoreApplication::sendPostedEvents(&receiver, QEvent::MetaCall);
            return taken;
        }, timeoutMs);
        return came ? value : none;
    }

private:
    QObject receiver;
    bool taken = false;
    T value{};
};

// The whole file; empty when it cannot be read.
inline QByteArray readFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Makes a fresh temporary directory the working directory for as long as it lives, then goes back to
// the previous one before the directory is removed.
class WorkingDirectory
{
public:
    WorkingDirectory() : previous(QDir::currentPath()) { valid = dir.isValid() && QDir::setCurrent(dir.path()); }
    ~WorkingDirectory() { QDir::setCurrent(previous); }
    WorkingDirectory(const WorkingDirectory&) = delete;
    WorkingDirectory& operator=(const WorkingDirectory&) = delete;

    bool isValid() const { return valid; }
    QString path() const { return dir.path(); }
    QString iniPath() const { return dir.filePath(QStringLiteral("stendix.ini")); }
    QByteArray iniBytes() const { return readFile(iniPath()); }
    // Stores a key of group "Global" in the settings file, as an earlier run or an operator would.
    void writeGlobal(const QString& key, const QVariant& value) const
    {
        writeKey(QStringLiteral("Global/") + key, value);
    }
    // Stores a key given with its group ("VEK72/AccuracyFreq").
    void writeKey(const QString& groupAndKey, const QVariant& value) const
    {
        QSettings settings(iniPath(), QSettings::IniFormat);
        settings.setValue(groupAndKey, value);
    }

private:
    QTemporaryDir dir;
    QString previous;
    bool valid = false;
};

namespace detail {

struct CapturedMessages
{
    QMutex mutex;
    QStringList criticals;
    QStringList warnings;
    QStringList infos;
    QtMessageHandler previous = nullptr;
};

inline CapturedMessages& captured()
{
    static CapturedMessages instance;
    return instance;
}

inline void captureHandler(QtMsgType type, const QMessageLogContext& context, const QString& text)
{
    CapturedMessages& m = captured();
    if (type == QtDebugMsg)
        return;
    if (type == QtCriticalMsg || type == QtInfoMsg) {
        QMutexLocker lock(&m.mutex);
        (type == QtCriticalMsg ? m.criticals : m.infos).append(text);
        return;
    }
    if (type == QtWarningMsg) {
        QMutexLocker lock(&m.mutex);
        m.warnings.append(text);
    }
    if (m.previous)
        m.previous(type, context, text);
}

} // namespace detail

// From here on the critical and info messages of every thread are kept for criticals() and infos();
// warnings are kept for warnings() and also go on, like fatal messages, to the handler installed
// before (the test framework's, which reports them); debug messages are dropped, as the journal drops
// them.
inline void installMessageCapture()
{
    const QtMessageHandler old = qInstallMessageHandler(detail::captureHandler);
    if (old != detail::captureHandler)
        detail::captured().previous = old;
}

inline QStringList criticals()
{
    QMutexLocker lock(&detail::captured().mutex);
    return detail::captured().criticals;
}

inline QStringList warnings()
{
    QMutexLocker lock(&detail::captured().mutex);
    return detail::captured().warnings;
}

inline QStringList infos()
{
    QMutexLocker lock(&detail::captured().mutex);
    return detail::captured().infos;
}

inline void clearMessages()
{
    QMutexLocker lock(&detail::captured().mutex);
    detail::captured().criticals.clear();
    detail::captured().warnings.clear();
    detail::captured().infos.clear();
}

} // namespace apptest

#endif
