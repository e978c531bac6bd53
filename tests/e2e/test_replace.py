"""Replacing a file keeps what makes it that file: its hard links, owner,
group, permission bits, extended attributes (ACLs included) and the symbolic
links that lead to it. Where a new file renamed into place could not keep
them (more than one hard link, an owner the writer cannot give, an attribute
it cannot copy, a sticky folder, a bind-mounted file) the file is written in
place, its new length reserved first. A run ended by SIGINT, SIGTERM or
SIGHUP leaves no temporary file and the old file as it was. And no command
writes over one of its own inputs.

The own-input check runs on both builds. The rest is POSIX (users, links,
attributes, mounts, signals) and is skipped under Wine, where the Windows
build's own ways (its replacement call, console events) are tested apart.
Tests run as root in CI: the unprivileged cases run hmap as another user,
made up by number.
"""
import errno
import os
import resource
import signal
import stat
import subprocess
import sys
import tempfile
import shutil
import time
import unittest
import zlib

import harness
from harness import HmapTestCase, WINDOWS, STATUS_REFUSED, file_failure, png_chunks, snapshot

NOBODY = 65534
GROUP = 12000           # a group of two made-up users
MEMBER = 12001          # in GROUP
OTHER_MEMBER = 12002    # in GROUP too
STRANGER = 12003        # in no group of the others

posix_only = unittest.skipIf(WINDOWS, "a POSIX facility; the Windows build's replacement is tested with it")


as_user = harness.as_user


file_size_limit = harness.file_size_limit


def temporaries(folder):
    return [n for n in os.listdir(folder) if n.startswith(".hmap-")]


class ReplaceTestCase(HmapTestCase):
    """A scratch folder others may enter, with in.prj and what a plain export
    and import of it write (self.one, self.two, self.good_prj)."""

    needs_tools = True

    def setUp(self):
        super().setUp()
        os.chmod(self.dir, 0o755)
        harness.make_battle(self.dir, "in.prj", "--width", "40", "--height", "24", "--seed", "3")
        self.assertRun(self.hmap("-x", "in.prj", "one.png", "two.png"), b"", 0)
        self.assertRun(self.hmap("-i", "in.prj", "good.prj", "one.png", "two.png"), b"", 0)
        self.one, self.two, self.good_prj = self.read("one.png"), self.read("two.png"), self.read("good.prj")
        os.remove(self.path("good.prj"))

    def needs_root(self):
        if os.getuid() != 0:
            self.skipTest("needs root, to act as other users")

    def skip_because(self, reason):
        print(f"\n{self.id()}: skipped: {reason}", file=sys.stderr)
        self.skipTest(reason)

    def assertSeaLevel(self, name, shown):
        self.assertRun(self.hmap("-s", name), shown + b"\r\n", 0)

    def assertSameFile(self, name, before):
        """`name` is still the file (inode) `before` was, with its owner,
        group and mode."""
        now = os.stat(self.path(name))
        self.assertEqual((now.st_ino, now.st_uid, now.st_gid, stat.S_IMODE(now.st_mode)),
                         (before.st_ino, before.st_uid, before.st_gid, stat.S_IMODE(before.st_mode)))


class OwnInputs(ReplaceTestCase):
    """An export over its battle file or an import over one of its images is
    refused before anything is read, however the path is spelled."""

    def clash(self, *outputs):
        return b"".join(b"Error: " + o.encode() + b" is also an input of this command; nothing was written.\r\n"
                        for o in outputs)

    def test_export_over_its_battle_file(self):
        os.mkdir(self.path("sub"))
        os.link(self.path("in.prj"), self.path("hard.prj"))
        spellings = ["in.prj", "./in.prj", "sub/../in.prj", "hard.prj", os.path.join(self.dir, "in.prj")]
        if not WINDOWS:
            os.symlink("in.prj", self.path("link.prj"))
            spellings.append("link.prj")
        before = snapshot(self.dir)
        for out in spellings:
            with self.subTest(out=out):
                self.assertRun(self.hmap("-x", "in.prj", out, "b.png"), self.clash(out), STATUS_REFUSED)
                self.assertRun(self.hmap("-x", "in.prj", "a.png", out), self.clash(out), STATUS_REFUSED)
                self.assertRun(self.hmap("-x", out, "a.png", "in.prj"), self.clash("in.prj"), STATUS_REFUSED)
                self.assertRun(self.hmap("-x", "in.prj", out, out), self.clash(out, out), STATUS_REFUSED)
                self.assertUnchanged(before)
        # Checked first: a battle file that is no battle file gets only this.
        self.write("junk.prj", b"junk")
        self.assertRun(self.hmap("-x", "junk.prj", "junk.prj", "b.png"), self.clash("junk.prj"), STATUS_REFUSED)
        self.assertEqual(self.read("junk.prj"), b"junk")

    def test_import_over_one_of_its_images(self):
        os.mkdir(self.path("sub"))
        before = snapshot(self.dir)
        for args, out in [(("one.png", "one.png", "two.png"), "one.png"),
                          (("sub/../two.png", "one.png", "two.png"), "sub/../two.png"),
                          (("./one.png", "one.png", "one.png"), "./one.png")]:
            with self.subTest(args=args):
                self.assertRun(self.hmap("-i", "in.prj", *args), self.clash(out), STATUS_REFUSED)
                self.assertUnchanged(before)
        # Checked first: damaged images report nothing else.
        self.write("bad.png", b"not a png")
        self.assertRun(self.hmap("-i", "in.prj", "bad.png", "bad.png", "two.png"), self.clash("bad.png"),
                       STATUS_REFUSED)
        self.assertRun(self.hmap("-i", "missing.prj", "bad.png", "two.png", "bad.png"), self.clash("bad.png"),
                       STATUS_REFUSED)
        self.assertEqual(self.read("bad.png"), b"not a png")
        # Over its own battle file is allowed.
        self.assertRun(self.hmap("-i", "in.prj", "in.prj", "one.png", "two.png"), b"", 0)
        self.assertEqual(self.read("in.prj"), self.good_prj)


@posix_only
class HardLinks(ReplaceTestCase):
    """A file with more than one name is written in place: every name sees
    the new content."""

    def test_every_command_keeps_the_links(self):
        self.write("real.png", self.one)
        os.link(self.path("real.png"), self.path("hard.png"))
        before = os.stat(self.path("real.png"))
        self.assertRun(self.hmap("-s", "real.png", "7"), b"", 0)
        self.assertSeaLevel("hard.png", b"0007")
        self.assertSameFile("hard.png", before)
        self.assertEqual(os.stat(self.path("real.png")).st_nlink, 2)
        # Longer and shorter than the old content: cut to the new length.
        for old in (b"old", b"x" * (len(self.good_prj) * 3)):
            with self.subTest(old_length=len(old)):
                for name in ("a.png", "b.png", "out.prj"):
                    self.write(name, old)
                    os.link(self.path(name), self.path("also-" + name))
                self.assertRun(self.hmap("-x", "in.prj", "a.png", "b.png"), b"", 0)
                self.assertRun(self.hmap("-i", "in.prj", "out.prj", "one.png", "two.png"), b"", 0)
                self.assertEqual(self.read("also-a.png"), self.one)
                self.assertEqual(self.read("also-b.png"), self.two)
                self.assertEqual(self.read("also-out.prj"), self.good_prj)
                for name in ("a.png", "b.png", "out.prj"):
                    os.remove(self.path("also-" + name))
        self.assertEqual(temporaries(self.dir), [])

    def test_a_write_in_place_that_cannot_fit_changes_nothing(self):
        # The new length is reserved before a byte changes: a file-size limit
        # stops the write while the old content, and its length, are whole.
        for name in ("a.png", "out.prj"):
            self.write(name, b"old " + name.encode())
            os.link(self.path(name), self.path("also-" + name))
        before = snapshot(self.dir)
        limit = file_size_limit(min(len(self.one), len(self.good_prj)) // 2)
        result = self.hmap("-x", "in.prj", "a.png", "also-b.png", preexec_fn=limit)
        self.assertRun(result, file_failure("a.png", "too_big") + file_failure("also-b.png", "too_big"),
                       errno.EFBIG)
        result = self.hmap("-i", "in.prj", "out.prj", "one.png", "two.png", preexec_fn=limit)
        self.assertRun(result, file_failure("out.prj", "too_big"), errno.EFBIG)
        self.assertUnchanged(before)


@posix_only
class Owners(ReplaceTestCase):
    """Owner, group and permission bits stay, whoever writes."""

    def setUp(self):
        super().setUp()
        self.needs_root()

    def test_root_writing_a_file_of_another_user(self):
        self.write("theirs.png", self.one)
        self.write("theirs.prj", b"old")
        for name in ("theirs.png", "theirs.prj"):
            os.chown(self.path(name), NOBODY, NOBODY)
            os.chmod(self.path(name), 0o664)
        before = {name: os.stat(self.path(name)) for name in ("theirs.png", "theirs.prj")}
        self.assertRun(self.hmap("-s", "theirs.png", "7"), b"", 0)
        self.assertRun(self.hmap("-i", "in.prj", "theirs.prj", "one.png", "two.png"), b"", 0)
        self.assertSeaLevel("theirs.png", b"0007")
        self.assertEqual(self.read("theirs.prj"), self.good_prj)
        for name, old in before.items():
            now = os.stat(self.path(name))
            self.assertEqual((now.st_uid, now.st_gid, stat.S_IMODE(now.st_mode)), (NOBODY, NOBODY, 0o664), name)
        self.assertEqual(temporaries(self.dir), [])

    def test_group_member_writing_a_shared_file(self):
        # The folder lets the member make files, but the file must stay its
        # owner's: written in place.
        os.chmod(self.dir, 0o777)
        self.write("shared.png", self.one)
        os.chown(self.path("shared.png"), OTHER_MEMBER, GROUP)
        os.chmod(self.path("shared.png"), 0o664)
        before = os.stat(self.path("shared.png"))
        member = as_user(MEMBER, GROUP, [GROUP])
        self.assertRun(self.hmap("-s", "shared.png", "7", preexec_fn=member), b"", 0)
        self.assertSeaLevel("shared.png", b"0007")
        self.assertSameFile("shared.png", before)
        self.assertRun(self.hmap("-x", "in.prj", "shared.png", "b.png", preexec_fn=member), b"", 0)
        self.assertEqual(self.read("shared.png"), self.one)
        self.assertSameFile("shared.png", before)
        # b.png is new: the member's own.
        self.assertEqual(os.stat(self.path("b.png")).st_uid, MEMBER)
        self.assertEqual(temporaries(self.dir), [])

    def test_sticky_folder(self):
        # World-writable files of another user in a folder such as /tmp: the
        # shell may write them, and so may hmap.
        os.mkdir(self.path("sticky"))
        os.chmod(self.path("sticky"), 0o1777)
        for name, data in (("f.png", self.one), ("a.png", b"old a")):
            self.write("sticky/" + name, data)
            os.chown(self.path("sticky/" + name), NOBODY, NOBODY)
            os.chmod(self.path("sticky/" + name), 0o666)
        before = os.stat(self.path("sticky/f.png"))
        stranger = as_user(STRANGER, STRANGER)
        self.assertRun(self.hmap("-s", "sticky/f.png", "7", preexec_fn=stranger), b"", 0)
        self.assertSeaLevel("sticky/f.png", b"0007")
        self.assertSameFile("sticky/f.png", before)
        self.assertRun(self.hmap("-x", "in.prj", "sticky/a.png", "sticky/b.png", preexec_fn=stranger), b"", 0)
        self.assertEqual(self.read("sticky/a.png"), self.one)
        self.assertEqual(self.read("sticky/b.png"), self.two)
        self.assertEqual(os.stat(self.path("sticky/a.png")).st_uid, NOBODY)
        self.assertEqual(sorted(os.listdir(self.path("sticky"))), ["a.png", "b.png", "f.png"])


@posix_only
class Attributes(ReplaceTestCase):
    """Extended attributes, ACLs among them, come along."""

    def attributes(self, name):
        return {a: os.getxattr(self.path(name), a) for a in os.listxattr(self.path(name))}

    def setUp(self):
        super().setUp()
        try:
            os.setxattr(self.path("one.png"), "user.probe", b"1")
        except OSError as e:
            self.skip_because(f"the scratch folder's file system takes no user attributes: {e}")

    def test_user_attributes(self):
        self.write("f.png", self.one)
        os.setxattr(self.path("f.png"), "user.note", b"keep me")
        os.setxattr(self.path("f.png"), "user.empty", b"")
        before = self.attributes("f.png")
        self.assertRun(self.hmap("-s", "f.png", "7"), b"", 0)
        self.assertSeaLevel("f.png", b"0007")
        self.assertEqual(self.attributes("f.png"), before)

    def test_acl_and_the_folders_default_acl(self):
        if shutil.which("setfacl") is None:
            self.skip_because("setfacl is not installed (Debian's acl)")
        self.write("acl.png", self.one)
        self.write("plain.png", self.one)
        subprocess.run(["setfacl", "-m", f"u:{STRANGER}:rw", self.path("acl.png")], check=True)
        # The folder's default ACL would give a new file an ACL that
        # plain.png, made before it, does not have.
        subprocess.run(["setfacl", "-d", "-m", f"u:{STRANGER}:rwx", self.dir], check=True)
        before = {name: (self.attributes(name), stat.S_IMODE(os.stat(self.path(name)).st_mode))
                  for name in ("acl.png", "plain.png")}
        self.assertIn("system.posix_acl_access", before["acl.png"][0])
        for name in ("acl.png", "plain.png"):
            self.assertRun(self.hmap("-s", name, "7"), b"", 0)
            self.assertSeaLevel(name, b"0007")
            self.assertEqual((self.attributes(name), stat.S_IMODE(os.stat(self.path(name)).st_mode)),
                             before[name], name)

    def test_an_attribute_that_cannot_be_copied(self):
        # The writer may write its file but not read it, so not read its
        # attribute either: written in place, the attribute stays.
        self.needs_root()
        os.chmod(self.dir, 0o777)
        self.write("wo.png", b"old")
        os.setxattr(self.path("wo.png"), "user.note", b"keep me")
        os.chown(self.path("wo.png"), STRANGER, STRANGER)
        os.chmod(self.path("wo.png"), 0o200)
        before = os.stat(self.path("wo.png"))
        self.assertRun(self.hmap("-x", "in.prj", "wo.png", "b.png", preexec_fn=as_user(STRANGER, STRANGER)), b"", 0)
        self.assertEqual(self.read("wo.png"), self.one)
        self.assertEqual(self.attributes("wo.png"), {"user.note": b"keep me"})
        self.assertSameFile("wo.png", before)


@posix_only
class Mounts(ReplaceTestCase):
    """A bind-mounted file, and a full small file system."""

    def setUp(self):
        self.mounted = []
        super().setUp()

    def tearDown(self):
        # Before the scratch folder goes, which a mount would keep.
        for point in reversed(self.mounted):
            subprocess.run(["umount", point], check=True)
        super().tearDown()

    def mount(self, *args):
        p = subprocess.run(["mount", *args], stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        if p.returncode != 0:
            self.skip_because(f"mount {' '.join(args)} is not permitted here: {p.stdout.decode().strip()}")
        self.mounted.append(args[-1])

    def test_bind_mounted_file(self):
        self.write("source.png", self.one)
        self.write("mounted.png", b"")
        self.mount("--bind", self.path("source.png"), self.path("mounted.png"))
        self.assertRun(self.hmap("-s", "mounted.png", "7"), b"", 0)
        self.assertSeaLevel("source.png", b"0007")
        self.assertRun(self.hmap("-x", "in.prj", "b.png", "mounted.png"), b"", 0)
        self.assertEqual(self.read("source.png"), self.two)
        self.assertEqual(temporaries(self.dir), [])

    def test_full_file_system(self):
        harness.make_battle(self.dir, "wide.prj", "--width", "640", "--height", "480")
        self.assertRun(self.hmap("-x", "wide.prj", "wide1.png", "wide2.png"), b"", 0)
        wide1 = self.read("wide1.png")
        os.mkdir(self.path("small"))
        self.mount("-t", "tmpfs", "-o", "size=1m", "tmpfs", self.path("small"))
        self.write("small/filler", b"f" * 600_000)
        self.write("small/a.png", b"old a")
        self.write("small/hard.png", b"old hard")
        os.link(self.path("small/hard.png"), self.path("small/hard-link.png"))
        before = snapshot(self.dir)
        # A new file beside the old one does not fit: the old one stays.
        self.assertRun(self.hmap("-x", "wide.prj", "small/a.png", "small/b.png"),
                       file_failure("small/a.png", "no_space") + file_failure("small/b.png", "no_space"),
                       errno.ENOSPC)
        # Nor does the new length of a file written in place: refused before
        # a byte of it changes, its length included.
        self.assertRun(self.hmap("-x", "wide.prj", "small/hard.png", "small/b.png"),
                       file_failure("small/hard.png", "no_space") + file_failure("small/b.png", "no_space"),
                       errno.ENOSPC)
        self.assertUnchanged(before)
        # In place the old file's own room is used: it fits where a new file
        # beside it would not.
        os.remove(self.path("small/filler"))
        self.write("small/hard.png", b"h" * 700_000)
        self.assertRun(self.hmap("-x", "wide.prj", "small/a.png", "small/b.png"),
                       file_failure("small/a.png", "no_space") + file_failure("small/b.png", "no_space"),
                       errno.ENOSPC)
        self.assertRun(self.hmap("-x", "wide.prj", "small/hard.png", "small/b.png"),
                       file_failure("small/b.png", "no_space"), errno.ENOSPC)
        self.assertEqual(self.read("small/hard-link.png"), wide1)
        self.assertEqual(temporaries(self.path("small")), [])


@posix_only
class SymbolicLinks(ReplaceTestCase):
    """A link given as output stays a link: the file at the end of the chain
    is replaced, or created when the link dangles, as the shell's
    redirection does."""

    def test_live_links(self):
        os.mkdir(self.path("sub"))
        self.write("real.png", self.one)
        os.symlink("../real.png", self.path("sub/link.png"))  # relative to its own folder
        os.symlink("sub/link.png", self.path("chain.png"))
        self.assertRun(self.hmap("-s", "chain.png", "7"), b"", 0)
        self.assertSeaLevel("real.png", b"0007")
        self.assertRun(self.hmap("-x", "in.prj", "sub/link.png", "b.png"), b"", 0)
        self.assertEqual(self.read("real.png"), self.one)
        self.assertEqual((os.readlink(self.path("chain.png")), os.readlink(self.path("sub/link.png"))),
                         ("sub/link.png", "../real.png"))
        self.assertEqual(temporaries(self.dir) + temporaries(self.path("sub")), [])

    def test_dangling_links(self):
        os.mkdir(self.path("sub"))
        os.symlink("nonexist.png", self.path("d.png"))
        os.symlink("sub/new.prj", self.path("d.prj"))
        self.assertRun(self.hmap("-x", "in.prj", "d.png", "b.png"), b"", 0)
        self.assertRun(self.hmap("-i", "in.prj", "d.prj", "one.png", "two.png"), b"", 0)
        self.assertEqual(self.read("nonexist.png"), self.one)
        self.assertEqual(self.read("sub/new.prj"), self.good_prj)
        self.assertEqual((os.readlink(self.path("d.png")), os.readlink(self.path("d.prj"))),
                         ("nonexist.png", "sub/new.prj"))
        # Into a folder that does not exist, or round in a loop: reported, nothing made.
        os.symlink("nowhere/x.png", self.path("lost.png"))
        os.symlink("loop2.png", self.path("loop1.png"))
        os.symlink("loop1.png", self.path("loop2.png"))
        before = snapshot(self.dir)
        result = self.hmap("-x", "in.prj", "lost.png", "loop1.png")
        self.assertRun(result, file_failure("lost.png", "not_found")
                       + b"loop1.png > Error: " + os.strerror(errno.ELOOP).encode() + b"\r\n", errno.ENOENT)
        self.assertUnchanged(before)


class LongestPath(ReplaceTestCase):
    """A file of a short name at the end of a 259-character path (the longest
    argument) is written by every command."""

    def test_short_name_at_the_path_limit(self):
        folder = "d" * 253
        os.mkdir(self.path(folder))
        paths = [folder + "/" + name for name in ("a.png", "b.png", "o.prj")]
        self.assertEqual({len(p) for p in paths}, {259})
        self.assertRun(self.hmap("-x", "in.prj", paths[0], paths[1]), b"", 0)
        self.assertRun(self.hmap("-s", paths[0], "7"), b"", 0)
        self.assertSeaLevel(paths[0], b"0007")
        self.assertRun(self.hmap("-i", "in.prj", paths[2], "one.png", paths[1]), b"", 0)
        self.assertEqual(self.read(paths[2]), self.good_prj)
        self.assertEqual(sorted(os.listdir(self.path(folder))), ["a.png", "b.png", "o.prj"])


@posix_only
class Interrupted(HmapTestCase):
    """Signals that end a 16384x16384 export in the middle of its first PNG.
    The signal is sent once the write is seen under way (never after a fixed
    time)."""

    @classmethod
    def setUpClass(cls):
        cls.big = None
        if harness.HMAP_EXE and harness.TOOLS:
            cls.big_dir = tempfile.mkdtemp(prefix="hmap-e2e-big-")
            cls.big = harness.make_battle(cls.big_dir, "big.prj", "--width", "16384", "--height", "16384",
                                          "--terrain", "flat")

    @classmethod
    def tearDownClass(cls):
        if cls.big:
            shutil.rmtree(cls.big_dir, ignore_errors=True)

    def setUp(self):
        super().setUp()
        if not self.big:
            self.skipTest("HMAP_TOOLS not set")
        # The old PNG: a small export.
        harness.make_battle(self.dir, "small.prj", "--width", "16", "--height", "16")
        self.assertRun(self.hmap("-x", "small.prj", "a.png", "old-b.png"), b"", 0)
        os.remove(self.path("small.prj"))
        os.remove(self.path("old-b.png"))
        self.old = self.read("a.png")

    def start_export(self):
        command = [harness.HMAP_EXE, "-x", self.big, "a.png", "b.png"]
        # No core file for the signals whose default leaves one (SIGQUIT, SIGXCPU).
        no_core = lambda: resource.setrlimit(resource.RLIMIT_CORE, (0, 0))
        process = subprocess.Popen(command, cwd=self.dir, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                   stdin=subprocess.DEVNULL, preexec_fn=no_core)
        self.addCleanup(lambda: process.poll() is None and process.kill())
        return process

    def wait_until(self, process, seen):
        while not seen():
            if process.poll() is not None:
                self.fail(f"the export ended (status {process.returncode}) before its write was seen")
            time.sleep(0.002)

    def assertEndedBy(self, process, signal_number):
        stdout, stderr = process.communicate(timeout=600)
        self.assertEqual((process.returncode, stdout, stderr), (-signal_number, b"", b""))

    def test_a_temporary_file_is_removed(self):
        # Every signal whose default action ends a program, but those that
        # report the program's own faults.
        ending = [signal.SIGINT, signal.SIGTERM, signal.SIGHUP, signal.SIGQUIT, signal.SIGALRM, signal.SIGUSR1,
                  signal.SIGUSR2, signal.SIGVTALRM, signal.SIGPROF, signal.SIGXCPU, signal.SIGPOLL, signal.SIGPWR,
                  signal.SIGRTMIN, signal.SIGRTMAX]
        for signal_number in ending:
            with self.subTest(signal=getattr(signal_number, "name", signal_number)):
                process = self.start_export()
                self.wait_until(process, lambda: temporaries(self.dir))
                first = temporaries(self.dir)
                # Stopped, it cannot rename; the first PNG's temporary file
                # still there shows that the signal comes in the middle of
                # its write.
                os.kill(process.pid, signal.SIGSTOP)
                self.assertEqual(temporaries(self.dir), first,
                                 "the export got past its first PNG before it was stopped")
                os.kill(process.pid, signal_number)
                os.kill(process.pid, signal.SIGCONT)
                self.assertEndedBy(process, signal_number)
                self.assertEqual(sorted(os.listdir(self.dir)), ["a.png"])
                self.assertEqual(self.read("a.png"), self.old)

    def write_position(self, process, name):
        """The offset of the stopped process's open file `name`, from /proc."""
        inode = os.stat(self.path(name)).st_ino
        fds = f"/proc/{process.pid}/fd"
        for fd in os.listdir(fds):
            try:
                if os.stat(os.path.join(fds, fd)).st_ino != inode:
                    continue
                with open(f"/proc/{process.pid}/fdinfo/{fd}") as f:
                    return int(next(line for line in f if line.startswith("pos:")).split()[1])
            except FileNotFoundError:
                continue
        return None

    def test_a_write_in_place_is_finished_first(self):
        # A hard-linked PNG is written in place: its length grows when the
        # write begins, and from then on a signal waits for the write's end.
        os.link(self.path("a.png"), self.path("a-link.png"))
        process = self.start_export()
        self.wait_until(process, lambda: os.stat(self.path("a.png")).st_size > len(self.old))
        # Stopped with the file open and not all of it written, the signal
        # comes in the middle of the write.
        os.kill(process.pid, signal.SIGSTOP)
        size = os.stat(self.path("a.png")).st_size
        position = self.write_position(process, "a.png")
        self.assertIsNotNone(position, "the export had closed the PNG before it was stopped")
        self.assertLess(position, size, "the export had written the whole PNG before it was stopped")
        os.kill(process.pid, signal.SIGINT)
        os.kill(process.pid, signal.SIGCONT)
        self.assertEndedBy(process, signal.SIGINT)
        self.assertEqual(sorted(os.listdir(self.dir)), ["a-link.png", "a.png"])
        self.assertEqual(os.stat(self.path("a.png")).st_nlink, 2)
        # A whole PNG up to IEND at its end, every chunk's checksum right.
        data = self.read("a.png")
        self.assertEqual(data[-12:], harness.png_chunk(b"IEND", b""))
        chunks = png_chunks(data)
        self.assertEqual(chunks[-1], (b"IEND", b""))
        self.assertEqual(8 + sum(12 + len(body) for _, body in chunks), len(data))
        pos = 8
        for kind, body in chunks:
            crc = int.from_bytes(data[pos + 8 + len(body):pos + 12 + len(body)], "big")
            self.assertEqual(zlib.crc32(body, zlib.crc32(kind)), crc, kind)
            pos += 12 + len(body)

if __name__ == "__main__":
    unittest.main()
