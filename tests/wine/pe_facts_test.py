#!/usr/bin/env python3
"""The Windows programs as files: PE images of the expected machine (32-bit
x86 for the deliverables), crv.exe a console program and crvw.exe a windowed
one, importing nothing but system DLLs, each with a version resource of the
project's version.

    pe_facts_test.py --dir build-win32 --arch i686
    pe_facts_test.py --dir build-win64 --arch x86_64
"""
import argparse
import os
import re
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
from common import pe_facts  # noqa: E402

DIR = None
ARCH = None
# The project's version, from CMakeLists.txt.
with open(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..",
                       "CMakeLists.txt")) as _f:
    VERSION = re.search(r"^project\(crv VERSION (\S+)", _f.read(), re.M)[1]
# Per architecture: the header's machine and the optional header's magic
# (PE32 or PE32+).
FORMATS = {"i686": (0x14C, 0x10B), "x86_64": (0x8664, 0x20B)}
# Subsystems: 3 a console program, 2 a windowed one.
CONSOLE, WINDOWED = 3, 2


class PeFactsTest(unittest.TestCase):
    def test_programs(self):
        # ADVAPI32 for the file's access list (GetKernelObjectSecurity): the
        # converted file is created with the original's DACL, and KERNEL32
        # has no call that reads a file's DACL.
        system = {"KERNEL32.dll", "ADVAPI32.dll", "msvcrt.dll"}
        cases = [
            ("crv.exe", CONSOLE, system),
            ("crvw.exe", WINDOWED, system | {"USER32.dll"}),
        ]
        machine, magic = FORMATS[ARCH]
        for name, subsystem, dlls in cases:
            with self.subTest(name):
                with open(os.path.join(DIR, name), "rb") as f:
                    image = f.read()
                self.assertEqual(pe_facts(image), (machine, magic, subsystem, dlls))
                # The version resource's strings, UTF-16 keys and values.
                strings = dict(re.findall(r"(\w+)\0+(?:\0\0)?([^\0]+)\0",
                                          image.decode("utf-16-le", "replace")))
                self.assertEqual((strings.get("ProductVersion"), strings.get("FileVersion")),
                                 (VERSION, VERSION))


def main():
    global DIR, ARCH
    parser = argparse.ArgumentParser()
    parser.add_argument("--dir", required=True, help="the Windows build directory")
    parser.add_argument("--arch", required=True, choices=sorted(FORMATS))
    args, rest = parser.parse_known_args()
    DIR, ARCH = args.dir, args.arch
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)


if __name__ == "__main__":
    main()
