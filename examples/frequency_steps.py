# Steps channel 1 of the VEK72 through a few frequencies and prints the frequency each one plays.
import sys, pyvisa
port = sys.argv[1] if len(sys.argv) > 1 else "5025"
vek = pyvisa.ResourceManager("@py").open_resource(f"TCPIP::127.0.0.1::{port}::SOCKET", read_termination="\n", write_termination="\n")
print(vek.query("*IDN?"))
vek.write("OUTP1 ON;:SOUR1:FUNC AC;VOLT:RANG FULL;:SOUR1:VOLT 1.0;:INIT")
for hz in (100, 250, 1000, 2500, 12345.678):
    vek.write(f"SOUR1:FREQ {hz}")
    print(hz, "Hz asked,", vek.query("*OPC?;:SOUR1:FREQ?").split(";")[1], "Hz played")
vek.write("ABOR")
