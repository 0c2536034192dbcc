# Plays a 1 kHz square from -0.5 V to 1.5 V on channel 1 and a 2 kHz sine of 1 V RMS on channel 2
# in a bench function generator's words only, as a generic generator driver would, waiting for the
# operation complete bit of the status model; prints what the program reads back and its errors.
import sys, time, pyvisa
port = sys.argv[1] if len(sys.argv) > 1 else "5025"
gen = pyvisa.ResourceManager("@py").open_resource(f"TCPIP::127.0.0.1::{port}::SOCKET", read_termination="\n",
                                                  write_termination="\n", encoding="utf-8", timeout=30000)
print(gen.query("*IDN?"), "SCPI", gen.query("SYST:VERS?"))
gen.write("*RST;*CLS;*ESE 1")
gen.write("FUNC SQU; FREQ 1000; VOLT 2 VPP; VOLT:OFFS 0.5; OUTP ON")
gen.write("SOUR2:APPL:SIN 2 KHZ,1 VRMS,0")
gen.write("*OPC")
deadline = time.monotonic() + 30
while not int(gen.query("*ESR?")) & 1:
    if time.monotonic() > deadline:
        sys.exit("no operation complete within 30 s")
print("channel 1:", gen.query("FUNC?;FREQ?;VOLT:HIGH?;LOW?"))
print("channel 2:", gen.query("SOUR2:APPL?"))
print("errors:", gen.query("SYST:ERR:ALL?"))
