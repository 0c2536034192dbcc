// Every kept input of the wire protocol fuzzers, run as an ordinary test with any compiler: the
// seeds, what fuzzing kept for the coverage it reached, and every input that ever failed. A client
// stream must leave vekd answering only whole, well-formed answers within the client's limits; an
// answer must never be accepted by a client library call when it claims more than the request allows.
#include "wireharness.h"

#include <QDir>
#include <QtTest>

class TestWireCorpus : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void keptInputs_data()
    {
        QTest::addColumn<QByteArray>("input");
        QTest::addColumn<bool>("intoTheService"); // else into the libraries
        for (const bool intoTheService : {true, false}) {
            const char* kind = intoTheService ? "server" : "client";
            const QDir dir(QStringLiteral(WIRE_CORPUS_DIR "/") + QLatin1String(kind));
            const QStringList names = dir.entryList(QDir::Files, QDir::Name);
            QVERIFY2(!names.isEmpty(), qPrintable(dir.path()));
            for (const QString& name : names) {
                QFile file(dir.filePath(name));
                QVERIFY(file.open(QIODevice::ReadOnly));
                QTest::addRow("%s/%s", kind, qPrintable(name)) << file.readAll() << intoTheService;
            }
        }
    }
    void keptInputs()
    {
        QFETCH(QByteArray, input);
        QFETCH(bool, intoTheService);
        std::string problem;
        const auto* data = reinterpret_cast<const uint8_t*>(input.constData());
        const bool ok = intoTheService ? serveClientStream(data, size_t(input.size()), &problem)
                                       : answerLibraryCall(data, size_t(input.size()), &problem);
        QVERIFY2(ok, problem.c_str());
    }
};

QTEST_GUILESS_MAIN(TestWireCorpus)
#include "tst_wire_corpus.moc"
