#include "journal.h"

#include <QFile>
#include <QMetaObject>
#include <QMutex>
#include <QMutexLocker>
#include <QPointer>

#include <quazip.h>
#include <quazipfile.h>
#include <quazipnewinfo.h>
#include <zlib.h>

#include <cstdio>
#include <cstdlib>

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

bool JournalFile::rotate()
{
    QFile journalFile(journalPath());
    if (!journalFile.open(QIODevice::ReadOnly | QIODevice::Text))
        return false;
    const QByteArray content = journalFile.readAll();
    const bool readAll = journalFile.error() == QFileDevice::NoError;
    journalFile.close();
    if (!readAll)
        return false;

    const QString zipPath = archivePath(nextArchiveNumber());
    if (!writeArchive(zipPath, content) || !archiveHolds(zipPath, content)) {
        // No archive of that number existed before this attempt, so whatever is there now is our
        // incomplete one (a dangling link in its place is left alone).
        if (QFile::exists(zipPath))
            QFile::remove(zipPath);
        return false;
    }
    // The archive is complete: only now is the journal emptied.
    return journalFile.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Text);
}

bool JournalFile::append(const QByteArray& line)
{
    QFile journalFile(journalPath());
    if (journalFile.size() > rotationThreshold) {
        if (linesUntilRetry > 0) {
            --linesUntilRetry;
        } else if (!rotate()) {
            linesUntilRetry = rotationRetryLines - 1;
        }
    }
    if (!journalFile.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Text))
        return false;
    QByteArray bytes = line;
    bytes.append('\n');
    const bool written = journalFile.write(bytes) == bytes.size() && journalFile.flush();
    journalFile.close();
    return written;
}

} // namespace journal

namespace {

// Never destroyed: messages may still arrive from other threads while statics are torn down.
QMutex& journalMutex()
{
    static QMutex* mutex = new QMutex;
    return *mutex;
}

journal::JournalFile& journalFile()
{
    static journal::JournalFile* file = new journal::JournalFile;
    return *file;
}

QPointer<QObject>& popupTarget()
{
    static QPointer<QObject>* target = new QPointer<QObject>;
    return *target;
}

// Set while this thread is inside the handler: a message raised meanwhile (the zip library's or a
// file's warning) goes to standard error only, never into a second rotation.
thread_local bool insideHandler = false;

} // namespace

void setPopupTarget(QObject* target)
{
    QMutexLocker lock(&journalMutex());
    popupTarget() = target;
}

void journalHandler(QtMsgType type, const QMessageLogContext& context, const QString& text)
{
    Q_UNUSED(context)
    if (journal::isDropped(type, text))
        return;

    const QByteArray line = journal::formatLine(QDateTime::currentDateTime(), type, text).toLocal8Bit();
    if (insideHandler) {
        std::fwrite(line.constData(), 1, size_t(line.size()), stderr);
        std::fputc('\n', stderr);
        std::fflush(stderr);
        return;
    }

    insideHandler = true;
    {
        QMutexLocker lock(&journalMutex());
        if (type == QtCriticalMsg && popupTarget())
            QMetaObject::invokeMethod(popupTarget().data(), "popupError", Qt::QueuedConnection,
                                      Q_ARG(QString, text));
        std::fwrite(line.constData(), 1, size_t(line.size()), stderr);
        journalFile().append(line);
        std::fflush(stderr);
    }
    insideHandler = false;

    if (type == QtFatalMsg)
        std::abort();
}
