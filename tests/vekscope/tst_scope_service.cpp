// The scope's service client against a service that takes the connection and never answers: a
// scope that closes breaks off the exchange at once (ScopeService::abort from another thread)
// instead of waiting for the exchange's time-out, and asks nothing after.
#include <QtTest>

#include <QTcpServer>
#include <QTcpSocket>

#include <atomic>
#include <thread>

#include "scopeservice.h"

class TestScopeService : public QObject
{
    Q_OBJECT

private slots:
    void abortBreaksOffTheExchange();
};

void TestScopeService::abortBreaksOffTheExchange()
{
    QTcpServer silent;
    QVERIFY(silent.listen(QHostAddress::LocalHost, 0));
    vekproto::Endpoint endpoint;
    QVERIFY(vekproto::parseEndpoint("127.0.0.1:" + std::to_string(silent.serverPort()), endpoint));
    scope::ScopeService service(endpoint);

    std::atomic<bool> done{false};
    std::atomic<int> result{-1};
    std::thread asking([&] {
        QVector<scope::ModuleInfo> modules;
        result = service.modules(&modules);
        done = true;
    });
    // The request is out and unanswered.
    QVERIFY(QTest::qWaitFor([&] { return silent.hasPendingConnections(); }, 5000));
    QTcpSocket* connection = silent.nextPendingConnection();
    QVERIFY(QTest::qWaitFor([&] { return connection->bytesAvailable() >= 16 || done; }, 5000));
    QVERIFY(!done);

    service.abort();
    // Far within the exchange's time-out of 5 s.
    const bool ended = QTest::qWaitFor([&] { return done.load(); }, 2000);
    asking.join();
    QVERIFY(ended);
    QCOMPARE(result.load(), int(scope::ScopeService::Unreachable));

    // Nothing more is asked: no new connection comes.
    QVector<scope::ModuleInfo> modules;
    QCOMPARE(service.modules(&modules), scope::ScopeService::Unreachable);
    QTest::qWait(0);
    QVERIFY(!silent.hasPendingConnections());
}

QTEST_GUILESS_MAIN(TestScopeService)
#include "tst_scope_service.moc"
