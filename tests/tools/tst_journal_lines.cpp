// scripts/journal-lines.py as run.sh runs it on the program's standard error (and as an operator runs
// it on the journal file): Windows-1251 records, which on standard error follow each other without
// a line end, come out one record a line in the terminal's own encoding.
#include <QtTest>

#include <QProcess>
#include <QStandardPaths>
#include <QTextCodec>

namespace {

QByteArray cp1251(const QString& text)
{
    return QTextCodec::codecForName("Windows-1251")->fromUnicode(text);
}

const QString started = QStringLiteral("[2026.12.07 14:30:05:123 I] Запуск программы (версия 1.4.27)");
const QString saved = QStringLiteral("[2026.12.07 14:30:06:004 I] Настройка сохранена: /home/оператор/Стенд Иванова/setups/моя настройка.vek72");
const QString lost = QStringLiteral("[2026.12.07 14:30:07:950 E] Потеряна связь со службой крейтов 127.0.0.1:11111");

} // namespace

class TestJournalLines : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void oneRecordALine_data();
    void oneRecordALine();

private:
    QString python;
};

void TestJournalLines::initTestCase()
{
    python = QStandardPaths::findExecutable(QStringLiteral("python3"));
    if (python.isEmpty())
        QSKIP("python3 is needed");
}

void TestJournalLines::oneRecordALine_data()
{
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<QByteArray>("terminal");   // the encoding of the terminal the lines go to
    QTest::addColumn<QStringList>("lines");

    QTest::newRow("standard error: records without line ends")
        << cp1251(started + saved + lost) << QByteArray("UTF-8") << QStringList{ started, saved, lost };
    QTest::newRow("the journal file: line ends kept, none doubled")
        << cp1251(started + "\n" + saved + "\n" + lost + "\n") << QByteArray("UTF-8")
        << QStringList{ started, saved, lost };
    QTest::newRow("a last record without its line end")
        << cp1251(started + "\n" + saved) << QByteArray("UTF-8") << QStringList{ started, saved };
    QTest::newRow("a KOI8-R terminal")
        << cp1251(started + saved) << QByteArray("KOI8-R") << QStringList{ started, saved };
    // Windows-1251 leaves 0x98 undefined: the program never writes it, another writer might.
    QTest::newRow("a byte Windows-1251 leaves undefined")
        << cp1251(started).append("\x98") + cp1251(lost) << QByteArray("UTF-8")
        << QStringList{ started + QChar(0xFFFD), lost };
}

void TestJournalLines::oneRecordALine()
{
    QFETCH(QByteArray, input);
    QFETCH(QByteArray, terminal);
    QFETCH(QStringList, lines);

    QProcess reader;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("PYTHONIOENCODING"), QString::fromLatin1(terminal));
    reader.setProcessEnvironment(env);
    reader.start(python, { QStringLiteral(JOURNAL_LINES_PATH) });
    QVERIFY(reader.waitForStarted(10000));
    reader.write(input);
    reader.closeWriteChannel();
    QVERIFY(reader.waitForFinished(20000));
    QCOMPARE(reader.exitCode(), 0);
    const QByteArray out = reader.readAllStandardOutput();
    QVERIFY2(out.endsWith('\n'), out.constData());
    const QString text = QTextCodec::codecForName(terminal)->toUnicode(out);
    QCOMPARE(text.split(QLatin1Char('\n'), Qt::SkipEmptyParts), lines);
    QCOMPARE(text.count(QLatin1Char('\n')), lines.size());
}

QTEST_GUILESS_MAIN(TestJournalLines)
#include "tst_journal_lines.moc"
