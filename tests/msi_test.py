#!/usr/bin/env python3
"""The Windows installer under Wine, in a fresh prefix on a virtual display:
msiexec /i /qn installs the programs for the user and registers the two
right-click entries for text files; each entry's command line, run as
Explorer would run it for one file, converts that file once crvw.exe's box
is answered with xdotool; msiexec /x leaves no file and no registry key
behind.

    msi_test.py --msi crv-0.01.msi --arch i686|x86_64 [--upgrade crv-0.02.msi]
                [--screenshot shot.png]

--upgrade names an installer of a later version (of the same programs):
installed over the first it replaces it, leaving one product, and the first
then refuses to install over it.

--arch names the programs inside the installer, which Wine must run: the
32-bit deliverables where the host runs 32-bit programs, else an installer
made from the 64-bit build (scripts/test-packages.sh chooses).
"""
import argparse
import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest

MSI = ARCH = SCREENSHOT = UPGRADE = None
CRLF = b"one\r\ntwo\r\n"
LF = b"one\ntwo\n"
# (verb, menu text, option, file before, file after)
ENTRIES = [
    ("crv.lf", "Normalise line endings (LF)", "-d", CRLF, LF),
    ("crv.crlf", "Normalise line endings (CR LF)", "-c", LF, CRLF),
]
ASSOCIATIONS = r"Software\Classes\SystemFileAssociations"
# Explorer looks for a file's verbs under SystemFileAssociations\<extension>
# and \<its PerceivedType>: (extension, perceived type on Windows, offered)
FILE_TYPES = [(".txt", "text", True), (".json", None, True), (".exe", "application", False),
              (".zip", "compressed", False), (".docx", "document", False)]


def files_under(top):
    return {os.path.relpath(os.path.join(d, f), top)
            for d, _, names in os.walk(top) for f in names}


def registry_keys(prefix):
    """{key: its values} of Wine's registry files, without time stamps."""
    keys = {}
    for hive in ("system.reg", "user.reg", "userdef.reg"):
        with open(os.path.join(prefix, hive), encoding="utf-8", errors="replace") as f:
            for key, body in re.findall(r"^\[([^\]]*)\][^\n]*\n(.*?)(?=^\[|\Z)", f.read(),
                                        re.M | re.S):
                keys[hive + ":" + key.lower()] = [line for line in body.splitlines()
                                                  if line and not line.startswith("#")]
    return keys


class Installer(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="crv_msi_")
        self.prefix = os.path.join(self.tmp, "prefix")
        os.environ["WINEPREFIX"] = self.prefix
        self.screen = VirtualDisplay().__enter__()
        self.env = winetools.wine_env(DISPLAY=self.screen.name, LANG="ja_JP.UTF-8", LC_ALL=None)

    def tearDown(self):
        self.wine_quiet("wineserver", "-k")
        self.screen.__exit__(None, None, None)
        shutil.rmtree(self.tmp)

    def wine_quiet(self, *cmd, timeout=600):
        # Wine's background processes inherit the standard streams: none of
        # ours, or they would hold the runner's pipes open.
        return subprocess.run(cmd, env=self.env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                              stderr=subprocess.DEVNULL, timeout=timeout).returncode

    def wine(self, *args):
        with tempfile.TemporaryFile() as out:
            status = subprocess.run([winetools.WINE] + list(args), env=self.env,
                                    stdin=subprocess.DEVNULL, stdout=out, stderr=out,
                                    timeout=600).returncode
            out.seek(0)
            return status, out.read().decode("utf-8", "replace")

    def msiexec(self, action):
        status, out = self.wine("msiexec", action, winetools.windows_path(MSI), "/qn")
        self.assertEqual(status, 0, out)
        self.wine_quiet("wineserver", "-w")

    def test_install_use_uninstall(self):
        self.assertEqual(self.wine_quiet(winetools.WINE, "wineboot", "--init"), 0)
        self.wine_quiet("wineserver", "-w")
        drive_c = os.path.join(self.prefix, "drive_c")
        files_before, keys_before = files_under(drive_c), registry_keys(self.prefix)

        self.msiexec("/i")
        added = files_under(drive_c) - files_before
        programs = {f for f in added if not f.startswith("windows" + os.sep)}
        folder = os.path.dirname(sorted(programs)[0])
        self.assertRegex(folder, r"^users/[^/]+/AppData/Local/Programs/crv$")
        self.assertEqual(programs, {os.path.join(folder, n) for n in
                                    ("crv.exe", "crvw.exe", "README.txt", "LICENSE.txt")})
        crvw = "C:\\" + folder.replace("/", "\\") + "\\crvw.exe"

        # Every key the installer added, and nothing for all files.
        entry_keys = {k.split(":", 1)[1].replace("\\\\", "\\")
                      for k in set(registry_keys(self.prefix)) - set(keys_before) if "crv." in k}
        self.assertEqual(entry_keys, {
            f"{ASSOCIATIONS}\\{t}\\shell\\{verb}{command}".lower()
            for t in TEXT_TYPES for verb, *_ in ENTRIES for command in ("", "\\command")})
        for extension, perceived, offered in FILE_TYPES:
            with self.subTest(extension=extension):
                found = {f"{ASSOCIATIONS}\\{t}\\shell\\crv.lf".lower()
                         for t in (extension, perceived) if t} & entry_keys
                self.assertEqual(bool(found), offered)

        shell = f"HKCU\\{ASSOCIATIONS}\\text\\shell"
        for key, text, option, before, after in ENTRIES:
            with self.subTest(entry=key):
                status, out = self.wine("reg", "query", f"{shell}\\{key}")
                self.assertEqual(status, 0, out)
                # The default value's name is localised: "(Default)" in English.
                self.assertRegex(out, r"\n +\([^)]+\) +REG_SZ +" + re.escape(text) + r"\r")
                self.assertRegex(out, r"MultiSelectModel\s+REG_SZ\s+Document\s")
                status, out = self.wine("reg", "query", f"{shell}\\{key}\\command", "/ve")
                command = re.search(r"REG_SZ\s+(.*\S)", out).group(1)
                self.assertEqual(command, f'"{crvw}" {option} "%1"')
                self.run_entry(command, before, after)

        self.msiexec("/x")
        self.assertEqual(files_under(drive_c) - files_before, set())
        # Wine's Windows Installer keeps the empty folders of its own records
        # (Installer\Products and the like), as Windows does; nothing of the
        # product may stay.
        keys_after = registry_keys(self.prefix)
        self.assertEqual({k: v for k, v in keys_after.items()
                          if k not in keys_before and (v or "crv" in k)}, {})
        for key, *_ in ENTRIES:
            self.assertNotEqual(self.wine("reg", "query", f"{shell}\\{key}")[0], 0)

    def products(self):
        """{name: version} of the installed products named crv."""
        status, out = self.wine("reg", "query",
                                r"HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall", "/s")
        found = re.findall(r"DisplayName\s+REG_SZ\s+(crv[^\r\n]*)\r?\n\s+DisplayVersion\s+REG_SZ"
                           r"\s+(\S+)", out)
        return dict(found)

    def test_upgrade(self):
        if not UPGRADE:
            self.skipTest("no --upgrade installer")
        self.assertEqual(self.wine_quiet(winetools.WINE, "wineboot", "--init"), 0)
        self.wine_quiet("wineserver", "-w")
        drive_c = os.path.join(self.prefix, "drive_c")
        files_before = files_under(drive_c)
        old, new = (re.search(r"crv-(\d+(?:\.\d+)*)", os.path.basename(m))[1] for m in (MSI, UPGRADE))
        # (installer, whether it installs, the products afterwards)
        steps = [(MSI, True, {"crv " + old: old}), (UPGRADE, True, {"crv " + new: new}),
                 (MSI, False, {"crv " + new: new})]
        for msi, installs, products in steps:
            with self.subTest(msi=os.path.basename(msi)):
                status, out = self.wine("msiexec", "/i", winetools.windows_path(msi), "/qn")
                self.wine_quiet("wineserver", "-w")
                self.assertEqual(status == 0, installs, out)
                self.assertEqual(self.products(), products)
        status, out = self.wine("msiexec", "/x", winetools.windows_path(UPGRADE), "/qn")
        self.wine_quiet("wineserver", "-w")
        self.assertEqual((status, self.products()), (0, {}), out)
        self.assertEqual(files_under(drive_c) - files_before, set())

    def run_entry(self, command, before, after):
        """Runs the entry's command line for a file whose name has a blank,
        with "%1" replaced as Explorer replaces it, through a batch file so
        that the line reaches crvw.exe as written; OK in crvw's box."""
        work = os.path.join(self.tmp, "work")
        os.makedirs(work, exist_ok=True)
        name = os.path.join(work, "two words.txt")
        with open(name, "wb") as f:
            f.write(before)
        batch = os.path.join(work, "entry.bat")
        with open(batch, "w", newline="\r\n") as f:
            f.write("@" + command.replace("%1", winetools.windows_path(name)) + "\n")
        output = tempfile.TemporaryFile()
        proc = subprocess.Popen([winetools.WINE, "cmd", "/c", winetools.windows_path(batch)],
                                env=self.env, stdin=subprocess.DEVNULL, stdout=output,
                                stderr=output)
        try:
            wid, title = winetools.wait_for_window(self.screen.name, "^crv", proc)
            self.assertEqual(title, "crv")
            if SCREENSHOT and after == LF:
                subprocess.run(["import", "-display", self.screen.name, "-window", "root",
                                SCREENSHOT], check=True)
            winetools.press(self.screen.name, wid, "Return")
            self.assertEqual(winetools.wait_for_exit(self.screen.name, "^crv", proc,
                                                     ignore={wid}), 0)
        finally:
            if proc.poll() is None:
                proc.kill()
                proc.wait()
            output.close()
        with open(name, "rb") as f:
            self.assertEqual(f.read(), after)
        self.assertEqual(sorted(os.listdir(work)), ["entry.bat", "two words.txt"])


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    parser.add_argument("--msi", required=True)
    parser.add_argument("--arch", required=True, choices=("i686", "x86_64"))
    parser.add_argument("--upgrade", help="an installer of a later version")
    parser.add_argument("--screenshot", help="a PNG of the LF entry's question box")
    args, rest = parser.parse_known_args()
    MSI, ARCH = os.path.abspath(args.msi), args.arch
    UPGRADE = args.upgrade and os.path.abspath(args.upgrade)
    SCREENSHOT = args.screenshot and os.path.abspath(args.screenshot)
    # The loader winetools picks follows WINEARCH: set before it is imported.
    if ARCH == "x86_64":
        os.environ["WINEARCH"] = "win64"
    else:
        os.environ.pop("WINEARCH", None)
    sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "wine"))
    import winetools
    sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
    from common import TEXT_TYPES, VirtualDisplay
    unittest.main(argv=[sys.argv[0], "-v"] + rest)
