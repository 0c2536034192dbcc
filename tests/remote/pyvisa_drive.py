"""Drives the program over remote control with pyvisa, as a bench script does.

    pyvisa_drive.py PORT setup    three channels set and started; prints what was read back (JSON)
    pyvisa_drive.py PORT errors   each error code provoked once; prints the codes read (JSON)
    pyvisa_drive.py PORT generator  two channels set in a bench generator's words, as a generic
                                    driver sends them, with the status model; prints what was read (JSON)
    pyvisa_drive.py PORT arbitrary  a sine's points sent as a binary block to channel 3 and played

Exit status 0 when the session ran to its end; what it read is judged by the test that runs it.
"""
import json
import math
import sys

import pyvisa


def connect(port):
    rm = pyvisa.ResourceManager("@py")
    # The program's own texts in the error queue are UTF-8.
    return rm.open_resource(f"TCPIP::127.0.0.1::{port}::SOCKET", read_termination="\n",
                            write_termination="\n", timeout=30000, encoding="utf-8")


def setup(vek):
    out = {"idn": vek.query("*IDN?"), "channels": vek.query("SYST:CHAN:COUN?"),
           "catalog": vek.query("SYST:MOD:CAT?"), "module": vek.query("SYST:MOD?")}
    vek.write("OUTP1 ON;OUTP2 ON;OUTP3 ON;OUTP4 OFF;OUTP5 OFF;OUTP6 OFF;OUTP7 OFF;OUTP8 OFF")
    vek.write("SOUR1:FUNC AC;VOLT:RANG FULL;:SOUR1:VOLT 2;FREQ 1000")
    vek.write("SOURCE2:FUNCTION AC;VOLTAGE:RANGE FULL\r")
    vek.write("sour2:volt 1000 mV;freq 0.5 kHz;volt:offs 0.5")
    vek.write("SOUR3:FUNC DC;VOLT:RANG FULL;:SOUR3:VOLT 3")
    vek.write("SOUR:MODE CYCL;RATE 96000")
    vek.write("INIT")
    out["opc"] = vek.query("*OPC?")
    out["running"] = vek.query("INIT:STAT?")
    out["read"] = vek.query("SOUR1:FREQ?;:SOUR2:FREQ?;:SOUR1:VOLT?;:SOUR2:VOLT:OFFS?;:SOUR3:FUNC?;:SOUR3:VOLT?;"
                            ":SOUR1:VOLT:RANG?;:SOUR:RATE?;MODE?;:OUTP4?")
    out["errors"] = vek.query("SYST:ERR:COUN?")
    return out


def errors(vek):
    read = {}

    def provoke(name, command):
        before = vek.query("SOUR1:VOLT?;FREQ?")
        vek.write(command)
        read[name] = {"error": vek.query("SYST:ERR?"), "changed": vek.query("SOUR1:VOLT?;FREQ?") != before}

    provoke("-102", "SOUR1:VOLT 1,,2")
    provoke("-109", "SOUR1:VOLT")
    provoke("-113", "SOUR1:VOLTS 1")
    provoke("-114", "OUTP9 ON")
    provoke("-221", "SOUR1:FUNC CUST")
    provoke("-222", "SOUR1:VOLT 7.5")
    provoke("-224", "SOUR:RATE 44100")
    for _ in range(40):
        vek.write("NO:SUCH:COMMAND")
    read["-350"] = {"count": vek.query("SYST:ERR:COUN?"), "last": [vek.query("SYST:ERR?") for _ in range(32)][-1]}
    # A channel the module has not: the four-channel module of slot 7.
    vek.write('SYST:MOD "4B210736",7')
    read["selected"] = vek.query("SYST:MOD?;:SYST:CHAN:COUN?")
    vek.write("OUTP5 ON")
    read["-241"] = {"error": vek.query("SYST:ERR?")}
    read["left"] = vek.query("SYST:ERR?")
    return read


def generator(vek):
    out = {}
    vek.write("*RST;*CLS;*ESE 1")
    vek.write("FUNC SQU; FREQ 1000; VOLT 2 VPP; VOLT:OFFS 0.5; OUTP ON")
    vek.write("SOUR2:APPL:SIN 2000,1 VRMS,0")
    # A generic driver waits for the operation complete bit.
    vek.write("*OPC")
    out["esr"] = vek.query("*ESR?")
    out["read"] = vek.query("FUNC?;FREQ?;VOLT?;VOLT:OFFS?;HIGH?;LOW?;:OUTP?;:SOUR2:FUNC?;FREQ?;VOLT:UNIT?")
    out["apply"] = vek.query("SOUR2:APPL?")
    out["status"] = vek.query("STAT:OPER:COND?;:SYST:VERS?;*STB?")
    out["refused"] = [vek.query("FUNC NOIS;:SYST:ERR?"), vek.query("FUNC:SQU:DCYC 25;:SYST:ERR?")]
    out["errors"] = vek.query("SYST:ERR:ALL?")
    return out


def arbitrary(vek):
    # One period of 64 points of a sine as a block of big-endian 32-bit floats, played at 500 Hz.
    points = [math.sin(2 * math.pi * k / 64) for k in range(64)]
    vek.write_binary_values("SOUR3:DATA:ARB SINE64,", points, datatype="f", is_big_endian=True)
    vek.write("SOUR3:FUNC:ARB SINE64;:SOUR3:FUNC ARB;:SOUR3:VOLT 2 VPP;VOLT:OFFS 0;:SOUR3:FUNC:ARB:FREQ 500;:OUTP3 ON")
    return {"opc": vek.query("*OPC?"), "read": vek.query("SOUR3:FUNC?;FUNC:ARB?;ARB:SRAT?;:DATA:ATTR:POIN? SINE64"),
            "errors": vek.query("SYST:ERR:ALL?")}


def main():
    port, phase = sys.argv[1], sys.argv[2]
    vek = connect(port)
    phases = {"setup": setup, "generator": generator, "arbitrary": arbitrary, "errors": errors}
    result = phases[phase](vek)
    vek.close()
    print(json.dumps(result))


if __name__ == "__main__":
    main()
