// Faults around playing output, met through the main window against a crate service simulator of the
// test's own: the service killed, hung for less and for longer than the output the module holds,
// sends refused, the window closed while the service hangs, "Обновить" while playing, the operator's
// stop. After each, what the operator met: how many error boxes, what the lights, the start button and
// the animation say, what the journal on disk holds, and what the module plays.
#include "faultbench.h"

namespace {

using namespace faultbench;

qint64 residentKiB()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray& line : status.readAll().split('\n'))
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').first().toLongLong();
    return 0;
}

} // namespace

class TestFaults : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { startJournal(); }
    void cleanupTestCase() { qInstallMessageHandler(nullptr); }

    void faultWhilePlaying_data();
    void faultWhilePlaying();
    void closeWhileTheServiceHangs_data();
    void closeWhileTheServiceHangs();
    void operatorStopAndUpdateLeaveNothingPlaying_data();
    void operatorStopAndUpdateLeaveNothingPlaying();
    void foundAgainAfterALoss();
};

void TestFaults::faultWhilePlaying_data()
{
    QTest::addColumn<bool>("streaming");
    QTest::addColumn<QString>("fault");
    QTest::addColumn<int>("aheadMs");       // output the module holds ahead while streaming
    QTest::addColumn<bool>("lost");         // the loss is reported (one box, red lights, "Старт")
    QTest::addColumn<int>("underruns");

    QTest::newRow("service killed, streaming") << true << "kill" << 10000 << true << 0;
    QTest::newRow("service killed, cyclic") << false << "kill" << 0 << true << 0;
    QTest::newRow("service hung for 7 s, less than the output held") << true << "hang 7000" << 9000 << false << 0;
    QTest::newRow("service hung for longer than the output held") << true << "hang" << 1000 << true << 1;
    QTest::newRow("sends refused 40 times") << true << "refuse 40" << 10000 << false << 0;
}

void TestFaults::faultWhilePlaying()
{
    QFETCH(bool, streaming);
    QFETCH(QString, fault);
    QFETCH(int, aheadMs);
    QFETCH(bool, lost);
    QFETCH(int, underruns);
    FaultBench b;
    QVERIFY(b.showSettled());
    if (aheadMs > 0)
        b.module()->sampleSender()->setAhead(aheadMs);
    QVERIFY(b.play(streaming));
    // The fault comes once the module holds the output it is meant to hold ahead (one channel at
    // 192 kHz).
    if (streaming)
        QVERIFY(QTest::qWaitFor([&] { return b.played().value("fifoWords").toDouble() >= 0.9 * aheadMs * 192; }, 20000));
    const qint64 memoryBefore = residentKiB();
    const QString how = fault.section(' ', 0, 0);
    const int amount = fault.section(' ', 1, 1).toInt();

    if (how == "kill") {
        ::kill(pid_t(b.vekd.pid()), SIGKILL);
    } else if (how == "hang") {
        b.pause();
        if (amount > 0)
            QTimer::singleShot(amount, [&b] { b.resume(); });
    } else {
        QCOMPARE(b.vekd.vekctl({"fault", "fail", "--crate", crateA, "--slot", "3", "--function", "VEK72_Send",
                                "--count", QString::number(amount)}),
                 0);
    }

    if (lost) {
        // Noticed at once for a dead service; for a silent one when the output held is played.
        QVERIFY2(QTest::qWaitFor([&] { return b.journalHas(b.lostText()) || b.journalHas(b.lostText() + ": служба не отвечает"); },
                                 10000),
                 qPrintable(b.journal().join(" | ")));
        QTRY_COMPARE_WITH_TIMEOUT(b.outputShown(), QStringLiteral("Старт still red red"), 5000);
        QVERIFY(!b.module()->isRunning());
        QVERIFY(!b.startButton()->isChecked());
        b.resume();
    } else if (how == "hang") {
        // Back after the hang: the output went on, and the sender sends again.
        QVERIFY(QTest::qWaitFor([&] { return !b.paused; }, 10000));
        const qint64 sends = b.counter("sends");
        QVERIFY(QTest::qWaitFor([&] { return b.counter("sends") > sends + 2; }, 10000));
    } else {
        // Every refused send was asked again: the faults are used up, and the output went on.
        QVERIFY(QTest::qWaitFor([&] { return b.played().value("faults").toObject().isEmpty(); }, 20000));
        const qint64 sends = b.counter("sends");
        QVERIFY(QTest::qWaitFor([&] { return b.counter("sends") > sends + 2; }, 10000));
    }
    if (!lost)
        QCOMPARE(b.outputShown(), QStringLiteral("Стоп animated green green"));
    QVERIFY(apptest::runQueuedCalls(b.window.get()));
    b.boxes.look();
    qInfo("%s: %d box(es), %lld KiB more memory", QTest::currentDataTag(), b.boxes.texts.size(),
          residentKiB() - memoryBefore);

    // One box at most, whatever the fault; for a loss it names what happened and where.
    QCOMPARE(b.boxes.mostOpen, how == "hang" && !lost ? 0 : 1);
    if (lost)
        QVERIFY2(b.boxes.texts.value(0).startsWith(b.lostText()), qPrintable(b.boxes.texts.join('|')));
    else if (how == "refuse")
        QCOMPARE(b.boxes.texts, QStringList{"Ошибка при отправке данных модулю!"});
    if (how != "kill") {
        QTRY_COMPARE_WITH_TIMEOUT(b.counter("underruns"), qint64(underruns), 10000);
        QCOMPARE(benchstatus::clippedSamples(b.played()), 0);
    }
}

void TestFaults::closeWhileTheServiceHangs_data()
{
    QTest::addColumn<bool>("streaming");
    QTest::newRow("streaming") << true;
    QTest::newRow("cyclic") << false;
}

// Closing ends in bounded time whatever the service does; no box is raised while the window goes,
// and the journal's last line says what could not be done.
void TestFaults::closeWhileTheServiceHangs()
{
    QFETCH(bool, streaming);
    FaultBench b;
    QVERIFY(b.showSettled());
    QVERIFY(b.play(streaming));
    b.pause();
    QElapsedTimer clock;
    clock.start();
    b.window->close();
    const qint64 closing = clock.elapsed();
    QVERIFY(b.window->isHidden());
    b.boxes.look();
    QCOMPARE(b.boxes.mostOpen, 0);
    // One critical line says it, whichever comes first: the close that could not zero the outputs, or the
    // loss of the service that the sender noticed while the stop waited (the close then has nothing
    // left to ask).
    const QStringList lines = b.journal();
    const QString hazard = "E] Выходы модуля могут оставаться под напряжением: служба крейтов " + b.vekd.address() + " не отвечает";
    const QString loss = "E] " + b.lostText() + ": служба не отвечает";
    const QString last = lines.filter(" E] ").value(lines.filter(" E] ").size() - 1);
    const bool closeSaidIt = last.contains(hazard) && last.endsWith("Не удалось выставить нули на всех выходах модуля");
    QVERIFY2(closeSaidIt || last.endsWith(loss), qPrintable(lines.join(" | ")));
    QCOMPARE(lines.filter(hazard).size() + lines.filter(loss).size(), 1);
    qInfo("closed in %lld ms", closing);
    b.resume();
}

void TestFaults::operatorStopAndUpdateLeaveNothingPlaying_data()
{
    QTest::addColumn<bool>("streaming");
    QTest::addColumn<QString>("action");
    QTest::newRow("Стоп after a DC level, cyclic") << false << "stop";
    QTest::newRow("Стоп after a DC level, streaming") << true << "stop";
    QTest::newRow("Обновить while playing") << false << "update";
    QTest::newRow("Обновить while streaming") << true << "update";
}

// The operator's stop leaves every output at 0 V, not at the level the signal had reached; an update
// stops the output the operator's way first, and the panels keep their values for the same module.
void TestFaults::operatorStopAndUpdateLeaveNothingPlaying()
{
    QFETCH(bool, streaming);
    QFETCH(QString, action);
    FaultBench b;
    QVERIFY(b.showSettled());
    QVERIFY(b.play(streaming, true, 3000));
    QTRY_VERIFY_WITH_TIMEOUT(qAbs(b.played().value("outputs").toArray().at(0).toDouble() - 3.0) < 0.001, 10000);
    if (action == "stop") {
        b.startButton()->click();
    } else {
        child<QAbstractButton>(b.window.get(), "pushButtonUpdate")->click();
        QVERIFY(settled(*b.window));
    }
    QVERIFY(QTest::qWaitFor([&] { return benchstatus::outputsAtZero(b.played()); }, 10000));
    QVERIFY(!b.played().value("running").toBool());
    QVERIFY(b.played().value("opened").toBool());
    QVERIFY(apptest::runQueuedCalls(b.module()));
    QVERIFY(apptest::runQueuedCalls(b.window.get()));
    QCOMPARE(b.outputShown(), QStringLiteral("Старт still green green"));
    QCOMPARE(b.find<QSpinBox>("spinBoxVoltageCh1")->value(), 3000);
    QCOMPARE(b.find<QComboBox>("comboBoxVoltageTypeCh1")->currentText(), QStringLiteral("DC"));
    QCOMPARE(b.find<QComboBox>("comboBoxMode")->currentIndex(), streaming ? 1 : 0);
    QCOMPARE(b.boxes.mostOpen, 0);
    for (const QString& line : b.journal())
        QVERIFY2(line.contains("I] "), qPrintable(b.journal().join(" | ")));
}

// After a loss, "Обновить" finds the module again (the service back on another port): the panels keep
// the operator's values and nothing starts by itself.
void TestFaults::foundAgainAfterALoss()
{
    FaultBench b;
    QVERIFY(b.showSettled());
    QVERIFY(b.play(false, false, 700));
    ::kill(pid_t(b.vekd.pid()), SIGKILL);
    const QString lost = b.lostText();
    QVERIFY(QTest::qWaitFor([&] { return b.boxes.texts == QStringList{lost}; }, 10000));
    QVERIFY(b.vekd.start());
    b.boxes.closeAll();
    child<QAbstractButton>(b.window.get(), "pushButtonUpdate")->click();
    QVERIFY(settled(*b.window));
    QVERIFY(apptest::runQueuedCalls(b.module()));
    QCOMPARE(b.outputShown(), QStringLiteral("Старт still green green"));
    QCOMPARE(b.find<QSpinBox>("spinBoxVoltageCh1")->value(), 700);
    QVERIFY(b.played().value("opened").toBool());
    QVERIFY(!b.played().value("running").toBool());
    QCOMPARE(b.boxes.texts.size(), 1);
}

QTEST_MAIN(TestFaults)
#include "tst_faults.moc"
