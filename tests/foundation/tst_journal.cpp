#include <QtTest>

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTextCodec>

#include <quazip.h>
#include <quazipfile.h>
#include <quazipfileinfo.h>

#include <csignal>
#include <cstdio>
#include <memory>
#include <sys/mount.h>
#include <sys/resource.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "apptestutil.h"
#include "journal.h"

using apptest::readFile;

namespace {

// What a journal archive holds.
struct ArchiveContents
{
    bool valid = false;
    int entries = 0;
    QString entryName;
    int method = -1;
    QByteArray data;
};

ArchiveContents readArchive(const QString& path)
{
    ArchiveContents result;
    QuaZip zip(path);
    zip.setFileNameCodec("IBM866");
    if (!zip.open(QuaZip::mdUnzip))
        return result;
    result.entries = zip.getEntriesCount();
    if (zip.goToFirstFile()) {
        QuaZipFileInfo64 info;
        zip.getCurrentFileInfo(&info);
        result.entryName = info.name;
        result.method = info.method;
        QuaZipFile file(&zip);
        if (file.open(QIODevice::ReadOnly)) {
            result.data = file.readAll();
            file.close();
            result.valid = file.getZipError() == UNZ_OK;
        }
    }
    zip.close();
    return result;
}

// Redirects the process's standard error into a temporary file while it lives.
class StderrCapture
{
public:
    StderrCapture()
    {
        file.open();
        std::fflush(stderr);
        saved = dup(2);
        dup2(file.handle(), 2);
    }
    ~StderrCapture() { restore(); }
    QByteArray take()
    {
        restore();
        file.seek(0);
        return file.readAll();
    }

private:
    void restore()
    {
        if (saved < 0)
            return;
        std::fflush(stderr);
        dup2(saved, 2);
        ::close(saved);
        saved = -1;
    }
    QTemporaryFile file;
    int saved = -1;
};

// Receives the journal's pop-ups and troubles like the main window does.
class PopupReceiver : public QObject
{
    Q_OBJECT
public:
    QStringList messages;
    QList<int> counts;     // the critical messages each call stood for
    QStringList problems;
public slots:
    void popupError(QString message)
    {
        messages << message;
        counts << takePopupCount();
    }
    void journalProblem(QString message) { problems << message; }
};

// Routes messages into the journal while it lives, then gives them back to the test framework.
class HandlerScope
{
public:
    HandlerScope() : previous(qInstallMessageHandler(journalHandler)) {}
    ~HandlerScope() { qInstallMessageHandler(previous); }

private:
    QtMessageHandler previous;
};

const QString journalName = QStringLiteral("stendix.log");

void writeFile(const QString& path, const QByteArray& data)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(file.write(data), qint64(data.size()));
}

// A journal of exactly `size` bytes made of whole lines.
QByteArray journalOfSize(qint64 size)
{
    QByteArray data;
    for (int n = 0; data.size() < size; ++n)
        data += "[2021.04.26 14:47:06:123 I] filler line " + QByteArray::number(n) + '\n';
    data.truncate(int(size));
    data[data.size() - 1] = '\n';
    return data;
}

QString fromLocal(const QByteArray& bytes)
{
    return QTextCodec::codecForName("Windows-1251")->toUnicode(bytes);
}

// The journal's lines without their time stamps ("I] text"); a line that is not a journal line is
// kept whole, between angle brackets.
QStringList linesOf(const QByteArray& journal)
{
    static const QRegularExpression stamp(
        QStringLiteral("^\\[\\d{4}\\.\\d{2}\\.\\d{2} \\d{2}:\\d{2}:\\d{2}:\\d{3} ([DIWEF]\\] .*)$"));
    QStringList lines;
    for (const QString& line : fromLocal(journal).split(QLatin1Char('\n'))) {
        const QRegularExpressionMatch match = stamp.match(line);
        lines << (match.hasMatch() || line.isEmpty() ? match.captured(1) : QLatin1Char('<') + line + QLatin1Char('>'));
    }
    return lines;
}

// The texts the journal uses for its own troubles.
QString writeFailure(const QString& reason)
{
    return QStringLiteral("Журнал stendix.log не записывается (%1); сообщения выводятся только в стандартный поток ошибок")
        .arg(reason);
}
QString writeRecovered(int lost)
{
    return QStringLiteral("Запись журнала stendix.log возобновлена; не записано сообщений: %1").arg(lost);
}

// This test program as a child in the working directory, logging through the journal: each
// argument is a message text, or "limit:+N" (files may grow only N bytes past the journal's size
// now, as on a disk about to be full) or "unlimit". The child prints what reached the window's slot
// for the journal's troubles.
int journalChild(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    std::signal(SIGXFSZ, SIG_IGN);   // a write past the limit fails instead of ending the process
    PopupReceiver window;
    installJournal();
    setPopupTarget(&window);
    for (int i = 2; i < argc; ++i) {
        // The parent hands the arguments over in the local encoding.
        const QString step = QString::fromLocal8Bit(argv[i]);
        rlimit limit;
        getrlimit(RLIMIT_FSIZE, &limit);
        if (step.startsWith(QLatin1String("limit:+"))) {
            limit.rlim_cur = rlim_t(QFileInfo(QStringLiteral("stendix.log")).size() + step.mid(7).toInt());
            setrlimit(RLIMIT_FSIZE, &limit);
        } else if (step == QLatin1String("unlimit")) {
            limit.rlim_cur = limit.rlim_max;
            setrlimit(RLIMIT_FSIZE, &limit);
        } else if (step.startsWith(QLatin1String("remove:"))) {
            QFile::remove(step.mid(7));
        } else {
            qInfo("%s", qUtf8Printable(step));
        }
    }
    QCoreApplication::sendPostedEvents();
    qInstallMessageHandler(nullptr);
    for (const QString& problem : window.problems)
        std::printf("%s\n", problem.toUtf8().constData());
    return 0;
}

} // namespace

class TestJournal : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void formatLine();
    void filter_data();
    void filter();
    void linesInWindows1251WithStderrCopy();
    void whatWindows1251Lacks_data();
    void whatWindows1251Lacks();
    void archivesPastTheLimitIntoLowestFreeNumber();
    void failedArchiveKeepsJournalAndRetries();
    void unopenableJournalStillReachesStderr();
    void criticalPopsUpOnlyWhenTargetRegistered();
    void failingPopupDoesNotRecurse();
    void fatalIsWrittenThenAborts();
    void manyThreadsAcrossRotations();
    void repeatFolding_data();
    void repeatFolding();
    void repeatsOnDisk();
    void criticalBurstQueuesOneCall();
    void writeFailures_data();
    void writeFailures();
    void lostLinesCountedExactly_data();
    void lostLinesCountedExactly();
    void archivesCapped();

private:
    std::unique_ptr<apptest::WorkingDirectory> cwd;
};

void TestJournal::init()
{
    resetJournal();
    cwd.reset(new apptest::WorkingDirectory);
    QVERIFY(cwd->isValid());
}

void TestJournal::cleanup()
{
    setPopupTarget(nullptr);
    cwd.reset();
}

void TestJournal::formatLine()
{
    const QDateTime when(QDate(2021, 4, 26), QTime(14, 47, 6, 123));
    QCOMPARE(journal::formatLine(when, QtInfoMsg, QStringLiteral("Запуск программы (версия 1.4.27) 2021.04.26 14:47:06")),
             QStringLiteral("[2021.04.26 14:47:06:123 I] Запуск программы (версия 1.4.27) 2021.04.26 14:47:06"));
    QCOMPARE(journal::formatLine(QDateTime(QDate(2021, 1, 2), QTime(3, 4, 5, 6)), QtCriticalMsg, QStringLiteral("x")),
             QStringLiteral("[2021.01.02 03:04:05:006 E] x"));
}

void TestJournal::filter_data()
{
    QTest::addColumn<int>("type");
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("dropped");
    QTest::newRow("debug") << int(QtDebugMsg) << "Сборка от Apr 26 2021 14:47:06" << true;
    QTest::newRow("warning setGeometry first") << int(QtWarningMsg) << "setGeometry: Unable to set geometry 100x30" << true;
    QTest::newRow("warning setGeometry later") << int(QtWarningMsg) << "QWindow: setGeometry: Unable" << false;
    QTest::newRow("warning other case") << int(QtWarningMsg) << "SetGeometry: case matters" << false;
    QTest::newRow("critical setGeometry") << int(QtCriticalMsg) << "setGeometry critical" << false;
}

void TestJournal::filter()
{
    QFETCH(int, type);
    QFETCH(QString, text);
    QFETCH(bool, dropped);
    QCOMPARE(journal::isDropped(QtMsgType(type), text), dropped);
}

void TestJournal::linesInWindows1251WithStderrCopy()
{
    StderrCapture capture;
    {
        HandlerScope scope;
        qInfo("Запуск программы (версия %s) %s", "1.4.27", "2021.04.26 14:47:06");
        qDebug("Сборка от %s %s", "Apr 26 2021", "14:47:06"); // dropped
        qWarning("%s", "Модуль в процессе остановки %1");
        qWarning("setGeometry: Unable to set geometry 640x480+0+0"); // dropped
        qCritical("Ошибка %d (%s)", -102, "Нет связи");
    }
    const QByteArray err = capture.take();
    const QByteArray log = readFile(journalName);

    const QRegularExpression linePattern(
        QStringLiteral("^\\[\\d{4}\\.\\d{2}\\.\\d{2} \\d{2}:\\d{2}:\\d{2}:\\d{3} ([DIWEF]\\] .*)$"));
    const QList<QByteArray> lines = log.split('\n');
    QStringList texts;
    for (const QByteArray& line : lines.mid(0, lines.size() - 1))
        texts.append(linePattern.match(fromLocal(line)).captured(1));
    QCOMPARE(texts, (QStringList{"I] Запуск программы (версия 1.4.27) 2021.04.26 14:47:06",
                                 "W] Модуль в процессе остановки %1", "E] Ошибка -102 (Нет связи)"}));
    QVERIFY(lines.last().isEmpty()); // every line ends with a line end
    // The bytes are Windows-1251: "Запуск" is 0xC7 0xE0 ..., not UTF-8 pairs.
    QVERIFY(lines[0].contains("\xC7\xE0\xEF\xF3\xF1\xEA"));
    // Standard error carries the same lines, Windows-1251, without line ends.
    QCOMPARE(err, lines[0] + lines[1] + lines[2]);
}

void TestJournal::whatWindows1251Lacks_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("written");
    // "И" is 0xD0 0x98 in UTF-8; the journal has its own code for it, 0xC8.
    QTest::newRow("Russian") << "Стенд Иванова" << "Стенд Иванова";
    QTest::newRow("ё, №, € and quotes") << "ёЁ №5 €1 «да» — …" << "ёЁ №5 €1 «да» — …";
    // The one byte Windows-1251 leaves undefined is never written, even for the character that Qt
    // would map to it.
    QTest::newRow("U+0098") << QString(QChar(0x98)) << "?";
    QTest::newRow("Chinese") << "漢字 файл" << "?? файл";
    QTest::newRow("a character beyond 16 bits") << "волна 😀.csv" << "волна ?.csv";
    QTest::newRow("Greek and a tick") << "αβ ✓" << "?? ?";
    QTest::newRow("a lone surrogate") << QString(QChar(0xD800)) + QStringLiteral("x") << "?x";
}

// A character the journal's encoding lacks becomes "?": the journal and its copy on standard error
// decode strictly as Windows-1251 (iconv -f cp1251 and Python's "cp1251" stop at 0x98).
void TestJournal::whatWindows1251Lacks()
{
    QFETCH(QString, text);
    QFETCH(QString, written);
    StderrCapture capture;
    {
        HandlerScope scope;
        qWarning("%s", qUtf8Printable(QStringLiteral("Файл \"%1\" не найден").arg(text)));
    }
    const QByteArray err = capture.take();
    const QByteArray log = readFile(journalName);
    QVERIFY(!log.contains('\x98'));
    QVERIFY(!err.contains('\x98'));
    QCOMPARE(log, err + '\n');
    QVERIFY2(fromLocal(log).endsWith(QStringLiteral("W] Файл \"%1\" не найден\n").arg(written)), qPrintable(fromLocal(log)));
}

void TestJournal::archivesPastTheLimitIntoLowestFreeNumber()
{
    writeFile(QStringLiteral("stendix-1.log.zip"), "one");
    writeFile(QStringLiteral("stendix-3.log.zip"), "three");
    // 1048575 bytes: appended to, no archive.
    const QByteArray full = journalOfSize(journal::rotationThreshold);
    writeFile(journalName, full);
    journal::JournalFile file;
    QVERIFY(file.append("next line"));
    QVERIFY(!QFile::exists(QStringLiteral("stendix-2.log.zip")));
    const QByteArray old = full + "next line\n";
    QCOMPARE(readFile(journalName), old);

    // Now past the limit: archived first into the lowest free number, and the new journal holds only
    // the new line.
    {
        StderrCapture quiet;
        HandlerScope scope;
        qInfo("Строка после архивации");
    }
    const ArchiveContents archive = readArchive(QStringLiteral("stendix-2.log.zip"));
    QVERIFY(archive.valid);
    QCOMPARE(archive.entries, 1);
    QCOMPARE(archive.entryName, journalName);
    QCOMPARE(archive.method, 8); // deflate
    QCOMPARE(archive.data, old);
    const QByteArray fresh = readFile(journalName);
    QCOMPARE(fresh.count('\n'), 1);
    QVERIFY(fromLocal(fresh).endsWith(QStringLiteral(" I] Строка после архивации\n")));
    // The other archives are never touched.
    QCOMPARE(readFile(QStringLiteral("stendix-1.log.zip")), QByteArray("one"));
    QCOMPARE(readFile(QStringLiteral("stendix-3.log.zip")), QByteArray("three"));

    // Exactly 1048576 bytes is archived too.
    const QByteArray atLimit = journalOfSize(journal::rotationThreshold + 1);
    writeFile(journalName, atLimit);
    QVERIFY(file.append("after"));
    QCOMPARE(readArchive(QStringLiteral("stendix-4.log.zip")).data, atLimit);
    QCOMPARE(readFile(journalName), QByteArray("after\n"));
}

void TestJournal::failedArchiveKeepsJournalAndRetries()
{
    // The archive's place points into a directory that does not exist: creating it fails.
    QVERIFY(QFile::link(QStringLiteral("/nonexistent-stendix-dir/archive.zip"), QStringLiteral("stendix-1.log.zip")));
    QByteArray expected = journalOfSize(journal::rotationThreshold + 10);
    writeFile(journalName, expected);

    journal::JournalFile file;
    QVERIFY(file.append("line 0"));
    expected += "line 0\n";
    QCOMPARE(readFile(journalName), expected);
    QVERIFY(QFileInfo(QStringLiteral("stendix-1.log.zip")).isSymLink()); // left as it was

    // The next attempt comes a number of lines later; until then lines keep being appended.
    QFile::remove(QStringLiteral("stendix-1.log.zip"));
    for (int line = 1; line < journal::rotationRetryLines; ++line) {
        QVERIFY(file.append("line " + QByteArray::number(line)));
        expected += "line " + QByteArray::number(line) + '\n';
    }
    QVERIFY(!QFile::exists(QStringLiteral("stendix-1.log.zip")));
    QVERIFY(file.append("rotating line"));
    // Nothing was lost: the archive holds every line before the one that rotated.
    QCOMPARE(readArchive(QStringLiteral("stendix-1.log.zip")).data, expected);
    QCOMPARE(readFile(journalName), QByteArray("rotating line\n"));
}

void TestJournal::unopenableJournalStillReachesStderr()
{
    QVERIFY(QDir().mkdir(journalName));
    StderrCapture capture;
    {
        HandlerScope scope;
        qInfo("Журнал недоступен");
        qInfo("Вторая строка");
    }
    const QString err = fromLocal(capture.take());
    QVERIFY2(err.contains(QStringLiteral(" I] Журнал недоступен[")), qPrintable(err));
    QVERIFY(err.contains(QStringLiteral(" I] Вторая строка")));
}

void TestJournal::criticalPopsUpOnlyWhenTargetRegistered()
{
    PopupReceiver receiver;
    StderrCapture capture;
    HandlerScope scope;
    qCritical("До регистрации");
    QCoreApplication::processEvents();
    QVERIFY(receiver.messages.isEmpty());

    setPopupTarget(&receiver);
    qCritical("Нет связи со службой");
    qWarning("Предупреждение без окна");
    qInfo("Сведение без окна");
    QTRY_COMPARE(receiver.messages, QStringList{QStringLiteral("Нет связи со службой")});
    QCOMPARE(readFile(journalName).count('\n'), 4);
}

void TestJournal::failingPopupDoesNotRecurse()
{
    // A target without the slot: invoking it raises a warning inside the handler, which must go to
    // standard error only and must not wait for the handler's own lock.
    QObject target;
    setPopupTarget(&target);
    StderrCapture capture;
    {
        HandlerScope scope;
        qCritical("Ошибка без обработчика");
        qInfo("После");
    }
    const QString err = fromLocal(capture.take());
    const QByteArray log = readFile(journalName);
    QCOMPARE(log.count('\n'), 2);
    QVERIFY(fromLocal(log).contains(QStringLiteral("E] Ошибка без обработчика")));
    QVERIFY2(err.contains(QStringLiteral("popupError")), qPrintable(err));
}

void TestJournal::fatalIsWrittenThenAborts()
{
    QProcess child;
    child.setWorkingDirectory(cwd->path());
    child.start(QCoreApplication::applicationFilePath(), {QStringLiteral("--fatal-child")});
    QVERIFY(child.waitForFinished(30000));
    QCOMPARE(child.exitStatus(), QProcess::CrashExit);
    const QStringList lines = fromLocal(readFile(journalName)).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    QCOMPARE(lines.size(), 2);
    QVERIFY(lines[0].endsWith(QStringLiteral(" I] перед остановкой")));
    QVERIFY(lines[1].endsWith(QStringLiteral(" F] Неустранимая ошибка")));
    QVERIFY(fromLocal(child.readAllStandardError()).contains(QStringLiteral("F] Неустранимая ошибка")));
}

// Many threads logging at once across several rotations: every message ends up exactly once, in its
// thread's order, on a line of its own, in the archives or the journal.
void TestJournal::manyThreadsAcrossRotations()
{
    const int threads = 4;
    const int perThread = 15000;
    {
        StderrCapture quiet;
        HandlerScope scope;
        std::vector<std::thread> workers;
        for (int t = 0; t < threads; ++t) {
            workers.emplace_back([t] {
                for (int n = 0; n < perThread; ++n)
                    qInfo("поток %d сообщение %d: данные канала, частота %d Гц", t, n, 1000 + n);
            });
        }
        for (auto& worker : workers)
            worker.join();
    }

    QByteArray all;
    int archives = 0;
    for (int n = 1; QFile::exists(QStringLiteral("stendix-%1.log.zip").arg(n)); ++n) {
        const ArchiveContents archive = readArchive(QStringLiteral("stendix-%1.log.zip").arg(n));
        QVERIFY2(archive.valid, qPrintable(QString::number(n)));
        QCOMPARE(archive.entries, 1);
        QVERIFY(archive.data.size() > journal::rotationThreshold);
        QVERIFY(archive.data.endsWith('\n'));
        all += archive.data;
        ++archives;
    }
    const QByteArray rest = readFile(journalName);
    QVERIFY(rest.size() <= journal::rotationThreshold + 200);
    all += rest;
    QVERIFY2(archives >= 3, qPrintable(QString::number(archives)));

    const QRegularExpression pattern(QStringLiteral(
        "^\\[\\d{4}\\.\\d{2}\\.\\d{2} \\d{2}:\\d{2}:\\d{2}:\\d{3} I\\] поток (\\d) сообщение (\\d+): данные канала, частота (\\d+) Гц$"));
    std::vector<int> next(threads, 0);
    const QList<QByteArray> lines = all.split('\n');
    QCOMPARE(lines.size(), threads * perThread + 1);
    QVERIFY(lines.last().isEmpty());
    for (int i = 0; i < lines.size() - 1; ++i) {
        const QRegularExpressionMatch match = pattern.match(fromLocal(lines[i]));
        QVERIFY2(match.hasMatch(), lines[i].constData());
        const int t = match.captured(1).toInt();
        const int n = match.captured(2).toInt();
        QVERIFY(t < threads);
        QCOMPARE(n, next[t]);
        QCOMPARE(match.captured(3).toInt(), 1000 + n);
        ++next[t];
    }
    for (int t = 0; t < threads; ++t)
        QCOMPARE(next[t], perThread);
}

void TestJournal::repeatFolding_data()
{
    // Each step: "<ms> <level> <text>", the level one of I W E F; "quiet <ms>" looks for a run that has
    // gone quiet by then; "end" closes the journal.
    QTest::addColumn<QStringList>("steps");
    QTest::addColumn<QStringList>("written");
    QTest::newRow("each within a second of the one before: one run of two seconds")
        << QStringList{"0 E сбой", "900 E сбой", "1800 E сбой", "end"} << QStringList{"E сбой", "E Сообщение повторено ещё 2 раза: сбой"};
    QTest::newRow("the same text after a pause starts a new run")
        << QStringList{"0 W сбой", "500 W сбой", "1501 W сбой", "1600 W сбой", "end"}
        << QStringList{"W сбой", "W Сообщение повторено ещё 1 раз: сбой", "W сбой",
                       "W Сообщение повторено ещё 1 раз: сбой"};
    QTest::newRow("other level, or two threads taking turns")
        << QStringList{"0 W сбой", "10 E сбой", "20 W сбой", "21 E А", "22 E Б", "23 E А"}
        << QStringList{"W сбой", "E сбой", "W сбой", "E А", "E Б", "E А"};
    QTest::newRow("a run gone quiet is summed up without waiting for the next message")
        << QStringList{"0 E сбой", "100 E сбой", "200 E сбой", "quiet 1100", "quiet 1201", "quiet 5000", "1300 E сбой", "end"}
        << QStringList{"E сбой", "E Сообщение повторено ещё 2 раза: сбой", "E сбой"};
    QTest::newRow("fatal is never folded")
        << QStringList{"0 F конец", "1 F конец"} << QStringList{"F конец", "F конец"};
}

void TestJournal::repeatFolding()
{
    QFETCH(QStringList, steps);
    QFETCH(QStringList, written);
    const QString levels = QStringLiteral("DIWEF");
    const QtMsgType types[] = {QtDebugMsg, QtInfoMsg, QtWarningMsg, QtCriticalMsg, QtFatalMsg};
    journal::RepeatFolder folder;
    const QDateTime start(QDate(2021, 4, 26), QTime(14, 0));
    QStringList out;
    for (const QString& step : steps) {
        const QVector<journal::Record> records =
            step == QLatin1String("end") ? folder.finish()
            : step.startsWith(QLatin1String("quiet ")) ? folder.finishQuiet(step.section(' ', 1, 1).toLongLong())
                : folder.take(step.section(' ', 0, 0).toLongLong(), start.addMSecs(step.section(' ', 0, 0).toLongLong()),
                              types[levels.indexOf(step.section(' ', 1, 1))], step.section(' ', 2));
        for (const journal::Record& record : records)
            out << levels.at(int(std::find(std::begin(types), std::end(types), record.type) - std::begin(types)))
                       + QLatin1Char(' ') + record.text;
    }
    QCOMPARE(out, written);
}

// A fault that repeats its message many times a second leaves one line and a count in the journal
// (and on standard error); the count comes with the next different message, or when the journal is
// finished.
void TestJournal::repeatsOnDisk()
{
    StderrCapture capture;
    {
        HandlerScope scope;
        for (int n = 0; n < 25; ++n)
            qCritical("Ошибка -105 (Модуль не открыт)");
        qInfo("Обновление");
        for (int n = 0; n < 3; ++n)
            qWarning("Модуль уже запущен");
        finishJournal();
    }
    const QStringList expected{"E] Ошибка -105 (Модуль не открыт)",
                               "E] Сообщение повторено ещё 24 раза: Ошибка -105 (Модуль не открыт)", "I] Обновление",
                               "W] Модуль уже запущен", "W] Сообщение повторено ещё 2 раза: Модуль уже запущен", ""};
    QCOMPARE(linesOf(readFile(journalName)), expected);
    QCOMPARE(fromLocal(capture.take()).count(QStringLiteral("Ошибка -105")), 2);
}

// Criticals from several threads while the window is busy: every one is journaled, and the window
// gets one call standing for all of them, not one call each; the next critical makes a new call.
void TestJournal::criticalBurstQueuesOneCall()
{
    PopupReceiver receiver;
    StderrCapture quiet;
    HandlerScope scope;
    setPopupTarget(&receiver);
    std::vector<std::thread> workers;
    for (int t = 0; t < 4; ++t) {
        workers.emplace_back([t] {
            for (int n = 0; n < 250; ++n)
                qCritical("Ошибка отправки %d.%d", t, n);
        });
    }
    for (auto& worker : workers)
        worker.join();
    QCoreApplication::sendPostedEvents();
    QCOMPARE(receiver.counts, QList<int>{1000});
    QCOMPARE(fromLocal(readFile(journalName)).count(QStringLiteral(" E] Ошибка отправки ")), 1000);
    qCritical("Ещё одна");
    QCoreApplication::sendPostedEvents();
    QCOMPARE(receiver.counts, (QList<int>{1000, 1}));
    QCOMPARE(receiver.messages.last(), QStringLiteral("Ещё одна"));
}

void TestJournal::writeFailures_data()
{
    QTest::addColumn<QByteArray>("prepared");   // the journal before
    QTest::addColumn<QStringList>("link");       // a link made before: where to, its name
    QTest::addColumn<QStringList>("steps");
    QTest::addColumn<QStringList>("journal");   // lines after the prepared ones; empty: not readable
    QTest::addColumn<QStringList>("status");    // what the window's status bar was given, in order

    const QString full = writeFailure(QStringLiteral("превышен допустимый размер файла"));
    // A record is 37 bytes: with 50 to spare the first fits and the second is cut short.
    QTest::newRow("disk full mid-record, then space again, then full again")
        << QByteArray("[2021.04.26 14:47:06:123 I] old 1\n[2021.04.26 14:47:06:124 I] old 2\n") << QStringList()
        << QStringList{"limit:+50", "запись 1", "запись 2", "запись 3", "unlimit", "запись 4", "limit:+10", "запись 5"}
        << QStringList{"I] запись 1", "W] " + writeRecovered(2), "I] запись 4", ""} << QStringList{full, writeRecovered(2), full};
    // With 43 bytes to spare a short record (31 bytes) would fit where the longer one did not, but the
    // line that tells of the gap does not: writing has not come back, and the short record is lost too.
    QTest::newRow("a short record fits where the notice of the gap does not")
        << QByteArray() << QStringList()
        << QStringList{"limit:+80", "запись 1", "длинная запись, которой не хватает места", "к", "unlimit", "запись 4"}
        << QStringList{"I] запись 1", "W] " + writeRecovered(2), "I] запись 4", ""} << QStringList{full, writeRecovered(2)};
    QTest::newRow("/dev/full") << QByteArray() << QStringList{"/dev/full", journalName}
                               << QStringList{"запись 1", "запись 2", "запись 3"} << QStringList()
                               << QStringList{writeFailure(QStringLiteral("нет места на диске"))};
    QTest::newRow("an unfinished last line")
        << QByteArray("\xEE\xE1\xF0\xFB\xE2 \xF1\xF2\xF0\xEE\xEA\xE8") << QStringList()   // "обрыв строки" without a line end
        << QStringList{"запись 1"} << QStringList{"<обрыв строки>", "I] запись 1", ""} << QStringList();
    const QString archiveFailure = QStringLiteral("Журнал не архивируется (stendix-1.log.zip: нет такой папки); он продолжает расти");
    QStringList steps, lines{"I] запись 1", "W] " + archiveFailure};
    for (int n = 1; n <= 150; ++n) {
        steps << QStringLiteral("запись %1").arg(n);
        if (n > 1)
            lines << QStringLiteral("I] запись %1").arg(n);
    }
    lines << QString();
    // The archive's place lies in a folder that does not exist; tried again after 100 lines.
    QTest::newRow("archive cannot be written")
        << journalOfSize(journal::rotationThreshold + 10)
        << QStringList{QStringLiteral("/nonexistent-stendix-dir/archive.zip"), QStringLiteral("stendix-1.log.zip")} << steps << lines
        << QStringList{archiveFailure};
}

void TestJournal::writeFailures()
{
    QFETCH(QByteArray, prepared);
    QFETCH(QStringList, link);
    QFETCH(QStringList, steps);
    QFETCH(QStringList, journal);
    QFETCH(QStringList, status);
    if (!prepared.isEmpty())
        writeFile(journalName, prepared);
    if (!link.isEmpty())
        QVERIFY(QFile::link(link.at(0), link.at(1)));

    QProcess child;
    child.setWorkingDirectory(cwd->path());
    child.start(QCoreApplication::applicationFilePath(), QStringList{QStringLiteral("--journal-child")} + steps);
    QVERIFY(child.waitForFinished(60000));
    const QByteArray out = child.readAllStandardOutput();
    const QByteArray stderrText = child.readAllStandardError();
    QVERIFY2(child.exitStatus() == QProcess::NormalExit && child.exitCode() == 0, stderrText.right(2000).constData());
    if (!journal.isEmpty()) {
        const QByteArray onDisk = readFile(journalName);
        QVERIFY(onDisk.startsWith(prepared.left(prepared.lastIndexOf('\n') + 1)));
        const int preparedLines = prepared.count('\n');
        const QStringList lines = linesOf(onDisk).mid(preparedLines);
        QVERIFY2(lines == journal, qPrintable(lines.join(QLatin1Char('|'))));
    }
    // Every message still reached standard error, and each trouble was told there as often as the
    // window was told (once each time it began).
    const QString err = fromLocal(stderrText);
    for (const QString& step : steps) {
        if (step.startsWith(QStringLiteral("запись")))
            QVERIFY2(err.contains(QStringLiteral("I] ") + step), qPrintable(step));
    }
    for (const QString& told : status)
        QCOMPARE(err.count(told), status.count(told));
    QCOMPARE(QString::fromUtf8(out).split(QLatin1Char('\n'), Qt::SkipEmptyParts), status);
}

void TestJournal::lostLinesCountedExactly_data()
{
    QTest::addColumn<bool>("tmpfs");   // a small disk of its own; else a file-size limit
    QTest::newRow("file-size limit") << false;
    QTest::newRow("256 KiB tmpfs") << true;
}

// Two hundred messages of different lengths while the disk is full, then space freed: the journal's
// first line after the gap counts exactly the messages that are not in it, and the window hears of
// writing again only then (a short message that slips into the last free bytes does not count).
void TestJournal::lostLinesCountedExactly()
{
    QFETCH(bool, tmpfs);
    QString folder = cwd->path();
    QStringList steps;
    if (tmpfs) {
        folder = cwd->path() + QStringLiteral("/disk");
        QVERIFY(QDir().mkdir(folder));
        if (::mount("tmpfs", QFile::encodeName(folder).constData(), "tmpfs", 0, "size=256k") != 0)
            QSKIP("no tmpfs can be mounted here (not permitted); the file-size limit row counts the same way");
        // Full but for the last page: the journal's lines use up what is left of it.
        QFile filler(folder + QStringLiteral("/filler"));
        QVERIFY(filler.open(QIODevice::WriteOnly));
        const QByteArray block(4096, 'x');
        while (filler.write(block) == block.size()) {}
        filler.close();
        QVERIFY(filler.resize(filler.size() - 4096));
        steps << QStringLiteral("remove:filler");
    } else {
        steps << QStringLiteral("limit:+3000") << QStringLiteral("unlimit");
    }
    // Between the first step (the disk is full) and the last (space again): the messages.
    QStringList messages;
    for (int n = 1; n <= 200; ++n)
        messages << QStringLiteral("сообщение %1 ").arg(n) + QString(n * 7 % 50, QChar(0x044B));   // ы
    if (tmpfs)
        steps = messages + steps;
    else
        steps = QStringList{steps.first()} + messages + QStringList{steps.last()};
    steps << QStringLiteral("после освобождения места");

    QProcess child;
    child.setWorkingDirectory(folder);
    child.start(QCoreApplication::applicationFilePath(), QStringList{QStringLiteral("--journal-child")} + steps);
    const bool finished = child.waitForFinished(60000);
    const QByteArray onDisk = readFile(folder + QLatin1Char('/') + journalName);
    if (tmpfs)
        ::umount(QFile::encodeName(folder).constData());
    QVERIFY(finished);
    QCOMPARE(child.exitCode(), 0);

    const QStringList lines = linesOf(onDisk);
    int present = 0;
    for (const QString& message : messages)
        present += lines.contains(QStringLiteral("I] ") + message) ? 1 : 0;
    const int lost = messages.size() - present;
    QVERIFY2(lost > 100 && present > 0, qPrintable(QString::number(present)));
    // The messages written are the first ones, in order; then the gap is told, then the last message.
    QCOMPARE(lines.mid(0, present), QStringList(messages.mid(0, present)).replaceInStrings(QRegularExpression("^"), "I] "));
    QCOMPARE(lines.mid(present), (QStringList{"W] " + writeRecovered(lost), "I] после освобождения места", ""}));
    const QString full = writeFailure(tmpfs ? QStringLiteral("нет места на диске") : QStringLiteral("превышен допустимый размер файла"));
    QCOMPARE(QString::fromUtf8(child.readAllStandardOutput()).split(QLatin1Char('\n'), Qt::SkipEmptyParts),
             (QStringList{full, writeRecovered(lost)}));
}

// Once archives 1 to 20 exist, each rotation drops number 1, moves the others down one and writes the
// new archive as number 20: twenty are kept, the oldest first.
void TestJournal::archivesCapped()
{
    QCOMPARE(journal::maxArchives, 20);
    for (int n = 1; n <= journal::maxArchives; ++n)
        writeFile(QStringLiteral("stendix-%1.log.zip").arg(n), "archive " + QByteArray::number(n));
    journal::JournalFile file;
    for (int round = 1; round <= 3; ++round) {
        const QByteArray full = journalOfSize(journal::rotationThreshold + round);
        writeFile(journalName, full);
        QVERIFY(file.append("after " + QByteArray::number(round)));
        QCOMPARE(readArchive(QStringLiteral("stendix-20.log.zip")).data, full);
        QCOMPARE(readFile(journalName), "after " + QByteArray::number(round) + '\n');
        QVERIFY(!QFile::exists(QStringLiteral("stendix-21.log.zip")));
        // The old ones moved down by the rounds so far.
        QCOMPARE(readFile(QStringLiteral("stendix-1.log.zip")), "archive " + QByteArray::number(1 + round));
        QCOMPARE(readFile(QStringLiteral("stendix-%1.log.zip").arg(20 - round)), QByteArray("archive 20"));
    }
    QCOMPARE(QDir().entryList({QStringLiteral("stendix-*.log.zip")}, QDir::Files).size(), journal::maxArchives);
}

int main(int argc, char* argv[])
{
    if (argc > 1 && qstrcmp(argv[1], "--journal-child") == 0)
        return journalChild(argc, argv);
    if (argc > 1 && qstrcmp(argv[1], "--fatal-child") == 0) {
        installJournal();
        qInfo("перед остановкой");
        qFatal("Неустранимая ошибка");
    }
    QCoreApplication app(argc, argv);
    TestJournal test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_journal.moc"
