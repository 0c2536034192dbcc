// The DMM client against a scripted instrument: what goes over the link for each call, what the
// caller gets back, and what becomes of the link when the instrument does not answer, closes the
// connection, answers nonsense or reports an error.
#include <QtTest>

#include <QPair>
#include <QSignalSpy>

#include "dmmmonitor.h"
#include "scpiclient.h"
#include "scpidmm.h"
#include "scriptedtransport.h"

using namespace instruments;

namespace {

using Reply = ScriptedTransport::Reply;

const QByteArray idn("Keysight Technologies,34465A,MY00000001,A.03.01");

// A meter that answers the opening exchange as a healthy one does.
void healthyOpening(ScriptedTransport& t)
{
    t.on("*IDN?", idn);
    t.on("*OPC?", QByteArray("1"));
    t.on("SYST:ERR?", QByteArray("+0,\"No error\""));
}

// A ScpiDmm over a script the test keeps a hand on.
struct ScriptedDmm {
    ScriptedTransport* script = new ScriptedTransport;
    ScpiDmm dmm{std::unique_ptr<LineTransport>(script)};
    QSignalSpy found{&dmm, &Dmm::found};
    QSignalSpy lost{&dmm, &Dmm::lost};
    ScriptedDmm() { healthyOpening(*script); }
};

} // namespace

Q_DECLARE_METATYPE(instruments::LinkStatus)
Q_DECLARE_METATYPE(instruments::ScriptedTransport::Reply)

class TestDmmClient : public QObject
{
    Q_OBJECT

private slots:
    void scpiExchanges_data();
    void scpiExchanges();
    void setupCommands_data();
    void setupCommands();
    void opening_data();
    void opening();
    void readingsAndLosses_data();
    void readingsAndLosses();
    void refusedSetupKeepsTheMeter();
    void monitorReportsReadingsAndLoss();
};

void TestDmmClient::scpiExchanges_data()
{
    QTest::addColumn<QString>("call");            // "query", "number", "opc" or "errors"
    QTest::addColumn<QList<Reply>>("replies");    // to the call's line (SYST:ERR? for "errors")
    QTest::addColumn<bool>("ok");
    QTest::addColumn<int>("failure");             // ScpiClient::Failure
    QTest::addColumn<QString>("result");          // the answer, number or errors; or the failure text

    const int none = int(ScpiClient::Failure::None), link = int(ScpiClient::Failure::Link),
              garbled = int(ScpiClient::Failure::Garbled), instrument = int(ScpiClient::Failure::Instrument);
    QTest::newRow("query answered") << "query" << QList<Reply>{ScriptedTransport::answer("ok")} << true << none << "ok";
    QTest::newRow("query not answered") << "query" << QList<Reply>{ScriptedTransport::failure(LinkStatus::Timeout)} << false << link
                                        << "не ответил за 700 мс (Q?)";
    QTest::newRow("connection closed") << "query" << QList<Reply>{ScriptedTransport::failure(LinkStatus::Closed)} << false << link
                                       << "закрыл соединение (Q?)";
    QTest::newRow("number") << "number" << QList<Reply>{ScriptedTransport::answer("+2.50012345E+00")} << true << none << "2.50012345";
    QTest::newRow("overload is a number") << "number" << QList<Reply>{ScriptedTransport::answer("+9.90000000E+37")} << true << none
                                          << "9.9e+37";
    QTest::newRow("garbage instead of a number") << "number" << QList<Reply>{ScriptedTransport::answer("\x15#?\x7f@@ 0xDEAD")}
                                                 << false << garbled << "ответил непонятно: «�#?�@@ 0xDEAD» (Q?)";
    QTest::newRow("two numbers") << "number" << QList<Reply>{ScriptedTransport::answer("+1.0E+00,+2.0E+00")} << false << garbled
                                 << "ответил непонятно: «+1.0E+00,+2.0E+00» (Q?)";
    QTest::newRow("operation complete") << "opc" << QList<Reply>{ScriptedTransport::answer("1")} << true << none << "";
    QTest::newRow("operation complete, with a sign") << "opc" << QList<Reply>{ScriptedTransport::answer("+1")} << true << none << "";
    QTest::newRow("*OPC? answered 0") << "opc" << QList<Reply>{ScriptedTransport::answer("0")} << false << garbled
                                      << "ответил непонятно: «0» (*OPC?)";
    QTest::newRow("no errors") << "errors" << QList<Reply>{ScriptedTransport::answer("+0,\"No error\"")} << true << none << "";
    QTest::newRow("two errors drained, oldest first")
        << "errors"
        << QList<Reply>{ScriptedTransport::answer("-222,\"Data out of range\""), ScriptedTransport::answer("-113,\"Undefined header\""),
                        ScriptedTransport::answer("+0,\"No error\"")}
        << false << instrument << "-222,\"Data out of range\"; -113,\"Undefined header\"";
    QTest::newRow("an error queue that is no queue") << "errors" << QList<Reply>{ScriptedTransport::answer("hello")} << false << garbled
                                                     << "ответил непонятно: «hello» (SYST:ERR?)";
    QTest::newRow("an error queue that never empties")
        << "errors" << QList<Reply>{ScriptedTransport::answer("-350,\"Queue overflow\"")} << false << instrument
        << QStringList(QVector<QString>(32, "-350,\"Queue overflow\"").toList()).join("; ");
}

void TestDmmClient::scpiExchanges()
{
    QFETCH(QString, call);
    QFETCH(QList<Reply>, replies);
    QFETCH(bool, ok);
    QFETCH(int, failure);
    QFETCH(QString, result);
    ScriptedTransport t;
    QCOMPARE(t.open(100), LinkStatus::Ok);
    t.on(call == "opc" ? "*OPC?" : call == "errors" ? "SYST:ERR?" : "Q?", replies);
    ScpiClient client(t);
    QString got;
    bool done = false;
    if (call == "query") {
        QByteArray answer;
        done = client.query("Q?", &answer, 700);
        got = QString::fromLatin1(answer);
    } else if (call == "number") {
        double value = 0;
        done = client.queryNumber("Q?", &value, 700);
        got = QString::number(value, 'g', 10);
    } else if (call == "opc") {
        done = client.waitComplete(700);
    } else {
        QStringList errors;
        done = client.drainErrors(&errors, 700);
        got = errors.join("; ");
    }
    QCOMPARE(done, ok);
    QCOMPARE(int(client.failure()), failure);
    QCOMPARE(ok || failure == int(ScpiClient::Failure::Instrument) ? got : client.failureText(), result);
    QCOMPARE(client.linkBroken(), failure == int(ScpiClient::Failure::Link) || failure == int(ScpiClient::Failure::Garbled));
}

void TestDmmClient::setupCommands_data()
{
    QTest::addColumn<DmmSetup>("setup");
    QTest::addColumn<QByteArrayList>("lines");
    QTest::addColumn<int>("boundMs");   // how long a reading of it is waited for

    DmmSetup dc;
    QTest::newRow("DC, autorange, 10 NPLC") << dc << QByteArrayList{"CONF:VOLT:DC AUTO", "VOLT:DC:NPLC 10"} << 2 * 401 + 1000;
    DmmSetup dcFast = dc;
    dcFast.range = 10;
    dcFast.nplc = 0.02;
    QTest::newRow("DC, 10 V, 0.02 NPLC") << dcFast << QByteArrayList{"CONF:VOLT:DC 10", "VOLT:DC:NPLC 0.02"} << 2 * 1 + 1000;
    DmmSetup ac;
    ac.function = DmmFunction::AcVoltage;
    ac.acBandwidthHz = 3;
    QTest::newRow("AC, slow filter") << ac << QByteArrayList{"CONF:VOLT:AC AUTO", "VOLT:AC:BAND 3"} << 2 * 2500 + 1000;
    ac.acBandwidthHz = 200;
    ac.range = 1;
    QTest::newRow("AC, 1 V, fast filter") << ac << QByteArrayList{"CONF:VOLT:AC 1", "VOLT:AC:BAND 200"} << 2 * 25 + 1000;
    DmmSetup f;
    f.function = DmmFunction::Frequency;
    f.gateSeconds = 1;
    f.scannerChannel = 8;
    QTest::newRow("frequency, 1 s gate, scanner input 8")
        << f << QByteArrayList{"ROUT:CLOS (@108)", "CONF:FREQ", "FREQ:APER 1"} << 2 * 1001 + 1000;
}

void TestDmmClient::setupCommands()
{
    QFETCH(DmmSetup, setup);
    QFETCH(QByteArrayList, lines);
    QFETCH(int, boundMs);
    ScriptedDmm s;
    QVERIFY(s.dmm.open(nullptr));
    const int before = s.script->written().size();
    QString error;
    QVERIFY2(s.dmm.configure(setup, &error), qPrintable(error));
    // The setup's lines, then *OPC? and the errors drained.
    const QByteArrayList expected = lines + QByteArrayList{"*OPC?", "SYST:ERR?"};
    QCOMPARE(s.script->written().mid(before), expected);
    QCOMPARE(readingBoundMs(setup), boundMs);
}

void TestDmmClient::opening_data()
{
    QTest::addColumn<QByteArray>("identity");
    QTest::addColumn<LinkStatus>("connect");
    QTest::addColumn<bool>("opened");
    QTest::addColumn<QString>("error");

    QTest::newRow("a meter") << idn << LinkStatus::Ok << true << "";
    QTest::newRow("nobody there") << idn << LinkStatus::Refused << false
                                  << "мультиметр script недоступен (соединение не установлено)";
    QTest::newRow("no answer to connect") << idn << LinkStatus::Timeout << false << "мультиметр script не ответил за 3000 мс";
    QTest::newRow("something that is no meter") << QByteArray("SSH-2.0-OpenSSH_9.2") << LinkStatus::Ok << false
                                                << "по адресу script ответил не мультиметр: «SSH-2.0-OpenSSH_9.2»";
    QTest::newRow("no identity") << QByteArray() << LinkStatus::Ok << false << "мультиметр script не ответил за 1000 мс (*IDN?)";
}

void TestDmmClient::opening()
{
    QFETCH(QByteArray, identity);
    QFETCH(LinkStatus, connect);
    QFETCH(bool, opened);
    QFETCH(QString, error);
    ScriptedDmm s;
    s.script->refuseOpen(connect);
    s.script->on("*IDN?", identity.isEmpty() ? QList<Reply>{ScriptedTransport::failure(LinkStatus::Timeout)}
                                             : QList<Reply>{ScriptedTransport::answer(identity)});
    QString why;
    QCOMPARE(s.dmm.open(&why), opened);
    QCOMPARE(why, error);
    QCOMPARE(s.dmm.isOpen(), opened);
    QCOMPARE(s.script->isOpen(), opened);
    QCOMPARE(s.dmm.identity(), opened ? QString::fromLatin1(identity) : QString());
    QCOMPARE(s.found.size(), opened ? 1 : 0);
    QCOMPARE(s.lost.size(), 0);
    if (opened)
        QCOMPARE(s.script->written(), (QByteArrayList{"*IDN?", "*RST", "*CLS", "*OPC?", "SYST:ERR?"}));
}

void TestDmmClient::readingsAndLosses_data()
{
    QTest::addColumn<QList<Reply>>("replies");   // to READ?, one per reading
    QTest::addColumn<QStringList>("seen");       // per reading: the value, "overload", or "lost: <why>"
    QTest::addColumn<int>("losses");

    using T = ScriptedTransport;
    QTest::newRow("readings") << QList<Reply>{T::answer("+2.50001234E+00"), T::answer("-1.00000000E-03")}
                              << QStringList{"2.50001234", "-0.001"} << 0;
    QTest::newRow("overload") << QList<Reply>{T::answer("+9.90000000E+37"), T::answer("+1.0E+00")}
                              << QStringList{"overload", "1"} << 0;
    QTest::newRow("no answer: lost once, then closed")
        << QList<Reply>{T::failure(LinkStatus::Timeout), T::answer("+1.0E+00")}
        << QStringList{"lost: мультиметр script не ответил за 1802 мс (READ?)", "not open"} << 1;
    QTest::newRow("connection closed") << QList<Reply>{T::answer("+1.0E+00"), T::failure(LinkStatus::Closed)}
                                       << QStringList{"1", "lost: мультиметр script закрыл соединение (READ?)"} << 1;
    QTest::newRow("garbage") << QList<Reply>{T::answer("#?garbage"), T::answer("+1.0E+00")}
                             << QStringList{"lost: мультиметр script ответил непонятно: «#?garbage» (READ?)", "not open"} << 1;
}

void TestDmmClient::readingsAndLosses()
{
    QFETCH(QList<Reply>, replies);
    QFETCH(QStringList, seen);
    QFETCH(int, losses);
    ScriptedDmm s;
    s.script->on("READ?", replies);
    QVERIFY(s.dmm.open(nullptr));
    QVERIFY(s.dmm.configure(DmmSetup(), nullptr));
    QStringList got;
    for (int i = 0; i < seen.size(); ++i) {
        DmmReading r;
        QString error;
        const int lostBefore = s.lost.size();
        if (s.dmm.read(&r, &error))
            got << (r.overload ? QStringLiteral("overload") : QString::number(r.value, 'g', 10));
        else if (s.lost.size() > lostBefore)
            got << "lost: " + s.lost.last().first().toString();
        else
            got << (s.dmm.isOpen() ? "failed: " + error : QStringLiteral("not open"));
    }
    QCOMPARE(got, seen);
    QCOMPARE(s.lost.size(), losses);
    // Found again: a new connection, the meter as after power-on.
    if (losses) {
        QVERIFY(!s.script->isOpen());
        QVERIFY(s.dmm.open(nullptr));
        QCOMPARE(s.found.size(), 2);
        QCOMPARE(s.script->opened(), 2);
    }
}

void TestDmmClient::refusedSetupKeepsTheMeter()
{
    ScriptedDmm s;
    QVERIFY(s.dmm.open(nullptr));
    s.script->on("SYST:ERR?", {ScriptedTransport::answer("-241,\"Hardware missing\""), ScriptedTransport::answer("+0,\"No error\"")});
    DmmSetup setup;
    setup.scannerChannel = 2;
    QString error;
    QVERIFY(!s.dmm.configure(setup, &error));
    QCOMPARE(error, QStringLiteral("мультиметр script не принял настройку: -241,\"Hardware missing\""));
    QVERIFY(s.dmm.isOpen());
    QCOMPARE(s.lost.size(), 0);
    QVERIFY(s.dmm.configure(DmmSetup(), &error));
}

void TestDmmClient::monitorReportsReadingsAndLoss()
{
    // The worker on a thread of its own, as a window keeps it; its meter is a script that reads
    // three values and then stops answering.
    QThread thread;
    DmmMonitor monitor([](const std::atomic<bool>*) {
        auto* script = new ScriptedTransport;
        healthyOpening(*script);
        using T = ScriptedTransport;
        script->on("READ?", {T::answer("+1.0E+00"), T::answer("+2.0E+00"), T::answer("+3.0E+00"), T::failure(LinkStatus::Closed)});
        return std::unique_ptr<Dmm>(new ScpiDmm(std::unique_ptr<LineTransport>(script)));
    });
    // What the worker reports, as a window gets it: queued to this thread.
    QObject receiver;
    QStringList found, lost;
    QList<QPair<DmmSetup, double>> readings;
    connect(&monitor, &DmmMonitor::found, &receiver, [&](QString identity) { found << identity; }, Qt::QueuedConnection);
    connect(&monitor, &DmmMonitor::lost, &receiver, [&](QString reason) { lost << reason; }, Qt::QueuedConnection);
    connect(&monitor, &DmmMonitor::reading, &receiver,
            [&](DmmSetup setup, double value, bool) { readings.append({setup, value}); }, Qt::QueuedConnection);
    monitor.moveToThread(&thread);
    DmmSetup setup;
    setup.function = DmmFunction::AcVoltage;
    // Queued before the thread starts, as the window does.
    QMetaObject::invokeMethod(&monitor, [&monitor, setup]() {
        monitor.setPeriod(0);
        monitor.measure(setup, true);
        monitor.connectInstrument();
    }, Qt::QueuedConnection);
    thread.start();
    QTRY_COMPARE_WITH_TIMEOUT(lost.size(), 1, 10000);
    QCOMPARE(found, QStringList{QString::fromLatin1(idn)});
    QCOMPARE(readings.size(), 3);
    for (int i = 0; i < 3; ++i) {
        QCOMPARE(readings.at(i).first, setup);
        QCOMPARE(readings.at(i).second, double(i + 1));
    }
    QCOMPARE(lost.first(), QStringLiteral("мультиметр script закрыл соединение (READ?)"));
    // Nothing more is asked of a lost meter: once the worker has served everything queued to it,
    // no reading has come after the loss.
    bool served = false;
    QMetaObject::invokeMethod(&monitor, [&receiver, &served]() {
        QMetaObject::invokeMethod(&receiver, [&served]() { served = true; }, Qt::QueuedConnection);
    }, Qt::QueuedConnection);
    QTRY_VERIFY_WITH_TIMEOUT(served, 5000);
    QCOMPARE(readings.size(), 3);
    QCOMPARE(lost.size(), 1);
    QMetaObject::invokeMethod(&monitor, [&monitor, &thread]() { monitor.shutDown(thread.thread()); thread.quit(); },
                              Qt::QueuedConnection);
    QVERIFY(thread.wait(5000));
}

QTEST_GUILESS_MAIN(TestDmmClient)
#include "tst_dmmclient.moc"
