#ifndef JOURNAL_H
#define JOURNAL_H

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <QtGlobal>

class QObject;

// The program's journal: every message of every thread becomes one time-stamped line of
// "stendix.log" in the working directory (Windows-1251, like the copy on standard error). A journal
// that has grown past one mebibyte is archived into the lowest free "stendix-N.log.zip" before the
// next line is written.
namespace journal {

// A journal of more bytes than this is archived before the next line.
constexpr qint64 rotationThreshold = 1048575;
// After a failed rotation the journal keeps growing; the next attempt comes this many lines later.
constexpr int rotationRetryLines = 100;

extern const char* const journalFileName;   // "stendix.log"
extern const char* const archivePattern;    // "stendix-%1.log.zip"

// Level label of a journal line: "D", "I", "W", "E", "F".
QString label(QtMsgType type);
// True when the message leaves no trace: debug messages, and warnings beginning with "setGeometry".
bool isDropped(QtMsgType type, const QString& text);
// "[yyyy.MM.dd hh:mm:ss:zzz L] text"
QString formatLine(const QDateTime& when, QtMsgType type, const QString& text);

// The journal file and its archives, by relative names in the working directory. Not thread-safe by
// itself: the handler serialises every use.
class JournalFile
{
public:
    // Writes one encoded line and a line end, archiving a full journal first. False when the line
    // could not be written to the journal.
    bool append(const QByteArray& line);
    // Archives the journal into the next free archive and empties it. The journal is emptied only
    // after the archive has been written, read back and found equal to it; otherwise the archive
    // is removed and the journal left as it was.
    bool rotate();
    // Lowest n of 1 upwards for which no archive of that number exists.
    int nextArchiveNumber() const;

    static QString journalPath();
    static QString archivePath(int number);

private:
    int linesUntilRetry = 0;
};

} // namespace journal

// The process-wide message handler (installed with qInstallMessageHandler).
void journalHandler(QtMsgType type, const QMessageLogContext& context, const QString& text);
// The window whose slot popupError(QString) shows critical messages; null before it is registered.
void setPopupTarget(QObject* target);

#endif
