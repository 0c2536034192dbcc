#!/usr/bin/env python3
"""Writes the hand-made seed inputs of the fuzzers into corpus/server, corpus/client and corpus/scpi.

A server input is a piece-size byte followed by a client's request frames; a client input is a call
selector, a mode byte (bit 0: the harness puts a correct answer header in front) and the answer.
A scpi input is a client's command lines for remote control. Run once after changing the protocol
or the commands; the fuzzers add what they find to the same folders.
"""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))
MAGIC = 0x504B4556
REPLY = 0x8000


def frame(opcode, payload=b"", request_id=1, length=None, magic=MAGIC, flags=0):
    n = len(payload) if length is None else length
    return struct.pack("<IHHII", magic, opcode, flags, request_id, n) + payload


def text(s):
    b = s.encode()
    return struct.pack("<I", len(b)) + b


def config(channels, mode, rate, tenth=()):
    body = b""
    for ch in range(8):
        body += bytes([1 if ch in channels else 0, 1 if ch in tenth else 0, 0, 0])
    return body + bytes([mode, 1]) + struct.pack("<I", rate)


def words(n, channel=0):
    return b"".join(struct.pack("<I", (0xA5 << 24) | (channel << 16) | (i * 997 % 65536)) for i in range(n))


def send(n, timeout=0):
    return struct.pack("<II", timeout, n) + words(n)


CRATE = "4B210736"
SERVER = {
    "ping": frame(0x23),
    "service_crates": frame(0x01) + frame(0x02, request_id=2),
    "crate_modules": frame(0x03, struct.pack("<I", 0) + text(CRATE)) + frame(0x04, request_id=2),
    "crate_unknown": frame(0x03, struct.pack("<I", 0) + text("nope")),
    "cyclic_session": frame(0x10, text(CRATE) + struct.pack("<H", 3))
    + frame(0x11, config({0, 2}, 0, 48000), 2)
    + frame(0x12, send(64), 3)
    + frame(0x14, struct.pack("<II", 0, 100), 4)
    + frame(0x20, request_id=5)
    + frame(0x21, text(CRATE) + struct.pack("<HI", 3, 16), 6)
    + frame(0x15, struct.pack("<I", 0), 7)
    + frame(0x16, request_id=8),
    "streaming_session": frame(0x10, text(CRATE) + struct.pack("<H", 7))
    + frame(0x11, config({0, 1, 2}, 1, 96000, tenth={1}), 2)
    + frame(0x12, send(30), 3)
    + frame(0x13, struct.pack("<I", 0), 4)
    + frame(0x12, send(9, 5), 5)
    + frame(0x15, struct.pack("<I", 0), 6),
    "streaming_cut": frame(0x10, text(CRATE) + struct.pack("<H", 3))
    + frame(0x11, config({0, 1}, 1, 48000), 2)
    + frame(0x12, send(40), 3)
    + frame(0x17, struct.pack("<I", 8), 4)
    + frame(0x13, struct.pack("<I", 0), 5)
    + frame(0x17, struct.pack("<I", 21), 6)
    + frame(0x17, struct.pack("<I", 0xFFFFFFFF), 7)
    + frame(0x15, struct.pack("<I", 0), 8)
    + frame(0x17, struct.pack("<I", 0), 9),
    "cyclic_switch_at_pass_end": frame(0x10, text(CRATE) + struct.pack("<H", 3))
    + frame(0x11, config({0}, 0, 192000), 2)
    + frame(0x12, send(4000), 3)
    + frame(0x14, struct.pack("<II", 1, 100), 4)
    + frame(0x12, send(30), 5)
    + frame(0x14, struct.pack("<II", 1, 100), 6)
    + frame(0x14, struct.pack("<II", 1, 100), 7)
    + frame(0x14, struct.pack("<II", 2, 100), 8)
    + frame(0x20, request_id=9)
    + frame(0x15, struct.pack("<I", 0), 10),
    "zeroing_configuration": frame(0x10, text(CRATE) + struct.pack("<H", 3)) + frame(0x11, config(set(), 0, 48000), 2)
    + frame(0x18, request_id=3),
    "faults": frame(0x22, text('{"action":"fail","crate":"4B210736","slot":3,"function":"VEK72_Send","count":2}'))
    + frame(0x22, text('{"action":"short-send","crate":"4B210736","slot":3,"words":1}'), 2)
    + frame(0x22, text('{"action":"refuse","crate":"4B210751"}'), 3)
    + frame(0x22, text('{"action":"clear"}'), 4)
    + frame(0x22, text('{"action":"drop"}'), 5),
    "module_busy_then_closed": frame(0x10, text(CRATE) + struct.pack("<H", 3)) + frame(0x10, text(CRATE) + struct.pack("<H", 3), 2),
    "bad_magic": frame(0x23, magic=0x12345678),
    "oversized_send": frame(0x12, b"\0" * 16, length=16777225),
    "truncated_payload": frame(0x22, b"x" * 40, length=400),
}

# The opcode each call of clientharness.cpp sends, the most its answer may carry (maxReplyPayload in
# wire.h), and the answers after the status, per call.
OPCODES = [0x02, 0x04, 0x11, 0x12, 0x13, 0x14, 0x15, 0x16, 0x01, 0x03, 0x10, 0x17, 0x18]
LIMITS = [264, 36, 16, 4, 16, 16, 16, 4, 4, 4, 24, 24, 80]
STATE = bytes([1, 2, 0, 1]) + struct.pack("<d", 24000.0)
CLIENT = {
    0: struct.pack("<iI", 0, 2) + b"4B210736".ljust(16, b"\0") + b"4B210751".ljust(16, b"\0"),
    1: struct.pack("<i", 0) + struct.pack("<16H", *([0, 0, 8995] + [0] * 3 + [8995] + [0] * 9)),
    2: struct.pack("<i", 0) + STATE,
    3: struct.pack("<i", 4),
    4: struct.pack("<i", 0) + STATE,
    5: struct.pack("<i", -12) + STATE,
    6: struct.pack("<i", 0) + STATE,
    7: struct.pack("<i", 0),
    8: struct.pack("<i", 0),
    9: struct.pack("<i", -7),
    10: struct.pack("<i", 0) + b"72A10419".ljust(16, b"\0") + struct.pack("<HBB", 214, 1, 8),
    11: struct.pack("<i", 8) + STATE + struct.pack("<Q", 123456),
    12: struct.pack("<i", 0) + STATE + struct.pack("<8d", 1.0, -0.35, 3.3, 0, 0, 0, 0, 0),
}


def write(folder, name, data):
    with open(os.path.join(HERE, "corpus", folder, "seed-" + name), "wb") as f:
        f.write(data)


for name, data in SERVER.items():
    write("server", name, b"\0" + data)
    write("server", name + "-in-pieces", b"\x07" + data)
for call, answer in CLIENT.items():
    write("client", "call%d" % call, bytes([call, 1]) + answer)
    write("client", "call%d-raw" % call, bytes([call, 0]) + frame(OPCODES[call] | REPLY, answer))
    write("client", "call%d-claims-more" % call, bytes([call, 3]) + struct.pack("<I", 0x7FFFFFF0) + answer)
    write("client", "call%d-one-byte-more" % call, bytes([call, 1]) + answer.ljust(LIMITS[call] + 1, b"\0"))


SCPI = {
    "identity": b"*IDN?\n*RST;*CLS;*OPC?;*WAI\n",
    "channels": b"OUTP1 ON;OUTP2 OFF;:OUTP3:STAT 1;OUTP3?\n"
                b"SOUR1:FUNC AC;VOLT:RANG FULL;:SOUR1:VOLT 1500 MV;FREQ 2.5 KHZ;VOLT:OFFS -0.25\n",
    "custom": b"SOUR2:FUNC CUST;FUNC:SHAP PULS;SHAP?\r\nSOUR2:VOLT 2;:SOUR2:FREQ?\n",
    "module": b"SOUR:RATE 48000;MODE STR;RATE?;MODE?\nINIT;INIT:STAT?;ABOR\n",
    "window": b"SYST:MOD:CAT?\nSYST:MOD \"4B210736\",7;:SYST:MOD?\nSYST:CHAN:COUN?\n",
    "errors": b"SYST:ERR?;:SYST:ERR:COUN?\nOUTP9 ON\nSOUR1:VOLT\nSOUR1:VOLT 1,2\nSOUR1:FREQ 5 V\nX #12ab\n",
    "strings": b"SYST:MOD 'it''s',1\nSYST:MOD \"a\"\"b\",2\nSYST:MOD \"open\n",
    "numbers": b"SOUR1:VOLT 1e999\nSOUR1:VOLT -.5e-3\nSOUR1:FREQ +1.\nSOUR1:VOLT 1E\nOUTP99999999999 ON\n",
    "status": b"*ESE 60;*SRE 48;*OPC;*ESR?;*STB?\nSTAT:OPER:ENAB 256;:STAT:OPER?;COND?\nSTAT:QUES:ENAB #H200;:STAT:PRES\n"
              b"SYST:VERS?;ERR:ALL?\n*TST?;*CLS\n",
    "scpi-numbers": b";*IDN?;;\nFREQ 1 E 3;VOLT 1 e -3 V;PHAS 1 RAD\nFREQ #H5DC;:OUTP2 #B1;VOLT 2 MAV\nFREQ? MAX;FREQ DEF;VOLT MIN\n"
                    b"SOUR1:VOLT:LEV:IMM:AMPL 1;:FREQ:CW 2 MHZ\nOUTP3 0.4;OUTP3 100\nA #3003x;y\nA #13ab\n",
    "generator": b"FUNC SQU; FREQ 1000; VOLT 2 VPP; VOLT:OFFS 0.5; OUTP ON\nSOUR2:APPL:SIN 2 KHZ,1 VRMS,0;:SOUR2:APPL?\n"
                 b"VOLT:UNIT VRMS;:VOLT?;VOLT:HIGH 3;LOW -1;:FUNC:RAMP:SYMM 50;:FUNC RAMP;:FUNC:SQU:DCYC 50\n"
                 b"FUNC DC;:VOLT:OFFS 1;:FUNC NOIS;:AM:STAT ON;:FUNC AC;VOLT 1\n",
    "arbitrary": b"FORM:BORD SWAP;:DATA:ARB X,#18\x00\x00\x00\x3f\x00\x00\x80\xbf;:FUNC:ARB X;:FUNC ARB\n"
                 b"DATA:ARB:DAC Y,#14\x7f\xff\x80\x00;:DATA:ATTR:POIN? Y;:FUNC:ARB:SRAT 48000\nDATA:ARB Z,0,1,-1,0.5\n",
}
os.makedirs(os.path.join(HERE, "corpus", "scpi"), exist_ok=True)
for name, data in SCPI.items():
    write("scpi", name, data)
