#!/usr/bin/env python3
"""The program's journal as it comes, in the terminal's own encoding, one record a line.

The program copies every journal record to standard error in Windows-1251 without a line end (the
journal file "stendix.log" has them). This reads that copy (or a file named on the command line, or
the journal followed as it grows with --follow FILE) and writes each record, as soon as it comes, on
a line of its own:

    build/bin/vek72 2>&1 >/dev/null | scripts/journal-lines.py
    scripts/journal-lines.py --follow stendix.log
"""
import os
import re
import sys
import time

# A record starts with its time stamp and level: "[2026.12.07 14:30:05:123 I] ".
RECORD = re.compile(rb"\[\d{4}\.\d\d\.\d\d \d\d:\d\d:\d\d:\d{3} [DIWEF]\] ")


def lines(chunks):
    """The chunks as they come, with a line end put before each record that does not start a line.

    A record is written whole (one write), so it is passed on at once rather than held until the
    next one shows that it has ended.
    """
    at_line_start = True
    for chunk in chunks:
        out = []
        cut = 0
        for m in RECORD.finditer(chunk):
            if m.start() > 0 or not at_line_start:
                if m.start() == 0 or chunk[m.start() - 1:m.start()] != b"\n":
                    out.append(chunk[cut:m.start()] + b"\n")
                    cut = m.start()
        out.append(chunk[cut:])
        data = b"".join(out)
        if data:
            at_line_start = data.endswith(b"\n")
            yield data
    if not at_line_start:
        yield b"\n"


def read_stream(stream):
    fd = stream.fileno()
    while True:
        chunk = os.read(fd, 65536)
        if not chunk:
            return
        yield chunk


def follow(path):
    """The file's bytes from its end on, as it grows; from its start again when it is archived."""
    while not os.path.exists(path):
        time.sleep(0.2)
    f = open(path, "rb")
    f.seek(0, os.SEEK_END)
    while True:
        chunk = f.read(65536)
        if chunk:
            yield chunk
            continue
        try:
            if os.stat(path).st_size < f.tell():
                f.seek(0)
        except FileNotFoundError:
            pass
        time.sleep(0.2)


def main(argv):
    if len(argv) >= 2 and argv[1] in ("-h", "--help"):
        print(__doc__.strip())
        return 0
    if len(argv) == 3 and argv[1] == "--follow":
        chunks = follow(argv[2])
    elif len(argv) == 2:
        chunks = read_stream(open(argv[1], "rb"))
    else:
        chunks = read_stream(sys.stdin.buffer)
    out = sys.stdout
    encoding = out.encoding or "utf-8"
    try:
        for data in lines(chunks):
            # Windows-1251 leaves one byte undefined; the program never writes it, another writer might.
            text = data.decode("cp1251", errors="replace")
            out.buffer.write(text.encode(encoding, errors="replace"))
            out.flush()
    except (KeyboardInterrupt, BrokenPipeError):
        return 0
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
