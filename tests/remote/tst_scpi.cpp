// The command lines of remote control as plain code: how a line splits into commands (relative
// paths, suffixes, parameters, what is a syntax error), how the command table finds a command in
// its long and short forms and reads its parameters, and the error queue with its overflow.
#include <QtTest>

#include "scpicommands.h"
#include "scpierrors.h"
#include "scpiparser.h"

using namespace scpi;

namespace {

// A parsed line as text: "SOUR[1]:VOLT N1.5 | *IDN?" ; an error as "E-102 <command as written>".
QString render(const QVector<Command>& commands)
{
    QStringList parts;
    for (const Command& c : commands) {
        if (c.error != 0) {
            parts << QStringLiteral("E%1 %2").arg(c.error).arg(QString::fromUtf8(c.text));
            continue;
        }
        QStringList nodes;
        for (int i = 0; i < c.header.nodes.size(); ++i) {
            const qint64 suffix = c.header.suffixes.at(i);
            nodes << c.header.nodes.at(i) + (suffix >= 0 ? QStringLiteral("[%1]").arg(suffix) : QString());
        }
        QString text = (c.header.common ? QStringLiteral("*") : QString()) + nodes.join(QLatin1Char(':'))
                       + (c.header.query ? QStringLiteral("?") : QString());
        for (const Parameter& p : c.parameters) {
            switch (p.kind) {
            case Parameter::Number: text += QStringLiteral(" N%1%2").arg(p.number).arg(p.unit); break;
            case Parameter::String: text += QStringLiteral(" S<%1>").arg(p.text); break;
            case Parameter::Characters: text += QStringLiteral(" C%1").arg(p.text); break;
            }
        }
        parts << text;
    }
    return parts.join(QStringLiteral(" | "));
}

// A session that only keeps an error queue.
struct QueueOnly : Session
{
    ErrorQueue queue;
    int synchronised = 0;
    ErrorQueue& errors() override { return queue; }
    bool synchronise() override { return ++synchronised, true; }
};

} // namespace

class TestScpi : public QObject
{
    Q_OBJECT

private slots:
    void parsing_data();
    void parsing();
    void lookupAndParameters_data();
    void lookupAndParameters();
    void errorQueue();
};

void TestScpi::parsing_data()
{
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<QString>("parsed");

    QTest::newRow("empty") << QByteArray() << QString();
    QTest::newRow("blanks and CR only") << QByteArray(" \t\r") << QString();
    QTest::newRow("common query") << QByteArray("*IDN?") << "*IDN?";
    QTest::newRow("CR before the line end") << QByteArray("*RST\r") << "*RST";
    QTest::newRow("suffix and number") << QByteArray("SOUR1:VOLT 1.5") << "SOUR[1]:VOLT N1.5";
    QTest::newRow("relative path after ;") << QByteArray("SOUR1:FUNC AC;VOLT 1.2")
                                           << "SOUR[1]:FUNC CAC | SOUR[1]:VOLT N1.2";
    QTest::newRow("rooted path after ;") << QByteArray("SOUR1:FUNC AC;:SOUR2:VOLT 1")
                                         << "SOUR[1]:FUNC CAC | SOUR[2]:VOLT N1";
    QTest::newRow("common command keeps the path") << QByteArray("SOUR3:VOLT 1;*OPC?;FREQ 50")
                                                    << "SOUR[3]:VOLT N1 | *OPC? | SOUR[3]:FREQ N50";
    QTest::newRow("path of a deeper command") << QByteArray("SOUR1:VOLT:OFFS 1;RANG FULL")
                                               << "SOUR[1]:VOLT:OFFS N1 | SOUR[1]:VOLT:RANG CFULL";
    QTest::newRow("leading colon at the start") << QByteArray(":outp2:stat on") << "outp[2]:stat Con";
    QTest::newRow("units with and without a blank") << QByteArray("VOLT 1500 mV;VOLT 2V;FREQ 1.5KHZ")
                                                     << "VOLT N1500MV | VOLT N2V | FREQ N1.5KHZ";
    QTest::newRow("signs, exponents, leading point") << QByteArray("A -2.5e-3, +.5 ,1E3")
                                                      << "A N-0.0025 N0.5 N1000";
    QTest::newRow("strings with doubled quotes") << QByteArray("SYST:MOD \"4B\"\"21\",3;X 'it''s'")
                                                  << "SYST:MOD S<4B\"21> N3 | SYST:X S<it's>";
    QTest::newRow("a ; at the end") << QByteArray("*CLS;") << "*CLS";
    QTest::newRow("blanks around everything") << QByteArray("  OUTP1   ON ;  OUTP2 OFF  ") << "OUTP[1] CON | OUTP[2] COFF";
    QTest::newRow("huge suffix stays out of range") << QByteArray("OUTP99999999999999999 ON")
                                                    << "OUTP[2147483647] CON";
    QTest::newRow("overflowing number") << QByteArray("VOLT 1e999") << "VOLT Ninf";

    // Syntax errors: the command is the last one, quoted up to the next ';'.
    QTest::newRow("empty command between ;") << QByteArray("*RST;;*CLS") << "*RST | E-102 ";
    QTest::newRow("colon at the end") << QByteArray("SOUR1:") << "E-102 SOUR1:";
    QTest::newRow("double colon") << QByteArray("SOUR1::VOLT 1;*RST") << "E-102 SOUR1::VOLT 1";
    QTest::newRow("header glued to a value") << QByteArray("VOLT1.5") << "E-102 VOLT1.5";
    QTest::newRow("string not closed") << QByteArray("SYST:MOD \"4B21") << "E-102 SYST:MOD \"4B21";
    QTest::newRow("block data") << QByteArray("X #12ab") << "E-102 X #12ab";
    QTest::newRow("exponent without digits") << QByteArray("VOLT 1E") << "E-102 VOLT 1E";
    QTest::newRow("a unit glued to digits") << QByteArray("VOLT 1 MV2") << "E-102 VOLT 1 MV2";
    QTest::newRow("parameter missing after a comma") << QByteArray("A 1,") << "E-102 A 1,";
    QTest::newRow("two values without a comma") << QByteArray("A 1 2") << "E-102 A 1 2";
    QTest::newRow("bytes beyond ASCII in a header") << QByteArray("SOUR\xd0\x98:VOLT 1") << "E-102 SOUR\u0418:VOLT 1";
    QTest::newRow("a stray character after the header") << QByteArray("*IDN?x;*RST") << "E-102 *IDN?x";
    QTest::newRow("parsing stops at the first error") << QByteArray("OUTP1 ON;OUTP2 @;OUTP3 ON")
                                                      << "OUTP[1] CON | E-102 OUTP2 @";
}

void TestScpi::parsing()
{
    QFETCH(QByteArray, line);
    QFETCH(QString, parsed);
    QCOMPARE(render(parseLine(line)), parsed);
}

void TestScpi::lookupAndParameters_data()
{
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<QString>("outcome");   // what the handler saw and answered, or "E<code>"

    // Headers in their long and short forms, any case; optional nodes; channel suffixes.
    QTest::newRow("short form") << QByteArray("SOUR2:VOLT 1.5") << "volt ch2 1.5";
    QTest::newRow("long form, lower case") << QByteArray("source3:voltage 2") << "volt ch3 2";
    QTest::newRow("suffix omitted is channel 1") << QByteArray("SOUR:VOLT 1") << "volt ch1 1";
    QTest::newRow("suffix 8 is the last") << QByteArray("SOUR8:VOLT 1") << "volt ch8 1";
    QTest::newRow("suffix 9 is out of range") << QByteArray("SOUR9:VOLT 1") << "E-114";
    QTest::newRow("suffix 0 is out of range") << QByteArray("SOUR0:VOLT 1") << "E-114";
    QTest::newRow("suffix 1 where no channel is taken") << QByteArray("INIT1") << "init";
    QTest::newRow("suffix 2 where no channel is taken") << QByteArray("INIT2") << "E-114";
    QTest::newRow("a form between short and long") << QByteArray("SOURC1:VOLT 1") << "E-113";
    QTest::newRow("optional node left out") << QByteArray("INIT") << "init";
    QTest::newRow("optional node given") << QByteArray("INIT:IMM") << "init";
    QTest::newRow("a node after the optional one") << QByteArray("INIT:STAT?") << "state? -> 1";
    QTest::newRow("query of a command without a query form") << QByteArray("INIT?") << "E-113";
    QTest::newRow("command form of a query-only header") << QByteArray("INIT:STAT") << "E-113";
    QTest::newRow("unknown header") << QByteArray("SOUR1:VOLTS 1") << "E-113";
    QTest::newRow("common command any case") << QByteArray("*idn?") << "idn? -> X";
    QTest::newRow("unknown common command") << QByteArray("*XYZ") << "E-113";

    // Parameters by type.
    QTest::newRow("millivolts") << QByteArray("SOUR1:VOLT 1500 MV") << "volt ch1 1.5";
    QTest::newRow("volts") << QByteArray("SOUR1:VOLT 1.5 V") << "volt ch1 1.5";
    QTest::newRow("kilohertz") << QByteArray("SOUR1:FREQ 2.5 khz") << "freq 2500";
    QTest::newRow("hertz") << QByteArray("SOUR1:FREQ 50HZ") << "freq 50";
    QTest::newRow("a unit of another quantity") << QByteArray("SOUR1:FREQ 5 V") << "E-131";
    QTest::newRow("an unknown unit") << QByteArray("SOUR1:VOLT 5 KV") << "E-131";
    QTest::newRow("a word for a number") << QByteArray("SOUR1:VOLT MAX") << "E-224";
    QTest::newRow("a string for a number") << QByteArray("SOUR1:VOLT \"1\"") << "E-104";
    QTest::newRow("an overflowing number") << QByteArray("SOUR1:VOLT 1e400") << "E-222";
    QTest::newRow("missing parameter") << QByteArray("SOUR1:VOLT") << "E-109";
    QTest::newRow("one parameter too many") << QByteArray("SOUR1:VOLT 1,2") << "E-108";
    QTest::newRow("parameter to a query") << QByteArray("INIT:STAT? 1") << "E-108";
    QTest::newRow("ON") << QByteArray("OUTP3 ON") << "outp ch3 1";
    QTest::newRow("off in lower case") << QByteArray("OUTP3 off") << "outp ch3 0";
    QTest::newRow("1 and 0") << QByteArray("OUTP3 1;OUTP4 0") << "outp ch4 0";
    QTest::newRow("2 is no boolean") << QByteArray("OUTP3 2") << "E-224";
    QTest::newRow("a boolean with a unit") << QByteArray("OUTP3 1 V") << "E-224";
    QTest::newRow("choice, short form") << QByteArray("SOUR1:SHAP TRI") << "shape 1";
    QTest::newRow("choice, long form") << QByteArray("SOUR1:SHAP sawtooth") << "shape 2";
    QTest::newRow("choice, neither form") << QByteArray("SOUR1:SHAP SAWT") << "E-224";
    QTest::newRow("choice given a number") << QByteArray("SOUR1:SHAP 1") << "E-224";
    QTest::newRow("string") << QByteArray("SYST:MOD \"4B210736\"") << "module 4B210736";
    QTest::newRow("word for a string") << QByteArray("SYST:MOD X") << "E-104";
    QTest::newRow("a syntax error reaches the table as it is") << QByteArray("SOUR1:VOLT 1,") << "E-102";
}

void TestScpi::lookupAndParameters()
{
    QFETCH(QByteArray, line);
    QFETCH(QString, outcome);

    QStringList seen;
    CommandTable table;
    table.define("SOURce#:VOLTage", [&](Call& c) {
        double v = 0;
        if (c.expect(1) && c.number(0, Unit::Volt, &v))
            seen << QStringLiteral("volt ch%1 %2").arg(c.channel()).arg(v);
    });
    table.define("SOURce#:FREQuency", [&](Call& c) {
        double v = 0;
        if (c.expect(1) && c.number(0, Unit::Hertz, &v))
            seen << QStringLiteral("freq %1").arg(v);
    });
    table.define("SOURce#:SHAPe", [&](Call& c) {
        int which = -1;
        if (c.expect(1) && c.choice(0, {"SINusoid", "TRIangle", "SAWtooth"}, &which))
            seen << QStringLiteral("shape %1").arg(which);
    });
    table.define("OUTPut#[:STATe]", [&](Call& c) {
        bool on = false;
        if (c.expect(1) && c.boolean(0, &on))
            seen << QStringLiteral("outp ch%1 %2").arg(c.channel()).arg(on);
    });
    table.define("INITiate[:IMMediate]", [&](Call& c) {
        if (c.expect(0))
            seen << QStringLiteral("init");
    });
    table.define("INITiate:STATe", {}, [&](Call& c) {
        if (c.expect(0)) {
            seen << QStringLiteral("state?");
            c.reply(QStringLiteral("1"));
        }
    });
    table.define("SYSTem:MODule", [&](Call& c) {
        QString crate;
        if (c.expect(1) && c.string(0, &crate))
            seen << QStringLiteral("module %1").arg(crate);
    });
    table.define("*IDN", {}, [&](Call& c) {
        seen << QStringLiteral("idn?");
        c.reply(QStringLiteral("X"));
    });

    QueueOnly session;
    QString result;
    for (const Command& command : parseLine(line)) {
        QString answer;
        bool answered = false;
        const int code = table.execute(command, session, &answer, &answered);
        if (code != 0) {
            result = QStringLiteral("E%1").arg(code);
            break;
        }
        result = seen.isEmpty() ? QString() : seen.last() + (answered ? QStringLiteral(" -> ") + answer : QString());
    }
    QCOMPARE(result, outcome);
}

void TestScpi::errorQueue()
{
    ErrorQueue queue;
    QCOMPARE(queue.next(), QStringLiteral("0,\"No error\""));
    queue.push(SyntaxError);
    queue.push(HardwareMissing);
    QCOMPARE(queue.count(), 2);
    QCOMPARE(queue.next(), QStringLiteral("-102,\"Syntax error\""));
    QCOMPARE(queue.next(), QStringLiteral("-241,\"Hardware missing\""));
    QCOMPARE(queue.next(), QStringLiteral("0,\"No error\""));

    // 40 errors into a queue of 32: the first 31 are kept in order, the last place says -350.
    for (int i = 0; i < 40; ++i)
        queue.push(i % 2 ? DataOutOfRange : UndefinedHeader);
    QCOMPARE(queue.count(), ErrorQueue::capacity);
    QStringList read;
    while (queue.count() > 0)
        read << queue.next();
    QCOMPARE(read.size(), 32);
    QCOMPARE(read.at(0), QStringLiteral("-113,\"Undefined header\""));
    QCOMPARE(read.at(30), QStringLiteral("-113,\"Undefined header\""));
    QCOMPARE(read.at(31), QStringLiteral("-350,\"Queue overflow\""));
    QCOMPARE(read.count(QStringLiteral("-222,\"Data out of range\"")), 15);
}

QTEST_GUILESS_MAIN(TestScpi)
#include "tst_scpi.moc"
