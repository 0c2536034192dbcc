// Every kept input of the wire protocol fuzzers, run as an ordinary test with any compiler: the
// seeds, what fuzzing kept for the coverage it reached, and every input that ever failed. A client
// stream must leave vekd answering only whole, well-formed answers within the client's limits; an
// answer must never be accepted by a client library call when it claims more than the request allows.
#include "wireharness.h"

#include <QDir>
#include <QtTest>

namespace {

void inputsOf(const char* kind)
{
    QTest::addColumn<QByteArray>("input");
    const QDir dir(QStringLiteral(WIRE_CORPUS_DIR "/") + QLatin1String(kind));
    const QStringList names = dir.entryList(QDir::Files, QDir::Name);
    QVERIFY2(!names.isEmpty(), qPrintable(dir.path()));
    for (const QString& name : names) {
        QFile file(dir.filePath(name));
        QVERIFY(file.open(QIODevice::ReadOnly));
        QTest::newRow(qPrintable(name)) << file.readAll();
    }
}

const uint8_t* bytes(const QByteArray& input) { return reinterpret_cast<const uint8_t*>(input.constData()); }

} // namespace

class TestWireCorpus : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void clientStreamsIntoTheService_data() { inputsOf("server"); }
    void clientStreamsIntoTheService()
    {
        QFETCH(QByteArray, input);
        std::string problem;
        QVERIFY2(serveClientStream(bytes(input), size_t(input.size()), &problem), problem.c_str());
    }
    void answersIntoTheLibraries_data() { inputsOf("client"); }
    void answersIntoTheLibraries()
    {
        QFETCH(QByteArray, input);
        std::string problem;
        QVERIFY2(answerLibraryCall(bytes(input), size_t(input.size()), &problem), problem.c_str());
    }
};

QTEST_GUILESS_MAIN(TestWireCorpus)
#include "tst_wire_corpus.moc"
