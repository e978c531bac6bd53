"""File names beyond ASCII, through every command: a Latin name with an
accent, a Polish, a Russian and a Japanese one, an emoji, and names holding
characters that only look like a double quote, a slash, a backslash or (in
the Japanese code page) the yen sign that stands for a backslash there.

Under Wine every name is tried in the four code pages Windows users meet
(1252 Western, 1250 Central European, 1251 Cyrillic, 932 Japanese): Wine
takes the code page from the locale, and the locales are built here, into
the module's own scratch folder, with localedef. Natively the same names run
once. Each command must act on exactly the files named: the files that a
conversion to the code page would name instead (cafe, Lodz, x, a/b ...) lie
beside them, and must stay as they are. Messages are compared byte for byte
through a pipe (UTF-8), and, under Wine, as the text a console shows (the
program in a pseudo-terminal, where Wine gives it a real console).

Run as a script with --table, it prints which names work in which code page
for the build under test; with --locales FOLDER, it builds the locales there.
"""
import os
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

import harness
from harness import HmapTestCase, WINDOWS, error_code, run_hmap, screen, snapshot

NAMES = ["café", "Łódź", "Карта", "地図", "🗺", "x＂ 0x0101", "a／b", "a＼b", "a¥b"]

# What a conversion to a code page makes of a name (a look-alike letter, or a
# quote, slash or backslash for a character that only looks like one): folders
# that must never be touched. Each holds the files the commands would use.
LOOK_ALIKES = {"café": ["cafe"], "Łódź": ["Lódz", "Lodz"], "a／b": ["a/b"], "a＼b": ["a/b"], "a¥b": ["a/b"]}

# Code page: the locale Wine takes it from, and the system's text for a
# missing file in that language.
CODE_PAGES = {
    1252: ("en_US", "File not found."),
    1250: ("pl_PL", "Nie znaleziono pliku."),
    1251: ("ru_RU", "Файл не найден."),
    932: ("ja_JP", "ファイルが見つかりません。"),
}

SEA_LEVEL = "0x0123"
PROMPT = "Press any key to close this window."

# Run as two tests: the commands on each name, and what a console shows.
load_tests = harness.load_parts([("names", ()), ("console", (".Console.",))])

locale_dir = None  # the locales built for this module, under Wine
reference = {}     # what each command writes for a plain ASCII name


def setUpModule():
    global locale_dir
    if not harness.HMAP_EXE or not harness.TOOLS:
        return
    if WINDOWS:
        # The test run builds them once for all its parts (HMAP_LOCALES).
        locale_dir = os.environ.get("HMAP_LOCALES") or build_locales()
    make_reference()


def tearDownModule():
    if locale_dir and locale_dir != os.environ.get("HMAP_LOCALES"):
        shutil.rmtree(locale_dir, ignore_errors=True)


def build_locales(folder=None):
    """The four locales in `folder` or a scratch folder (for LOCPATH); none on
    the machine changes."""
    if shutil.which("localedef") is None:
        reason = "localedef is missing (Debian's libc-bin): no code pages to try"
        print(f"test_names: skipped: {reason}", file=sys.stderr)
        raise unittest.SkipTest(reason)
    if folder:
        os.makedirs(folder, exist_ok=True)
    else:
        folder = tempfile.mkdtemp(prefix="hmap-locales-")
    for locale, _ in CODE_PAGES.values():
        p = subprocess.run(["localedef", "--no-archive", "-i", locale, "-f", "UTF-8",
                            os.path.join(folder, locale + ".UTF-8")],
                           stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        if p.returncode not in (0, 1):  # 1: built, with warnings
            shutil.rmtree(folder, ignore_errors=True)
            reason = f"localedef cannot build {locale}: {p.stdout.decode(errors='replace').strip()}"
            print(f"test_names: skipped: {reason}", file=sys.stderr)
            raise unittest.SkipTest(reason)
    return folder


def locale_env(code_page):
    if code_page is None:
        return {}
    return {"LOCPATH": locale_dir, "LC_ALL": CODE_PAGES[code_page][0] + ".UTF-8"}


def make_reference():
    """Runs every command once on plain names and keeps what it wrote."""
    folder = tempfile.mkdtemp(prefix="hmap-names-")
    try:
        harness.make_battle(folder, "plain.prj", "--width", "24", "--height", "16", "--seed", "5")
        for args in (["-x", "plain.prj", "plain-1.png", "plain-2.png"], ["-s", "plain-1.png", SEA_LEVEL],
                     ["-s", "plain-2.png", SEA_LEVEL], ["-i", "plain.prj", "plain-new.prj", "plain-1.png",
                                                        "plain-2.png"]):
            result = run_hmap(args, folder)
            assert (result.stdout, result.status) == (b"", 0), f"hmap {args}: {result}"
        for name in ("plain.prj", "plain-1.png", "plain-2.png", "plain-new.prj"):
            with open(os.path.join(folder, name), "rb") as f:
                reference[name] = f.read()
    finally:
        shutil.rmtree(folder, ignore_errors=True)


def utf16_units(text):
    return len(text.encode("utf-16-le")) // 2


def path_of_length(char, units):
    """A path of `units` UTF-16 units: folders and a file named with `char`
    (each name short enough in bytes for any file system), then ".png"."""
    name = char * (240 // len(char.encode()))
    path = ""
    while utf16_units(path + name) + 1 + len(".png") < units:
        path += name + "/"
    rest = units - utf16_units(path) - len(".png")
    size = utf16_units(char)
    return path + char * (rest // size) + "a" * (rest % size) + ".png"


def not_found(code_page):
    """The system's text for a missing file, as hmap reports it (UTF-8)."""
    if not WINDOWS:
        return harness.system_text("not_found")
    return CODE_PAGES[code_page][1].encode() + b"\r\n"


def put(folder, relative, data):
    path = os.path.join(folder, relative)
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)


def describe(step, result):
    line = result.stdout.decode(errors="replace").split("\r\n")[0]
    return f"{step}: status {result.status}" + (f", {line!r}" if line else "")


def name_faults(folder, name, code_page):
    """Runs every command on `name` (a folder of that name and files named
    after it) in `folder`, beside the look-alikes; returns what went wrong,
    empty when each command acted on the files named and on nothing else."""
    n = name
    put(folder, f"{n}/{n}.prj", reference["plain.prj"])
    for other in LOOK_ALIKES.get(n, []):
        put(folder, f"{other}/{other}.prj", reference["plain.prj"])
        for suffix in ("-1.png", "-2.png", "-new.prj"):
            put(folder, f"{other}/{other}{suffix}", b"look-alike of " + n.encode())
    before = snapshot(folder)
    missing = f"{n}/{n}-missing.prj"
    steps = [
        ("export", ["-x", f"{n}/{n}.prj", f"{n}/{n}-1.png", f"{n}/{n}-2.png"], b"", 0),
        ("set 1", ["-s", f"{n}/{n}-1.png", SEA_LEVEL], b"", 0),
        ("set 2", ["-s", f"{n}/{n}-2.png", SEA_LEVEL], b"", 0),
        ("show", ["-s", f"{n}/{n}-1.png"], b"0123\r\n", 0),
        ("import", ["-i", f"{n}/{n}.prj", f"{n}/{n}-new.prj", f"{n}/{n}-1.png", f"{n}/{n}-2.png"], b"", 0),
        ("missing", ["-x", missing, f"{n}/{n}-a.png", f"{n}/{n}-b.png"],
         missing.encode() + b" > Error: " + not_found(code_page) + b"\r\n", error_code("not_found")),
    ]
    faults = []
    for step, args, stdout, status in steps:
        result = run_hmap(args, folder, env=locale_env(code_page))
        if (result.stdout, result.status) != (stdout, status):
            faults.append(describe(step, result))
            break
    expected = dict(before)
    expected.update({f"{n}/{n}-1.png": reference["plain-1.png"], f"{n}/{n}-2.png": reference["plain-2.png"],
                     f"{n}/{n}-new.prj": reference["plain-new.prj"]})
    after = snapshot(folder)
    for path in sorted(set(after) | set(expected)):
        if path not in after:
            faults.append(f"not written: {path}")
        elif path not in expected:
            faults.append(f"written: {path}")
        elif after[path] != expected[path]:
            faults.append(("touched: " if path in before else "wrong: ") + path)
    return faults


def quote_faults(folder, code_page):
    """-s on one name holding a space and a fullwidth quotation mark: it must
    show that file's sea level, not store one in a file called x."""
    name = "x＂ 0x0101.png"
    put(folder, name, reference["plain-1.png"])
    put(folder, "x", reference["plain-2.png"])
    before = snapshot(folder)
    faults = []
    result = run_hmap(["-s", name], folder, env=locale_env(code_page))
    if (result.stdout, result.status) != (b"0123\r\n", 0):
        faults.append(describe("show", result))
    faults += [f"touched: {p}" for p, data in snapshot(folder).items() if before.get(p) != data]
    return faults


class Names(HmapTestCase):
    """Every command on each name, in each code page."""

    needs_tools = True

    def code_pages(self):
        return list(CODE_PAGES) if WINDOWS else [None]

    def test_every_command_acts_on_the_file_named(self):
        for code_page in self.code_pages():
            folder = os.path.join(self.dir, str(code_page))
            os.mkdir(folder)
            for name in NAMES:
                with self.subTest(code_page=code_page, name=name):
                    self.assertEqual(name_faults(folder, name, code_page), [])

    def test_the_length_limit_counts_characters_as_windows_does(self):
        # A path of 259 characters is taken however many bytes each takes in
        # UTF-8 (é 2, 地 3, the emoji 4 for two characters); one more makes
        # the argument absent, so -s reports the empty path.
        empty = harness.file_failure("", "path_not_found" if WINDOWS else "not_found")
        for char in ("é", "地", "🗺"):
            with self.subTest(char=char):
                path = path_of_length(char, 259)
                put(self.dir, path, reference["plain-1.png"])
                self.assertRun(self.hmap("-s", path, "7"), b"", 0)
                self.assertRun(self.hmap("-s", path), b"0007\r\n", 0)
                self.assertRun(self.hmap("-s", path_of_length(char, 260), "7"), empty, "failure")

    def test_a_message_naming_two_long_paths_arrives_whole(self):
        # 259 characters of 地 are 763 bytes of UTF-8: the warning naming two
        # such images passes 1500 bytes.
        one, two = path_of_length("地", 259), path_of_length("図", 259)
        put(self.dir, "plain.prj", reference["plain.prj"])
        put(self.dir, one, reference["plain-1.png"])
        put(self.dir, two, reference["plain-1.png"])
        self.assertRun(self.hmap("-s", two, "0x0456"), b"", 0)
        warning = f"Warning: {one} sea-level (0123) differs from {two} sea-level (0456).\r\n".encode()
        self.assertRun(self.hmap("-i", "plain.prj", "out.prj", one, two), warning, harness.STATUS_REFUSED)

    def test_a_fullwidth_quote_does_not_split_an_argument(self):
        for code_page in self.code_pages():
            folder = os.path.join(self.dir, str(code_page))
            os.mkdir(folder)
            with self.subTest(code_page=code_page):
                self.assertEqual(quote_faults(folder, code_page), [])


def shown(text):
    """`text` as Wine's console shows it: its console host draws each UTF-16
    unit on its own, so a character above U+FFFF (the map emoji) comes out
    as two replacement characters, though the program wrote the pair whole
    (what a code page makes of it instead is "??")."""
    return "".join("\ufffd\ufffd" if ord(c) > 0xFFFF else c for c in text)


def run_in_console(args, cwd, code_page, through_cmd=False, redirect=None):
    """Runs hmap in a pseudo-terminal, so that Wine gives it a console: on
    its own (as if double-clicked: the console is hmap's alone), through
    cmd (as if typed at a prompt), or with its output redirected to a file.
    A key is pressed once the window shows the prompt to press one, never
    before. Returns the exit status and the lines the terminal shows."""
    status, output, _ = harness.run_in_terminal(args, cwd, [(PROMPT, b"\r")], env=locale_env(code_page),
                                                timeout=60, through=["cmd", "/c"] if through_cmd else [],
                                                redirect=redirect)
    return status, screen(output)


@unittest.skipUnless(WINDOWS, "Wine's console: the Windows build")
class Console(HmapTestCase):
    """What a console shows: each name readable in every code page, and the
    prompt that keeps a double-clicked hmap's window open."""

    def setUp(self):
        super().setUp()
        if shutil.which("script") is None:
            self.skipTest("script (Debian's bsdutils) is missing: no pseudo-terminal")

    def test_messages_are_readable_in_every_code_page(self):
        for code_page in CODE_PAGES:
            text = CODE_PAGES[code_page][1]
            for name in NAMES:
                path = f"{name}-missing.png"
                with self.subTest(code_page=code_page, name=name):
                    status, lines = run_in_console(["-s", path], self.dir, code_page)
                    self.assertEqual(lines, [shown(f"{path} > Error: {text}"), "", PROMPT])
                    self.assertEqual(status, error_code("not_found"))

    def test_started_from_a_console_or_redirected_it_never_waits(self):
        status, lines = run_in_console(["-s", "Łódź.png"], self.dir, 1250, through_cmd=True)
        self.assertEqual(lines, ["Łódź.png > Error: Nie znaleziono pliku."])
        self.assertEqual(status, error_code("not_found"))
        status, lines = run_in_console(["-s", "地図.png"], self.dir, 932, redirect="out.txt")
        self.assertEqual(lines, [])
        self.assertEqual(self.read("out.txt"), "地図.png > Error: ファイルが見つかりません。\r\n\r\n".encode())

    def test_double_click_shows_the_usage_and_waits(self):
        status, lines = run_in_console([], self.dir, 1252)
        self.assertEqual(lines, harness.USAGE.decode().split("\r\n")[:-2]
                         + ["", harness.DROP_HINT.decode().strip(), PROMPT])
        self.assertEqual(status, harness.STATUS_USAGE)


def print_table():
    """Which names work in which code page, for the build under test."""
    global locale_dir
    code_pages = list(CODE_PAGES) if WINDOWS else [None]
    if WINDOWS:
        locale_dir = build_locales()
    make_reference()
    work = tempfile.mkdtemp(prefix="hmap-names-table-")
    try:
        heads = [str(cp) for cp in code_pages] if WINDOWS else ["native"]
        print("| name | " + " | ".join(heads) + " |")
        print("|---" * (len(heads) + 1) + "|")
        cells = {}
        for code_page in code_pages:
            folder = os.path.join(work, str(code_page))
            os.mkdir(folder)
            for name in NAMES:
                cells[name, code_page] = name_faults(folder, name, code_page)
            cells["-s x＂ 0x0101.png", code_page] = quote_faults(folder, code_page)
        for name in NAMES + ["-s x＂ 0x0101.png"]:
            row = ["ok" if not cells[name, cp] else "; ".join(cells[name, cp]) for cp in code_pages]
            print(f"| `{name}` | " + " | ".join(row) + " |")
    finally:
        shutil.rmtree(work, ignore_errors=True)
        if locale_dir:
            shutil.rmtree(locale_dir, ignore_errors=True)


if __name__ == "__main__":
    if sys.argv[1:2] == ["--locales"] and len(sys.argv) == 3:
        build_locales(sys.argv[2])
    elif sys.argv[1:] == ["--table"]:
        start = time.monotonic()
        print_table()
        print(f"({time.monotonic() - start:.1f} s)")
    else:
        unittest.main()
