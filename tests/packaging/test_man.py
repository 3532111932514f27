"""The manual pages: mandoc's lint and man's own formatter find nothing to
warn about, and every option a program's help lists is in its page, so a
new option cannot ship undocumented."""

import os
import re
import subprocess
import sys
import unittest

SOURCE = os.environ.get("UPDATER_SOURCE_DIR", os.path.join(os.path.dirname(__file__), "..", ".."))
BUILD = os.environ.get("UPDATER_BUILD_DIR", os.path.join(SOURCE, "build"))
MAN = os.path.join(SOURCE, "man")
PAGES = ["updater.1", "corvantis-sim.1", "update-server.1", "make-bird.1"]

OPTION = re.compile(r"(?<![\w-])(--?[A-Za-z][\w-]*)")


def run(argv, **kw):
    return subprocess.run(argv, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, timeout=60, **kw)


def rendered(page):
    """The page as plain text, one paragraph a line (no filling to break an option)."""
    r = run(["mandoc", "-T", "ascii", "-O", "width=1000", os.path.join(MAN, page)])
    if r.returncode != 0:
        raise AssertionError(r.stderr)
    return re.sub(r".\x08", "", r.stdout)


def tool(name, *args):
    return [sys.executable, "-I", "-S", os.path.join(SOURCE, "tools", name), *args]


# The options each program's own help lists, and how to read them from it.
def updater_options():
    # -X before -h adds the extended options; the option of a usage line
    # starts at column 5 ("     -b <build number> ...", "     -H or -h ...").
    r = run([os.path.join(BUILD, "updater"), "-X", "0x10000", "-h"])
    found = set()
    for line in r.stderr.splitlines():
        m = re.match(r"^ {5}(--?[A-Za-z]+)(?: or (-\w))?", line)
        if m:
            found.update(g for g in m.groups() if g)
    return found


def help_options(argv):
    r = run(argv)
    return set(OPTION.findall(r.stdout)) - {"-"}


PROGRAMS = [
    ("updater.1", updater_options),
    ("corvantis-sim.1", lambda: help_options([os.path.join(BUILD, "corvantis-sim"), "--help"])),
    ("update-server.1", lambda: help_options(tool("update-server", "--help"))
     | help_options(tool("update-server", "mirror", "--help"))),
    ("make-bird.1", lambda: help_options(tool("make-bird", "--help"))),
]


class ManualPages(unittest.TestCase):
    def test_lint_finds_nothing(self):
        for page in PAGES:
            with self.subTest(page=page):
                path = os.path.join(MAN, page)
                r = run(["mandoc", "-T", "lint", "-W", "warning", path])
                self.assertEqual((r.returncode, r.stdout + r.stderr), (0, ""))
                env = dict(os.environ, MANWIDTH="80", LC_ALL="C.UTF-8")
                r = run(["man", "--warnings", "-l", path], env=env)
                self.assertEqual(r.returncode, 0, r.stderr)
                self.assertEqual(r.stderr, "")
                self.assertIn("SYNOPSIS", r.stdout)

    def test_every_option_of_the_help_is_documented(self):
        for page, options in PROGRAMS:
            with self.subTest(page=page):
                listed = options()
                self.assertGreater(len(listed), 3, "the help listed no options")
                text = rendered(page)
                documented = set(OPTION.findall(text))
                self.assertEqual(sorted(listed - documented), [])


if __name__ == "__main__":
    unittest.main(verbosity=2)
