#include <QtTest>

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTextCodec>

#include <memory>

#include "apptestutil.h"
#include "journal.h"
#include "journaltestutil.h"

using apptest::readFile;

// Receives the journal's pop-ups like the main window does.
class PopupReceiver : public QObject
{
    Q_OBJECT
public:
    QStringList messages;
public slots:
    void popupError(QString message) { messages << message; }
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

static void writeFile(const QString& path, const QByteArray& data)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(file.write(data), qint64(data.size()));
}

// A journal of exactly `size` bytes made of whole lines.
static QByteArray journalOfSize(qint64 size)
{
    QByteArray data;
    data.reserve(int(size));
    int n = 0;
    while (data.size() < size) {
        QByteArray line = "[2021.04.26 14:47:06:123 I] filler line " + QByteArray::number(n++) + '\n';
        data += line;
    }
    data.truncate(int(size));
    if (!data.isEmpty())
        data[data.size() - 1] = '\n';
    return data;
}

static const QRegularExpression linePattern(
    QStringLiteral("^\\[(\\d{4})\\.(\\d{2})\\.(\\d{2}) (\\d{2}):(\\d{2}):(\\d{2}):(\\d{3}) ([DIWEF])\\] (.*)$"),
    QRegularExpression::DotMatchesEverythingOption);

class TestJournal : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void formatAndLabels();
    void timeStampDigitsWhateverTheLocale();
    void filter_data();
    void filter();
    void linesInWindows1251WithStderrCopy();
    void droppedMessagesLeaveNoTrace();
    void appendsUpToTheLimitThenArchives();
    void archiveNumberIsLowestFree();
    void failedArchiveKeepsJournalAndRetries();
    void unopenableJournalStillReachesStderr();
    void criticalPopsUpOnlyWhenTargetRegistered();
    void failingPopupDoesNotRecurse();
    void fatalIsWrittenThenAborts();

private:
    std::unique_ptr<apptest::WorkingDirectory> cwd;
};

void TestJournal::initTestCase()
{
    QTextCodec::setCodecForLocale(QTextCodec::codecForName("Windows-1251"));
}

void TestJournal::init()
{
    cwd.reset(new apptest::WorkingDirectory);
    QVERIFY(cwd->isValid());
}

void TestJournal::cleanup()
{
    setPopupTarget(nullptr);
    cwd.reset();
}

void TestJournal::formatAndLabels()
{
    const QDateTime when(QDate(2021, 4, 26), QTime(14, 47, 6, 123));
    QCOMPARE(journal::formatLine(when, QtInfoMsg, QStringLiteral("Запуск программы (версия 1.4.27) 2021.04.26 14:47:06")),
             QStringLiteral("[2021.04.26 14:47:06:123 I] Запуск программы (версия 1.4.27) 2021.04.26 14:47:06"));
    QCOMPARE(journal::formatLine(QDateTime(QDate(2021, 1, 2), QTime(3, 4, 5, 6)), QtCriticalMsg, QStringLiteral("x")),
             QStringLiteral("[2021.01.02 03:04:05:006 E] x"));
    // A "%1" in the text, and line breaks, are written as they are.
    QCOMPARE(journal::formatLine(when, QtWarningMsg, QStringLiteral("значение %1 и %2\nвторая строка")),
             QStringLiteral("[2021.04.26 14:47:06:123 W] значение %1 и %2\nвторая строка"));
    QCOMPARE(journal::label(QtDebugMsg), QStringLiteral("D"));
    QCOMPARE(journal::label(QtInfoMsg), QStringLiteral("I"));
    QCOMPARE(journal::label(QtWarningMsg), QStringLiteral("W"));
    QCOMPARE(journal::label(QtCriticalMsg), QStringLiteral("E"));
    QCOMPARE(journal::label(QtFatalMsg), QStringLiteral("F"));
}

void TestJournal::timeStampDigitsWhateverTheLocale()
{
    // The process's system locale is fixed at its first use, so each locale gets a child of its own.
    // Arabic and Persian write numbers with digits of their own, which Windows-1251 cannot carry.
    for (const QString& locale : {QStringLiteral("ar_EG.UTF-8"), QStringLiteral("fa_IR.UTF-8"), QStringLiteral("C")}) {
        QProcess child;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("LC_ALL"), locale);
        env.insert(QStringLiteral("LANG"), locale);
        child.setProcessEnvironment(env);
        child.setProgram(QCoreApplication::applicationFilePath());
        child.setArguments({QStringLiteral("--stamp-child")});
        child.start();
        QVERIFY(child.waitForFinished(30000));
        QCOMPARE(QString::fromUtf8(child.readAllStandardOutput()),
                 QStringLiteral("[2021.04.26 14:47:06:123 I] Запуск программы"));
    }
}

void TestJournal::filter_data()
{
    QTest::addColumn<int>("type");
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("dropped");
    QTest::newRow("debug") << int(QtDebugMsg) << "Сборка от Apr 26 2021 14:47:06" << true;
    QTest::newRow("info") << int(QtInfoMsg) << "setGeometry: info is kept" << false;
    QTest::newRow("warning setGeometry first") << int(QtWarningMsg) << "setGeometry: Unable to set geometry 100x30" << true;
    QTest::newRow("warning setGeometry later") << int(QtWarningMsg) << "QWindow: setGeometry: Unable" << false;
    QTest::newRow("warning other case") << int(QtWarningMsg) << "SetGeometry: case matters" << false;
    QTest::newRow("critical setGeometry") << int(QtCriticalMsg) << "setGeometry critical" << false;
    QTest::newRow("warning") << int(QtWarningMsg) << "Модуль не был запущен" << false;
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
        qWarning("%s", "Модуль в процессе остановки %1");
        qCritical("Ошибка %d (%s)", -102, "Нет связи");
    }
    const QByteArray err = capture.take();
    const QByteArray log = readFile(QStringLiteral("stendix.log"));

    QTextCodec* cp1251 = QTextCodec::codecForName("Windows-1251");
    const QList<QByteArray> lines = log.split('\n');
    QCOMPARE(lines.size(), 4); // three lines and the empty rest after the last line end
    QVERIFY(lines.last().isEmpty());
    const QStringList expected = {QStringLiteral("I] Запуск программы (версия 1.4.27) 2021.04.26 14:47:06"),
                                  QStringLiteral("W] Модуль в процессе остановки %1"),
                                  QStringLiteral("E] Ошибка -102 (Нет связи)")};
    for (int i = 0; i < 3; ++i) {
        const QString line = cp1251->toUnicode(lines[i]);
        QVERIFY2(linePattern.match(line).hasMatch(), qPrintable(line));
        QCOMPARE(line.mid(25), expected[i]);
    }
    // The bytes are Windows-1251: "З" is 0xC7, not a UTF-8 pair.
    QVERIFY(lines[0].contains("\xC7\xE0\xEF\xF3\xF1\xEA"));
    QVERIFY(!log.contains(QStringLiteral("Запуск").toUtf8()));
    // Standard error carries the same lines, Windows-1251, without line ends.
    QCOMPARE(err, lines[0] + lines[1] + lines[2]);
}

void TestJournal::droppedMessagesLeaveNoTrace()
{
    StderrCapture capture;
    {
        HandlerScope scope;
        qDebug("Сборка от %s %s", "Apr 26 2021", "14:47:06");
        qWarning("setGeometry: Unable to set geometry 640x480+0+0");
    }
    QCOMPARE(capture.take(), QByteArray());
    QVERIFY(!QFile::exists(QStringLiteral("stendix.log")));
}

void TestJournal::appendsUpToTheLimitThenArchives()
{
    journal::JournalFile file;
    // 1048575 bytes: appended to, no archive.
    const QByteArray full = journalOfSize(journal::rotationThreshold);
    writeFile(QStringLiteral("stendix.log"), full);
    QVERIFY(file.append("next line"));
    QVERIFY(!QFile::exists(QStringLiteral("stendix-1.log.zip")));
    QCOMPARE(readFile(QStringLiteral("stendix.log")), full + "next line\n");

    // Now 1048585 bytes: archived first, and the new journal holds only the new line.
    const QByteArray old = readFile(QStringLiteral("stendix.log"));
    {
        StderrCapture capture;
        HandlerScope scope;
        qInfo("Строка после архивации");
    }
    const ArchiveContents archive = readArchive(QStringLiteral("stendix-1.log.zip"));
    QVERIFY(archive.valid);
    QCOMPARE(archive.entries, 1);
    QCOMPARE(archive.entryName, QStringLiteral("stendix.log"));
    QCOMPARE(archive.method, 8); // deflate
    QCOMPARE(archive.data, old);
    const QByteArray fresh = readFile(QStringLiteral("stendix.log"));
    QCOMPARE(fresh.count('\n'), 1);
    QVERIFY(QTextCodec::codecForLocale()->toUnicode(fresh).endsWith(QStringLiteral(" I] Строка после архивации\n")));

    // Exactly 1048576 bytes is archived too.
    const QByteArray atLimit = journalOfSize(journal::rotationThreshold + 1);
    writeFile(QStringLiteral("stendix.log"), atLimit);
    QVERIFY(file.append("after"));
    QCOMPARE(readArchive(QStringLiteral("stendix-2.log.zip")).data, atLimit);
    QCOMPARE(readFile(QStringLiteral("stendix.log")), QByteArray("after\n"));
}

void TestJournal::archiveNumberIsLowestFree()
{
    writeFile(QStringLiteral("stendix-1.log.zip"), "one");
    writeFile(QStringLiteral("stendix-3.log.zip"), "three");
    journal::JournalFile file;
    QCOMPARE(file.nextArchiveNumber(), 2);
    writeFile(QStringLiteral("stendix.log"), journalOfSize(journal::rotationThreshold + 100));
    QVERIFY(file.append("x"));
    QVERIFY(readArchive(QStringLiteral("stendix-2.log.zip")).valid);
    // The others are never touched.
    QCOMPARE(readFile(QStringLiteral("stendix-1.log.zip")), QByteArray("one"));
    QCOMPARE(readFile(QStringLiteral("stendix-3.log.zip")), QByteArray("three"));
    QCOMPARE(file.nextArchiveNumber(), 4);

    // A directory given explicitly works the same way.
    journal::JournalFile elsewhere(cwd->path());
    QCOMPARE(elsewhere.nextArchiveNumber(), 4);
    QCOMPARE(elsewhere.archivePath(4), cwd->path() + QStringLiteral("/stendix-4.log.zip"));
}

void TestJournal::failedArchiveKeepsJournalAndRetries()
{
    // The archive's place points into a directory that does not exist: creating it fails.
    QVERIFY(QFile::link(QStringLiteral("/nonexistent-stendix-dir/archive.zip"), QStringLiteral("stendix-1.log.zip")));
    const QByteArray old = journalOfSize(journal::rotationThreshold + 10);
    writeFile(QStringLiteral("stendix.log"), old);

    journal::JournalFile file;
    QVERIFY(file.append("line 0"));
    QCOMPARE(readFile(QStringLiteral("stendix.log")), old + "line 0\n");
    QVERIFY(QFileInfo(QStringLiteral("stendix-1.log.zip")).isSymLink()); // left as it was

    // The next attempt comes a number of lines later; until then lines keep being appended.
    QFile::remove(QStringLiteral("stendix-1.log.zip"));
    QByteArray expected = old + "line 0\n";
    int line = 1;
    for (; line < journal::rotationRetryLines; ++line) {
        QVERIFY(file.append("line " + QByteArray::number(line)));
        expected += "line " + QByteArray::number(line) + '\n';
    }
    QVERIFY(!QFile::exists(QStringLiteral("stendix-1.log.zip")));
    QCOMPARE(readFile(QStringLiteral("stendix.log")), expected);
    QVERIFY(file.append("line " + QByteArray::number(line)));
    // Nothing was lost: the archive holds every line before the one that rotated.
    QCOMPARE(readArchive(QStringLiteral("stendix-1.log.zip")).data, expected);
    QCOMPARE(readFile(QStringLiteral("stendix.log")), "line " + QByteArray::number(line) + '\n');
}

void TestJournal::unopenableJournalStillReachesStderr()
{
    QVERIFY(QDir().mkdir(QStringLiteral("stendix.log")));
    StderrCapture capture;
    {
        HandlerScope scope;
        qInfo("Журнал недоступен");
        qInfo("Вторая строка");
    }
    const QString err = QTextCodec::codecForLocale()->toUnicode(capture.take());
    QVERIFY2(err.contains(QStringLiteral(" I] Журнал недоступен[")), qPrintable(err));
    QVERIFY(err.contains(QStringLiteral(" I] Вторая строка")));
    QVERIFY(QFileInfo(QStringLiteral("stendix.log")).isDir());
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
    QCOMPARE(readFile(QStringLiteral("stendix.log")).count('\n'), 4);
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
    const QString err = QTextCodec::codecForLocale()->toUnicode(capture.take());
    const QByteArray log = readFile(QStringLiteral("stendix.log"));
    QCOMPARE(log.count('\n'), 2);
    QVERIFY(QTextCodec::codecForLocale()->toUnicode(log).contains(QStringLiteral("E] Ошибка без обработчика")));
    QVERIFY2(err.contains(QStringLiteral("popupError")), qPrintable(err));
}

void TestJournal::fatalIsWrittenThenAborts()
{
    QProcess child;
    child.setWorkingDirectory(cwd->path());
    child.setProgram(QCoreApplication::applicationFilePath());
    child.setArguments({QStringLiteral("--fatal-child")});
    child.start();
    QVERIFY(child.waitForFinished(30000));
    QCOMPARE(child.exitStatus(), QProcess::CrashExit);
    const QString log = QTextCodec::codecForName("Windows-1251")->toUnicode(readFile(QStringLiteral("stendix.log")));
    const QStringList lines = log.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    QCOMPARE(lines.size(), 2);
    QVERIFY(lines[0].endsWith(QStringLiteral(" I] перед остановкой")));
    QVERIFY(lines[1].endsWith(QStringLiteral(" F] Неустранимая ошибка")));
    QVERIFY(child.readAllStandardError().contains(QTextCodec::codecForName("Windows-1251")->fromUnicode(QStringLiteral("F] Неустранимая ошибка"))));
}

static int fatalChild()
{
    QTextCodec::setCodecForLocale(QTextCodec::codecForName("Windows-1251"));
    qInstallMessageHandler(journalHandler);
    qInfo("перед остановкой");
    qFatal("Неустранимая ошибка");
    return 0; // not reached
}

// Writes one formatted line, UTF-8, to standard output.
static int stampChild()
{
    const QDateTime when(QDate(2021, 4, 26), QTime(14, 47, 6, 123));
    const QByteArray line = journal::formatLine(when, QtInfoMsg, QStringLiteral("Запуск программы")).toUtf8();
    std::fwrite(line.constData(), 1, size_t(line.size()), stdout);
    return 0;
}

int main(int argc, char* argv[])
{
    if (argc > 1 && qstrcmp(argv[1], "--fatal-child") == 0)
        return fatalChild();
    if (argc > 1 && qstrcmp(argv[1], "--stamp-child") == 0)
        return stampChild();
    QCoreApplication app(argc, argv);
    TestJournal test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_journal.moc"
