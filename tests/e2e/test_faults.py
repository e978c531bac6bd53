"""Reads and writes that fail for real, for each command: a missing file, a
folder where a file is expected, a path through a regular file, an output
folder that does not exist, a read-only file, a read-only folder, an
unreadable file, a file-size limit hit in the middle of a write and a full
device. Each gives the standard file-failure report naming the path, exits
with the system's code, and leaves every existing file byte for byte as it
was, with no temporary file left behind.

Permission bits do not stop root, so where they matter the program runs as
the unprivileged user "nobody" (tests run as root in CI). Under Wine the
read-only file attribute (chmod 444) stands for a read-only file; the POSIX
facilities (resource limits, users, /dev/full) are skipped there. (-s under a
file-size limit is covered with the other -s tests.)
"""
import os
import resource
import shutil
import signal
import unittest

import harness
from harness import HmapTestCase, WINDOWS, error_code, file_failure, snapshot

NOBODY = 65534


def as_nobody():
    os.setgroups([])
    os.setgid(NOBODY)
    os.setuid(NOBODY)


def file_size_limit(limit):
    def apply():
        # Ignored, SIGXFSZ no longer kills the writer: the write fails with EFBIG.
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit))
    return apply


posix_only = unittest.skipIf(WINDOWS, "a POSIX facility")


class FaultTestCase(HmapTestCase):

    def setUp(self):
        super().setUp()
        if not harness.TOOLS:
            self.skipTest("HMAP_TOOLS not set")
        harness.make_battle(self.dir, "in.prj", "--width", "40", "--height", "24", "--seed", "9")
        self.assertRun(self.hmap("-x", "in.prj", "one.png", "two.png"), b"", 0)
        # What a successful run writes, to compare the outputs a partly
        # failed run still makes.
        self.assertRun(self.hmap("-i", "in.prj", "good.prj", "one.png", "two.png"), b"", 0)
        self.good_prj = self.read("good.prj")
        os.remove(self.path("good.prj"))
        self.one, self.two = self.read("one.png"), self.read("two.png")
        os.mkdir(self.path("folder"))
        # As root, permission bits only bind the unprivileged user the
        # program then runs as, who may write in the scratch folder.
        os.chmod(self.dir, 0o777)
        self.drop = as_nobody if not WINDOWS and os.getuid() == 0 else None

    def assertFails(self, args, failures, written=None, preexec_fn=None):
        """Runs hmap; `failures` lists the (path, kind) reports in order, the
        first giving the exit status; afterwards the folder holds what it held
        before plus exactly `written` (name -> bytes)."""
        before = snapshot(self.dir)
        result = self.hmap(*args, preexec_fn=preexec_fn)
        expected = b"".join(file_failure(path, kind) for path, kind in failures)
        self.assertRun(result, expected, error_code(failures[0][1]))
        self.assertEqual(snapshot(self.dir), dict(before, **(written or {})))


class MissingAndMisplaced(FaultTestCase):
    """Paths that name nothing, a folder, or lead through a regular file."""

    def test_inputs(self):
        for path, kind in [("none.prj", "not_found"), ("folder", "is_dir"), ("nowhere/in.prj", "path_not_found"),
                           ("in.prj/in.prj", "not_dir")]:
            with self.subTest(battle=path):
                self.assertFails(("-x", path, "a.png", "b.png"), [(path, kind)])
                self.assertFails(("-i", path, "out.prj", "one.png", "two.png"), [(path, kind)])
        for path, kind in [("none.png", "not_found"), ("folder", "is_dir"), ("nowhere/x.png", "path_not_found"),
                           ("one.png/x.png", "not_dir")]:
            with self.subTest(png=path):
                # Both PNGs are loaded, so both report.
                self.assertFails(("-i", "in.prj", "out.prj", path, "two.png"), [(path, kind)])
                self.assertFails(("-i", "in.prj", "out.prj", "one.png", path), [(path, kind)])
                self.assertFails(("-i", "in.prj", "out.prj", path, path), [(path, kind), (path, kind)])
                self.assertFails(("-s", path), [(path, kind)])
                self.assertFails(("-s", path, "7"), [(path, kind)])

    def test_outputs(self):
        for path, kind in [("folder", "is_dir"), ("nowhere/out", "path_not_found"), ("in.prj/out", "not_dir")]:
            with self.subTest(output=path):
                # The export still writes the second PNG when the first fails, and the other way round.
                self.assertFails(("-x", "in.prj", path, "b.png"), [(path, kind)], {"b.png": self.two})
                self.assertFails(("-x", "in.prj", "a.png", path), [(path, kind)], {"a.png": self.one})
                os.remove(self.path("a.png"))
                os.remove(self.path("b.png"))
                if path == "folder":  # one name twice: refused before anything is tried
                    before = snapshot(self.dir)
                    self.assertRun(self.hmap("-x", "in.prj", path, path),
                                   b"Error: folder is named as both outputs; nothing was written.\r\n", 65)
                    self.assertEqual(snapshot(self.dir), before)
                else:
                    self.assertFails(("-x", "in.prj", path, path), [(path, kind), (path, kind)])
                self.assertFails(("-i", "in.prj", path, "one.png", "two.png"), [(path, kind)])


class LongPaths(FaultTestCase):
    """Paths up to the longest an argument may be (259 characters), with a
    short file name in a folder long enough that a temporary name beside the
    target, longer than the target's own, would reach and pass the system's
    limit: every one is written, and nothing else is left behind."""

    def test_writes_near_the_path_limit(self):
        for folder_length in range(236, 254):
            folder = "d" * folder_length
            os.mkdir(self.path(folder))
            path = folder + "/f.png"
            self.write(path, self.one)
            with self.subTest(path_length=len(path)):
                self.assertRun(self.hmap("-s", path, "7"), b"", 0)
                self.assertRun(self.hmap("-s", path), b"0007\r\n", 0)
                self.assertEqual(sorted(os.listdir(self.path(folder))), ["f.png"])
            shutil.rmtree(self.path(folder))


class Permissions(FaultTestCase):
    """Read-only files and folders, and unreadable files."""

    def test_read_only_files_are_not_replaced(self):
        for name in ("a.png", "out.prj", "one.png"):
            self.write(name, self.read("one.png") if name == "one.png" else b"old " + name.encode())
            os.chmod(self.path(name), 0o444)
        self.assertFails(("-x", "in.prj", "a.png", "b.png"), [("a.png", "access")], {"b.png": self.two},
                         preexec_fn=self.drop)
        os.chmod(self.path("b.png"), 0o444)
        self.assertFails(("-x", "in.prj", "a.png", "b.png"), [("a.png", "access"), ("b.png", "access")],
                         preexec_fn=self.drop)
        self.assertFails(("-i", "in.prj", "out.prj", "one.png", "two.png"), [("out.prj", "access")],
                         preexec_fn=self.drop)
        self.assertFails(("-s", "one.png", "7"), [("one.png", "access")], preexec_fn=self.drop)
        # Reading them is fine.
        self.assertRun(self.hmap("-s", "one.png", preexec_fn=self.drop), self.hmap("-s", "two.png").stdout, 0)

    @posix_only
    def test_read_only_folder(self):
        os.mkdir(self.path("ro"))
        self.write("ro/f.png", self.one)
        self.write("ro/old.prj", b"old")
        os.chmod(self.path("ro/f.png"), 0o666)
        os.chmod(self.path("ro/old.prj"), 0o666)
        os.chmod(self.path("ro"), 0o555)
        try:
            # No new file can be made there.
            self.assertFails(("-x", "in.prj", "ro/a.png", "ro/b.png"),
                             [("ro/a.png", "access"), ("ro/b.png", "access")], preexec_fn=self.drop)
            # A file anyone may write is written in place, as the shell's
            # redirection would: no temporary file can go beside it.
            self.assertRun(self.hmap("-i", "in.prj", "ro/old.prj", "one.png", "two.png", preexec_fn=self.drop),
                           b"", 0)
            self.assertEqual(self.read("ro/old.prj"), self.good_prj)
            self.assertRun(self.hmap("-s", "ro/f.png", "7", preexec_fn=self.drop), b"", 0)
            self.assertRun(self.hmap("-s", "ro/f.png"), b"0007\r\n", 0)
            self.assertEqual(sorted(os.listdir(self.path("ro"))), ["f.png", "old.prj"])
        finally:
            os.chmod(self.path("ro"), 0o755)

    @posix_only
    def test_unreadable_inputs(self):
        os.chmod(self.path("in.prj"), 0o200)
        os.chmod(self.path("two.png"), 0o200)
        self.assertFails(("-x", "in.prj", "a.png", "b.png"), [("in.prj", "access")], preexec_fn=self.drop)
        self.assertFails(("-i", "in.prj", "out.prj", "one.png", "two.png"), [("two.png", "access")],
                         preexec_fn=self.drop)
        self.assertFails(("-s", "two.png"), [("two.png", "access")], preexec_fn=self.drop)
        self.assertFails(("-s", "two.png", "7"), [("two.png", "access")], preexec_fn=self.drop)


@posix_only
class FailedWrites(FaultTestCase):
    """Writes that stop part-way: a file-size limit and a full device."""

    def test_file_size_limit_hit_mid_write(self):
        # Large enough for neither PNG nor the new battle file, so each write
        # stops part-way; the old files stay whole and no temporary file stays.
        self.write("a.png", b"old a")
        self.write("out.prj", b"old out")
        limit = file_size_limit(min(len(self.one), len(self.good_prj)) // 2)
        self.assertFails(("-x", "in.prj", "a.png", "b.png"), [("a.png", "too_big"), ("b.png", "too_big")],
                         preexec_fn=limit)
        self.assertFails(("-i", "in.prj", "out.prj", "one.png", "two.png"), [("out.prj", "too_big")],
                         preexec_fn=limit)
        # The import may replace its own input; a failed write keeps it.
        self.assertFails(("-i", "in.prj", "in.prj", "one.png", "two.png"), [("in.prj", "too_big")],
                         preexec_fn=limit)

    def test_full_device(self):
        if not os.path.exists("/dev/full"):
            self.skipTest("no /dev/full")
        self.assertFails(("-x", "in.prj", "/dev/full", "b.png"), [("/dev/full", "no_space")], {"b.png": self.two})
        self.assertFails(("-i", "in.prj", "/dev/full", "one.png", "two.png"), [("/dev/full", "no_space")])


if __name__ == "__main__":
    unittest.main()
