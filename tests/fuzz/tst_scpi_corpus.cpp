// Every kept input of the remote-control command fuzzer, run as an ordinary test with any compiler:
// the seeds, what fuzzing kept for its coverage, and every input that ever failed.
#include "wireharness.h"

#include <QDir>
#include <QtTest>

class TestScpiCorpus : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void keptInputs_data()
    {
        QTest::addColumn<QByteArray>("input");
        const QDir dir(QStringLiteral(SCPI_CORPUS_DIR));
        const QStringList names = dir.entryList(QDir::Files, QDir::Name);
        QVERIFY2(!names.isEmpty(), qPrintable(dir.path()));
        for (const QString& name : names) {
            QFile file(dir.filePath(name));
            QVERIFY(file.open(QIODevice::ReadOnly));
            QTest::addRow("%s", qPrintable(name)) << file.readAll();
        }
    }
    void keptInputs()
    {
        QFETCH(QByteArray, input);
        std::string problem;
        QVERIFY2(interpretCommandLines(reinterpret_cast<const uint8_t*>(input.constData()), size_t(input.size()), &problem),
                 problem.c_str());
    }
};

QTEST_GUILESS_MAIN(TestScpiCorpus)
#include "tst_scpi_corpus.moc"
