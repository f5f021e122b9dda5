"""Helpers shared by the Python tests: sample texts, the reference
conversion, the expected usage texts, a private X display, the facts of a
Windows program's PE headers and the installer's text types."""
import collections
import itertools
import os
import re
import select
import struct
import subprocess
import time

HERE = os.path.dirname(os.path.abspath(__file__))

# A text with every kind of line end: CR LF, a CR run before LF, a lone CR
# (kept in both forms), a lone LF, and no line end at the end.
DOS = b"one\r\ntwo\r\r\nthree\rfour\nlast"
UNIX = b"one\ntwo\nthree\rfour\nlast"
CRLF = b"one\r\ntwo\r\nthree\rfour\r\nlast"


# The keys under SystemFileAssociations that get the Windows installer's
# right-click entries: the files Windows perceives as text, and extensions of
# text files it does not always mark so.
TEXT_TYPES = ["text", ".bat", ".cmd", ".ps1", ".csv", ".json", ".xml", ".yml", ".yaml", ".md",
              ".ini", ".log", ".c", ".h", ".cpp", ".cs", ".py", ".js", ".sh"]


def convert(data, add_cr):
    """What crv makes of `data`: every run of CRs directly followed by an LF,
    with that LF, becomes CR LF (`add_cr`) or LF."""
    return re.sub(rb"\r*\n", b"\r\n" if add_cr else b"\n", data)


def usage_lines(form):
    """The lines of the usage text the programs show, `form` "console" or
    "windowed" (tests/usage/, which the C++ unit test reads too)."""
    with open(os.path.join(HERE, "usage", form + ".txt"), encoding="ascii") as f:
        return f.read().splitlines()


class VirtualDisplay:
    """An Xvfb server on a display number it picks itself, for as long as the
    `with` block lasts (or from start() to stop())."""

    def __init__(self, size="1024x768x24", timeout=30):
        self.size = size
        self.timeout = timeout
        self.proc = None
        self.name = None

    def start(self):
        read_end, write_end = os.pipe()
        self.proc = subprocess.Popen(
            ["Xvfb", "-displayfd", str(write_end), "-screen", "0", self.size,
             "-nolisten", "tcp"],
            pass_fds=(write_end,), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(write_end)
        # Xvfb writes its display number once it accepts clients.
        number = b""
        deadline = time.monotonic() + self.timeout
        while not number.endswith(b"\n"):
            left = deadline - time.monotonic()
            if left <= 0 or not select.select([read_end], [], [], left)[0]:
                self.stop()
                raise RuntimeError("Xvfb did not start")
            chunk = os.read(read_end, 16)
            if not chunk:
                self.stop()
                raise RuntimeError("Xvfb exited at start")
            number += chunk
        os.close(read_end)
        self.name = ":" + number.decode().strip()
        return self

    def stop(self):
        if self.proc and self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(timeout=self.timeout)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()


def slowed_copy(directory, name, delay_ms):
    """The command that runs a program after it under strace, which delays
    each read of `name` in `directory` (the copy's source, read 128 KiB at a
    time under its own name) by `delay_ms` milliseconds."""
    source = os.path.join(directory, name)
    return ["strace", "-f", "-qq", "-o", os.devnull, "-P", source,
            "-e", "inject=read,pread64:delay_exit=%d" % (delay_ms * 1000)]


def screenshot(display, wid):
    """The window `wid` on X display `display`, as binary PPM."""
    return subprocess.run(["import", "-window", wid, "-depth", "8", "ppm:-"], check=True,
                          env=dict(os.environ, DISPLAY=display), stdout=subprocess.PIPE,
                          timeout=60).stdout


def ink_runs(ppm):
    """The lines of dark text in a PPM image, top to bottom, each as the
    (start, end) ranges of the columns that hold ink."""
    _, width, height, _, pixels = ppm.split(maxsplit=4)
    width, height = int(width), int(height)
    rows = [[sum(pixels[3 * (y * width + x):3 * (y * width + x) + 3]) < 300
             for x in range(width)] for y in range(height)]
    lines = []
    for ink, band in itertools.groupby(rows, key=any):
        if ink:
            runs, x = [], 0
            for dark, columns in itertools.groupby(any(c) for c in zip(*band)):
                n = len(list(columns))
                if dark:
                    runs.append((x, x + n))
                x += n
            lines.append(runs)
    return lines


PeFacts = collections.namedtuple("PeFacts", "machine magic subsystem dlls")


def pe_facts(data):
    """The machine, optional header magic, subsystem and imported DLL names
    of a PE image given as bytes."""
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    assert data[:2] == b"MZ" and data[pe:pe + 4] == b"PE\0\0", "not a PE image"
    machine, sections, _, _, _, optional_size = struct.unpack_from("<HHIIIH", data, pe + 4)
    optional = pe + 24
    magic = struct.unpack_from("<H", data, optional)[0]
    subsystem = struct.unpack_from("<H", data, optional + 68)[0]
    # The data directories follow the fields whose size differs between
    # PE32 (0x10b) and PE32+; the second one is the import table.
    directories = optional + (96 if magic == 0x10B else 112)
    imports = struct.unpack_from("<I", data, directories + 8)[0]
    section_table = optional + optional_size

    def offset(rva):
        for i in range(sections):
            size, address, _, raw = struct.unpack_from("<IIII", data, section_table + 40 * i + 8)
            if address <= rva < address + size:
                return rva - address + raw
        raise AssertionError("address %#x in no section" % rva)

    dlls = set()
    descriptor = offset(imports) if imports else None
    while descriptor is not None:
        name = struct.unpack_from("<I", data, descriptor + 12)[0]
        if name == 0:
            break
        start = offset(name)
        dlls.add(data[start:data.index(b"\0", start)].decode("ascii"))
        descriptor += 20
    return PeFacts(machine, magic, subsystem, dlls)
