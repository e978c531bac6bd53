"""The usage text, option spellings and argument counts, through the real program."""
import os
import unittest

from harness import HmapTestCase, DROP_HINT, USAGE, STATUS_USAGE, WINDOWS, file_failure

TOO_MANY = b"Error: Too many args \r\n"
TOO_FEW = b"Error: Too few args.\r\n"


class Usage(HmapTestCase):
    def test_missing_or_unknown_option_prints_usage(self):
        # A mistyped option gets the usage text alone; no option at all, a
        # line on what can be dropped on hmap instead after it.
        for args in [("-xy", "a.prj", "b.png", "c.png"), ("-",), ("-q",), ("--x",), ("/q",), ("-x-",),
                     ("-sample.prj",)]:
            with self.subTest(args=args):
                self.assertRun(self.hmap(*args), USAGE, STATUS_USAGE)
        for args in [(), ("help",), ("x",), ("/",), ("/nowhere/map.prj",)]:
            with self.subTest(args=args):
                self.assertRun(self.hmap(*args), USAGE + DROP_HINT, STATUS_USAGE)
        self.assertUnchanged({})

    def test_every_option_spelling_selects_its_command(self):
        # Each reaches its command, which then fails on the missing battle file.
        for option in ["-x", "-X", "/x", "/X"]:
            with self.subTest(option=option):
                self.assertRun(self.hmap(option, "a.prj", "b.png", "c.png"),
                               file_failure("a.prj", "not_found"), "failure")
        for option in ["-s", "-S", "/s", "/S"]:
            with self.subTest(option=option):
                self.assertRun(self.hmap(option, "x.png"), file_failure("x.png", "not_found"), "failure")
        for option in ["-i", "-I", "/i", "/I"]:
            with self.subTest(option=option):
                result = self.hmap(option, "a.prj", "b.prj", "c.png", "d.png")
                self.assertTrue(result.stdout.startswith(b"c.png > Error: "), result)
                self.assertNotEqual(result.status, 0)
        self.assertUnchanged({})


class ArgumentCounts(HmapTestCase):
    def test_export(self):
        self.assertRun(self.hmap("-x", "a.prj", "b.png"), TOO_FEW, STATUS_USAGE)
        self.assertRun(self.hmap("-x"), TOO_FEW, STATUS_USAGE)
        self.assertRun(self.hmap("-x", "a.prj", "b.png", "c.png", "d"), TOO_MANY, STATUS_USAGE)
        # Too many is checked first.
        self.assertRun(self.hmap("-x", "a.prj", "", "", "d"), TOO_MANY, STATUS_USAGE)
        # Export never looks past the fourth argument, and an empty one is absent.
        self.assertRun(self.hmap("-x", "a.prj", "b.png", "c.png", "", "e", "f"),
                       file_failure("a.prj", "not_found"), "failure")

    def test_import(self):
        self.assertRun(self.hmap("-i", "a.prj", "b.prj", "c.png"), TOO_FEW, STATUS_USAGE)
        self.assertRun(self.hmap("-i", "a.prj", "b.prj", "c.png", "d.png", "e"), TOO_MANY, STATUS_USAGE)
        self.assertRun(self.hmap("-i", "a", "b", "c", "", "e"), TOO_MANY, STATUS_USAGE)
        # An empty seventh token is no surplus argument.
        result = self.hmap("-i", "a.prj", "b.prj", "c.png", "d.png", "")
        self.assertNotIn(b"args", result.stdout)

    def test_sea_level_ignores_surplus_arguments(self):
        self.assertRun(self.hmap("-s", "x.png", "", "z", "w", "v", "u"),
                       file_failure("x.png", "not_found"), "failure")

    def test_sea_level_without_a_path_reports_the_empty_path(self):
        kind = "path_not_found" if WINDOWS else "not_found"
        self.assertRun(self.hmap("-s"), file_failure("", kind), "failure")

    def test_over_long_arguments_arrive_empty(self):
        long_name = "p" * 260
        fits = "sub/" + "q" * 251 + ".png"  # 259 characters: still taken
        self.assertRun(self.hmap("-x", "a.prj", "b.png", long_name), TOO_FEW, STATUS_USAGE)
        self.assertRun(self.hmap("-i", "a.prj", "b.prj", "c.png", long_name), TOO_FEW, STATUS_USAGE)
        # As fourth argument of the export it is no surplus argument.
        self.assertRun(self.hmap("-x", "a.prj", "b.png", "c.png", long_name),
                       file_failure("a.prj", "not_found"), "failure")
        # As the sea level it makes -s show instead of store.
        self.assertRun(self.hmap("-s", "x.png", long_name), file_failure("x.png", "not_found"), "failure")
        # As the path of -s it arrives empty.
        kind = "path_not_found" if WINDOWS else "not_found"
        self.assertRun(self.hmap("-s", long_name), file_failure("", kind), "failure")
        os.mkdir(self.path("sub"))
        self.assertRun(self.hmap("-s", fits), file_failure(fits, "not_found"), "failure")
        # The import's seventh token is measured without a limit.
        self.assertRun(self.hmap("-i", "a", "b", "c", "d", "e" * 1000), TOO_MANY, STATUS_USAGE)


if __name__ == "__main__":
    unittest.main()
