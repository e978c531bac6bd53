"""The Windows build's own ways, under Wine: the manifest and version data
that hmap.exe carries, and what replacing a file keeps: a hard link stays one
file with two names, a symbolic link stays a link and its target takes the
new content, a full disk is reported as such with the old file whole, and
Ctrl+C in the middle of a write leaves the old file and no temporary file.

(Wine cannot express everything: it shows a symbolic link that leads nowhere
as no file at all, and keeps no Windows attributes, ACLs or streams of its
own; the unit tests of the Windows layer cover attributes and a file another
program holds.)
"""
import os
import re
import shutil
import signal
import struct
import subprocess
import time
import unittest

import harness
from harness import HmapTestCase, WINDOWS, snapshot

# Calls that take or give names or text in the ANSI code page, which would
# decide what a name means: hmap.exe uses their wide forms.
ANSI_CALLS = {
    "GetCommandLineA", "CreateFileA", "DeleteFileA", "MoveFileA", "MoveFileExA", "ReplaceFileA",
    "GetFileAttributesA", "SetFileAttributesA", "GetFullPathNameA", "GetFinalPathNameByHandleA", "FindFirstFileA",
    "CreateDirectoryA", "GetTempFileNameA", "FormatMessageA", "WriteConsoleA",
}
DISK_FULL = (112, b"Disk full.\r\n")  # ERROR_DISK_FULL and Wine's text for it
CONTROL_C_EXIT = 0xC000013A & 0xFF    # STATUS_CONTROL_C_EXIT, as a Unix parent sees it


def version_strings(data):
    """The strings of a version resource (VS_VERSION_INFO), by name. Each
    block: length, value length, type (1: text), a UTF-16 key, its value and
    its child blocks, each part aligned to 4 bytes."""
    strings = {}

    def block(pos):
        length, value_length, text = struct.unpack_from("<HHH", data, pos)
        end = pos + 6
        while data[end:end + 2] != b"\0\0":
            end += 2
        key = data[pos + 6:end].decode("utf-16-le")
        value = (end + 2 + 3) & ~3
        size = 2 * value_length if text == 1 else value_length
        if text == 1 and value_length:
            strings[key] = data[value:value + size].decode("utf-16-le").rstrip("\0")
        child = (value + size + 3) & ~3
        while child < pos + length:
            child = (block(child) + 3) & ~3
        return pos + length

    block(0)
    return strings


@unittest.skipUnless(WINDOWS, "the Windows build")
class Executable(unittest.TestCase):
    """What Windows reads from hmap.exe before it runs: the manifest, and the
    version data of the file's Properties."""

    def resource(self, kind):
        if shutil.which("wrestool") is None:
            self.skipTest("wrestool (Debian's icoutils) is missing")
        p = subprocess.run(["wrestool", "-x", "--raw", f"--type={kind}", harness.HMAP_EXE],
                           stdout=subprocess.PIPE, check=True)
        self.assertTrue(p.stdout, f"no resource of type {kind}")
        return p.stdout

    def test_manifest(self):
        manifest = self.resource(24).decode()
        self.assertRegex(manifest, r"<activeCodePage [^>]*>UTF-8</activeCodePage>")
        self.assertIn('<supportedOS Id="{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"/>', manifest)  # Windows 10 and 11
        self.assertRegex(manifest, r"<longPathAware [^>]*>true</longPathAware>")
        self.assertIn('<requestedExecutionLevel level="asInvoker"', manifest)

    def test_no_code_page_function_is_imported(self):
        # Names and the command line only ever pass through the wide
        # functions: an ANSI one would convert them to the code page.
        objdump = shutil.which("x86_64-w64-mingw32-objdump")
        if objdump is None:
            self.skipTest("x86_64-w64-mingw32-objdump (Debian's binutils-mingw-w64) is missing")
        table = subprocess.run([objdump, "-p", harness.HMAP_EXE], stdout=subprocess.PIPE, check=True).stdout.decode()
        imports = set(re.findall(r"^\s+[0-9a-f]+\s+\d+\s+(\w+)$", table, re.MULTILINE))
        self.assertIn("GetCommandLineW", imports)
        self.assertIn("CreateFileW", imports)
        self.assertEqual(imports & ANSI_CALLS, set())

    def test_version_data(self):
        fields = version_strings(self.resource(16))
        with open(os.path.join(harness.REPO, "CMakeLists.txt")) as f:
            version = re.search(r"project\(hmap VERSION (\S+)", f.read()).group(1)
        self.assertEqual(fields.get("ProductName"), "HMAP")
        self.assertEqual(fields.get("ProductVersion"), version)
        self.assertEqual(fields.get("FileVersion"), version)
        self.assertEqual(fields.get("OriginalFilename"), "hmap.exe")
        self.assertIn("Kelvaroth", fields.get("FileDescription", ""))
        self.assertIn("MIT License", fields.get("LegalCopyright", ""))


@unittest.skipUnless(WINDOWS, "the Windows build")
class Links(HmapTestCase):
    """Hard and symbolic links made on the Unix side, which Wine shows to
    Windows programs as links."""

    def setUp(self):
        super().setUp()
        harness.make_battle(self.dir, "in.prj", "--width", "24", "--height", "16")
        self.assertRun(self.hmap("-x", "in.prj", "real.png", "two.png"), b"", 0)
        self.original = self.read("real.png")

    def test_a_hard_link_stays_one_file(self):
        os.link(self.path("real.png"), self.path("hard.png"))
        self.assertRun(self.hmap("-s", "real.png", "7"), b"", 0)
        self.assertRun(self.hmap("-s", "hard.png"), b"0007\r\n", 0)
        self.assertRun(self.hmap("-x", "in.prj", "hard.png", "two.png"), b"", 0)  # shorter again
        self.assertEqual(self.read("real.png"), self.original)
        self.assertTrue(os.path.samefile(self.path("real.png"), self.path("hard.png")))
        self.assertEqual(sorted(os.listdir(self.dir)), ["hard.png", "in.prj", "real.png", "two.png"])

    def test_a_symbolic_link_stays_and_its_target_is_written(self):
        os.mkdir(self.path("maps"))
        os.rename(self.path("real.png"), self.path("maps/real.png"))
        os.symlink("maps/real.png", self.path("link.png"))
        os.symlink("link.png", self.path("chain.png"))
        self.assertRun(self.hmap("-s", "chain.png", "0x0101"), b"", 0)
        self.assertTrue(os.path.islink(self.path("link.png")) and os.path.islink(self.path("chain.png")))
        self.assertRun(self.hmap("-s", "maps/real.png"), b"0101\r\n", 0)
        self.assertRun(self.hmap("-x", "in.prj", "link.png", "two.png"), b"", 0)
        self.assertEqual(os.readlink(self.path("link.png")), "maps/real.png")
        self.assertEqual(self.read("maps/real.png"), self.original)
        self.assertEqual(sorted(os.listdir(self.path("maps"))), ["real.png"])


@unittest.skipUnless(WINDOWS, "the Windows build")
class FullDisk(HmapTestCase):
    """A small file system that an export fills: "Disk full." with the
    system's code, whether the file is replaced or (with a hard link)
    written in place, and the old file whole."""

    def setUp(self):
        super().setUp()
        self.disk = self.path("disk")
        os.mkdir(self.disk)
        p = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=256k", "tmpfs", self.disk],
                           stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        if p.returncode != 0:
            shutil.rmtree(self.dir, ignore_errors=True)
            self.skipTest("cannot mount a small tmpfs here: " + p.stdout.decode(errors="replace").strip())

    def tearDown(self):
        subprocess.run(["umount", self.disk], check=True)
        super().tearDown()

    def test_an_export_that_fills_the_disk(self):
        harness.make_battle(self.dir, "in.prj", "--width", "512", "--height", "512")  # 512 KiB a PNG
        self.write("disk/a.png", b"old a")
        os.link(self.path("disk/a.png"), self.path("disk/hard.png"))
        self.write("disk/b.png", b"old b")
        before = snapshot(self.disk)
        failure = b" > Error: " + DISK_FULL[1] + b"\r\n"
        self.assertRun(self.hmap("-x", "in.prj", "disk/a.png", "disk/b.png"),
                       b"disk/a.png" + failure + b"disk/b.png" + failure, DISK_FULL[0])
        self.assertEqual(snapshot(self.disk), before)


@unittest.skipUnless(WINDOWS, "the Windows build")
class Interrupted(HmapTestCase):
    """Ctrl+C (Wine turns SIGINT into the console's Ctrl+C event) while a
    16384x16384 heightmap (512 MiB of PNG) is being written."""

    def interrupt_export(self, outputs, writing, what, timeout):
        """Runs hmap -x big.prj OUTPUTS, sends it Ctrl+C once writing()
        holds, and returns its exit status and output."""
        p = subprocess.Popen(harness.WINE + [harness.HMAP_EXE, "-x", "big.prj", *outputs], cwd=self.dir,
                             stdout=subprocess.PIPE, stdin=subprocess.DEVNULL,
                             env=dict(os.environ, WINEDEBUG="-all"))
        try:
            deadline = time.monotonic() + 120
            while not writing():
                self.assertIsNone(p.poll(), "the export ended before its write was seen")
                self.assertLess(time.monotonic(), deadline, what)
                time.sleep(0.01)
            p.send_signal(signal.SIGINT)
            out, _ = p.communicate(timeout=timeout)
        finally:
            if p.poll() is None:
                p.kill()
                p.wait()
        return p.returncode, out

    def test_ctrl_c_during_a_write_leaves_the_old_file_and_no_temporary_file(self):
        harness.make_battle(self.dir, "big.prj", "--width", "16384", "--height", "16384", "--terrain", "flat")
        self.write("a.png", b"old a")
        # The first output cannot be made, so the run writes only a.png;
        # interrupted once the temporary file is being written.
        status, out = self.interrupt_export(
            ["nowhere/x.png", "a.png"], lambda: [n for n in os.listdir(self.dir) if n.endswith(".tmp")],
            "no temporary file appeared", 120)
        self.assertEqual(status, CONTROL_C_EXIT, out)
        self.assertEqual(self.read("a.png"), b"old a")
        self.assertEqual(sorted(os.listdir(self.dir)), ["a.png", "big.prj"])

    def test_ctrl_c_during_a_write_in_place_waits_for_its_end(self):
        harness.make_battle(self.dir, "big.prj", "--width", "16384", "--height", "16384", "--terrain", "flat")
        self.write("a.png", b"old a")
        os.link(self.path("a.png"), self.path("a-link.png"))  # two names: written in place
        # Interrupted once the new length is reserved, before the PNG is whole.
        status, out = self.interrupt_export(
            ["a.png", "nowhere/b.png"], lambda: os.stat(self.path("a.png")).st_size > len(b"old a"),
            "the write in place did not begin", 300)
        self.assertEqual(status, CONTROL_C_EXIT, out)
        # The first PNG was finished before the process ended: whole, to its IEND.
        data = self.read("a.png")
        self.assertEqual(data[-12:], harness.png_chunk(b"IEND", b""))
        self.assertEqual(len(data), 8 + sum(12 + len(body) for _, body in harness.png_chunks(data)))
        self.assertTrue(os.path.samefile(self.path("a.png"), self.path("a-link.png")))


if __name__ == "__main__":
    unittest.main()
