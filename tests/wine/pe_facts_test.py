#!/usr/bin/env python3
"""The Windows programs as files: 32-bit x86 PE images, crv.exe a console
program and crvw.exe a windowed one, importing nothing but system DLLs.

    pe_facts_test.py --dir build-win32
"""
import argparse
import os
import re
import subprocess
import sys
import unittest

DIR = None
OBJDUMP = "i686-w64-mingw32-objdump"


def headers(exe):
    return subprocess.run([OBJDUMP, "-p", exe], check=True, stdout=subprocess.PIPE,
                          universal_newlines=True).stdout


class PeFactsTest(unittest.TestCase):
    def test_programs(self):
        cases = [
            ("crv.exe", "(Windows CUI)", {"KERNEL32.dll", "msvcrt.dll"}),
            ("crvw.exe", "(Windows GUI)", {"KERNEL32.dll", "USER32.dll", "msvcrt.dll"}),
        ]
        for name, subsystem, dlls in cases:
            with self.subTest(name):
                text = headers(os.path.join(DIR, name))
                self.assertIn("file format pei-i386", text)
                self.assertRegex(text, r"(?m)^Magic\s+010b\s+\(PE32\)$")
                self.assertRegex(text, r"(?m)^Subsystem\s+\S+\s+" + re.escape(subsystem) + "$")
                self.assertEqual(set(re.findall(r"DLL Name: (\S+)", text)), dlls)


def main():
    global DIR
    parser = argparse.ArgumentParser()
    parser.add_argument("--dir", required=True, help="the Windows build directory")
    args, rest = parser.parse_known_args()
    DIR = args.dir
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)


if __name__ == "__main__":
    main()
