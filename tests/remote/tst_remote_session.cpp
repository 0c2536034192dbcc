// The program's command set, run line by line through a client's session against a module and a
// window that record what they are asked: what each command asks of them, what a client reads
// back (answers, the error queue), and how a line holds the restarts and waits for the module.
#include <QtTest>

#include "fakeremote.h"
#include "remotecommands.h"
#include "remotesession.h"

namespace {

using Result = Module::SettingResult;

Result resultNamed(const QString& name)
{
    static const QMap<QString, Result> names{
        { "unknown", Result::UnknownKey }, { "out", Result::OutOfRange }, { "illegal", Result::IllegalValue },
        { "conflict", Result::SettingsConflict }, { "nomodule", Result::NoModule }, { "noanswer", Result::NoAnswer } };
    return names.value(name, Result::Done);
}

QStringList repeated(int count, const QString& text)
{
    QStringList list;
    for (int i = 0; i < count; ++i)
        list << text;
    return list;
}

RemoteHost::Selection selectionNamed(const QString& name)
{
    static const QMap<QString, RemoteHost::Selection> names{
        { "notlisted", RemoteHost::Selection::NotListed }, { "busy", RemoteHost::Selection::Busy },
        { "failed", RemoteHost::Selection::Failed } };
    return names.value(name, RemoteHost::Selection::Done);
}

// A module, a window and one client's session, set up by words: "closed", "running", "unsettled",
// "sync" (hold, release and settle go to the log), "result:KEY=NAME", "value:KEY/CH=VALUE",
// "select=NAME", "nomodule" (the window has none current), "nocatalog".
struct Rig
{
    FakeRemoteModule module;
    FakeRemoteHost host;
    scpi::CommandTable table;
    RemoteSession session{ table, &module };
    QStringList reported;

    explicit Rig(const QStringList& setup)
    {
        defineRemoteCommands(table, &module, &host);
        session.errorReported = [this](int code, const QByteArray& command) {
            reported << QStringLiteral("%1 %2").arg(code).arg(QString::fromUtf8(command));
        };
        for (const QString& word : setup) {
            const QString value = word.section('=', 1);
            if (word == "closed")
                module.opened = false;
            else if (word == "running")
                module.running = true;
            else if (word == "unsettled")
                module.settles = false;
            else if (word == "sync")
                module.logSync = true;
            else if (word.startsWith("result:"))
                module.results[word.section(':', 1).section('=', 0, 0)] = resultNamed(value);
            else if (word.startsWith("value:"))
                module.values[word.section(':', 1).section('=', 0, 0)] = value;
            else if (word.startsWith("select="))
                host.selection = selectionNamed(value);
            else if (word == "nomodule")
                host.slot = 0;
            else if (word == "nocatalog")
                host.catalog.clear();
        }
    }

    // Every line in turn; the answers clients read (without their '\n').
    QStringList run(const QStringList& lines)
    {
        QStringList answers;
        for (const QString& line : lines) {
            const QByteArray answer = session.execute(line.toUtf8());
            if (!answer.isEmpty()) {
                if (!answer.endsWith('\n') || answer.count('\n') != 1)
                    answers << QStringLiteral("malformed answer");
                answers << QString::fromUtf8(answer.chopped(1));
            }
        }
        return answers;
    }

    QStringList errorsLeft()
    {
        QStringList left;
        while (session.errors().count() > 0)
            left << session.errors().next();
        return left;
    }
};

} // namespace

class TestRemoteSession : public QObject
{
    Q_OBJECT

private slots:
    void commands_data();
    void commands();
    void holdsAndWaits_data();
    void holdsAndWaits();
    void errorsAreReportedForTheJournal();
    void setupCommands();
};

void TestRemoteSession::commands_data()
{
    QTest::addColumn<QStringList>("setup");
    QTest::addColumn<QStringList>("lines");
    QTest::addColumn<QStringList>("answers");
    QTest::addColumn<QStringList>("calls");    // what the module was asked, in order
    QTest::addColumn<QStringList>("errors");   // the queue afterwards, oldest first

    const QStringList none;
    // Identity and the window.
    QTest::newRow("*IDN?") << none << QStringList{ "*IDN?" } << QStringList{ "ZELMAR,VEK72-1-8,72A10419,1.4.27" } << none << none;
    QTest::newRow("*IDN? without a module") << QStringList{ "closed", "nomodule" } << QStringList{ "*idn?" }
                                            << QStringList{ "ZELMAR,VEK72,?,1.4.27" } << none << none;
    QTest::newRow("catalogue") << none << QStringList{ "SYST:MOD:CAT?" }
                               << QStringList{ "\"4B210736\",3,\"VEK72-1-8\";\"4B210736\",7,\"VEK72-2-4\"" } << none << none;
    QTest::newRow("empty catalogue") << QStringList{ "nocatalog" } << QStringList{ "SYSTEM:MODULE:CATALOG?" }
                                     << QStringList{ "\"\"" } << none << none;
    QTest::newRow("select a module") << none << QStringList{ "SYST:MOD \"4B210736\",7", "SYST:MOD?" }
                                     << QStringList{ "\"4B210736\",7" } << none << none;
    QTest::newRow("no module current") << QStringList{ "nomodule" } << QStringList{ "SYST:MOD?" } << QStringList{ "\"\",0" } << none << none;
    QTest::newRow("select: not listed") << QStringList{ "select=notlisted" } << QStringList{ "SYST:MOD \"X\",3" } << none << none
                                        << QStringList{ "-224,\"Illegal parameter value\"" };
    QTest::newRow("select: discovery out") << QStringList{ "select=busy" } << QStringList{ "SYST:MOD \"4B210736\",3" } << none << none
                                           << QStringList{ "-221,\"Settings conflict\"" };
    QTest::newRow("select: cannot be opened") << QStringList{ "select=failed" } << QStringList{ "SYST:MOD \"4B210736\",3" } << none
                                              << none << QStringList{ "-241,\"Hardware missing\"" };
    QTest::newRow("select: slot not whole") << none << QStringList{ "SYST:MOD \"4B210736\",2.5", "SYST:MOD \"4B210736\",17" } << none
                                            << none << QStringList{ "-222,\"Data out of range\"", "-222,\"Data out of range\"" };
    QTest::newRow("select: slot missing") << none << QStringList{ "SYST:MOD \"4B210736\"" } << none << none
                                          << QStringList{ "-109,\"Missing parameter\"" };

    // The channels' settings: what the module is asked, what is read back.
    QTest::newRow("switch on and read back") << none << QStringList{ "OUTP3 ON;OUTP3?", "OUTPUT3:STATE OFF;STAT?" }
                                             << QStringList{ "1", "0" } << QStringList{ "enabled 3 true", "enabled 3 false" } << none;
    QTest::newRow("relative path: function, then voltage") << none << QStringList{ "SOUR2:FUNC DC;VOLT 1500 MV" } << none
                                                           << QStringList{ "function 2 DC", "voltage 2 1.5" } << none;
    QTest::newRow("function answers its short form") << QStringList{ "value:function/1=CUSTOM", "value:function/2=AC" }
                                                     << QStringList{ "SOUR1:FUNC?;:SOUR2:FUNC?" } << QStringList{ "CUST;AC" } << none << none;
    QTest::newRow("custom function") << none << QStringList{ "SOUR5:FUNC CUSTOM" } << none << QStringList{ "function 5 CUSTOM" } << none;
    QTest::newRow("shape") << none << QStringList{ "SOUR1:FUNC:SHAP PULS;SHAP?" } << QStringList{ "PULS" } << QStringList{ "shape 1 3" } << none;
    QTest::newRow("offset and frequency") << none << QStringList{ "SOUR4:VOLT:OFFS -0.25;:SOUR4:FREQ 2 KHZ" } << none
                                          << QStringList{ "offset 4 -0.25", "frequency 4 2000" } << none;
    QTest::newRow("frequency read back") << QStringList{ "value:frequency/1=999.996" } << QStringList{ "SOUR1:FREQ?" }
                                         << QStringList{ "999.996" } << none << none;
    QTest::newRow("range") << none << QStringList{ "SOUR1:VOLT:RANG TENT;RANG?", "SOUR1:VOLT:RANGE full" } << QStringList{ "TENT" }
                           << QStringList{ "range 1 TENTH", "range 1 FULL" } << none;
    QTest::newRow("rate in hertz and kilohertz") << none << QStringList{ "SOUR:RATE 96000;RATE?", "SOUR:RATE 48 KHZ" }
                                                 << QStringList{ "96000" } << QStringList{ "rate 0 96000", "rate 0 48000" } << none;
    QTest::newRow("rate not whole") << none << QStringList{ "SOUR:RATE 48000.5" } << none << QStringList{ "rate 0 48000.5" } << none;
    QTest::newRow("rate of a channel") << none << QStringList{ "SOUR2:RATE 48000" } << none << none
                                       << QStringList{ "-114,\"Header suffix out of range\"" };
    QTest::newRow("mode") << none << QStringList{ "SOUR:MODE STR;MODE?", "SOURCE:MODE cyclic" } << QStringList{ "STR" }
                          << QStringList{ "mode 0 STREAM", "mode 0 CYCLIC" } << none;
    QTest::newRow("channel count") << QStringList{ "value:channelCount/0=4" } << QStringList{ "SYST:CHAN:COUN?" } << QStringList{ "4" }
                                   << none << none;
    QTest::newRow("a channel the module has not") << none << QStringList{ "OUTP6?" } << none << none
                                                  << QStringList{ "-241,\"Hardware missing\"" };

    // Output.
    QTest::newRow("start, state, stop") << QStringList{ "running" } << QStringList{ "INIT", "INIT:STAT?", "ABOR", "INIT:STAT?" }
                                        << QStringList{ "1", "0" } << QStringList{ "output 0 true", "output off" } << none;
    QTest::newRow("*RST") << none << QStringList{ "*RST" } << none << QStringList{ "reset" } << none;

    // What the module refuses, as error codes; nothing after the failing command runs.
    // A refused value does not end its line: what follows still runs, and a query is answered.
    QTest::newRow("out of range") << QStringList{ "result:voltage=out" } << QStringList{ "SOUR1:VOLT 99;:OUTP1 OFF;:SYST:ERR?" }
                                  << QStringList{ "-222,\"Data out of range\"" } << QStringList{ "voltage 1 99", "enabled 1 false" }
                                  << none;
    QTest::newRow("illegal value") << QStringList{ "result:rate=illegal" } << QStringList{ "SOUR:RATE 44100" } << none
                                   << QStringList{ "rate 0 44100" } << QStringList{ "-224,\"Illegal parameter value\"" };
    QTest::newRow("settings conflict") << QStringList{ "result:function=conflict" } << QStringList{ "SOUR1:FUNC CUST" } << none
                                       << QStringList{ "function 1 CUSTOM" } << QStringList{ "-221,\"Settings conflict\"" };
    QTest::newRow("channel not on the module") << QStringList{ "result:enabled=nomodule" } << QStringList{ "OUTP8 ON" } << none
                                               << QStringList{ "enabled 8 true" } << QStringList{ "-241,\"Hardware missing\"" };
    QTest::newRow("panels did not answer") << QStringList{ "result:voltage=noanswer" } << QStringList{ "SOUR1:VOLT 1" } << none
                                           << QStringList{ "voltage 1 1" } << QStringList{ "-200,\"Execution error\"" };
    QTest::newRow("no module open") << QStringList{ "closed" }
                                    << QStringList{ "SOUR1:VOLT 1", "*RST", "INIT", "ABOR", "INIT:STAT?", "SYST:CHAN:COUN?", "OUTP1?" }
                                    << none << none << repeated(7, "-241,\"Hardware missing\"");
    QTest::newRow("window commands need no module") << QStringList{ "closed" } << QStringList{ "SYST:MOD?;:SYST:ERR?;*OPC?" }
                                                    << QStringList{ "\"4B210736\",3;0,\"No error\";1" } << none << none;
    QTest::newRow("first error ends the line") << none << QStringList{ "OUTP1 ON;FOO;OUTP2 ON" } << none << QStringList{ "enabled 1 true" }
                                               << QStringList{ "-113,\"Undefined header\"" };
    QTest::newRow("syntax error ends the line") << none << QStringList{ "OUTP1 ON;OUTP2 ,;OUTP3 ON" } << none
                                                << QStringList{ "enabled 1 true" } << QStringList{ "-102,\"Syntax error\"" };
    QTest::newRow("answers before an error are kept") << none << QStringList{ "*OPC?;SOUR1:FUNC BANANA" } << QStringList{ "1" } << none
                                                      << QStringList{ "-224,\"Illegal parameter value\"" };
    QTest::newRow("each standard code once")
        << QStringList{ "result:voltage=out" }
        << QStringList{ "OUTP1 ON ON ON", "OUTP1", "NOSUCH", "OUTP9 ON", "SOUR1:FREQ 5 MV", "SOUR1:VOLT \"1\"", "OUTP1 ON,OFF",
                        "SOUR1:VOLT 9", "OUTP1 MAYBE" }
        << none << QStringList{ "voltage 1 9" }
        << QStringList{ "-102,\"Syntax error\"", "-109,\"Missing parameter\"", "-113,\"Undefined header\"",
                        "-114,\"Header suffix out of range\"", "-131,\"Invalid suffix\"", "-104,\"Data type error\"",
                        "-108,\"Parameter not allowed\"", "-222,\"Data out of range\"", "-224,\"Illegal parameter value\"" };

    // The queue: counted, cleared, and full at 32 with -350 last.
    QTest::newRow("count and clear") << none << QStringList{ "FOO", "BAR", "SYST:ERR:COUN?", "*CLS", "SYST:ERR:COUN?;:SYST:ERR?" }
                                     << QStringList{ "2", "0;0,\"No error\"" } << none << none;
    QStringList flood = repeated(40, QStringLiteral("FOO"));
    flood << QStringLiteral("SYST:ERR:COUN?");
    QStringList full = repeated(31, QStringLiteral("-113,\"Undefined header\""));
    full << QStringLiteral("-350,\"Queue overflow\"");
    QTest::newRow("overflow") << none << flood << QStringList{ "32" } << none << full;
}

void TestRemoteSession::commands()
{
    QFETCH(QStringList, setup);
    QFETCH(QStringList, lines);
    QFETCH(QStringList, answers);
    QFETCH(QStringList, calls);
    QFETCH(QStringList, errors);
    Rig rig(setup);
    QCOMPARE(rig.run(lines), answers);
    QCOMPARE(rig.module.log(), calls);
    QCOMPARE(rig.errorsLeft(), errors);
}

// *SAV/*RCL by number and MMEMory by file go to the window's setups; a number outside 1..9 and a
// file that is not there are errors, and nothing is asked without a module.
void TestRemoteSession::setupCommands()
{
    Rig rig({});
    rig.run({ "*SAV 3", "*RCL 3", "MMEM:STOR:STAT \"bench.vek72\"", "MMEMORY:LOAD:STATE \"bench.vek72\"",
              "*SAV 10", "*RCL 0.5", "MMEM:LOAD:STAT \"missing.vek72\"", "MMEM:STOR:STAT \"\"" });
    QCOMPARE(rig.host.setups, (QStringList{ "save setup-3", "recall setup-3", "save bench.vek72", "recall bench.vek72",
                                            "recall missing.vek72" }));
    QCOMPARE(rig.errorsLeft(), (QStringList{ "-222,\"Data out of range\"", "-222,\"Data out of range\"",
                                             "-256,\"File name not found\"", "-224,\"Illegal parameter value\"" }));
    Rig closed({ "closed" });
    closed.run({ "*SAV 1", "*RCL 1" });
    QVERIFY(closed.host.setups.isEmpty());
    QCOMPARE(closed.errorsLeft(), repeated(2, "-241,\"Hardware missing\""));
}

void TestRemoteSession::holdsAndWaits_data()
{
    QTest::addColumn<QStringList>("setup");
    QTest::addColumn<QStringList>("lines");
    QTest::addColumn<QStringList>("answers");
    QTest::addColumn<QStringList>("calls");

    const QString wait = QStringLiteral("settle %1").arg(RemoteSession::changeSettleMs);
    const QString sync = QStringLiteral("settle %1").arg(RemoteSession::synchroniseMs);
    QTest::newRow("a query line waits for nothing") << QStringList{ "sync", "value:voltage/1=0" } << QStringList{ "*IDN?;SOUR1:VOLT?" }
                                                    << QStringList{ "ZELMAR,VEK72-1-8,72A10419,1.4.27;0" } << QStringList{ "hold", "release" };
    // Restarts are held for the whole line; each command after a change waits for the module first.
    QTest::newRow("changes of one line") << QStringList{ "sync" } << QStringList{ "SOUR1:FUNC DC;VOLT 2;:OUTP2 OFF" } << QStringList()
                                         << QStringList{ "hold", "function 1 DC", wait, "voltage 1 2", wait, "enabled 2 false", "release" };
    QTest::newRow("a query after a change waits") << QStringList{ "sync" } << QStringList{ "OUTP1 ON", "OUTP1?" } << QStringList{ "1" }
                                                  << QStringList{ "hold", "enabled 1 true", "release", "hold", wait, "release" };
    // *OPC? lets the held restart go, waits for it and holds again for the rest of the line.
    QTest::newRow("*OPC? after a change") << QStringList{ "sync" } << QStringList{ "SOUR1:FREQ 1000;*OPC?;VOLT 1" } << QStringList{ "1" }
                                          << QStringList{ "hold", "frequency 1 1000", wait, "release", sync, "hold", "voltage 1 1", "release" };
    QTest::newRow("*WAI") << QStringList{ "sync" } << QStringList{ "INIT;*WAI;INIT:STAT?" } << QStringList{ "0" }
                          << QStringList{ "hold", "output 0 true", wait, "release", sync, "hold", "release" };
    // A module that does not settle in time: the command that waited fails, the line ends.
    QTest::newRow("not settled in time") << QStringList{ "sync", "unsettled" } << QStringList{ "SOUR1:VOLT 1;FREQ 2", "SYST:ERR?" }
                                         << QStringList{ "-200,\"Execution error\"" }
                                         << QStringList{ "hold", "voltage 1 1", wait, "release", "hold", "release" };
    QTest::newRow("*OPC? not settled in time") << QStringList{ "sync", "unsettled" } << QStringList{ "*OPC?", "SYST:ERR?" }
                                               << QStringList{ "-200,\"Execution error\"" }
                                               << QStringList{ "hold", "release", sync, "hold", "release", "hold", "release" };
}

void TestRemoteSession::holdsAndWaits()
{
    QFETCH(QStringList, setup);
    QFETCH(QStringList, lines);
    QFETCH(QStringList, answers);
    QFETCH(QStringList, calls);
    Rig rig(setup);
    QCOMPARE(rig.run(lines), answers);
    QCOMPARE(rig.module.log(), calls);
}

void TestRemoteSession::errorsAreReportedForTheJournal()
{
    Rig rig({ "result:voltage=out" });
    rig.run({ "OUTP1 ON;  sour1:volt 42 ;*RST", "OUTP12 ON" });
    QCOMPARE(rig.reported, (QStringList{ "-222 sour1:volt 42", "-114 OUTP12 ON" }));
}

QTEST_GUILESS_MAIN(TestRemoteSession)
#include "tst_remote_session.moc"
