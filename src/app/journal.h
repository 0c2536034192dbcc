#ifndef JOURNAL_H
#define JOURNAL_H

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <QStringList>
#include <QVector>
#include <QtGlobal>

class QObject;

// The program's journal: every message of every thread becomes one time-stamped line of
// "stendix.log" in the working directory (Windows-1251, like the copy on standard error). A journal
// that has grown past one mebibyte is archived into the lowest free "stendix-N.log.zip" before the
// next line is written; once archives 1 to maxArchives all exist, the oldest goes and the others
// move down one number, so that "stendix-1" is always the oldest kept. A run of identical messages
// is written once, followed by the number of repeats when the run ends. A journal that cannot be
// written or archived says so once, on standard error and in the window's status bar; when it
// writes again, its first line says how many lines it lost meanwhile.
namespace journal {

// A journal of more bytes than this is archived before the next line.
constexpr qint64 rotationThreshold = 1048575;
// After a failed rotation the journal keeps growing; the next attempt comes this many lines later.
constexpr int rotationRetryLines = 100;
// Archives kept: "stendix-1.log.zip" (the oldest) to "stendix-20.log.zip" (the newest).
constexpr int maxArchives = 20;
// A message that repeats the one before it (same level and text) within this many milliseconds
// continues a run of repeats.
constexpr qint64 repeatWindowMs = 1000;

extern const char* const journalFileName;   // "stendix.log"
extern const char* const archivePattern;    // "stendix-%1.log.zip"

// Level label of a journal line: "D", "I", "W", "E", "F".
QString label(QtMsgType type);
// True when the message leaves no trace: debug messages, and warnings beginning with "setGeometry".
bool isDropped(QtMsgType type, const QString& text);
// "[yyyy.MM.dd hh:mm:ss:zzz L] text"
QString formatLine(const QDateTime& when, QtMsgType type, const QString& text);
// A line as the journal and its copy on standard error carry it: Windows-1251, whatever the local
// 8-bit encoding. A character that encoding lacks (one "?" for each, a pair of surrogates being one
// character) is written as "?", so that every byte is one that Windows-1251 defines.
QByteArray encode(const QString& line);

// One message as it goes into the journal.
struct Record
{
    QDateTime when;
    QtMsgType type = QtInfoMsg;
    QString text;
};

// Folds runs of identical messages: the first of a run is written, the repeats only counted, and
// when the run ends (a different message, the same one after a pause longer than repeatWindowMs, or
// the end of the journal) one summary line with the count follows, at the time and level of the
// last repeat. Fatal messages are never folded.
class RepeatFolder
{
public:
    // The records to write for a message arriving at `clockMs` (a monotonic clock): the summary of
    // the run it ends, if any, then the message itself unless it only repeats the run.
    QVector<Record> take(qint64 clockMs, const QDateTime& when, QtMsgType type, const QString& text);
    // The summary of the open run, if it has repeats; the run is closed.
    QVector<Record> finish();
    // The same, once no repeat has come for the repeat window: a run that has ended by itself.
    QVector<Record> finishQuiet(qint64 clockMs);
    // "Сообщение повторено ещё N раз: text" (or "раза" where Russian says so).
    static QString summaryText(int repeats, const QString& text);

private:
    bool open = false;
    QtMsgType type = QtInfoMsg;
    QString text;
    qint64 lastClockMs = 0;
    QDateTime lastWhen;
    int repeats = 0;
};

// The journal file and its archives, by relative names in the working directory. Not thread-safe by
// itself: the handler serialises every use.
class JournalFile
{
public:
    // A change in the journal's health that the operator should hear of, once.
    struct Notice
    {
        QString text;
        // True when the journal should carry the notice as a line of its own (it can: it was written
        // a moment ago); false when it cannot, or already does.
        bool journalable = false;
    };

    // Writes one encoded line and a line end, archiving a full journal first. The record lands whole
    // or not at all, and on a line of its own. False when it could not be written.
    //
    // While writing fails every record counts as lost. The first record that finds writing working
    // again is preceded by a line saying how many were lost: only when that line is in the journal
    // does the journal count as writing again (a disk that takes a short line but not the next is
    // still full), and a record that follows a notice that could not be written is lost as well.
    bool append(const QByteArray& line);
    // Archives the journal into the next free archive and empties it. The journal is emptied only
    // after the archive has been written, read back and found equal to it; otherwise the archive
    // is removed and the journal left as it was. `reason` says why it failed.
    bool rotate(QString* reason = nullptr);
    // Lowest n of 1 upwards for which no archive of that number exists; once every number up to
    // maxArchives is taken, the oldest archive is removed and the others renumbered down by one to
    // make room for the new one at maxArchives (false when that could not be done).
    int nextArchiveNumber() const;
    bool makeRoomForArchive(int* number, QString* reason);
    // The notices raised since the last call: the first failed write after writing worked (with the
    // reason), writing working again (with the number of records lost meanwhile), the first failed
    // rotation after one worked.
    QVector<Notice> takeNotices();
    // The text of the line that ends a time of failed writes.
    static QString resumedText(qint64 lost);

    static QString journalPath();
    static QString archivePath(int number);

private:
    bool writeRecord(const QByteArray& line, QString* reason);

    int linesUntilRetry = 0;
    bool writeFailing = false;
    bool rotationFailing = false;
    // Records that did not reach the journal since writing last failed.
    qint64 unwritten = 0;
    // Size of the journal right after the last record written here: the file ends with a line end
    // there, so it need not be read back to find out.
    qint64 cleanEnd = -1;
    QVector<Notice> notices;
};

// Counts the critical messages bound for the pop-up target so that at most one call of its
// popupError is queued at a time, however fast they come.
class PopupGate
{
public:
    // One more critical message. True when a call should be queued now (none is pending).
    bool arrive();
    // The target's call has come: the number of messages it stands for (itself and those that came
    // while it was queued). The next message queues a new call.
    int take();
    void reset();

private:
    bool queued = false;
    int count = 0;
};

} // namespace journal

// The messages of what a remote client asked for. While one lives on a thread, the critical
// messages of that thread are written to the journal as ever but shown in no error box (nobody may
// be watching the screen): they are kept here for the client instead. Routes nest; the innermost
// keeps the messages.
class MessageRoute
{
public:
    MessageRoute();
    ~MessageRoute();
    MessageRoute(const MessageRoute&) = delete;
    MessageRoute& operator=(const MessageRoute&) = delete;

    // The critical messages kept so far, in order.
    QStringList criticals() const { return kept; }
    // Called by the message handler on the route's thread.
    static bool keep(QtMsgType type, const QString& text);

private:
    MessageRoute* outer;
    QStringList kept;
};

// The process-wide message handler (installed with qInstallMessageHandler).
void journalHandler(QtMsgType type, const QMessageLogContext& context, const QString& text);
// Makes the journal take every message of the process, right after the application object exists.
// The local 8-bit encoding is left as the platform has it (UTF-8 here): Qt converts file names,
// paths, arguments and the environment with it, so Cyrillic folders and files reach the disk and
// the window as they are, while the journal writes Windows-1251 by itself (journal::encode).
void installJournal();
// The window whose slot popupError(QString) shows critical messages and whose slot
// journalProblem(QString) shows the journal's troubles; null before it is registered. A trouble that
// came before is shown as soon as the window is registered.
void setPopupTarget(QObject* target);
// For the target's popupError: the number of critical messages that call stands for, itself
// included; at least 1. Criticals that come while a call is queued are counted instead of queued.
int takePopupCount();
// Writes what is still held back (the repeat count of an open run). The handler stays installed.
void finishJournal();
// Writes the repeat count of a run that has gone quiet, so that it does not wait for the next message.
// Called now and then by the program (the window's timer).
void flushQuietRepeats();
// Forgets the journal's state: the open run of repeats (unwritten), the troubles reported, the pop-up
// count. For a process that moves on to another working directory, as the tests do.
void resetJournal();

#endif
