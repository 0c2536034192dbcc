#include <QtTest>

#include <QFile>
#include <QTextCodec>

#include <thread>
#include <vector>

#include "apptestutil.h"
#include "journal.h"
#include "journaltestutil.h"

// Many threads logging at once across several rotations: every message ends up exactly once, in
// its thread's order, on a line of its own, in the archives or the journal.
class TestJournalLoad : public QObject
{
    Q_OBJECT

private slots:
    void manyThreadsAcrossRotations();
};

void TestJournalLoad::manyThreadsAcrossRotations()
{
    QTextCodec::setCodecForLocale(QTextCodec::codecForName("Windows-1251"));
    apptest::WorkingDirectory cwd;
    QVERIFY(cwd.isValid());

    const int threads = 4;
    const int perThread = 15000;
    {
        StderrCapture quiet;
        QtMessageHandler old = qInstallMessageHandler(journalHandler);
        std::vector<std::thread> workers;
        for (int t = 0; t < threads; ++t) {
            workers.emplace_back([t] {
                for (int n = 0; n < perThread; ++n)
                    qInfo("поток %d сообщение %d: данные канала, частота %d Гц", t, n, 1000 + n);
            });
        }
        for (auto& worker : workers)
            worker.join();
        qInstallMessageHandler(old);
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
    const QByteArray rest = apptest::readFile(QStringLiteral("stendix.log"));
    QVERIFY(rest.size() <= journal::rotationThreshold + 200);
    all += rest;
    QVERIFY2(archives >= 3, qPrintable(QString::number(archives)));

    QTextCodec* codec = QTextCodec::codecForName("Windows-1251");
    const QRegularExpression pattern(QStringLiteral(
        "^\\[\\d{4}\\.\\d{2}\\.\\d{2} \\d{2}:\\d{2}:\\d{2}:\\d{3} I\\] поток (\\d) сообщение (\\d+): данные канала, частота (\\d+) Гц$"));
    std::vector<int> next(threads, 0);
    const QList<QByteArray> lines = all.split('\n');
    QCOMPARE(lines.size(), threads * perThread + 1);
    QVERIFY(lines.last().isEmpty());
    for (int i = 0; i < lines.size() - 1; ++i) {
        const QRegularExpressionMatch match = pattern.match(codec->toUnicode(lines[i]));
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

QTEST_GUILESS_MAIN(TestJournalLoad)
#include "tst_journal_load.moc"
