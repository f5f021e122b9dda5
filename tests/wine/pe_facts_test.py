#!/usr/bin/env python3
"""The Windows programs as files: PE images of the expected machine (32-bit
x86 for the deliverables), crv.exe a console program and crvw.exe a windowed
one, importing nothing but system DLLs.

    pe_facts_test.py --dir build-win32 --arch i686
    pe_facts_test.py --dir build-win64 --arch x86_64
"""
import argparse
import os
import re
import subprocess
import sys
import unittest

DIR = None
ARCH = None
# Per architecture: objdump's file format and the optional header's magic.
FORMATS = {"i686": ("pei-i386", r"010b\s+\(PE32\)"),
           "x86_64": ("pei-x86-64", r"020b\s+\(PE32\+\)")}


def headers(exe):
    return subprocess.run([ARCH + "-w64-mingw32-objdump", "-p", exe], check=True, stdout=subprocess.PIPE,
                          universal_newlines=True).stdout


class PeFactsTest(unittest.TestCase):
    def test_programs(self):
        # ADVAPI32 for the file's access list (GetKernelObjectSecurity): the
        # converted file is created with the original's DACL, and KERNEL32
        # has no call that reads a file's DACL.
        system = {"KERNEL32.dll", "ADVAPI32.dll", "msvcrt.dll"}
        cases = [
            ("crv.exe", "(Windows CUI)", system),
            ("crvw.exe", "(Windows GUI)", system | {"USER32.dll"}),
        ]
        file_format, magic = FORMATS[ARCH]
        for name, subsystem, dlls in cases:
            with self.subTest(name):
                text = headers(os.path.join(DIR, name))
                self.assertIn("file format " + file_format, text)
                self.assertRegex(text, r"(?m)^Magic\s+" + magic + "$")
                self.assertRegex(text, r"(?m)^Subsystem\s+\S+\s+" + re.escape(subsystem) + "$")
                self.assertEqual(set(re.findall(r"DLL Name: (\S+)", text)), dlls)


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
