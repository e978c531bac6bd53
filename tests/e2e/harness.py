"""Runs the built hmap (natively, or hmap.exe under Wine) in a scratch folder
and compares its standard output, exit status and files byte for byte.

Environment, set by CTest:
  HMAP_EXE     the program under test
  HMAP_RUNNER  "" to run it directly, "wine" for the Windows build,
               "valgrind" to run it under memcheck (any leak or memory error
               fails the test that ran it)
  HMAP_TOOLS   the native build folder holding make_battle
"""
import errno
import os
import re
import shutil
import struct
import subprocess
import sys
import selectors
import shlex
import tempfile
import time
import unicodedata
import unittest
import zlib

HMAP_EXE = os.environ.get("HMAP_EXE", "")
RUNNER = os.environ.get("HMAP_RUNNER", "")
TOOLS = os.environ.get("HMAP_TOOLS", "")
WINDOWS = RUNNER == "wine"


def fixed_addresses():
    """The command prefix that starts a program with address-space
    randomisation off, or [] where that cannot be done. Wine reserves fixed
    addresses as it starts; with randomised mappings it now and then finds
    one taken and gives up ("failed to map the shared user data", status 1,
    nothing printed with WINEDEBUG=-all)."""
    command = ["setarch", os.uname().machine, "--addr-no-randomize"]
    try:
        if subprocess.run(command + ["true"], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL).returncode == 0:
            return command
    except OSError:
        pass
    return []


# How the tests start a Windows program.
WINE = fixed_addresses() + ["wine"] if WINDOWS else ["wine"]
VALGRIND = RUNNER == "valgrind"
# memcheck's exit status when it found an error or a leak: above every status
# hmap itself can end with (0, 64, 65 and the system's error codes).
VALGRIND_ERROR = 242
VALGRIND_COMMAND = ["valgrind", "-q", "--leak-check=full", "--show-leak-kinds=definite,indirect",
                    "--errors-for-leak-kinds=definite,indirect", f"--error-exitcode={VALGRIND_ERROR}"]
HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(os.path.dirname(HERE))

STATUS_USAGE = 64
STATUS_REFUSED = 65

USAGE = (b"HMAP v0.01\r\n"
         b"  Import/eXport Kelvaroth heightmaps to/from 16-bit grayscale PNG image files.\r\n"
         b"  hmap -x in.prj out1.png out2.png\r\n"
         b"  hmap -i in.prj out.prj in1.png in2.png\r\n"
         b"  hmap -s in_out.png [ sea_level ]\r\n"
         b"  hmap -l file [ in1.png in2.png ]\r\n"
         b"  hmap -p in out1.png [ out2.png ] | out.html [ in1.png in2.png ]\r\n"
         b"  hmap -c in out [ n | low high | map.prj n [ low high | sea [ scale ] ] ]\r\n"
         b"\r\n")
# The line after the usage text when no option is given: what can be dropped.
DROP_HINT = b"Or drop on hmap a battle file (export), it and its two PNGs (import), or a PNG.\r\n"

# System error codes and texts as each platform reports them. POSIX texts
# come from the C library (strerror); Windows texts from FormatMessage, which
# end in their own "\r\n" before the report's.
_POSIX = {
    "not_found": errno.ENOENT,
    "path_not_found": errno.ENOENT,
    "empty": errno.ENODATA,
    "access": errno.EACCES,
    "is_dir": errno.EISDIR,
    "not_dir": errno.ENOTDIR,
    "too_big": errno.EFBIG,
    "no_space": errno.ENOSPC,
    "unreadable": errno.EIO,
}
_WINDOWS = {
    "not_found": (2, b"File not found.\r\n"),
    "path_not_found": (3, b"Path not found.\r\n"),
    "empty": (38, b"End of file.\r\n"),
    "access": (5, b"Access denied.\r\n"),
    "is_dir": (5, b"Access denied.\r\n"),
    "not_dir": (3, b"Path not found.\r\n"),
    "no_space": (112, b"Disk full.\r\n"),
}


def error_code(kind):
    """The exit status for a failed file operation of the given kind."""
    if WINDOWS:
        return _WINDOWS[kind][0] & 0xFF
    return _POSIX[kind]


def system_text(kind):
    if WINDOWS:
        return _WINDOWS[kind][1]
    return os.strerror(_POSIX[kind]).encode()


def file_failure(path, kind):
    """The standard report of a failed file operation on `path`."""
    if isinstance(path, str):
        path = path.encode()
    return path + b" > Error: " + system_text(kind) + b"\r\n"


class Result:
    def __init__(self, stdout, status, stderr=b""):
        self.stdout = stdout
        self.status = status
        self.stderr = stderr

    def __repr__(self):
        if self.stderr:
            return f"Result(status={self.status}, stdout={self.stdout!r}, stderr={self.stderr!r})"
        return f"Result(status={self.status}, stdout={self.stdout!r})"


def wine_did_not_start(p):
    """True when Wine failed before hmap.exe ran: no output, a failure
    status, and Wine's own complaint about its server on standard error."""
    return (p.returncode != 0 and not p.stdout
            and re.search(rb"^wine(server)?( client error)?:.*(server|recvmsg|sendmsg|connect)", p.stderr, re.M))


def as_user(uid, gid, groups=()):
    """A preexec_fn that runs the child as another user. hmap then runs from
    a copy that user may enter (see exe_for_others)."""
    def apply():
        os.setgroups(list(groups))
        os.setgid(gid)
        os.setuid(uid)
    apply.other_user = True
    return apply


_shared_exe = None


def exe_for_others():
    """The program under test, copied into a folder every user may enter:
    the build folder may lie in a home others cannot (mode 0700). Made once
    per test process and removed at its exit."""
    global _shared_exe
    if _shared_exe is None:
        import atexit
        folder = tempfile.mkdtemp(prefix="hmap-e2e-exe-")
        atexit.register(shutil.rmtree, folder, True)
        os.chmod(folder, 0o755)
        _shared_exe = os.path.join(folder, os.path.basename(HMAP_EXE))
        shutil.copy2(HMAP_EXE, _shared_exe)
        os.chmod(_shared_exe, 0o755)
    return _shared_exe


def run_hmap(args, cwd, timeout=600, preexec_fn=None, env=None):
    """Runs hmap with `args` (str or bytes each) in `cwd`; `preexec_fn` runs
    in the child first (to set a resource limit or drop privileges); `env`
    adds to the environment (a locale, say)."""
    exe = exe_for_others() if getattr(preexec_fn, "other_user", False) else HMAP_EXE
    command = [exe] + list(args)
    if WINDOWS:
        command = WINE + command
    elif VALGRIND:
        command = VALGRIND_COMMAND + command
    env = {**os.environ, "WINEDEBUG": "-all", **(env or {})}
    # Under Wine standard error goes to a file, not a pipe: a wineserver that
    # a run starts keeps it open until it exits, and reading a pipe would wait
    # for that. What Wine itself says there is kept for the failure report.
    # Only a run that Wine could not start at all (its client lost the
    # wineserver: seen a few times in a test run on a loaded machine) is
    # started again, at most twice, and the test says so; hmap itself never
    # prints there.
    attempts = 3
    for attempt in range(attempts):
        with tempfile.TemporaryFile() as wine_stderr:
            p = subprocess.run(command, cwd=cwd, stdout=subprocess.PIPE,
                               stderr=wine_stderr if WINDOWS else subprocess.PIPE,
                               stdin=subprocess.DEVNULL, env=env, timeout=timeout, preexec_fn=preexec_fn)
            if WINDOWS:
                wine_stderr.seek(0)
                p.stderr = wine_stderr.read()
        if not (WINDOWS and attempt + 1 < attempts and wine_did_not_start(p)):
            break
        print(f"\nWine did not start hmap {list(args)} ({p.stderr.decode(errors='replace').strip()}); "
              "started again", file=sys.stderr)
    # hmap writes only to standard output: anything on standard error is a
    # sanitizer's or memcheck's report, and fails the test whatever it checks.
    if not WINDOWS and (p.stderr or (VALGRIND and p.returncode == VALGRIND_ERROR)):
        raise AssertionError(f"hmap {list(args)} in {cwd}: status {p.returncode}, standard error:\n"
                             + p.stderr.decode(errors="replace"))
    return Result(p.stdout, p.returncode, p.stderr or b"")


def file_size_limit(limit):
    """A preexec_fn that limits the size of files the child writes. SIGXFSZ
    keeps its default action, which would end the child: hmap ignores it
    itself, so that the write fails with EFBIG and is reported."""
    def apply():
        import resource
        resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit))
    return apply


def make_battle(cwd, name, *options):
    """Writes a battle file with the project's own generator (tools/make_battle)."""
    tool = os.path.join(TOOLS, "make_battle")
    subprocess.run([tool, *options, "-o", os.path.join(cwd, name)], check=True,
                   stdout=subprocess.DEVNULL)
    return os.path.join(cwd, name)


def snapshot(folder):
    """Every file below `folder`, by relative path, with its bytes."""
    files = {}
    for root, _, names in os.walk(folder):
        for n in names:
            full = os.path.join(root, n)
            if os.path.isfile(full):
                with open(full, "rb") as f:
                    files[os.path.relpath(full, folder)] = f.read()
    return files


def png_chunk(kind, data):
    """One PNG chunk with its length and CRC."""
    return (struct.pack(">I", len(data)) + kind + data
            + struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF))


def sea_level_chunk(value):
    return png_chunk(b"hmAP", struct.pack("<H", value))


def png_chunks(data):
    """(type, data) of each chunk of a well-formed PNG."""
    out, pos = [], 8
    while pos + 12 <= len(data):
        length = struct.unpack(">I", data[pos:pos + 4])[0]
        out.append((data[pos + 4:pos + 8], data[pos + 8:pos + 8 + length]))
        pos += length + 12
    return out


def system_python():
    """Debian's python3, which has PIL (python3-pil)."""
    return "/usr/bin/python3" if os.path.exists("/usr/bin/python3") else "python3"


def pil(script, *args, cwd=None):
    """Runs a small PIL script under Debian's python3; returns its stdout."""
    p = subprocess.run([system_python(), "-c", script, *args], cwd=cwd,
                       stdout=subprocess.PIPE, check=True)
    return p.stdout


def pngcheck(path):
    """True when pngcheck accepts the file (it knows nothing of hmAP, which
    it lists as a private chunk, and that is fine)."""
    p = subprocess.run(["pngcheck", "-q", path], stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    return p.returncode == 0, p.stdout


# The console: the text a terminal shows for what Wine's console host wrote
# to the pseudo-terminal.

CSI = re.compile(r"\x1b\[([?0-9;]*)([A-Za-z])")
OSC = re.compile(r"\x1b\][^\x07\x1b]*(?:\x07|\x1b\\)")


def cell_width(c):
    return 2 if unicodedata.east_asian_width(c) in ("W", "F") else 1


def screen(output):
    """The lines a terminal shows after `output` (UTF-8 with the control
    sequences a console host writes), without trailing blanks and blank
    lines. An unknown sequence raises, so nothing is silently misread."""
    rows, row, col = [[]], 0, 0
    text = output.decode("utf-8")
    i = 0
    while i < len(text):
        c = text[i]
        if c == "\x1b":
            m = OSC.match(text, i)
            if m:  # a window title
                i = m.end()
                continue
            m = CSI.match(text, i)
            if not m:
                raise ValueError(f"unknown escape sequence at {text[i:i + 12]!r}")
            params, final = m.groups()
            numbers = [int(p) for p in params.lstrip("?").split(";") if p]
            count = numbers[0] if numbers else 1
            if params.startswith("?") and final in "hl" or final == "m":
                pass  # cursor shown or hidden, colours
            elif final == "C":
                col += count
            elif final == "D":
                col = max(0, col - count)
            elif final == "G":
                col = count - 1
            elif final == "K" and not numbers:
                del rows[row][col:]
            elif final == "H":
                row = (numbers[0] if numbers else 1) - 1
                col = (numbers[1] if len(numbers) > 1 else 1) - 1
            elif final == "J" and numbers == [2]:
                rows = [[] for _ in rows]
            else:
                raise ValueError(f"unknown escape sequence {m.group(0)!r}")
            i = m.end()
            while len(rows) <= row:
                rows.append([])
            continue
        if c == "\r":
            col = 0
        elif c == "\n":
            row, col = row + 1, 0
            while len(rows) <= row:
                rows.append([])
        elif c == "\b":
            col = max(0, col - 1)
        elif c >= " ":
            line = rows[row]
            line.extend([" "] * (col + cell_width(c) - len(line)))
            line[col] = c
            if cell_width(c) == 2:
                line[col + 1] = ""
            col += cell_width(c)
        i += 1
    lines = ["".join(r).rstrip() for r in rows]
    while lines and not lines[-1]:
        lines.pop()
    return lines


def run_in_terminal(args, cwd, replies=(), env=None, timeout=120, through=(), redirect=None):
    """Runs hmap in a pseudo-terminal (script), so that standard input and
    output are a terminal, under Wine a console. `replies` are (text, bytes)
    pairs in order: each reply is typed once the terminal has shown its text
    after the previous one, never before, so no timing decides anything.
    Under Wine the terminal passes keys through untouched (raw, no echo), as
    a Windows console hands them to its host: Enter arrives as "\r" and the
    console host echoes what is typed. Returns the exit status, the raw
    output, and the replies never typed. `through` is a program hmap is
    started by (["cmd", "/c"], as if typed at its prompt); `redirect` a file
    that standard output goes to instead."""
    command = ((WINE if WINDOWS else []) + list(through) + [HMAP_EXE]
               + [a.decode() if isinstance(a, bytes) else a for a in args])
    shell = ("stty raw -echo; " if WINDOWS else "") + "exec " + " ".join(shlex.quote(a) for a in command)
    if redirect:
        shell += " > " + shlex.quote(redirect)
    p = subprocess.Popen(["script", "-qec", shell, "/dev/null"], cwd=cwd, stdin=subprocess.PIPE,
                         stdout=subprocess.PIPE, env={**os.environ, "WINEDEBUG": "-all", **(env or {})})
    output, pending, seen = b"", list(replies), 0
    deadline = time.monotonic() + timeout
    with selectors.DefaultSelector() as selector:
        selector.register(p.stdout, selectors.EVENT_READ)
        while True:
            while pending and pending[0][0].encode() in output[seen:]:
                seen = output.index(pending[0][0].encode(), seen) + len(pending[0][0].encode())
                p.stdin.write(pending.pop(0)[1])
                p.stdin.flush()
            left = deadline - time.monotonic()
            if left <= 0:
                p.kill()
                p.wait()
                raise AssertionError(f"hmap {args} did not end; the terminal shows {output!r}")
            if not selector.select(left):
                continue
            chunk = os.read(p.stdout.fileno(), 65536)
            if not chunk:
                break
            output += chunk
    p.stdin.close()
    p.stdout.close()
    return p.wait(), output, pending


class HmapTestCase(unittest.TestCase):
    """A test with its own scratch folder, removed afterwards. A class that
    makes its files with the native tools (make_battle) sets needs_tools."""

    maxDiff = None
    needs_tools = False

    def setUp(self):
        if not HMAP_EXE:
            self.skipTest("HMAP_EXE not set")
        if self.needs_tools and not TOOLS:
            self.skipTest("HMAP_TOOLS not set")
        self.dir = tempfile.mkdtemp(prefix="hmap-e2e-")

    def tearDown(self):
        shutil.rmtree(self.dir, ignore_errors=True)

    def path(self, name):
        return os.path.join(self.dir, name)

    def write(self, name, data):
        with open(self.path(name), "wb") as f:
            f.write(data)
        return self.path(name)

    def read(self, name):
        with open(self.path(name), "rb") as f:
            return f.read()

    def hmap(self, *args, preexec_fn=None):
        return run_hmap(args, self.dir, preexec_fn=preexec_fn)

    def assertRun(self, result, stdout, status):
        """Standard output byte for byte, and the exit status."""
        self.assertEqual(result.stdout, stdout)
        if status == "failure":
            self.assertNotEqual(result.status, 0, result)
        else:
            self.assertEqual(result.status, status, result)

    def assertUnchanged(self, before):
        """Every file in the scratch folder as it was, and no new file."""
        self.assertEqual(snapshot(self.dir), before)


def load_parts(parts):
    """A load_tests for a module that the test run runs in parts, each a test
    of its own, so that a long module is never alone at the end of a run.
    `parts` is [(name, substrings of test ids)]: a test goes to the first
    part after the first whose substrings its id holds, and to the first part
    when it holds none, so that no test is ever left out. HMAP_E2E_PART names
    the part to run and HMAP_E2E_PARTS all the parts of the run, which must
    be the module's own; without them the whole module runs."""
    def load_tests(loader, tests, pattern):
        part = os.environ.get("HMAP_E2E_PART")
        if not part:
            return tests
        names = [name for name, _ in parts]
        if os.environ.get("HMAP_E2E_PARTS", "").split(",") != names:
            raise RuntimeError(f"the run has parts {os.environ.get('HMAP_E2E_PARTS')!r}, the module {names}")

        def part_of(test):
            return next((name for name, keys in parts[1:] if any(key in test.id() for key in keys)), names[0])

        def flat(suite):
            for test in suite:
                yield from flat(test) if isinstance(test, unittest.TestSuite) else (test,)

        return unittest.TestSuite(test for test in flat(tests) if part_of(test) == part)
    return load_tests
