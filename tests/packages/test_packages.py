"""The binary packages made by cpack: each one is unpacked into a scratch
folder, its files are checked against the source tree, and the packaged
program exports the shipped sample battle file, imports the exported pair and
shows and stores a sea level (natively for the DEB and the TGZ, under Wine for
the ZIP).

Environment, set by CTest:
  HMAP_PACKAGE_DIR          the native build folder holding the DEB and TGZ
  HMAP_WINDOWS_PACKAGE_DIR  the Windows build folder holding the ZIP
  HMAP_VERSION              the version in the package names
"""
import glob
import os
import re
import shutil
import struct
import subprocess
import tempfile
import sys
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, os.path.join(REPO, "tests", "e2e"))
from harness import fixed_addresses  # noqa: E402
SAMPLE = os.path.join(REPO, "examples", "sample.prj")
VERSION = os.environ.get("HMAP_VERSION", "")
NATIVE_DIR = os.environ.get("HMAP_PACKAGE_DIR", "")
WINDOWS_DIR = os.environ.get("HMAP_WINDOWS_PACKAGE_DIR", "")

# The licences of the libraries built into hmap, as their source packages give them.
LIBRARY_LICENCES = {
    "LICENSE.lodepng": "lodepng/LICENSE", "LICENSE.libdeflate": "libdeflate/COPYING",
    "LICENSE.libtiff": "libtiff/LICENSE.md", "LICENSE.openexr": "openexr/LICENSE.md", "LICENSE.zstd": "zstd/LICENSE",
    "LICENSE.xz": "xz/COPYING", "LICENSE.lerc": "lerc/LICENSE", "NOTICE.lerc": "lerc/NOTICE",
}
SOURCE_FILES = {
    "README.md": os.path.join(REPO, "README.md"),
    "LICENSE": os.path.join(REPO, "LICENSE"),
    "hmap.1": os.path.join(REPO, "hmap.1"),
    **{name: os.path.join(REPO, "third_party", source) for name, source in LIBRARY_LICENCES.items()},
}


def documents_in(folder):
    """The README and every licence, in a package's documents folder."""
    return {f"{folder}{name}": name for name in ["README.md", "LICENSE", *LIBRARY_LICENCES]}


def read(path):
    with open(path, "rb") as f:
        return f.read()


def files_below(folder):
    """Relative paths of the regular files below `folder`."""
    found = set()
    for root, _, names in os.walk(folder):
        for n in names:
            found.add(os.path.relpath(os.path.join(root, n), folder))
    return found


def battle_heightmaps(data):
    """(width, height, sea level, HMAP position, ATTR position) of a battle
    file: the four leading chunks are stepped over by their size words."""
    word = lambda p: struct.unpack_from("<I", data, p)[0]
    p1 = 36 + word(36) + 8
    p2 = p1 + word(p1) + 8
    p3 = p2 + word(p2) + 4 * word(p2 + 4) + 8
    t = p3 + word(p3) + 12
    assert data[t:t + 4] == b"HMAP", "not a battle file"
    width, height, np_, nb, l1 = struct.unpack_from("<5I", data, t + 8)
    bases = [struct.unpack_from("<i", data, t + 28 + 8 * i)[0] for i in range(2 * nb)]
    sea_level = -min(bases + [0]) & 0xFFFF
    attr = t + 32 + l1 + 64 * np_
    return width, height, sea_level, t, attr


class PackageCase:
    """Checks shared by the three packages. A subclass names the package and
    where its files sit once unpacked."""

    folder = ""       # the build folder holding the package
    pattern = ""      # its file name, a glob
    program = ""      # the program, relative to the unpacked root
    documents = {}    # packaged path: name in SOURCE_FILES
    runner = []

    @classmethod
    def setUpClass(cls):
        if not cls.folder or not VERSION:
            raise unittest.SkipTest("HMAP_PACKAGE_DIR, HMAP_WINDOWS_PACKAGE_DIR and HMAP_VERSION not set")
        found = glob.glob(os.path.join(cls.folder, cls.pattern.format(version=VERSION)))
        if len(found) != 1:
            raise AssertionError(f"expected one {cls.pattern} in {cls.folder} (run cpack there), found {found}")
        cls.package = found[0]
        cls.root = tempfile.mkdtemp(prefix="hmap-package-")
        cls.unpack(cls.package, cls.root)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.root, ignore_errors=True)

    def setUp(self):
        self.work = tempfile.mkdtemp(prefix="hmap-package-run-")
        self.addCleanup(shutil.rmtree, self.work, True)

    def run_packaged(self, *args):
        command = self.runner + [os.path.join(self.root, self.program), *args]
        env = dict(os.environ, WINEDEBUG="-all")
        p = subprocess.run(command, cwd=self.work, stdout=subprocess.PIPE, stdin=subprocess.DEVNULL,
                           env=env, timeout=600)
        return p.stdout, p.returncode

    def work_file(self, name):
        return read(os.path.join(self.work, name))

    def test_holds_the_program_and_its_documents_and_nothing_else(self):
        self.assertEqual(files_below(self.root), {self.program, *self.documents})
        for packaged, name in self.documents.items():
            with self.subTest(file=packaged):
                self.assertEqual(read(os.path.join(self.root, packaged)), read(SOURCE_FILES[name]))

    def test_exports_imports_and_sets_the_sea_level_of_the_sample(self):
        self.assertTrue(os.path.exists(SAMPLE), "examples/sample.prj is missing")
        sample = read(SAMPLE)
        width, height, sea_level, chunk, attr = battle_heightmaps(sample)
        shutil.copy(SAMPLE, os.path.join(self.work, "sample.prj"))

        self.assertEqual(self.run_packaged("-x", "sample.prj", "h1.png", "h2.png"), (b"", 0))
        exported = [self.work_file("h1.png"), self.work_file("h2.png")]
        for png in exported:
            self.assertEqual(png[:8], b"\x89PNG\r\n\x1a\n")
            self.assertEqual(struct.unpack_from(">IIBB", png, 16), (width, height, 16, 0))  # 16-bit grey
        shown = f"{sea_level:04X}\r\n".encode()
        self.assertEqual(self.run_packaged("-s", "h1.png"), (shown, 0))
        self.assertEqual(self.run_packaged("-s", "h2.png"), (shown, 0))

        # The unchanged pair goes back in; exporting the result gives the same
        # images, and every byte around the heightmap chunk is the sample's.
        self.assertEqual(self.run_packaged("-i", "sample.prj", "new.prj", "h1.png", "h2.png"), (b"", 0))
        new = self.work_file("new.prj")
        self.assertEqual(new[:chunk], sample[:chunk])
        self.assertEqual(new[len(new) - (len(sample) - attr):], sample[attr:])
        self.assertEqual(self.run_packaged("-x", "new.prj", "n1.png", "n2.png"), (b"", 0))
        self.assertEqual([self.work_file("n1.png"), self.work_file("n2.png")], exported)

        self.assertEqual(self.run_packaged("-s", "n1.png", "0x012C"), (b"", 0))
        self.assertEqual(self.run_packaged("-s", "n1.png"), (b"012C\r\n", 0))
        self.assertEqual(len(self.work_file("n1.png")), len(exported[0]))

    def test_refuses_a_file_that_is_no_battle_file(self):
        with open(os.path.join(self.work, "bad.prj"), "wb") as f:
            f.write(b"not a battle file, but long enough to hold a signature")
        out, status = self.run_packaged("-x", "bad.prj", "h1.png", "h2.png")
        self.assertEqual((out, status), (b"bad.prj > Invalid file signature.\r\n", 65))
        self.assertEqual(files_below(self.work), {"bad.prj"})


class ElfDependencies:
    """The native program needs only the C library (libc, and libm for the
    TIFF and EXR readers' arithmetic) and the C++ library: LodePNG, libtiff,
    OpenEXR's core, zlib and libgcc are linked in."""

    def test_program_needs_only_libc_and_libstdcxx(self):
        program = os.path.join(self.root, self.program)
        dynamic = subprocess.run(["readelf", "-d", program], stdout=subprocess.PIPE, check=True).stdout.decode()
        needed = set(re.findall(r"\(NEEDED\)\s+Shared library: \[(.+?)\]", dynamic))
        self.assertLessEqual(needed, {"libc.so.6", "libm.so.6", "libstdc++.so.6"})
        self.assertIn("libc.so.6", needed)
        ldd = subprocess.run(["ldd", program], stdout=subprocess.PIPE, check=True).stdout.decode()
        self.assertNotIn("not found", ldd)


class DebPackage(PackageCase, ElfDependencies, unittest.TestCase):
    folder = NATIVE_DIR
    pattern = "hmap_{version}_*.deb"
    program = "usr/bin/hmap"
    documents = {"usr/share/man/man1/hmap.1": "hmap.1", **documents_in("usr/share/doc/hmap/")}

    @staticmethod
    def unpack(package, root):
        subprocess.run(["dpkg-deb", "-x", package, root], check=True)

    def test_depends_on_libc6_and_libstdcxx6_alone(self):
        fields = subprocess.run(["dpkg-deb", "-f", self.package, "Package", "Depends"],
                                stdout=subprocess.PIPE, check=True).stdout.decode()
        self.assertIn("Package: hmap", fields)
        depends = re.search(r"^Depends: (.*)$", fields, re.M).group(1)
        names = {re.match(r"\s*([^\s(]+)", d).group(1) for d in depends.split(",")}
        self.assertEqual(names, {"libc6", "libstdc++6"})


class TgzPackage(PackageCase, ElfDependencies, unittest.TestCase):
    folder = NATIVE_DIR
    pattern = "hmap-{version}-linux-*.tar.gz"
    top = f"hmap-{VERSION}-linux-{os.uname().machine}"
    program = f"{top}/bin/hmap"
    documents = {f"{top}/share/man/man1/hmap.1": "hmap.1", **documents_in(f"{top}/share/doc/hmap/")}

    @staticmethod
    def unpack(package, root):
        subprocess.run(["tar", "xzf", package, "-C", root], check=True)


class ZipPackage(PackageCase, unittest.TestCase):
    folder = WINDOWS_DIR
    pattern = "hmap-{version}-windows-x64.zip"
    program = "hmap.exe"
    documents = documents_in("")
    runner = fixed_addresses() + ["wine"]

    @staticmethod
    def unpack(package, root):
        subprocess.run(["unzip", "-q", package, "-d", root], check=True)

    def test_program_needs_no_dll_beside_it(self):
        # One static hmap.exe: it imports only from DLLs that come with Windows.
        dump = subprocess.run(["x86_64-w64-mingw32-objdump", "-p", os.path.join(self.root, self.program)],
                              stdout=subprocess.PIPE, check=True).stdout.decode()
        dlls = {d.lower() for d in re.findall(r"DLL Name: (\S+)", dump)}
        self.assertIn("kernel32.dll", dlls)
        self.assertTrue(dlls <= {"kernel32.dll", "user32.dll", "advapi32.dll", "msvcrt.dll"}, dlls)


if __name__ == "__main__":
    unittest.main()
