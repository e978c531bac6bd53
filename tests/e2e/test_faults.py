"""Reads and writes that fail for real, for each command: a missing file, a
folder where a file is expected, a path through a regular file, an output
folder that does not exist, a read-only file, a read-only folder, an
unreadable file, a file-size limit hit in the middle of a write and a full
device. Each gives the standard file-failure report naming the path, exits
with the system's code, and leaves every existing file byte for byte as it
was, with no temporary file left behind. Links that make an output one of
the inputs, or two outputs one file, are refused before anything is written.

Permission bits do not stop root, so where they matter the program runs as
the unprivileged user "nobody" (tests run as root in CI). Under Wine the
read-only file attribute (chmod 444) stands for a read-only file; the POSIX
facilities (resource limits, users, /dev/full) are skipped there. (-s under a
file-size limit is covered with the other -s tests.)
"""
import os
import contextlib
import errno
import resource
import signal
import struct
import zlib
import fcntl
import shutil
import subprocess
import sys
import unittest

import harness
from harness import HmapTestCase, WINDOWS, error_code, file_failure, snapshot

NOBODY = 65534


as_nobody = harness.as_user(NOBODY, NOBODY)


file_size_limit = harness.file_size_limit


posix_only = unittest.skipIf(WINDOWS, "a POSIX facility")


class FaultTestCase(HmapTestCase):

    needs_tools = True

    def setUp(self):
        super().setUp()
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


class LinkedOutputs(FaultTestCase):
    """Outputs that are one file through a link: a link to the battle file
    as a drop's NAME-edited.prj (symbolic or hard), and two outputs of one
    command where one is a link to the other that does not resolve yet.
    Each is refused before anything is read or written."""

    def test_a_drops_edited_battle_file_linked_to_the_battle_file(self):
        refused = b"Error: in-edited.prj is also an input of this command; nothing was written.\r\n"
        for make, target in ((os.symlink, "in.prj"), (os.link, self.path("in.prj"))):
            with self.subTest(link=make.__name__):
                make(target, self.path("in-edited.prj"))
                before = snapshot(self.dir)
                self.assertRun(self.hmap("in.prj", "one.png", "two.png"), refused, harness.STATUS_REFUSED)
                self.assertEqual(snapshot(self.dir), before)
                os.remove(self.path("in-edited.prj"))

    @unittest.skipUnless(shutil.which("script"), "script (Debian's bsdutils) is missing: no pseudo-terminal")
    def test_a_drop_asks_about_the_file_at_the_end_of_a_link(self):
        if WINDOWS:
            self.skipTest("Wine shows a POSIX link as the file it leads to, never as a link")
        os.mkdir(self.path("sub"))
        self.write("other.prj", b"another map")
        self.write("sub/far.prj", b"a map elsewhere")
        for target, shown in (("other.prj", "other.prj"), ("sub/far.prj", "sub/far.prj")):
            with self.subTest(target=target):
                os.symlink(target, self.path("in-edited.prj"))
                before = snapshot(self.dir)
                question = f"in-edited.prj (a link to {shown}) exists. Replace it? [y/N]"
                status, output, left = harness.run_in_terminal(["in.prj", "one.png", "two.png"], self.dir,
                                                               [(question, b"n\n")])
                self.assertEqual((status, left), (harness.STATUS_REFUSED, []), output)
                self.assertEqual(harness.screen(output), ["Heightmap 1 from one.png, heightmap 2 from two.png.", question,
                                                          "n", "in-edited.prj is kept; nothing was written."])
                self.assertEqual(snapshot(self.dir), before)
                os.remove(self.path("in-edited.prj"))

    @unittest.skipIf(WINDOWS, "Wine 8 makes no Windows symbolic link, and shows a POSIX one that dangles as no "
                     "file at all")
    def test_two_outputs_one_through_a_link_that_does_not_resolve_yet(self):
        os.mkdir(self.path("sub"))
        os.symlink("a.png", self.path("b.png"))
        os.symlink("../in-1.png", self.path("sub/to-1.png"))
        os.symlink("sub/to-1.png", self.path("in-2.png"))  # a chain, through another folder
        for args, named in [(("-x", "in.prj", "a.png", "b.png"), "a.png"), (("-p", "in.prj", "b.png", "a.png"), "b.png"),
                            (("in.prj",), "in-1.png")]:
            with self.subTest(command=args[0]):
                before = snapshot(self.dir)
                self.assertRun(self.hmap(*args),
                               f"Error: {named} is named as both outputs; nothing was written.\r\n".encode(),
                               harness.STATUS_REFUSED)
                self.assertEqual(snapshot(self.dir), before)
                self.assertFalse(os.path.exists(self.path("a.png")) or os.path.exists(self.path("in-1.png")))


class AbsentOutput(FaultTestCase):
    """A path longer than an argument may be arrives empty and names no file:
    its write fails before anything is made, in the current folder or
    anywhere."""

    def test_an_over_long_output_path(self):
        long_name = "x" * 300 + ".png"
        kind = "path_not_found" if WINDOWS else "not_found"
        self.assertFails(("-x", "in.prj", long_name, "b.png"), [("", kind)], {"b.png": self.two})
        self.assertFails(("-i", "in.prj", long_name, "one.png", "two.png"), [("", kind)])


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

    def test_a_reader_that_has_gone(self):
        # Output into a pipe nobody reads: the write fails with EPIPE, which is
        # reported (into that pipe: lost) and the export goes on to its
        # second image, where a signal would have ended it.
        read_end, write_end = os.pipe()
        os.close(read_end)
        try:
            p = subprocess.run([harness.HMAP_EXE, "-x", "in.prj", "/dev/stdout", "b.png"], cwd=self.dir,
                               stdout=write_end, stderr=subprocess.PIPE, stdin=subprocess.DEVNULL)
        finally:
            os.close(write_end)
        self.assertEqual((p.returncode, p.stderr), (errno.EPIPE, b""))
        self.assertEqual(self.read("b.png"), self.two)

    def test_full_device(self):
        if not os.path.exists("/dev/full"):
            self.skipTest("no /dev/full")
        self.assertFails(("-x", "in.prj", "/dev/full", "b.png"), [("/dev/full", "no_space")], {"b.png": self.two})
        self.assertFails(("-i", "in.prj", "/dev/full", "one.png", "two.png"), [("/dev/full", "no_space")])


@posix_only
class OutOfMemory(FaultTestCase):
    """Memory that runs out while an image is decoded (an address-space limit
    far below the 128 MiB of samples of an 8192x8192 image, whose file is
    under 1 MB) is reported as such with the allocation's code, whether the
    reader's own path or LodePNG decodes it, never as a damaged file."""

    def big_png(self, name, interlaced):
        side = 8192
        z = zlib.compressobj(9)
        # Every pass of every row is zeros, filter byte included, so the
        # stream is the same length of zeros either way.
        total = side * (1 + 2 * side) if not interlaced else sum(
            h * (1 + 2 * w) for w, h in adam7_passes(side, side))
        block = b"\0" * (1 << 20)
        data = b"".join(z.compress(block) for _ in range(total >> 20)) + z.compress(b"\0" * (total & 0xFFFFF))
        data += z.flush()
        header = struct.pack(">IIBBBBB", side, side, 16, 0, 0, 0, 1 if interlaced else 0)
        self.write(name, b"\x89PNG\r\n\x1a\n" + harness.png_chunk(b"IHDR", header) + harness.png_chunk(b"IDAT", data)
                   + harness.png_chunk(b"IEND", b""))

    def test_an_image_too_large_for_the_memory_left(self):
        with open(harness.HMAP_EXE, "rb") as f:
            if b"__asan_init" in f.read() or harness.RUNNER:
                self.skipTest("an address-space limit starves the sanitizer's and valgrind's own reservations")
        limit = lambda: resource.setrlimit(resource.RLIMIT_AS, (64 << 20, 64 << 20))
        for interlaced in (False, True):
            with self.subTest(interlaced=interlaced):
                self.big_png("big.png", interlaced)
                before = snapshot(self.dir)
                message = b"Error: Out of memory while processing big.png.\r\n"
                self.assertRun(self.hmap("-i", "in.prj", "out.prj", "big.png", "big.png", preexec_fn=limit),
                               message + message, errno.ENOMEM)
                self.assertEqual(snapshot(self.dir), before)


def adam7_passes(width, height):
    """The sizes of the seven Adam7 passes of an image."""
    starts = [(0, 0, 8, 8), (4, 0, 8, 8), (0, 4, 4, 8), (2, 0, 4, 4), (0, 2, 2, 4), (1, 0, 2, 2), (0, 1, 1, 2)]
    out = []
    for x0, y0, dx, dy in starts:
        w = (width - x0 + dx - 1) // dx if width > x0 else 0
        h = (height - y0 + dy - 1) // dy if height > y0 else 0
        if w and h:
            out.append((w, h))
    return out


@posix_only
class OtherPrograms(FaultTestCase):
    """Another program at work on a file: one that changes it while hmap reads
    it (a library loaded into hmap changes the file at its first read), and
    one that holds a lock on it. Either way the run fails at once with its
    own text and status 75, and writes nothing from that file. The same
    library also stands for a folder that turned read-only mid-run, keeping
    a temporary file that hmap then names."""

    BUSY = 75

    def changed(self, path):
        return path.encode() + b" > Error: The file changed while it was being read; nothing was written.\r\n"

    def run_preloaded(self, args, preexec_fn=None, **settings):
        library = os.path.join(harness.TOOLS, "change_on_read.so")
        if not os.path.exists(library) or harness.RUNNER:
            self.skipTest("needs the native build's change_on_read.so and hmap run directly")
        env = dict(os.environ, LD_PRELOAD=library, ASAN_OPTIONS="verify_asan_link_order=0", **settings)
        return subprocess.run([harness.HMAP_EXE, *args], cwd=self.dir, stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE, stdin=subprocess.DEVNULL, env=env, preexec_fn=preexec_fn)

    def run_changing(self, name, how, *args, **when):
        return self.run_preloaded(args, HMAP_CHANGE_ON_READ="/" + name, HMAP_CHANGE_HOW=how, **when)

    def test_a_temporary_file_that_cannot_be_removed_is_named(self):
        # A write that stops part-way in a folder that no longer lets its
        # temporary file go: the report, then a warning naming that file,
        # which is all that is left.
        before = os.listdir(self.dir)
        p = self.run_preloaded(("-i", "in.prj", "out.prj", "one.png", "two.png"),
                               preexec_fn=file_size_limit(len(self.good_prj) // 2), HMAP_KEEP_TEMPORARY="1")
        self.assertFalse(os.path.exists(self.path("out.prj")))
        left = sorted(set(os.listdir(self.dir)) - set(before))
        self.assertEqual(len(left), 1)
        self.assertRegex(left[0], r"^\.hmap-")
        self.assertEqual((p.stdout, p.returncode, p.stderr),
                         (file_failure("out.prj", "too_big") + b"Warning: the temporary file " + left[0].encode()
                          + b" could not be removed; delete it.\r\n", error_code("too_big"), b""))

    def test_an_input_that_changes_while_it_is_read(self):
        # Another tool's heightmaps: a RAW file becomes the grid in its own
        # pages, a PFM is decoded into a grid of its own.
        self.write("h.r16", bytes(range(256)) * 2)
        self.write("h.pfm", b"Pf\n4 4\n-1.0\n" + struct.pack("<16f", *range(16)))
        # One of the map's size, written into a battle file in one step: let
        # go of once its rows are made, and checked then.
        self.write("m.r16", bytes(range(240)) * 8)
        for how in ("append", "overwrite", "cut"):
            for name, args, written in [
                ("in.prj", ("-x", "in.prj", "a.png", "b.png"), {}),
                ("two.png", ("-i", "in.prj", "out.prj", "one.png", "two.png"), {}),
                ("in.prj", ("-i", "in.prj", "out.prj", "one.png", "two.png"), {}),
                ("one.png", ("-s", "one.png", "7"), {}),
                ("h.r16", ("-c", "h.r16", "h.png"), {}),
                ("h.pfm", ("-c", "h.pfm", "p.r16", "0", "100"), {}),
                ("m.r16", ("-c", "m.r16", "new.prj", "in.prj", "1"), {}),
            ]:
                with self.subTest(how=how, changed=name, command=args[0]):
                    # Its last-written time well in the past, so that the
                    # change shows in it even within one tick of the clock.
                    os.utime(self.path(name), (1, 1))
                    before = snapshot(self.dir)
                    p = self.run_changing(name, how, *args)
                    self.assertEqual((p.stdout, p.returncode, p.stderr), (self.changed(name), self.BUSY, b""))
                    # Only the changed input differs; nothing was written.
                    now = snapshot(self.dir)
                    self.assertEqual(sorted(now), sorted(before))
                    self.assertEqual({k: v for k, v in now.items() if k != name},
                                     {k: v for k, v in before.items() if k != name})
                    self.write(name, before[name])

    def test_a_listing_of_an_input_that_changes_while_it_is_read(self):
        # -l counts in the files' pages: a file changed once it was read (as
        # the next file is opened) ends the listing with its line.
        for how in ("append", "overwrite", "cut"):
            for name, at in (("in.prj", "one.png"), ("one.png", "two.png")):
                with self.subTest(how=how, changed=name):
                    os.utime(self.path(name), (1, 1))
                    before = self.read(name)
                    p = self.run_preloaded(("-l", "in.prj", "one.png", "two.png"), HMAP_CHANGE_ON_READ="/" + name,
                                           HMAP_CHANGE_WHEN=at, HMAP_CHANGE_HOW=how)
                    self.write(name, before)
                    self.assertEqual((p.returncode, p.stderr), (self.BUSY, b""), p.stdout)
                    self.assertIn(b"\r\nin.prj heightmap 2 against two.png\r\n", p.stdout)
                    self.assertTrue(p.stdout.endswith(self.changed(name)), p.stdout)
    def test_an_output_written_in_place_waits_for_its_inputs(self):
        # An output with a second name is written in place: its parts wait
        # for the check of every input they are made from, so an input cut
        # short once the output is opened (loaded and checked, and read
        # again for the output) leaves both names as they were.
        self.write("h.r16", bytes(range(256)) * 2)
        colours = b"Colours span heights -4096 to 32768: water below 0, land above.\r\n"
        for name, args, output, said in [("in.prj", ("-x", "in.prj", "a.png", "b.png"), "a.png", b""),
                                         ("two.png", ("-i", "in.prj", "out.prj", "one.png", "two.png"), "out.prj", b""),
                                         ("in.prj", ("-p", "in.prj", "p1.png", "p2.png"), "p1.png", colours),
                                         ("h.r16", ("-c", "h.r16", "h.png"), "h.png", b"")]:
            with self.subTest(command=args[0]):
                self.write(output, b"old " + output.encode())
                os.link(self.path(output), self.path("also-" + output))
                before = snapshot(self.dir)
                p = self.run_changing(name, "cut", *args, HMAP_CHANGE_WHEN=output)
                now = snapshot(self.dir)
                self.write(name, before[name])
                self.assertEqual((p.stdout, p.returncode, p.stderr), (said + self.changed(name), self.BUSY, b""))
                self.assertEqual(now, dict(before, **{name: before[name][:40]}))

    def test_an_export_keeps_neither_image_when_its_battle_file_changes_while_the_second_is_made(self):
        # The first image made whole from one version, the battle file cut
        # as the second is opened (by its own name: it has a second one, so
        # it is written in place): "nothing was written" holds, for both.
        self.write("b.png", b"old b")
        os.link(self.path("b.png"), self.path("also-b.png"))
        for how in ("cut", "append"):
            with self.subTest(how=how):
                before = snapshot(self.dir)
                p = self.run_changing("in.prj", how, "-x", "in.prj", "a.png", "b.png", HMAP_CHANGE_WHEN="b.png")
                now = snapshot(self.dir)
                self.write("in.prj", before["in.prj"])
                self.assertEqual((p.stdout, p.returncode, p.stderr), (self.changed("in.prj"), self.BUSY, b""))
                self.assertEqual(now, dict(before, **{"in.prj": now["in.prj"]}))

    def test_a_pipe_that_received_part_of_an_output_is_named(self):
        # A pipe cannot wait for the check: what it got is no whole image,
        # and the message says so instead of "nothing was written".
        self.write("h.r16", bytes(range(256)) * 2)
        os.mkfifo(self.path("f.png"))
        reader = os.open(self.path("f.png"), os.O_RDONLY | os.O_NONBLOCK)  # so hmap's open does not wait
        try:
            p = self.run_changing("h.r16", "cut", "-c", "h.r16", "f.png", HMAP_CHANGE_WHEN="f.png")
            received = os.read(reader, 1 << 16)
        finally:
            os.close(reader)
        self.assertEqual((p.stdout, p.returncode, p.stderr),
                         (b"h.r16 > Error: The file changed while it was being read; what f.png received is "
                          b"incomplete.\r\n", self.BUSY, b""))
        self.assertEqual(received[:8], b"\x89PNG\r\n\x1a\n")

    def test_a_page_the_disk_cannot_read_is_a_read_error(self):
        # The battle file as it was, but its mapped pages fault when read:
        # the system's read error, not "the file changed".
        before = snapshot(self.dir)
        p = self.run_changing("in.prj", "unreadable", "-x", "in.prj", "a.png", "b.png")
        self.assertEqual((p.stdout, p.returncode, p.stderr),
                         (file_failure("in.prj", "unreadable"), error_code("unreadable"), b""))
        self.assertEqual(snapshot(self.dir), before)

    def test_a_bus_error_another_program_sends_ends_the_run(self):
        # As `kill -BUS` would, at hmap's first write (the battle file mapped):
        # no view takes it for a fault of its own, and it ends the run as
        # SIGTERM would, the temporary file removed; a write in place is
        # finished first.
        self.write("a-link.png", b"old")
        os.link(self.path("a-link.png"), self.path("in-place.png"))
        for output, written in (("a.png", {}), ("in-place.png", {"in-place.png": self.one, "a-link.png": self.one})):
            with self.subTest(output=output):
                before = snapshot(self.dir)
                p = self.run_changing("in.prj", "signal", "-x", "in.prj", output, "b.png")
                self.assertEqual((p.stdout, p.returncode, p.stderr), (b"", -signal.SIGBUS, b""))
                self.assertEqual(snapshot(self.dir), dict(before, **written))

    @contextlib.contextmanager
    def held(self, path, kind):
        """Another program holding a lock (a classic record lock, as lockf
        takes it) on `path` until the block ends."""
        script = ("import fcntl, sys\n"
                  f"f = open(sys.argv[1], {'r+b' if kind == fcntl.LOCK_EX else 'rb'!r})\n"
                  f"fcntl.lockf(f, {int(kind)})\n"
                  "print('locked', flush=True)\n"
                  "sys.stdin.read()\n")
        holder = subprocess.Popen([sys.executable, "-c", script, path], stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        try:
            self.assertEqual(holder.stdout.readline(), b"locked\n")
            yield
        finally:
            holder.stdin.close()
            holder.wait(timeout=60)

    def test_a_file_another_program_holds_locked(self):
        os.link(self.path("one.png"), self.path("linked.png"))  # so a write goes in place
        busy = b"one.png > Error: Another program is writing this file.\r\n"
        for kind in (fcntl.LOCK_EX, fcntl.LOCK_SH):
            with self.subTest(lock="exclusive" if kind == fcntl.LOCK_EX else "shared"):
                with self.held(self.path("one.png"), kind):
                    before = snapshot(self.dir)
                    # Written in place: refused before a byte changes; the
                    # export still writes its other image.
                    self.assertRun(self.hmap("-x", "in.prj", "one.png", "b.png"), busy, self.BUSY)
                    self.assertEqual(snapshot(self.dir), dict(before, **{"b.png": self.two}))
                    os.remove(self.path("b.png"))
                    self.assertRun(self.hmap("-s", "one.png", "7"), busy, self.BUSY)
                    # Read: refused only while a writer holds it.
                    result = self.hmap("-i", "in.prj", "out.prj", "one.png", "two.png")
                    if kind == fcntl.LOCK_EX:
                        self.assertRun(result, busy, self.BUSY)
                    else:
                        self.assertRun(result, b"", 0)
                        os.remove(self.path("out.prj"))
                    self.assertEqual(snapshot(self.dir), before)


if __name__ == "__main__":
    unittest.main()
