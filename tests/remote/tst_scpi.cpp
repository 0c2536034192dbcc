// The command lines of remote control as plain code: how a line splits into commands (relative
// paths, suffixes, parameters, what is a syntax error). How the command table finds a command and
// reads its parameters, and the error queue, are held by tst_remote_session with the program's own
// command set.
#include <QtTest>

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
            case Parameter::ChannelList: text += QStringLiteral(" L(%1)").arg(p.text); break;
            case Parameter::Block: text += QStringLiteral(" B%1<%2>").arg(p.data.size()).arg(QString::fromLatin1(p.data.left(12))); break;
            }
        }
        parts << text;
    }
    return parts.join(QStringLiteral(" | "));
}

} // namespace

class TestScpi : public QObject
{
    Q_OBJECT

private slots:
    void parsing_data();
    void parsing();
    void blockAcrossLineEnds();
};

void TestScpi::parsing_data()
{
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<QString>("parsed");

    QTest::newRow("empty") << QByteArray() << QString();
    QTest::newRow("blanks and CR only") << QByteArray(" \t\r") << QString();
    QTest::newRow("relative path after ;") << QByteArray("SOUR1:FUNC AC;VOLT 1.2") << "SOUR[1]:FUNC CAC | SOUR[1]:VOLT N1.2";
    QTest::newRow("rooted path after ;") << QByteArray("SOUR1:FUNC AC;:SOUR2:VOLT 1") << "SOUR[1]:FUNC CAC | SOUR[2]:VOLT N1";
    QTest::newRow("common command keeps the path") << QByteArray("SOUR3:VOLT 1;*OPC?;FREQ 50")
                                                    << "SOUR[3]:VOLT N1 | *OPC? | SOUR[3]:FREQ N50";
    QTest::newRow("path of a deeper command") << QByteArray("SOUR1:VOLT:OFFS 1;RANG FULL")
                                               << "SOUR[1]:VOLT:OFFS N1 | SOUR[1]:VOLT:RANG CFULL";
    QTest::newRow("leading colon at the start") << QByteArray(":outp2:stat on") << "outp[2]:stat Con";
    QTest::newRow("units with and without a blank") << QByteArray("VOLT 1500 mV;VOLT 2V;FREQ 1.5KHZ")
                                                     << "VOLT N1500MV | VOLT N2V | FREQ N1.5KHZ";
    QTest::newRow("signs, exponents, leading point") << QByteArray("A -2.5e-3, +.5 ,1E3") << "A N-0.0025 N0.5 N1000";
    QTest::newRow("strings with doubled quotes") << QByteArray("SYST:MOD \"4B\"\"21\",3;X 'it''s'")
                                                  << "SYST:MOD S<4B\"21> N3 | SYST:X S<it's>";
    QTest::newRow("a ; at the end") << QByteArray("*CLS;") << "*CLS";
    QTest::newRow("blanks around everything") << QByteArray("  OUTP1   ON ;  OUTP2 OFF  ") << "OUTP[1] CON | OUTP[2] COFF";
    QTest::newRow("huge suffix stays out of range") << QByteArray("OUTP99999999999999999 ON") << "OUTP[2147483647] CON";
    QTest::newRow("overflowing number") << QByteArray("VOLT 1e999") << "VOLT Ninf";
    QTest::newRow("IEEE 488.2 7.4.1: empty message units") << QByteArray(";*IDN?;;  ;*RST;") << "*IDN? | *RST";
    QTest::newRow("IEEE 488.2 7.4.1: empty units keep the path") << QByteArray("SOUR2:VOLT 1;;FREQ 5") << "SOUR[2]:VOLT N1 | SOUR[2]:FREQ N5";
    QTest::newRow("IEEE 488.2 7.4.1: only empty units") << QByteArray(" ; ;") << "";
    QTest::newRow("IEEE 488.2 7.7.2.2: blanks around the exponent") << QByteArray("VOLT 1 E 3;VOLT 1E3;VOLT 1 e -3 V;VOLT 2E+1MV")
                                                                     << "VOLT N1000 | VOLT N1000 | VOLT N0.001V | VOLT N20MV";
    QTest::newRow("IEEE 488.2 7.7.4: non-decimal numbers") << QByteArray("A #H5DC,#hff,#Q17,#b1010, #H1F ") << "A N1500 N255 N15 N10 N31";
    QTest::newRow("IEEE 488.2 7.7.6: block lengths of 1 to 9 digits")
        << QByteArray("A #15hello;B #210abcdefghij;C #3003x;y;D #40002##;E #500001\n;F #6000000;G #7000000"
                      "3abc;H #800000001Z;I #9000000004a,bc,2")
        << "A B5<hello> | B B10<abcdefghij> | C B3<x;y> | D B2<##> | E B1<\n> | F B0<> | G B3<abc> | H B1<Z> | I B4<a,bc> N2";
    QTest::newRow("IEEE 488.2 7.7.6: a block ending in a carriage return") << QByteArray("A #12a\r") << "A B2<a\r>";
    QTest::newRow("channel lists") << QByteArray("ROUT:CLOS (@101);CLOS? ( @101:103, 105 ),2")
                                   << "ROUT:CLOS L(@101) | ROUT:CLOS? L(@101:103,105) N2";

    // Syntax errors: the command is the last one, quoted up to the next ';'.
    QTest::newRow("colon at the end") << QByteArray("SOUR1:") << "E-102 SOUR1:";
    QTest::newRow("double colon") << QByteArray("SOUR1::VOLT 1;*RST") << "E-102 SOUR1::VOLT 1";
    QTest::newRow("header glued to a value") << QByteArray("VOLT1.5") << "E-102 VOLT1.5";
    QTest::newRow("string not closed") << QByteArray("SYST:MOD \"4B21") << "E-102 SYST:MOD \"4B21";
    QTest::newRow("IEEE 488.2 7.7.6: block length of 1 digit, wrong length") << QByteArray("X #13ab") << "E-161 X #13ab";
    QTest::newRow("IEEE 488.2 7.7.6: the indefinite block form is not taken") << QByteArray("X #0abc") << "E-161 X #0abc";
    QTest::newRow("IEEE 488.2 7.7.6: block length digits missing") << QByteArray("X #3") << "E-161 X #3";
    QTest::newRow("exponent without digits after blanks") << QByteArray("VOLT 1 E") << "VOLT N1E";
    QTest::newRow("IEEE 488.2 7.7.4: a non-decimal number without digits") << QByteArray("A #H") << "E-102 A #H";
    QTest::newRow("IEEE 488.2 7.7.4: a digit beyond the base") << QByteArray("A #B102") << "E-102 A #B102";
    QTest::newRow("IEEE 488.2 7.7.4: a letter beyond hexadecimal") << QByteArray("A #H1G") << "E-102 A #H1G";
    QTest::newRow("IEEE 488.2 7.7.4: an unknown base") << QByteArray("A #X1") << "E-102 A #X1";
    QTest::newRow("exponent without digits") << QByteArray("VOLT 1E") << "E-102 VOLT 1E";
    QTest::newRow("a unit glued to digits") << QByteArray("VOLT 1 MV2") << "E-102 VOLT 1 MV2";
    QTest::newRow("parameter missing after a comma") << QByteArray("A 1,") << "E-102 A 1,";
    QTest::newRow("two values without a comma") << QByteArray("A 1 2") << "E-102 A 1 2";
    QTest::newRow("bytes beyond ASCII in a header") << QByteArray("SOUR\xd0\x98:VOLT 1") << "E-102 SOUR\u0418:VOLT 1";
    QTest::newRow("a stray character after the header") << QByteArray("*IDN?x;*RST") << "E-102 *IDN?x";
    QTest::newRow("channel list not closed") << QByteArray("ROUT:CLOS (@101;*RST;X (1)") << "E-102 ROUT:CLOS (@101";
    QTest::newRow("parsing stops at the first error") << QByteArray("OUTP1 ON;OUTP2 @;OUTP3 ON") << "OUTP[1] CON | E-102 OUTP2 @";
}

void TestScpi::parsing()
{
    QFETCH(QByteArray, line);
    QFETCH(QString, parsed);
    QCOMPARE(render(parseLine(line)), parsed);
}

void TestScpi::blockAcrossLineEnds()
{
    // IEEE 488.2 7.7.6: how many bytes a line still needs for its last block.
    const QList<QPair<QByteArray, qint64>> cases{
        { "A #15ab", 3 }, { "A #15abcde", 0 }, { "A #15abcdef", 0 }, { "A #3100", 100 }, { "A #3", 0 },
        { "A \"#15\",1", 0 }, { "A '#19'", 0 }, { "A #0abc", 0 }, { "A #12ab;B #14x", 3 }, { "A #12#1;B 1", 0 },
        { "A #9000000010", 10 }, { "*IDN?", 0 } };
    for (const auto& one : cases)
        QCOMPARE(QString::fromLatin1(one.first) + " " + QString::number(blockBytesMissing(one.first)),
                 QString::fromLatin1(one.first) + " " + QString::number(one.second));
}

QTEST_GUILESS_MAIN(TestScpi)
#include "tst_scpi.moc"
