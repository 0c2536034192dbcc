// The program's command set, run line by line through a client's session against a module and a
// window that record what they are asked: how the command table finds a command (long and short
// forms, optional nodes, channel suffixes) and reads its parameters, what each command asks of
// the module and the window, what a client reads back (answers, the error queue with its texts and
// its overflow), and how a line holds the restarts and waits for the module.
#include <QtTest>

#include "fakeremote.h"
#include "remotecommands.h"
#include "remotesession.h"

namespace {

using Result = Module::SettingResult;

QStringList repeated(int count, const QString& text)
{
    return QVector<QString>(count, text).toList();
}

// A module, a window and one client's session, set up by words: "closed", "running", "unsettled",
// "sync" (hold, release and settle go to the log), "result:KEY=NAME", "value:KEY/CH=VALUE",
// "reason:KEY=TEXT" (the program's words for a refusal), "failure:TEXT" (what the module reports
// failed of what remote control asked), "nomodule" (the window has none current), "nocatalog".
struct Rig
{
    FakeRemoteModule module;
    FakeRemoteHost host;
    scpi::CommandTable table;
    RemoteSession session{ table, &module };
    QStringList reported;

    explicit Rig(const QStringList& setup)
    {
        static const QMap<QString, Result> results{
            { "unknown", Result::UnknownKey }, { "out", Result::OutOfRange }, { "illegal", Result::IllegalValue },
            { "conflict", Result::SettingsConflict }, { "nomodule", Result::NoModule }, { "noanswer", Result::NoAnswer } };
        defineRemoteCommands(table, &module, &host);
        session.errorReported = [this](int code, const QByteArray& command) {
            reported << QStringLiteral("%1 %2").arg(code).arg(QString::fromUtf8(command));
        };
        for (const QString& word : setup) {
            const QString key = word.section(':', 1).section('=', 0, 0);
            module.opened = module.opened && word != "closed";
            module.running = module.running || word == "running";
            module.settles = module.settles && word != "unsettled";
            module.logSync = module.logSync || word == "sync";
            if (word.startsWith("result:"))
                module.results[key] = results.value(word.section('=', 1));
            else if (word.startsWith("value:"))
                module.values[key] = word.section('=', 1);
            else if (word.startsWith("reason:"))
                module.reasons[key] = word.section('=', 1);
            else if (word.startsWith("failure:"))
                module.failures << word.section(':', 1);
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
            if (!answer.isEmpty())
                answers << (answer.endsWith('\n') && answer.count('\n') == 1 ? QString::fromUtf8(answer.chopped(1))
                                                                             : QStringLiteral("malformed answer"));
        }
        return answers;
    }
};

} // namespace

class TestRemoteSession : public QObject
{
    Q_OBJECT

private slots:
    void commands_data();
    void commands();
    void errorsAreReportedForTheJournal();
    void statusIsPerClient();
    void arbitraryPoints();
};

void TestRemoteSession::commands_data()
{
    QTest::addColumn<QStringList>("setup");
    QTest::addColumn<QStringList>("lines");
    QTest::addColumn<QStringList>("answers");
    QTest::addColumn<QStringList>("calls");    // what the module was asked, in order, then the window's setups
    QTest::addColumn<QStringList>("errors");   // the queue afterwards, oldest first; a bare code stands for its entry
    const auto row = [](const char* name, const QStringList& setup, const QStringList& lines, const QStringList& answers,
                        const QStringList& calls, const QStringList& errors) {
        QTest::newRow(name) << setup << lines << answers << calls << errors;
    };
    const QString idn = QStringLiteral("ZELMAR,VEK72-1-8,72A10419,1.4.27");
    const QString wait = QStringLiteral("settle %1").arg(RemoteSession::changeSettleMs);
    const QString sync = QStringLiteral("settle %1").arg(RemoteSession::synchroniseMs);

    // Identity and the window.
    row("identity, catalogue, selection", {}, { "*IDN?", "SYST:MOD:CAT?", "SYST:MOD \"4B210736\",7", "SYST:MOD?" },
        { idn, "\"4B210736\",3,\"VEK72-1-8\";\"4B210736\",7,\"VEK72-2-4\"", "\"4B210736\",7" }, {}, {});
    row("no module: the window's commands still answer", { "closed", "nomodule", "nocatalog" },
        { "*idn?", "SYSTEM:MODULE:CATALOG?", "SYST:MOD?;:SYST:ERR?;*OPC?" }, { "ZELMAR,VEK72,?,1.4.27", "\"\"", "\"\",0;0,\"No error\";1" },
        {}, {});
    row("selection refused", {},
        { "SYST:MOD \"unlisted\",3", "SYST:MOD \"busy\",3", "SYST:MOD \"failed\",3", "SYST:MOD \"4B210736\",2.5",
          "SYST:MOD \"4B210736\",17", "SYST:MOD \"4B210736\"", "SYST:MOD X,3", "SYST:MOD?" },
        { "\"4B210736\",3" }, {}, { "-224", "-221", "-241", "-222", "-222", "-109", "-104" });

    // The channels' settings: what the module is asked, what is read back.
    row("switching, in words and numbers", {}, { "OUTP3 ON;OUTP3?", "OUTPUT3:STATE OFF;STAT?", "OUTP3 1;OUTP4 0" }, { "1", "0" },
        { "enabled 3 true", "enabled 3 false", "enabled 3 true", "enabled 4 false" }, {});
    row("values, units and relative paths", {},
        { "SOUR2:FUNC DC;VOLT 1500 MV", "SOUR:VOLT 2 V", "SOUR4:VOLT:OFFS -0.25;:SOUR4:FREQ 2 KHZ;FREQ 50HZ" }, {},
        { "function 2 DC", "voltage 2 1.5", "voltage 1 2", "offset 4 -0.25", "frequency 4 2000", "frequency 4 50" }, {});
    row("read back", { "value:function/1=CUSTOM", "value:function/2=AC", "value:frequency/1=999.996", "value:channelCount/0=4" },
        { "SOUR1:FUNC?;:SOUR2:FUNC?;:SOUR1:FREQ?", "SYST:CHAN:COUN?", "OUTP6?" }, { "CUST;AC;999.996", "4" }, {}, { "-241" });
    row("choices", {}, { "SOUR1:FUNC:SHAP PULS;SHAP?", "SOUR1:VOLT:RANG TENT;RANG?", "SOUR:MODE STR;MODE?", "SOURCE:MODE cyclic" },
        { "PULS", "TENT", "STR" }, { "shape 1 3", "range 1 TENTH", "mode 0 STREAM", "mode 0 CYCLIC" }, {});
    row("rate", {}, { "SOUR:RATE 96000;RATE?", "SOUR:RATE 48 KHZ", "SOUR:RATE 48000.5", "SOUR1:RATE 44100", "SOUR2:RATE 48000" },
        { "96000" }, { "rate 0 96000", "rate 0 48000", "rate 0 48000.5", "rate 0 44100" }, { "-114" });
    row("start, state, stop, reset", { "running" }, { "INIT", "INIT1", "INIT:STAT?", "ABOR", "INIT:STAT?", "*RST" }, { "1", "0" },
        { "output 0 true", "output 0 true", "output 0 false", "reset" }, {});
    row("setups", {},
        { "*SAV 3", "*RCL 3", "MMEM:STOR:STAT \"bench.vek72\"", "MMEMORY:LOAD:STATE \"bench.vek72\"", "*SAV 10", "*RCL 0.5",
          "MMEM:LOAD:STAT \"missing.vek72\"", "MMEM:STOR:STAT \"\"" },
        {}, { "save setup-3", "recall setup-3", "save bench.vek72", "recall bench.vek72", "recall missing.vek72" },
        { "-222", "-222", "-256", "-224" });

    // Refusals: the module's as error codes; after a refused value the line goes on, after a module
    // that did not answer (-200) it ends.
    row("what the module refuses",
        { "result:voltage=out", "result:rate=illegal", "result:function=conflict", "result:enabled=nomodule", "result:offset=noanswer" },
        { "SOUR1:VOLT 99;FREQ 50", "SOUR:RATE 44100", "SOUR1:FUNC CUST", "OUTP8 ON", "SOUR1:VOLT:OFFS 1;:SOUR1:FREQ 60" }, {},
        { "voltage 1 99", "frequency 1 50", "rate 0 44100", "function 1 CUSTOM", "enabled 8 true", "offset 1 1" },
        { "-222", "-224", "-221", "-241", "-200" });
    row("no module open", { "closed" },
        { "SOUR1:VOLT 1", "*RST", "INIT", "ABOR", "INIT:STAT?", "SYST:CHAN:COUN?", "OUTP1?", "*SAV 1", "*RCL 1" }, {}, {}, repeated(9, "-241"));
    row("an error ends its line, answers before it are kept", {},
        { "OUTP1 ON;FOO;OUTP2 ON", "OUTP3 ON;OUTP4 ,;OUTP5 ON", "*OPC?;SOUR1:FUNC BANANA" }, { "1" },
        { "enabled 1 true", "enabled 3 true" }, { "-113", "-102", "-224" });
    row("headers and parameters the table refuses", {},
        { "SOURC1:VOLT 1", "INIT?", "*XYZ", "OUTP9 ON", "OUTP0 ON", "INIT2", "SOUR1:FREQ 5 MV", "SOUR1:VOLT HIGHEST", "SOUR1:VOLT 1e400",
          "OUTP3 1 V" },
        {}, {}, { "-113", "-113", "-113", "-114", "-114", "-114", "-131", "-224", "-222", "-224" });
    row("each error code with its text", { "result:voltage=out", "result:offset=noanswer" },
        { "OUTP1 ON ON ON", "OUTP1", "NOSUCH", "OUTP9 ON", "SOUR1:FREQ 5 MV", "SOUR1:VOLT \"1\"", "OUTP1 ON,OFF", "SOUR1:VOLT 9",
          "OUTP1 MAYBE", "SOUR1:VOLT:OFFS 1", "OUTP2?", "MMEM:LOAD:STAT \"missing\"" },
        {}, { "voltage 1 9", "offset 1 1", "recall missing" },
        { "-102,\"Syntax error\"", "-109,\"Missing parameter\"", "-113,\"Undefined header\"", "-114,\"Header suffix out of range\"",
          "-131,\"Invalid suffix\"", "-104,\"Data type error\"", "-108,\"Parameter not allowed\"", "-222,\"Data out of range\"",
          "-224,\"Illegal parameter value\"", "-200,\"Execution error\"", "-241,\"Hardware missing\"", "-256,\"File name not found\"" });

    // The program's own words after the standard text (quotes doubled): a refused value, and what
    // the module reports failed of a start or stop it was asked for, by kind.
    row("refusals and failures in the program's words",
        { "result:voltage=out", "reason:voltage=канал 1: сигнал идёт от -4 до 14 В, а выход модуля — от -10 до 10 В",
          "failure:Нет включенных каналов для генерации",
          "failure:Не удалось установить настройки ЦАП: Ошибка -116 (Аппаратная ошибка модуля)",
          "failure:Выходы модуля могут оставаться под напряжением: служба крейтов \"127.0.0.1:1\" не отвечает",
          "failure:Выходы модуля могут оставаться под напряжением: генерация не остановлена. Ошибка -116 (Аппаратная ошибка модуля)" },
        { "SOUR1:VOLT 9" }, {}, { "voltage 1 9" },
        { "-221,\"Settings conflict;Нет включенных каналов для генерации\"",
          "-240,\"Hardware error;Не удалось установить настройки ЦАП: Ошибка -116 (Аппаратная ошибка модуля)\"",
          "-200,\"Execution error;Выходы модуля могут оставаться под напряжением: служба крейтов \"\"127.0.0.1:1\"\" не отвечает\"",
          "-240,\"Hardware error;Выходы модуля могут оставаться под напряжением: генерация не остановлена. Ошибка -116 "
          "(Аппаратная ошибка модуля)\"",
          "-222,\"Data out of range;канал 1: сигнал идёт от -4 до 14 В, а выход модуля — от -10 до 10 В\"" });

    // SCPI-99 parsing rules on the program's settings.
    row("SCPI-99 6.2.4: optional nodes [SOURce], :LEVel:IMMediate:AMPLitude, :CW, :OFFSet under :LEVel", {},
        { "VOLT 1;FREQ 50", "SOUR2:VOLT:LEV:IMM:AMPL 2;:SOUR2:FREQ:CW 60;FIX 70", "VOLT:LEV:IMM:OFFS 0.1", "PHAS:ADJ 5" }, {},
        { "voltage 1 1", "frequency 1 50", "voltage 2 2", "frequency 2 60", "frequency 2 70", "offset 1 0.1", "phase 1 5" }, {});
    row("a relative header the path leads nowhere is found under the path's shorter forms", {},
        { "SOUR2:VOLT:RANG FULL;VOLT 1", "VOLT:OFFS 0.5;OUTP3 ON", "SOUR2:VOLT:RANG FULL;NOSUCH 1" }, {},
        { "range 2 FULL", "voltage 2 1", "offset 1 0.5", "enabled 3 true", "range 2 FULL" }, { "-113" });
    row("SCPI-99 7.2.1.2: MINimum, MAXimum, DEFault set the field's bounds",
        { "value:enabled/2=true", "value:minimum:frequency/2=1", "value:maximum:frequency/2=25000", "value:default:frequency/2=1000",
          "value:maximum:voltage/2=7.071" },
        { "SOUR2:FREQ MIN", "SOUR2:FREQ maximum", "SOUR2:FREQ DEF", "SOUR2:VOLT MAX", "SOUR2:VOLT:OFFS MIN" }, {},
        { "frequency 2 1", "frequency 2 25000", "frequency 2 1000", "voltage 2 7.071" }, { "-221" });
    row("SCPI-99 7.2.1.2: MINimum, MAXimum, DEFault as query arguments",
        { "value:enabled/1=true", "value:minimum:frequency/1=1", "value:maximum:frequency/1=25000", "value:frequency/1=440" },
        { "SOUR1:FREQ? MAX;FREQ? MINIMUM;FREQ?", "FREQ? 5", "SOUR:RATE? MIN;RATE? MAX;RATE? DEF", "SOUR:RATE MIN" },
        { "25000;1;440", "48000;192000;192000" }, { "rate 0 48000" }, { "-224" });
    row("SCPI-99 7.2: unit multipliers (MA mega, M milli, MHZ megahertz) and angles", {},
        { "VOLT 500 UV", "VOLT 0.002 KV", "VOLT 1e-6 MAV", "FREQ 0.001 MHZ", "FREQ 0.002 MAHZ", "FREQ 3 GHZ", "PHAS 90 DEG", "PHAS 1 RAD",
          "PHAS 1 V", "VOLT 1 MHZ" }, {},
        { "voltage 1 0.0005", "voltage 1 2", "voltage 1 1", "frequency 1 1000", "frequency 1 2000", "frequency 1 3e+09",
          "phase 1 90", "phase 1 57.29577951308232" }, { "-131", "-131" });
    row("SCPI-99 7.3: numeric booleans are rounded", {}, { "OUTP2 100", "OUTP2 0.4", "OUTP2 -0.6", "OUTP2 0.5", "OUTP2 ONN" }, {},
        { "enabled 2 true", "enabled 2 false", "enabled 2 true", "enabled 2 true" }, { "-224" });
    row("IEEE 488.2 7.7.4: non-decimal numbers as values", {}, { "FREQ #H3E8", "*ESE #B100100;*ESE?", "*SRE #Q20;*SRE?" },
        { "36", "16" }, { "frequency 1 1000" }, {});
    row("IEEE 488.2 7.4.1: an empty message unit", {}, { ";*OPC?", "*OPC?;;*OPC?" }, { "1", "1;1" }, {}, {});

    // A bench generator's words: the module's values the session sets for them, what it reads back.
    const QStringList dcChannel{ "value:function/1=DC", "value:voltage/1=0", "value:offset/1=0", "value:enabled/1=false",
                                 "value:range/1=FULL" };
    const QStringList squareChannel{ "value:function/1=CUSTOM", "value:shape/1=3", "value:voltage/1=2", "value:offset/1=-1",
                                     "value:enabled/1=true", "value:range/1=FULL" };
    row("generator: a square from -0.5 to 1.5 V is a custom pulse of 2 V from -0.5 V, played", dcChannel,
        { "FUNC SQU; FREQ 1000; VOLT 2 VPP; VOLT:OFFS 0.5; OUTP ON", "FUNC?;VOLT?;VOLT:OFFS?;HIGH?;LOW?;:OUTP?" },
        { "SQU;2;0.5;1.5;-0.5;1" },
        { "function 1 CUSTOM", "shape 1 3", "voltage 1 0", "offset 1 0", "frequency 1 1000", "voltage 1 2", "offset 1 -1",
          "voltage 1 2", "offset 1 -0.5", "enabled 1 true", "output 0 true" }, {});
    row("generator: a sine's amplitude in VRMS and VPP is an AC channel's RMS around its offset",
        { "value:function/1=AC", "value:voltage/1=0.5", "value:offset/1=0.25" },
        { "FUNC SIN;VOLT:UNIT VRMS;VOLT 1", "VOLT?;VOLT:UNIT?;UNIT VPP;:VOLT?;VOLT:OFFS?", "VOLT 1 VRMS" },
        { "1;VRMS;2.82842712475;0.25" },
        { "function 1 AC", "voltage 1 0.5", "offset 1 0.25", "voltage 1 1", "offset 1 0.25", "voltage 1 1", "offset 1 0.25" }, {});
    row("generator: ramp symmetry 50 is the triangle, 100 the saw; others refused", squareChannel,
        { "FUNC:RAMP:SYMM 50;:FUNC RAMP", "FUNC:RAMP:SYMM 100", "FUNC:RAMP:SYMM 30", "FUNC?;FUNC:RAMP:SYMM?" }, { "RAMP;100" },
        { "shape 1 1", "voltage 1 2", "offset 1 -1", "shape 1 2" }, { "-221" });
    row("generator: the square's duty cycle is 50 %", squareChannel,
        { "FUNC:SQU:DCYC 50", "FUNC:SQU:DCYC MIN", "FUNC:SQU:DCYC 20", "FUNC:SQU:DCYC?" }, { "50" }, {}, { "-221" });
    row("generator: VOLTage:HIGH and :LOW keep the other level", squareChannel,
        { "VOLT:HIGH 3", "VOLT:LOW 0", "VOLT:LOW 5", "VOLT:HIGH?;LOW?" }, { "3;0" },
        { "voltage 1 4", "offset 1 -1", "voltage 1 3", "offset 1 0" }, { "-222" });
    row("generator: a refused offset puts the amplitude back", squareChannel + QStringList{ "result:offset=out" },
        { "FUNC SQU;VOLT 4" }, {},
        { "shape 1 3", "voltage 1 2", "offset 1 -1", "voltage 1 2", "voltage 1 4", "offset 1 -2", "voltage 1 2" }, { "-222", "-222" });
    row("generator: APPLy sets wave, frequency, amplitude, centre and plays", squareChannel,
        { "APPL:SQU 500,4,0.5", "APPL?" }, { "\"SQU 500,4,0.5\"" },
        { "shape 1 3", "voltage 1 2", "offset 1 -1", "frequency 1 500", "voltage 1 4", "offset 1 -2", "voltage 1 4",
          "offset 1 -1.5", "output 0 true" }, {});
    row("generator: DC is a level set by the offset; an amplitude for it is refused", dcChannel,
        { "FUNC DC", "VOLT:UNIT VPP;:VOLT:OFFS 1.5", "VOLT 1", "FUNC?;VOLT:OFFS?;HIGH?" }, { "DC;1.5;1.5" },
        { "function 1 DC", "voltage 1 1.5" }, { "-221" });
    row("generator: the program's own words again after AC", squareChannel,
        { "FUNC SQU", "FUNC AC;VOLT 1", "FUNC?" }, { "AC" },
        { "shape 1 3", "voltage 1 2", "offset 1 -1", "function 1 AC", "voltage 1 1" }, {});
    row("generator: what the module cannot play is refused, switching it off is taken", squareChannel,
        { "FUNC NOIS", "APPL:NOIS", "FUNC ARB", "AM:STAT ON", "AM:STAT OFF;:BURS:STAT?;:SWE:STAT 0", "VOLT:UNIT DBM",
          "FUNC BANANA", "SOUR1:NOISE:GEN 1" },
        { "0" }, {}, { "-221", "-221", "-221", "-221", "-221", "-224", "-113" });

    row("SCPI-99 16.3: MMEMory:CATalog? lists the setups folder with bytes used and free", {}, { "MMEM:CAT?", "MMEM:CAT:ALL?" },
        { "3584,1000000,\"bench.vek72,STAT,2048\",\"setup-1.vek72,STAT,1536\"",
          "3584,1000000,\"bench.vek72,STAT,2048\",\"setup-1.vek72,STAT,1536\"" }, {}, {});

    // The queue: counted, cleared, and full at 32 with -350 last.
    row("count and clear", {}, { "FOO", "BAR", "SYST:ERR:COUN?", "*CLS", "SYST:ERR:COUN?;:SYST:ERR?" }, { "2", "0;0,\"No error\"" }, {}, {});
    row("overflow", {}, repeated(40, "FOO") << "SYST:ERR:COUN?", { "32" }, {}, repeated(31, "-113") << "-350,\"Queue overflow\"");

    // Status reporting, per client.
    row("IEEE 488.2 12.5.3: *OPC sets operation complete once the change has been done; *ESR? reads and clears",
        { "sync", "running" }, { "SOUR1:FREQ 100;*OPC;*ESR?", "*ESR?" }, { "1", "0" },
        { "hold", "frequency 1 100", wait, "release", sync, "hold", "release", "hold", "release" }, {});
    row("IEEE 488.2 12.5.3: *OPC not done in time sets no operation complete", { "unsettled" }, { "*OPC", "*ESR?" }, { "16" },
        {}, { "-200" });
    row("IEEE 488.2 11.5.1.1: command, execution and device errors set their event bits", { "result:voltage=out" },
        { "NO:SUCH", "*ESR?", "SOUR1:VOLT 1", "*ESR?", "FOO", "*ESR?" }, { "32", "16", "32" }, { "voltage 1 1" }, { "-113", "-222", "-113" });
    row("IEEE 488.2 11.2: status byte with error available, event summary by *ESE, master summary by *SRE", {},
        { "*ESE 32;*SRE 32", "BAD:CMD", "*STB?", "*ESE?;*SRE?", "*ESR?;*STB?" }, { "100", "32;32", "32;4" }, {}, { "-113" });
    row("IEEE 488.2 11.3.2: *SRE cannot enable bit 6; enables are whole numbers 0..255", {},
        { "*SRE 255;*SRE?", "*ESE 3.6;*ESE?", "*ESE 256", "*ESE -1", "*ESE?", "*SRE ON" }, { "191", "4", "4" }, {},
        { "-222", "-222", "-224" });
    row("IEEE 488.2 10.3: *CLS clears the events and the queue, not the enables", {},
        { "*ESE 36;*SRE 4", "BAD", "*CLS", "*ESR?;*STB?;*ESE?;*SRE?;:SYST:ERR:COUN?" }, { "0;0;36;4;0" }, {}, {});
    row("IEEE 488.2 10.32: *RST leaves the status enables as they are", {}, { "*ESE 4;*SRE 16;*RST;*ESE?;*SRE?" }, { "4;16" },
        { "reset" }, {});
    row("IEEE 488.2 10.38: *TST? answers 0 while the module answers", { "value:channelCount/0=8" }, { "*TST?" }, { "0" }, {}, {});
    row("IEEE 488.2 10.38: *TST? answers 1 without a module", { "closed" }, { "*TST?" }, { "1" }, {}, {});
    row("SCPI-99 21.21: SYSTem:VERSion? is 1999.0", {}, { "SYST:VERS?", "SYSTEM:VERSION?" }, { "1999.0", "1999.0" }, {}, {});
    row("SCPI-99 20.1: OPERation condition, event latched and cleared when read, enabled into status byte bit 7", { "running" },
        { "STAT:OPER:COND?", "STAT:OPER:ENAB 256;ENAB?", "*STB?", "STAT:OPER?", "STAT:OPER:EVEN?;*STB?", "ABOR;:STAT:OPER:COND?" },
        { "256", "256", "128", "256", "0;0", "0" }, { "output 0 false" }, {});
    row("SCPI-99 20.1: QUEStionable condition without a module, enabled into status byte bit 3", { "closed" },
        { "STAT:QUES:COND?", "STAT:QUES:ENAB 512", "*STB?", "STATUS:QUESTIONABLE:EVENT?", "*STB?" }, { "512", "8", "512", "0" }, {}, {});
    row("SCPI-99 20.7: STATus:PRESet sets the enables to 0", {},
        { "STAT:OPER:ENAB 5;:STAT:QUES:ENAB 7;:STAT:PRES;:STAT:OPER:ENAB?;:STAT:QUES:ENAB?", "STAT:OPER:ENAB 32768" }, { "0;0" },
        {}, { "-222" });
    row("SCPI-99 21.8.6: SYSTem:ERRor:ALL? empties the queue", {}, { "BAD", "SOUR1:VOLT", "SYST:ERR:ALL?", "SYST:ERR:ALL?" },
        { "-113,\"Undefined header\",-109,\"Missing parameter\"", "0,\"No error\"" }, {}, {});

    // Restarts are held for the whole line; each command after a change waits for the module first.
    row("a query line waits for nothing", { "sync", "value:voltage/1=0" }, { "*IDN?;SOUR1:VOLT?" }, { idn + ";0" },
        { "hold", "release" }, {});
    row("changes of one line", { "sync" }, { "SOUR1:FUNC DC;VOLT 2;:OUTP2 OFF" }, {},
        { "hold", "function 1 DC", wait, "voltage 1 2", wait, "enabled 2 false", "release" }, {});
    row("a query after a change waits", { "sync" }, { "OUTP1 ON", "OUTP1?" }, { "1" },
        { "hold", "enabled 1 true", "release", "hold", wait, "release" }, {});
    // *OPC? and *WAI let the held restart go, wait for it and hold again for the rest of the line.
    row("*OPC? after a change", { "sync" }, { "SOUR1:FREQ 1000;*OPC?;VOLT 1" }, { "1" },
        { "hold", "frequency 1 1000", wait, "release", sync, "hold", "voltage 1 1", "release" }, {});
    row("*WAI", { "sync" }, { "INIT;*WAI;INIT:STAT?" }, { "0" }, { "hold", "output 0 true", wait, "release", sync, "hold", "release" }, {});
    // A module that does not settle in time: the command that waited fails, the line ends.
    row("not settled in time", { "sync", "unsettled" }, { "SOUR1:VOLT 1;FREQ 2", "SYST:ERR?" }, { "-200,\"Execution error\"" },
        { "hold", "voltage 1 1", wait, "release", "hold", "release" }, {});
    row("*OPC? not settled in time", { "sync", "unsettled" }, { "*OPC?", "SYST:ERR?" }, { "-200,\"Execution error\"" },
        { "hold", "release", sync, "hold", "release", "hold", "release" }, {});
}

void TestRemoteSession::commands()
{
    QFETCH(QStringList, setup);
    QFETCH(QStringList, lines);
    QFETCH(QStringList, answers);
    QFETCH(QStringList, calls);
    QFETCH(QStringList, errors);
    Rig rig(setup);
    const QStringList answered = rig.run(lines);
    QCOMPARE(rig.module.log() + rig.host.setups, calls);
    QCOMPARE(answered, answers);
    QStringList left;
    for (int i = 0; rig.session.errors().count() > 0; ++i) {
        const QString entry = rig.session.errors().next();
        left << (errors.value(i).contains(',') ? entry : entry.section(',', 0, 0));
    }
    QVERIFY2(left == errors, qPrintable(left.join(" | ")));
}

void TestRemoteSession::errorsAreReportedForTheJournal()
{
    Rig rig({ "result:voltage=out" });
    rig.run({ "OUTP1 ON;  sour1:volt 42 ;*RST", "OUTP12 ON" });
    QCOMPARE(rig.reported, (QStringList{ "-222 sour1:volt 42", "-114 OUTP12 ON" }));
}

void TestRemoteSession::statusIsPerClient()
{
    // IEEE 488.2 11.5.1: each client's session has its own event register and queue.
    Rig rig({});
    RemoteSession other(rig.table, &rig.module);
    rig.run({ "NO:SUCH", "*ESE 255" });
    QCOMPARE(other.execute("*ESR?;*ESE?;*STB?;:SYST:ERR:COUN?"), QByteArray("0;0;0;0\n"));
    QCOMPARE(rig.session.execute("*ESR?;:SYST:ERR:COUN?"), QByteArray("32;1\n"));
}

void TestRemoteSession::arbitraryPoints()
{
    Rig rig({ "value:function/1=CUSTOM", "value:shape/1=0", "value:voltage/1=1", "value:offset/1=0", "value:enabled/1=true" });
    const QByteArray floats("\x3f\x00\x00\x00\xbf\x80\x00\x00\x3f\x80\x00\x00", 12);   // 0.5, -1, 1 big-endian
    const QByteArray swappedFloats("\x00\x00\x00\x3f\x00\x00\x80\xbf", 8);                    // 0.5, -1 little-endian
    const QByteArray dac("\x7f\xff\x80\x00\x00\x00", 6);                                         // 32767, -32768, 0
    const QList<QPair<QByteArray, QByteArray>> cases{
        // IEEE 488.2 7.7.6 definite-length blocks of 32-bit floats, big-endian unless FORMat:BORDer SWAPped.
        { "DATA:ARB BLOCK,#212" + floats + ";:DATA:ATTR:POIN? BLOCK", "3" },
        { "FORM:BORD SWAP;:DATA:ARB LITTLE,#18" + swappedFloats + ";:DATA:ATTR:POIN? little;:FORM:BORD?", "2;SWAP" },
        { "FORM:BORD NORM;:DATA:ARB:DAC STEPS,#16" + dac + ";:DATA:ATTR:POIN? STEPS", "3" },
        { "DATA:ARB CSV,0,0.5,1,0.5,0,-0.5,-1,-0.5;:DATA:ATTR:POIN? CSV", "8" },
        // Refused: a length not a multiple of the point's bytes, beyond the block, a point beyond
        // -1..1, one point, no such name.
        { "DATA:ARB BAD,#15" + floats.left(5) + ";:SYST:ERR?", "" },
        { "SYST:ERR?", "-161,\"Invalid block data;длина блока не кратна 4 байтам\"" },
        { "DATA:ARB BAD,#9000000013" + floats, "" },
        { "SYST:ERR?", "-161,\"Invalid block data\"" },
        { "DATA:ARB BAD,0,1.5;:SYST:ERR?", "-222,\"Data out of range;точка 2 вне -1..1\"" },
        { "DATA:ARB:DAC BAD,40000,0;:SYST:ERR?", "-222,\"Data out of range;точка 1 вне -32768..32767\"" },
        { "DATA:ARB BAD,0.5;:SYST:ERR?", "-224,\"Illegal parameter value;нужно не меньше двух точек\"" },
        { "FUNC:ARB NONE;:SYST:ERR?", "-224,\"Illegal parameter value;нет набора точек \"\"NONE\"\"\"" },
        // Chosen for the channel, then played: the custom signal takes the points.
        { "FUNC:ARB csv;:FUNC:ARB?;:FUNC ARB;:FUNC?;:SYST:ERR?", "\"CSV\";ARB;0,\"No error\"" },
    };
    for (const auto& one : cases)
        QCOMPARE(rig.session.execute(one.first), one.second.isEmpty() ? QByteArray() : one.second + '\n');
    const QStringList log = rig.module.log();
    QCOMPARE(log.filter(QStringLiteral("waveform")), QStringList{ "waveform 1 " });
}

QTEST_GUILESS_MAIN(TestRemoteSession)
#include "tst_remote_session.moc"
