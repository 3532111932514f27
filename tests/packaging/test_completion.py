"""updater's bash completion, driven as bash drives it: a bash with
bash-completion and the completion sourced, COMP_WORDS and COMP_CWORD set
as readline splits the line, and COMPREPLY read back. The store is a
directory of the test's own, named by -i (or found through the password
database's home directory), holding devices, images and things that are
neither."""

import os
import shutil
import subprocess
import tempfile
import unittest

SOURCE = os.environ.get("UPDATER_SOURCE_DIR", os.path.join(os.path.dirname(__file__), "..", ".."))
COMPLETION = os.path.join(SOURCE, "completion", "updater")
BASH_COMPLETION = "/usr/share/bash-completion/bash_completion"

# Sources bash-completion and ours, then completes the words given as
# arguments; the last one is the word under the cursor unless CWORD says
# otherwise. LINE and POINT are the line as typed and the cursor in it.
# FAKE_HOME stands in for the password database's answer.
DRIVER = r'''
source "$BASH_COMPLETION"
source "$COMPLETION"
if [[ -n ${FAKE_HOME+set} ]]; then
    getent() { [[ -n $FAKE_HOME ]] && printf 'user:x:1000:1000::%s:/bin/sh\n' "$FAKE_HOME"; }
fi
COMP_WORDS=("$@")
COMP_CWORD=${CWORD:-$(($# - 1))}
COMP_LINE=$LINE
COMP_POINT=$POINT
_updater updater "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}"
printf '%s\n' "${COMPREPLY[@]}"
'''


def line_of(words, cword):
    """The line as typed and the cursor after word cword: readline splits
    "-d=X" into "-d", "=", "X" with nothing between them."""
    line, point = "updater", None
    for i, word in enumerate(words, start=1):
        glued = word == "=" or words[i - 2] == "=" if i >= 2 else word == "="
        line += ("" if glued else " ") + word
        if i == cword:
            point = len(line)
    return line, point if point is not None else len(line)


def environment(words, cword=None, env=None):
    line, point = line_of(words, cword if cword is not None else len(words))
    e = {"PATH": os.environ.get("PATH", "/usr/bin:/bin"), "HOME": os.environ.get("HOME", "/"),
         "BASH_COMPLETION": BASH_COMPLETION, "COMPLETION": COMPLETION, "LINE": line, "POINT": str(point)}
    if cword is not None:
        e["CWORD"] = str(cword)
    e.update(env or {})
    return e


def complete(words, cwd=None, cword=None, env=None):
    e = environment(words, cword, env)
    r = subprocess.run(["bash", "--norc", "--noprofile", "-c", DRIVER, "bash", "updater", *words],
                       stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, cwd=cwd, env=e, timeout=30)
    if r.returncode != 0 or r.stderr:
        raise AssertionError("bash failed (%d): %s" % (r.returncode, r.stderr))
    return sorted(line for line in r.stdout.splitlines() if line)


def touch(path, data=b""):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)


class Completion(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        if not os.path.exists(BASH_COMPLETION):
            raise AssertionError("bash-completion is not installed (make deps installs it)")
        cls.tmp = tempfile.mkdtemp(prefix="updater-completion.")
        # The store as updater leaves it, with the odd things a user adds.
        cls.root = os.path.join(cls.tmp, "lab")
        store = os.path.join(cls.root, "updater")
        for name in ("0012ABCD/.settings", "0012ABCD/900.bird", "0012ABCD/1300.bird", "0012ABCD/notes.txt",
                     "0012ABCD/12x.bird", "0012ABCE/1250.bird", "DEADDEAD/1.bird", "lost+found/7.bird",
                     "12345678.bird"):
            touch(os.path.join(store, name))
        os.makedirs(os.path.join(store, "0012ABCD", "5.bird"))  # a directory, not an image
        # Files and folders for -f and -i, with a space in a name.
        cls.work = os.path.join(cls.tmp, "work")
        for name in ("hub.bird", "HUB2.BIRD", "notes.txt", "old images/x.bird"):
            touch(os.path.join(cls.work, name))

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.tmp)

    def test_values_from_the_store(self):
        i = ["-i", self.root]
        cases = [
            ("serial numbers of the store's devices only", i + ["-d", ""], ["0012ABCD", "0012ABCE", "DEADDEAD"]),
            ("a start of a serial number", i + ["-d", "0012"], ["0012ABCD", "0012ABCE"]),
            ("lower case matches the store's upper case", i + ["-d", "0012abc"], ["0012ABCD", "0012ABCE"]),
            ("0x before the digits", i + ["-d", "0xDEAD"], ["DEADDEAD"]),
            ("routers come from the same store", i + ["-r", "D"], ["DEADDEAD"]),
            ("-d=VALUE as readline splits it", i + ["-d", "=", "0012ABC"], ["0012ABCD", "0012ABCE"]),
            ("-i=DIR names the store too", ["-i", "=", self.root, "-r", ""], ["0012ABCD", "0012ABCE", "DEADDEAD"]),
            ("builds of the -d device, numerically", i + ["-d", "12abcd", "-b", ""], ["1300", "900"]),
            ("builds of a device named with 0x", i + ["-d", "0x0012ABCE", "-b", ""], ["1250"]),
            ("builds of every device without -d", i + ["-b", ""], ["1", "1250", "1300", "900"]),
            ("a start of a build number", i + ["-d", "0012ABCD", "-b", "13"], ["1300"]),
            ("no builds for a device the store lacks", i + ["-d", "00C0FFEE", "-b", ""], []),
            ("a missing store gives nothing", ["-i", os.path.join(self.tmp, "none"), "-d", ""], []),
        ]
        for name, words, expected in cases:
            with self.subTest(name):
                self.assertEqual(complete(words), sorted(expected))

    def test_words_after_the_cursor_count(self):
        # Completing -b with the -d and -i that follow it on the line.
        words = ["-b", "12", "-d", "0012ABCE", "-i", self.root]
        self.assertEqual(complete(words, cword=2), ["1250"])

    def test_default_store_is_under_the_password_databases_home(self):
        # As updater finds it: the password database first, HOME only when it has nothing.
        self.assertEqual(complete(["-d", ""], env={"FAKE_HOME": self.tmp, "HOME": "/nonexistent"}), [])
        os.makedirs(os.path.join(self.tmp, ".velquire"), exist_ok=True)
        link = os.path.join(self.tmp, ".velquire", "updater")
        os.symlink(os.path.join(self.root, "updater"), link)
        try:
            self.assertEqual(complete(["-d", "0012"], env={"FAKE_HOME": self.tmp, "HOME": "/nonexistent"}),
                             ["0012ABCD", "0012ABCE"])
            self.assertEqual(complete(["-r", "D"], env={"FAKE_HOME": "", "HOME": self.tmp}), ["DEADDEAD"])
        finally:
            os.unlink(link)

    def test_fixed_values(self):
        cases = [
            ("transports", ["-t", ""], ["RECOVER", "TCP", "USB"]),
            ("a start of a transport", ["-t", "T"], ["TCP"]),
            ("baud rates of the usage", ["-o", "1"], ["115200", "19200"]),
            ("UEI byte arrays on or off", ["-m", ""], ["0", "1"]),
            ("debug packages", ["-X", "0x0001"], ["0x00010000"]),
            ("nothing for a free text", ["-l", ""], []),
            ("nothing for a server URL", ["-u", "h"], []),
            ("nothing but options: updater takes no other words", ["-D", "x"], []),
        ]
        for name, words, expected in cases:
            with self.subTest(name):
                self.assertEqual(complete(words), sorted(expected))

    def test_options(self):
        everything = complete(["-"])
        for option in ("-B", "-L", "-D", "-G", "-U", "-J", "-N", "-OVERRIDE", "-h", "--help", "--http",
                       "--https", "-i", "-b", "-d", "-t", "-f", "-r", "-s", "-o", "-m", "-X", "-u"):
            self.assertIn(option, everything)
        # Accepted and ignored, or refused: never offered.
        for option in ("-Y", "-Z", "-n"):
            self.assertNotIn(option, everything)
        self.assertEqual(complete([""]), everything)
        self.assertEqual(complete(["--h"]), ["--help", "--http", "--https"])
        self.assertEqual(complete(["-O"]), ["-OVERRIDE"])

    def test_files(self):
        self.assertEqual(complete(["-f", ""], cwd=self.work), ["HUB2.BIRD", "hub.bird", "old images"])
        self.assertEqual(complete(["-f", "old"], cwd=self.work), ["old images"])
        self.assertEqual(complete(["-i", ""], cwd=self.work), ["old images"])

    def test_serial_ports(self):
        # A /dev of the test's own, in a private mount namespace: the
        # machine's /dev is neither read nor touched.
        if os.geteuid() != 0 or not shutil.which("unshare"):
            self.skipTest("needs root and unshare for a /dev of its own")
        fake = ["ttyUSB0", "ttyUSB1", "ttyACM0", "ttyS0", "ttyAMA0", "serial/by-id/usb-FTDI_FT232R-if00-port0",
                "tty", "tty1", "ttyprintk", "hidraw0"]
        setup = "mount -t tmpfs none /dev && mknod -m 666 /dev/null c 1 3 && mkdir -p /dev/serial/by-id && " + \
                " && ".join("touch /dev/" + name for name in fake)
        script = setup + " && exec bash --norc --noprofile -c \"$DRIVER\" bash updater \"$@\""

        def ports(word):
            env = environment(["-s", word], env={"DRIVER": DRIVER})
            r = subprocess.run(["unshare", "-m", "bash", "-c", script, "bash", "-s", word],
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, timeout=30, env=env)
            self.assertEqual((r.returncode, r.stderr), (0, ""))
            return sorted(line for line in r.stdout.splitlines() if line)

        self.assertEqual(ports(""), sorted(["USB", "/dev/ttyUSB0", "/dev/ttyUSB1", "/dev/ttyACM0", "/dev/ttyS0",
                                            "/dev/ttyAMA0", "/dev/serial/by-id/usb-FTDI_FT232R-if00-port0"]))
        self.assertEqual(ports("/dev/ttyU"), ["/dev/ttyUSB0", "/dev/ttyUSB1"])
        self.assertEqual(ports("U"), ["USB"])


if __name__ == "__main__":
    unittest.main(verbosity=2)
