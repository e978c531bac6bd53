"""The man page renders without warnings and lists every message the program
can print, the README's troubleshooting covers each message of exporting,
importing, the sea level and drops (the README stays at most 220 lines, so
the lines of -c, -l and -p are the man page's alone), the worked example of
docs/formats.md still shows what the shipped sample gives, the README's
workflow and its new terrain run as shown, and every document names the
version the build has.

The messages are taken from the sources: every format given to
console_printf, and the battle-file faults that the loader prints after the
path. A message added to the program without documentation fails here.

Environment, set by CTest: HMAP_EXE, the program the example's commands run."""
import glob
import os
import re
import shlex
import shutil
import subprocess
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(os.path.dirname(HERE))
MAN_PAGE = os.path.join(REPO, "hmap.1")
CMAKE_LISTS = os.path.join(REPO, "CMakeLists.txt")
CONTRIBUTING = os.path.join(REPO, "CONTRIBUTING.md")
README = os.path.join(REPO, "README.md")
FORMATS = os.path.join(REPO, "docs", "formats.md")
SAMPLE = os.path.join(REPO, "examples", "sample.prj")
HMAP_EXE = os.environ.get("HMAP_EXE", "")

STRING = r'"(?:[^"\\]|\\.)*"'
PRINTF_CALL = re.compile(r"console_printf\(\s*((?:" + STRING + r"\s*)+)")
# The loader's faults, printed as "<path> > <fault>": its sentence-like literals.
LOADER_FAULT = re.compile(r'(?:return|=)\s*"([A-Z][^"\\]*\.)"')
PLACEHOLDER = re.compile(r"%0?\d*[sduX]")


def c_text(literals):
    """The text of adjacent C string literals."""
    text = "".join(re.findall(r'"((?:[^"\\]|\\.)*)"', literals))
    return re.sub(r"\\(.)", lambda m: {"r": "\r", "n": "\n"}.get(m.group(1), m.group(1)), text)


# The rooms whose messages a modder meets exporting, importing, storing a
# sea level and dropping files: the README names each of them.
WORKFLOW_ROOMS = ("app", "battle", "png", "platform")


def program_messages(rooms=None):
    """The printf format of each message line, without its line end, of the
    given rooms of src/ (all when none are given). A block of several lines
    (the usage text) is known by its first line."""
    formats = set()
    for path in glob.glob(os.path.join(REPO, "src", "**", "*.cpp"), recursive=True):
        if rooms is not None and os.path.basename(os.path.dirname(path)) not in rooms:
            continue
        with open(path, encoding="utf-8") as f:
            source = f.read()
        for call in PRINTF_CALL.finditer(source):
            formats.add(c_text(call.group(1)).strip("\r\n").split("\r\n")[0])
        if os.path.basename(path) == "loader.cpp":
            formats.update("%s > " + fault for fault in LOADER_FAULT.findall(source))
    # Only formats with words in them; "%04X" (the sea level shown) has none.
    return sorted(f.rstrip() for f in formats if re.search(r"[A-Za-z]{2}", PLACEHOLDER.sub("", f)))


def message_pattern(fmt):
    """A regular expression for the message with any text in each placeholder."""
    return re.compile(".+?".join(re.escape(part) for part in PLACEHOLDER.split(fmt)))


def section(lines, start, stop):
    """The lines from the one matching `start` up to the next matching `stop`."""
    begin = next((i for i, line in enumerate(lines) if re.match(start, line)), None)
    if begin is None:
        raise AssertionError(f"no section {start!r}")
    end = next((i for i in range(begin + 1, len(lines)) if re.match(stop, lines[i])), len(lines))
    return lines[begin:end]


class ManPage(unittest.TestCase):
    def render(self, *options):
        p = subprocess.run(["groff", "-man", *options, MAN_PAGE], stdout=subprocess.PIPE,
                           stderr=subprocess.STDOUT, check=True)
        return p.stdout.decode("utf-8", "replace")

    def test_renders_without_warnings(self):
        self.assertEqual(self.render("-ww", "-z"), "")

    def test_lists_every_message_of_the_program(self):
        # Very long lines, so no message is broken or hyphenated.
        text = self.render("-Tascii", "-P-cbou", "-rLL=4000n").splitlines()
        diagnostics = "\n".join(section(text, r"DIAGNOSTICS", r"EXIT STATUS"))
        messages = program_messages()
        self.assertIn("%s > Bad HMAP - dimensions.", messages)  # the sources were read
        missing = [m for m in messages if not message_pattern(m).search(diagnostics)]
        self.assertEqual(missing, [], "messages missing from the man page's DIAGNOSTICS")


class ReadmeTroubleshooting(unittest.TestCase):
    def test_covers_every_message_of_the_workflow_and_points_at_the_rest(self):
        with open(README, encoding="utf-8") as f:
            lines = f.read().splitlines()
        self.assertLessEqual(len(lines), 220, "the README grew past 220 lines")
        trouble = "\n".join(section(lines, r"## Troubleshooting", r"## ")).replace("`", "")
        messages = program_messages(WORKFLOW_ROOMS)
        self.assertIn("%s > Bad HMAP - dimensions.", messages)  # the sources were read
        missing = [m for m in messages if not message_pattern(m).search(trouble)]
        self.assertEqual(missing, [], "messages missing from the README's troubleshooting")
        self.assertIn("man hmap explains every message", trouble)


def example_commands(markdown):
    """(command, expected output) of each "$ " line in the fenced blocks, the
    output being the block's lines up to the next command or the fence."""
    commands, inside = [], False
    for line in markdown.splitlines():
        if line.startswith("```"):
            inside = not inside
        elif inside and line.startswith("$ "):
            commands.append((line[2:], []))
        elif inside and commands:
            commands[-1][1].append(line)
    return [(command, "".join(l + "\n" for l in output)) for command, output in commands]


class FormatsWorkedExample(unittest.TestCase):
    def test_commands_print_what_the_example_shows(self):
        if not HMAP_EXE:
            self.skipTest("HMAP_EXE not set")
        with open(FORMATS, encoding="utf-8") as f:
            commands = example_commands(f.read())
        self.assertGreater(len(commands), 5)
        work = tempfile.mkdtemp(prefix="hmap-docs-")
        self.addCleanup(shutil.rmtree, work, True)
        shutil.copy(SAMPLE, work)
        for command, expected in commands:
            argv = shlex.split(command)
            self.assertIn(argv[0], ("hmap", "xxd"), command)
            if argv[0] == "hmap":
                argv[0] = HMAP_EXE
            out = subprocess.run(argv, cwd=work, stdout=subprocess.PIPE, check=True).stdout
            self.assertEqual(out.replace(b"\r\n", b"\n").decode("latin-1"), expected, command)


def read(path):
    with open(path, encoding="utf-8") as f:
        return f.read()


def fenced_blocks(markdown, language):
    """The text of each fenced block of that language."""
    return re.findall(r"^```" + language + r"\n(.*?)^```", markdown, re.M | re.S)


class Version(unittest.TestCase):
    def test_every_document_names_the_built_version(self):
        version = re.search(r"project\(hmap VERSION (\d+\.\d+\.\d+)", read(CMAKE_LISTS)).group(1)
        self.assertRegex(read(MAN_PAGE), r'\.TH HMAP 1 \S+ "hmap ' + re.escape(version) + '"')
        readme = read(README)
        self.assertIn(f"version {version}", readme)
        self.assertIn(f"version, {version},", read(CONTRIBUTING))
        # Every package name the README gives carries it, and no other version.
        named = set(re.findall(r"hmap[-_](\d+\.\d+\.\d+)", readme))
        self.assertEqual(named, {version})


class ReadmeBlock(unittest.TestCase):
    def work_folder(self):
        """A folder of its own holding the sample as battle.prj and hmap."""
        work = tempfile.mkdtemp(prefix="hmap-readme-")
        self.addCleanup(shutil.rmtree, work, True)
        shutil.copy(SAMPLE, os.path.join(work, "battle.prj"))
        os.symlink(os.path.abspath(HMAP_EXE), os.path.join(work, "hmap"))
        return work

    def run_block(self, heading, work):
        """The one sh block of the README's section, run in `work`; its output."""
        lines = section(read(README).splitlines(), heading, r"## ")
        script = fenced_blocks("\n".join(lines) + "\n", "sh")
        self.assertEqual(len(script), 1)
        env = dict(os.environ, PATH=work + os.pathsep + os.environ["PATH"])
        run = subprocess.run(["sh", "-e", "-c", script[0]], cwd=work, env=env,
                             stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        output = run.stdout.decode("utf-8", "replace")
        self.assertEqual(run.returncode, 0, output)
        return output


class ReadmeWorkflow(ReadmeBlock):
    def test_the_console_workflow_runs_as_shown(self):
        if not HMAP_EXE or shutil.which("convert") is None:
            self.skipTest("HMAP_EXE not set, or ImageMagick missing")
        work = self.work_folder()
        output = self.run_block(r"## The workflow in a console", work)
        # What the README says of that edit and its import.
        self.assertIn("differing: 6349 of 262144 px", output)
        after = output[output.index("new.prj heightmap 1 against"):]
        self.assertIn("differing: 1405 of 262144 px", after)
        self.assertIn("largest difference: -64", after)
        self.assertIn("mean difference: -1.9", after)
        readme = read(README)
        for figure in ("changed 6349 pixels", "1405 pixels", "(mean 1.9)"):
            self.assertIn(figure, readme)
        for name in ("new.prj", "after1.png", "after2.png"):
            self.assertTrue(os.path.getsize(os.path.join(work, name)) > 0, name)


class ReadmeNewTerrain(ReadmeBlock):
    def test_the_new_terrain_runs_as_shown(self):
        # A DEM in metres with a sea (GDAL's, with a block of no-data) and a
        # generator's 0..1 terrain in OpenEXR, then the README's commands.
        try:
            import numpy as np
            from osgeo import gdal
        except ImportError:
            self.skipTest("numpy and GDAL's Python bindings make the terrains")
        if not HMAP_EXE or shutil.which("oiiotool") is None:
            self.skipTest("HMAP_EXE not set, or OpenImageIO's tools missing")
        work = self.work_folder()
        y, x = np.mgrid[0:600, 0:600]
        dem = (1400 * np.sin(x / 70.0) * np.cos(y / 55.0) + 2 * x - 300).astype(np.float32)
        dem[20:30, 40:60] = -9999
        tif = gdal.GetDriverByName("GTiff").Create(os.path.join(work, "dem.tif"), 600, 600, 1, gdal.GDT_Float32,
                                                   ["COMPRESS=ZSTD", "PREDICTOR=3"])
        tif.GetRasterBand(1).SetNoDataValue(-9999)
        tif.GetRasterBand(1).WriteArray(dem)
        tif = None
        unit = ((np.sin(x / 40.0) + np.cos(y / 30.0)) / 4 + 0.5).astype(np.float32)
        tif = gdal.GetDriverByName("GTiff").Create(os.path.join(work, "unit.tif"), 600, 600, 1, gdal.GDT_Float32)
        tif.GetRasterBand(1).WriteArray(unit)
        tif = None  # written out as the dataset closes
        subprocess.run(["oiiotool", os.path.join(work, "unit.tif"), "--chnames", "Y", "-o",
                        os.path.join(work, "terrain.exr")], check=True)
        output = self.run_block(r"## A new terrain from another tool", work)
        # The sea kept below 0 in heightmap 1, and its heights out as floats.
        low = int(re.search(r"heightmap 1 heights: (-?\d+) to", output).group(1))
        self.assertLess(low, -1000, output)
        written = gdal.Open(os.path.join(work, "h1.tif"))
        self.assertEqual(int(written.ReadAsArray().min()), low)
        written = None


if __name__ == "__main__":
    unittest.main()
