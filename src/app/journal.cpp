#include "journal.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QFile>
#include <QMetaObject>
#include <QMutex>
#include <QMutexLocker>
#include <QPointer>
#include <QTextCodec>

#include <quazip.h>
#include <quazipfile.h>
#include <quazipnewinfo.h>
#include <zlib.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace journal {

const char* const journalFileName = "stendix.log";
const char* const archivePattern = "stendix-%1.log.zip";

QString label(QtMsgType type)
{
    switch (type) {
    case QtDebugMsg: return QStringLiteral("D");
    case QtInfoMsg: return QStringLiteral("I");
    case QtWarningMsg: return QStringLiteral("W");
    case QtCriticalMsg: return QStringLiteral("E");
    case QtFatalMsg: return QStringLiteral("F");
    }
    return QStringLiteral("?");
}

bool isDropped(QtMsgType type, const QString& text)
{
    if (type == QtDebugMsg)
        return true;
    return type == QtWarningMsg && text.startsWith(QLatin1String("setGeometry"));
}

QString formatLine(const QDateTime& when, QtMsgType type, const QString& text)
{
    // The time stamp is made from the numbers, not through the system locale: that one may write
    // digits of its own (which the journal's encoding cannot carry), and its first use is not safe
    // from several threads at once. The line is built by concatenation, so that a "%1" in the text
    // stays as it is.
    const QDate date = when.date();
    const QTime time = when.time();
    const QString stamp = QString::asprintf("%04d.%02d.%02d %02d:%02d:%02d:%03d", date.year(), date.month(),
                                            date.day(), time.hour(), time.minute(), time.second(), time.msec());
    return QLatin1Char('[') + stamp + QLatin1Char(' ') + label(type) + QLatin1String("] ") + text;
}

QByteArray encode(const QString& line)
{
    static QTextCodec* const cp1251 = QTextCodec::codecForName("Windows-1251");
    QByteArray bytes = cp1251->fromUnicode(line);
    // The codec passes U+0098 through as the byte 0x98, the one byte Windows-1251 leaves undefined
    // (readers that decode strictly stop there).
    bytes.replace('\x98', '?');
    return bytes;
}

QString JournalFile::journalPath()
{
    return QString::fromLatin1(journalFileName);
}

QString JournalFile::archivePath(int number)
{
    return QString::fromLatin1(archivePattern).arg(number);
}

int JournalFile::nextArchiveNumber() const
{
    int number = 1;
    while (QFile::exists(archivePath(number)))
        ++number;
    return number;
}

bool JournalFile::makeRoomForArchive(int* number, QString* reason)
{
    *number = nextArchiveNumber();
    if (*number <= maxArchives)
        return true;
    // Every number is taken: the oldest goes, the others move down one.
    if (!QFile::remove(archivePath(1))) {
        *reason = archivePath(1) + QStringLiteral(": старый архив не удаляется");
        return false;
    }
    for (int n = 2; n <= maxArchives; ++n) {
        if (!QFile::rename(archivePath(n), archivePath(n - 1))) {
            *reason = archivePath(n) + QStringLiteral(": архив не переименовывается");
            return false;
        }
    }
    *number = maxArchives;
    return true;
}

static bool writeArchive(const QString& zipPath, const QByteArray& content)
{
    QuaZip zip(zipPath);
    zip.setFileNameCodec("IBM866");
    if (!zip.open(QuaZip::mdCreate))
        return false;
    bool ok = false;
    {
        QuaZipFile entry(&zip);
        // The new-entry description carries the name and the time of the rotation.
        QuaZipNewInfo info(QString::fromLatin1(journalFileName));
        if (entry.open(QIODevice::WriteOnly, info, nullptr, 0, Z_DEFLATED, Z_DEFAULT_COMPRESSION)) {
            ok = entry.write(content) == content.size();
            entry.close();
            ok = ok && entry.getZipError() == ZIP_OK;
        }
    }
    zip.close();
    return ok && zip.getZipError() == ZIP_OK;
}

// Reads the archive back: exactly one entry of the journal's name whose bytes (and checksum)
// match what was copied.
static bool archiveHolds(const QString& zipPath, const QByteArray& content)
{
    QuaZip zip(zipPath);
    zip.setFileNameCodec("IBM866");
    if (!zip.open(QuaZip::mdUnzip))
        return false;
    bool ok = zip.getEntriesCount() == 1 && zip.goToFirstFile()
              && zip.getCurrentFileName() == QLatin1String(journalFileName);
    if (ok) {
        QuaZipFile entry(&zip);
        ok = entry.open(QIODevice::ReadOnly);
        if (ok) {
            ok = entry.readAll() == content;
            entry.close();
            ok = ok && entry.getZipError() == UNZ_OK;
        }
    }
    zip.close();
    return ok;
}

namespace {

// The system's reason for the last failure, in the operator's language where it is a common one.
QString systemReason(int error, const QString& fallback)
{
    switch (error) {
    case ENOSPC: return QStringLiteral("нет места на диске");
#ifdef EDQUOT
    case EDQUOT: return QStringLiteral("исчерпана дисковая квота");
#endif
    case EFBIG: return QStringLiteral("превышен допустимый размер файла");
    case EACCES:
    case EPERM: return QStringLiteral("нет доступа на запись");
    case EROFS: return QStringLiteral("файловая система только для чтения");
    case EISDIR: return QStringLiteral("на месте файла находится папка");
    case ENOENT:
    case ENOTDIR: return QStringLiteral("нет такой папки");
    case EIO: return QStringLiteral("ошибка ввода-вывода");
    default: break;
    }
    if (error != 0)
        return QString::fromLocal8Bit(std::strerror(error));
    return fallback.isEmpty() ? QStringLiteral("причина неизвестна") : fallback;
}

} // namespace

bool JournalFile::rotate(QString* reason)
{
    const auto fail = [reason](const QString& why) {
        if (reason)
            *reason = why;
        return false;
    };
    QFile journalFile(journalPath());
    errno = 0;
    if (!journalFile.open(QIODevice::ReadOnly | QIODevice::Text))
        return fail(QStringLiteral("журнал не читается: ") + systemReason(errno, journalFile.errorString()));
    const QByteArray content = journalFile.readAll();
    const bool readAll = journalFile.error() == QFileDevice::NoError;
    journalFile.close();
    if (!readAll)
        return fail(QStringLiteral("журнал не читается: ") + journalFile.errorString());

    int number = 0;
    QString why;
    if (!makeRoomForArchive(&number, &why))
        return fail(why);
    const QString zipPath = archivePath(number);
    {
        // Made here first, so that a place where no file can be made gives its reason (a dangling
        // link is followed to where the archive would land).
        QFile probe(zipPath);
        errno = 0;
        if (!probe.open(QIODevice::WriteOnly))
            return fail(zipPath + QStringLiteral(": ") + systemReason(errno, probe.errorString()));
    }
    if (!writeArchive(zipPath, content) || !archiveHolds(zipPath, content)) {
        // No archive of that number existed before this attempt, so whatever is there now is our
        // incomplete one (a dangling link in its place is left alone).
        if (QFile::exists(zipPath))
            QFile::remove(zipPath);
        return fail(zipPath + QStringLiteral(": архив не записан"));
    }
    // The archive is complete: only now is the journal emptied.
    errno = 0;
    if (!journalFile.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Text))
        return fail(QStringLiteral("журнал не очищается: ") + systemReason(errno, journalFile.errorString()));
    cleanEnd = 0;
    return true;
}

#ifdef Q_OS_WIN
static const char lineEnd[] = "\r\n";
#else
static const char lineEnd[] = "\n";
#endif

// True when the file's last byte is a line end (or the file is empty or cannot be read).
static bool endsWithLineEnd(const QString& path, qint64 size)
{
    if (size <= 0)
        return true;
    QFile file(path);
    char last = '\n';
    if (file.open(QIODevice::ReadOnly) && file.seek(size - 1))
        file.getChar(&last);
    return last == '\n' || last == '\r';
}

bool JournalFile::writeRecord(const QByteArray& line, QString* reason)
{
    // Unbuffered and in binary mode, with the platform's line end put in here: the record goes down
    // in one write call (text mode would write it piecemeal where it converts line ends), and a
    // short write is known at once.
    QFile journalFile(journalPath());
    errno = 0;
    if (!journalFile.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Unbuffered)) {
        *reason = systemReason(errno, journalFile.errorString());
        return false;
    }
    const qint64 before = journalFile.size();
    QByteArray bytes;
    bytes.reserve(line.size() + 4);
    // A line left unfinished (by another program, or a crash mid-write) is closed first, so that
    // this record starts a line of its own.
    if (before != cleanEnd && !endsWithLineEnd(journalPath(), before))
        bytes.append(lineEnd);
    bytes.append(line);
    bytes.append(lineEnd);
    errno = 0;
    const qint64 written = journalFile.write(bytes);
    const int error = errno;
    if (written == bytes.size()) {
        cleanEnd = journalFile.size();
        return true;
    }
    *reason = systemReason(error, journalFile.errorString());
    // A record is whole or absent: a part of it is cut off again.
    if (written > 0 && !journalFile.resize(before))
        cleanEnd = -1;
    return false;
}

bool JournalFile::append(const QByteArray& line)
{
    if (QFile(journalPath()).size() > rotationThreshold) {
        if (linesUntilRetry > 0) {
            --linesUntilRetry;
        } else {
            QString reason;
            if (rotate(&reason)) {
                rotationFailing = false;
            } else {
                linesUntilRetry = rotationRetryLines - 1;
                if (!rotationFailing) {
                    rotationFailing = true;
                    notices.append({QStringLiteral("Журнал не архивируется (%1); он продолжает расти").arg(reason),
                                    true});
                }
            }
        }
    }
    QString reason;
    if (writeFailing) {
        // The gap is told first, in the journal itself: until that line is there, writing has not
        // come back, and this record is lost too.
        const QByteArray resumed =
            encode(formatLine(QDateTime::currentDateTime(), QtWarningMsg, resumedText(unwritten)));
        if (!writeRecord(resumed, &reason)) {
            ++unwritten;
            return false;
        }
        notices.append({resumedText(unwritten), false});
        writeFailing = false;
        unwritten = 0;
    }
    if (!writeRecord(line, &reason)) {
        ++unwritten;
        writeFailing = true;
        notices.append({QStringLiteral("Журнал %1 не записывается (%2); сообщения выводятся только в "
                                       "стандартный поток ошибок")
                            .arg(QLatin1String(journalFileName), reason),
                        false});
        return false;
    }
    return true;
}

QString JournalFile::resumedText(qint64 lost)
{
    return QStringLiteral("Запись журнала %1 возобновлена; не записано сообщений: %2")
        .arg(QLatin1String(journalFileName))
        .arg(lost);
}

QVector<JournalFile::Notice> JournalFile::takeNotices()
{
    QVector<Notice> taken;
    taken.swap(notices);
    return taken;
}

QVector<Record> RepeatFolder::take(qint64 clockMs, const QDateTime& when, QtMsgType messageType,
                                   const QString& messageText)
{
    if (open && messageType != QtFatalMsg && messageType == type && clockMs - lastClockMs <= repeatWindowMs
        && messageText == text) {
        ++repeats;
        lastClockMs = clockMs;
        lastWhen = when;
        return {};
    }
    QVector<Record> out = finish();
    out.append({when, messageType, messageText});
    open = true;
    type = messageType;
    text = messageText;
    lastClockMs = clockMs;
    lastWhen = when;
    repeats = 0;
    return out;
}

QVector<Record> RepeatFolder::finish()
{
    QVector<Record> out;
    if (open && repeats > 0)
        out.append({lastWhen, type, summaryText(repeats, text)});
    open = false;
    repeats = 0;
    text.clear();
    return out;
}

QVector<Record> RepeatFolder::finishQuiet(qint64 clockMs)
{
    if (!open || clockMs - lastClockMs <= repeatWindowMs)
        return {};
    return finish();
}

QString RepeatFolder::summaryText(int repeats, const QString& text)
{
    const int lastTwo = repeats % 100;
    const int last = repeats % 10;
    const bool few = last >= 2 && last <= 4 && (lastTwo < 12 || lastTwo > 14);
    return QStringLiteral("Сообщение повторено ещё %1 %2: ").arg(repeats).arg(few ? QStringLiteral("раза") : QStringLiteral("раз"))
           + text;
}

bool PopupGate::arrive()
{
    ++count;
    if (queued)
        return false;
    queued = true;
    return true;
}

int PopupGate::take()
{
    const int taken = count;
    count = 0;
    queued = false;
    return taken;
}

void PopupGate::reset()
{
    count = 0;
    queued = false;
}

} // namespace journal

namespace {

// Never destroyed: messages may still arrive from other threads while statics are torn down.
struct JournalState
{
    QMutex mutex;
    journal::JournalFile file;
    journal::RepeatFolder folder;
    journal::PopupGate popups;
    QPointer<QObject> popupTarget;
    // The last trouble raised before a window was there to show it.
    QString unshownProblem;
    QElapsedTimer clock;

    JournalState() { clock.start(); }
};

JournalState& state()
{
    static JournalState* instance = new JournalState;
    return *instance;
}

// Set while this thread is inside the handler: a message raised meanwhile (the zip library's or a
// file's warning) goes to standard error only, never into a second rotation.
thread_local bool insideHandler = false;

void writeStderr(const QByteArray& line)
{
    std::fwrite(line.constData(), 1, size_t(line.size()), stderr);
}

// Shows a trouble of the journal in the window (or keeps it until there is one). Under the mutex.
void showProblem(JournalState& s, const QString& text)
{
    if (s.popupTarget)
        QMetaObject::invokeMethod(s.popupTarget.data(), "journalProblem", Qt::QueuedConnection, Q_ARG(QString, text));
    else
        s.unshownProblem = text;
}

// One record to standard error and the journal, then whatever the journal has to say about itself:
// on standard error always, in the journal when it can carry it, in the window. Under the mutex.
void writeRecord(JournalState& s, const journal::Record& record)
{
    const QByteArray line = journal::encode(journal::formatLine(record.when, record.type, record.text));
    writeStderr(line);
    s.file.append(line);
    // A notice written into the journal may itself fail and raise one more; that one waits for the
    // next record.
    for (const journal::JournalFile::Notice& notice : s.file.takeNotices()) {
        const QByteArray noticeLine =
            journal::encode(journal::formatLine(QDateTime::currentDateTime(), QtWarningMsg, notice.text));
        writeStderr(noticeLine);
        if (notice.journalable)
            s.file.append(noticeLine);
        showProblem(s, notice.text);
    }
}

// Marks this thread as inside the journal while it lives: what the journal's own calls raise (a
// target without the slot) goes to standard error, never back into the journal's lock.
class InsideJournal
{
public:
    InsideJournal() : outer(insideHandler) { insideHandler = true; }
    ~InsideJournal() { insideHandler = outer; }

private:
    bool outer;
};

} // namespace

namespace {

// The route of this thread's messages, if any.
thread_local MessageRoute* currentRoute = nullptr;

} // namespace

MessageRoute::MessageRoute() : outer(currentRoute)
{
    currentRoute = this;
}

MessageRoute::~MessageRoute()
{
    currentRoute = outer;
}

bool MessageRoute::keep(QtMsgType type, const QString& text)
{
    if (type != QtCriticalMsg || !currentRoute)
        return false;
    currentRoute->kept.append(text);
    return true;
}

void setPopupTarget(QObject* target)
{
    InsideJournal inside;
    JournalState& s = state();
    QMutexLocker lock(&s.mutex);
    s.popupTarget = target;
    s.popups.reset();
    if (target && !s.unshownProblem.isEmpty()) {
        showProblem(s, s.unshownProblem);
        s.unshownProblem.clear();
    }
}

int takePopupCount()
{
    JournalState& s = state();
    QMutexLocker lock(&s.mutex);
    return qMax(1, s.popups.take());
}

void finishJournal()
{
    InsideJournal inside;
    JournalState& s = state();
    QMutexLocker lock(&s.mutex);
    for (const journal::Record& record : s.folder.finish())
        writeRecord(s, record);
    std::fflush(stderr);
}

void resetJournal()
{
    JournalState& s = state();
    QMutexLocker lock(&s.mutex);
    s.folder = journal::RepeatFolder();
    s.file = journal::JournalFile();
    s.popups.reset();
    s.unshownProblem.clear();
}

void flushQuietRepeats()
{
    InsideJournal inside;
    JournalState& s = state();
    QMutexLocker lock(&s.mutex);
    for (const journal::Record& record : s.folder.finishQuiet(s.clock.elapsed()))
        writeRecord(s, record);
    std::fflush(stderr);
}

void installJournal()
{
    qInstallMessageHandler(journalHandler);
}

void journalHandler(QtMsgType type, const QMessageLogContext& context, const QString& text)
{
    Q_UNUSED(context)
    if (journal::isDropped(type, text))
        return;

    const QDateTime now = QDateTime::currentDateTime();
    if (insideHandler) {
        const QByteArray line = journal::encode(journal::formatLine(now, type, text));
        writeStderr(line);
        std::fputc('\n', stderr);
        std::fflush(stderr);
        return;
    }

    {
        InsideJournal inside;
        JournalState& s = state();
        QMutexLocker lock(&s.mutex);
        // Every critical message counts for the pop-up, repeats included; only one call is queued
        // at a time. One for a remote client goes to that client instead.
        const bool routed = MessageRoute::keep(type, text);
        if (type == QtCriticalMsg && !routed && s.popupTarget && s.popups.arrive()) {
            if (!QMetaObject::invokeMethod(s.popupTarget.data(), "popupError", Qt::QueuedConnection,
                                           Q_ARG(QString, text)))
                s.popups.reset();
        }
        for (const journal::Record& record : s.folder.take(s.clock.elapsed(), now, type, text))
            writeRecord(s, record);
        std::fflush(stderr);
    }

    if (type == QtFatalMsg)
        std::abort();
}
