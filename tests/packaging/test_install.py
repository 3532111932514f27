"""The install layout: cmake --install into a DESTDIR, with the prefix a
package uses and with another one, puts exactly the programs, pages,
completion, udev rule and documents where a Debian system looks for them,
and the installed programs run from there without the source tree."""

import os
import shutil
import stat
import subprocess
import tempfile
import unittest

SOURCE = os.environ.get("UPDATER_SOURCE_DIR", os.path.join(os.path.dirname(__file__), "..", ".."))
BUILD = os.environ.get("UPDATER_BUILD_DIR", os.path.join(SOURCE, "build"))

PROGRAMS = ["bin/updater", "bin/corvantis-sim", "bin/update-server", "bin/make-bird"]
FILES = ["share/man/man1/updater.1", "share/man/man1/corvantis-sim.1", "share/man/man1/update-server.1",
         "share/man/man1/make-bird.1", "share/bash-completion/completions/updater",
         "lib/udev/rules.d/70-corvantis.rules", "share/metainfo/com.velquire.updater.metainfo.xml",
         "share/doc/updater/README.md", "share/doc/updater/changelog"]


def install(destdir, prefix):
    env = dict(os.environ, DESTDIR=destdir)
    r = subprocess.run(["cmake", "--install", BUILD, "--prefix", prefix], env=env, stdout=subprocess.PIPE,
                       stderr=subprocess.STDOUT, text=True, timeout=120)
    if r.returncode != 0:
        raise AssertionError(r.stdout)


def tree(root):
    found = set()
    for base, _, names in os.walk(root):
        for name in names:
            found.add(os.path.relpath(os.path.join(base, name), root))
    return found


def run(argv, **kw):
    return subprocess.run(argv, stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=60, **kw)


class Install(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="updater-install.")
        # Away from the source tree, so that nothing installed can lean on it.
        self.env = {"PATH": "/usr/bin:/bin", "HOME": self.tmp,
                    "ASAN_OPTIONS": os.environ.get("ASAN_OPTIONS", "")}

    def tearDown(self):
        shutil.rmtree(self.tmp)

    def test_prefixes(self):
        for prefix in ("/usr", "/opt/corvantis"):
            with self.subTest(prefix=prefix):
                root = os.path.join(self.tmp, "root" + prefix.replace("/", "-"))
                install(root, prefix)
                base = prefix.lstrip("/")
                self.assertEqual(tree(root), {os.path.join(base, f) for f in PROGRAMS + FILES})
                for f in PROGRAMS:
                    mode = os.stat(os.path.join(root, base, f)).st_mode
                    self.assertEqual(stat.S_IMODE(mode), 0o755, f)
                for f in FILES:
                    mode = os.stat(os.path.join(root, base, f)).st_mode
                    self.assertEqual(stat.S_IMODE(mode), 0o644, f)
                with open(os.path.join(root, base, "share/doc/updater/changelog"), encoding="utf-8") as f:
                    self.assertRegex(f.readline(), r"^updater \([0-9.]+\) ")

    def test_installed_programs_run(self):
        root = os.path.join(self.tmp, "root")
        install(root, "/usr")
        bin_dir = os.path.join(root, "usr", "bin")
        r = run([os.path.join(bin_dir, "updater"), "-h"], env=self.env, cwd=self.tmp)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertIn(b"Application Usage:", r.stderr)
        self.assertIn(b"Sample usage:", r.stderr)
        r = run([os.path.join(bin_dir, "corvantis-sim"), "--help"], env=self.env, cwd=self.tmp)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertIn(b"usage: corvantis-sim", r.stdout)
        for tool, usage in (("update-server", b"usage: update-server"), ("make-bird", b"usage: make-bird")):
            r = run([os.path.join(bin_dir, tool), "--help"], env=self.env, cwd=self.tmp)
            self.assertEqual(r.returncode, 0, r.stderr)
            self.assertIn(usage, r.stdout)
        r = run([os.path.join(bin_dir, "make-bird"), "-o", "-", "--firmware-size", "64"], env=self.env,
                cwd=self.tmp)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(r.stdout[:6], b"bird\x01\x01")


if __name__ == "__main__":
    unittest.main(verbosity=2)
