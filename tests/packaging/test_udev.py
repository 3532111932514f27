"""The udev rule: its syntax as udev reads it (keys, operators, quoting,
GOTO and LABEL), and what it does to the devices a machine shows udev:
the family's devices and the i.MX boot ROM get the uaccess tag, on add and
on the change events a package's postinst triggers; nothing else does, and
no rule opens a node to everyone. `udevadm verify` checks it too where the
installed udev has it."""

import fnmatch
import os
import re
import shutil
import subprocess
import unittest
import xml.etree.ElementTree as ElementTree

SOURCE = os.environ.get("UPDATER_SOURCE_DIR", os.path.join(os.path.dirname(__file__), "..", ".."))
RULES_DIR = os.path.join(SOURCE, "udev")
METAINFO = os.path.join(SOURCE, "appstream", "com.velquire.updater.metainfo.xml")

MATCH_KEYS = {"ACTION", "DEVPATH", "KERNEL", "KERNELS", "NAME", "SYMLINK", "SUBSYSTEM", "SUBSYSTEMS", "DRIVER",
              "DRIVERS", "ATTR", "ATTRS", "SYSCTL", "TAG", "TAGS", "ENV", "CONST", "TEST", "PROGRAM", "RESULT"}
ASSIGN_KEYS = {"NAME", "SYMLINK", "OWNER", "GROUP", "MODE", "TAG", "ENV", "ATTR", "SYSCTL", "RUN", "LABEL", "GOTO",
               "IMPORT", "OPTIONS", "SECLABEL"}
WITH_ATTRIBUTE = {"ATTR", "ATTRS", "ENV", "SYSCTL", "CONST", "TEST", "RUN", "IMPORT", "SECLABEL"}
# Keys matched against the device or one of its parents, all against the same one.
PARENT_KEYS = {"KERNELS", "SUBSYSTEMS", "DRIVERS", "ATTRS"}

TOKEN = re.compile(r'\s*([A-Z_]+)(?:\{([^}]*)\})?\s*(==|!=|\+=|-=|:=|=)\s*"((?:[^"\\]|\\.)*)"\s*(,|$)')


def parse(path):
    """The rules of a file: a list of (line number, [(key, attribute, op, value)])."""
    rules, pending, start = [], "", 0
    with open(path, encoding="utf-8") as f:
        for number, raw in enumerate(f, start=1):
            line = raw.rstrip("\n")
            if not pending:
                start = number
            if line.endswith("\\"):
                pending += line[:-1]
                continue
            line, pending = pending + line, ""
            if not line.strip() or line.lstrip().startswith("#"):
                continue
            tokens, at = [], 0
            while at < len(line):
                m = TOKEN.match(line, at)
                if not m:
                    raise AssertionError("%s:%d: cannot read %r" % (path, start, line[at:]))
                key, attribute, op, value, _ = m.groups()
                matching = op in ("==", "!=")
                if key not in (MATCH_KEYS if matching else ASSIGN_KEYS):
                    raise AssertionError("%s:%d: %s does not take %s" % (path, start, key, op))
                if (attribute is not None) != (key in WITH_ATTRIBUTE):
                    raise AssertionError("%s:%d: %s with a wrong {attribute}" % (path, start, key))
                tokens.append((key, attribute, op, value))
                at = m.end()
            rules.append((start, tokens))
    labels = {value for _, tokens in rules for key, _, _, value in tokens if key == "LABEL"}
    for number, tokens in rules:
        for key, _, _, value in tokens:
            if key == "GOTO" and value not in labels:
                raise AssertionError("%s:%d: GOTO to a missing LABEL %s" % (path, number, value))
    return rules


def matches(pattern, value):
    """udev's patterns: shell globs, alternatives separated by "|"."""
    return value is not None and any(fnmatch.fnmatchcase(value, p) for p in pattern.split("|"))


class Device:
    """What udev sees of an event: the device and its parents, nearest first."""

    def __init__(self, action, subsystem, kernel, attrs=None, env=None, parents=()):
        self.action, self.subsystem, self.kernel = action, subsystem, kernel
        self.attrs, self.env, self.parents = attrs or {}, env or {}, list(parents)


def usb(vendor, product, devtype="usb_device", action="add", kernel="1-1"):
    return Device(action, "usb", kernel, {"idVendor": vendor, "idProduct": product}, {"DEVTYPE": devtype})


def run(rules, device):
    """The tags and the node settings the rules give the device."""
    tags, node = set(), {}
    goto = None
    chain = [device] + device.parents
    for _, tokens in rules:
        if goto is not None:
            if any(k == "LABEL" and v == goto for k, _, _, v in tokens):
                goto = None
            continue
        own = [t for t in tokens if t[2] in ("==", "!=") and t[0] not in PARENT_KEYS]
        up = [t for t in tokens if t[2] in ("==", "!=") and t[0] in PARENT_KEYS]

        def value_of(d, key, attribute):
            return {"ACTION": device.action, "SUBSYSTEM": d.subsystem, "KERNEL": d.kernel, "ENV": device.env.get(attribute),
                    "ATTR": d.attrs.get(attribute), "SUBSYSTEMS": d.subsystem, "KERNELS": d.kernel,
                    "ATTRS": d.attrs.get(attribute)}.get(key)

        def holds(d, t):
            key, attribute, op, pattern = t
            return matches(pattern, value_of(d, key, attribute)) == (op == "==")

        if not all(holds(device, t) for t in own):
            continue
        if up and not any(all(holds(d, t) for t in up) for d in chain):
            continue
        for key, _, op, value in tokens:
            if key == "TAG":
                (tags.add if op in ("=", "+=", ":=") else tags.discard)(value)
            elif key in ("MODE", "GROUP", "OWNER"):
                node[key] = value
            elif key == "GOTO":
                goto = value
    return tags, node


FAMILY = [usb("3a47", "8000"), usb("3a47", "80ff"), usb("3a47", "ffff"), usb("3a47", "a123")]
SDP = usb("1fc9", "0130")

CASES = [
    # (what, device, gets uaccess)
    *[("family device %s:%s" % (d.attrs["idVendor"], d.attrs["idProduct"]), d, True) for d in FAMILY],
    ("family device again on a change event", usb("3a47", "8001", action="change"), True),
    ("the family's vendor below its product range", usb("3a47", "7fff"), False),
    ("a family device's interface (no node of its own)", usb("3a47", "8000", devtype="usb_interface"), False),
    ("another vendor's product 0x8000", usb("3a48", "8000"), False),
    ("the kernel driver's node", Device("add", "corvantis", "corvantis.0012ABCD"), True),
    ("the i.MX boot ROM's USB device", SDP, True),
    ("the i.MX boot ROM on a change event", usb("1fc9", "0130", action="change"), True),
    ("another NXP product", usb("1fc9", "0131"), False),
    ("the i.MX boot ROM's hidraw node", Device("add", "hidraw", "hidraw3", parents=[
        Device("add", "hid", "0003:1FC9:0130.0004"), usb("1fc9", "0130", devtype="usb_interface", kernel="1-1:1.0"),
        SDP]), True),
    ("a mouse's hidraw node", Device("add", "hidraw", "hidraw0", parents=[usb("046d", "c52b")]), False),
    ("a USB serial adapter, left to the system", Device("add", "tty", "ttyUSB0", parents=[
        Device("add", "usb-serial", "ttyUSB0"), usb("0403", "6001")]), False),
    ("a family device leaving", usb("3a47", "8000", action="remove"), False),
]


class UdevRule(unittest.TestCase):
    def setUp(self):
        names = [n for n in os.listdir(RULES_DIR) if n.endswith(".rules")]
        self.assertEqual(len(names), 1, names)
        self.path = os.path.join(RULES_DIR, names[0])
        self.name = names[0]

    def test_sorts_before_the_rule_that_applies_uaccess(self):
        self.assertRegex(self.name, r"^[0-9]{2}-[a-z0-9-]+\.rules$")
        self.assertLess(self.name, "73-seat-late.rules")

    def test_devices(self):
        rules = parse(self.path)
        for what, device, granted in CASES:
            with self.subTest(what):
                tags, node = run(rules, device)
                self.assertEqual("uaccess" in tags, granted, tags)
                # Access goes to the seat's user alone: no mode or group opens it wider.
                self.assertEqual(node, {})

    def test_software_centres_are_told_the_same_devices(self):
        # The metainfo's modaliases name exactly the USB devices the rule opens.
        aliases = [m.text for m in ElementTree.parse(METAINFO).getroot().iter("modalias")]
        self.assertTrue(aliases)
        for what, device, granted in CASES:
            if device.subsystem != "usb" or device.env.get("DEVTYPE") != "usb_device" or device.action != "add":
                continue
            with self.subTest(what):
                alias = "usb:v%sp%sd0100dc00dsc00dp00ic00isc00ip00in00" % (
                    device.attrs["idVendor"].upper(), device.attrs["idProduct"].upper())
                self.assertEqual(any(fnmatch.fnmatchcase(alias, a) for a in aliases), granted, alias)

    def test_reader_refuses_what_udev_refuses(self):
        # The reader above is only as good as what it catches.
        bad = {
            "a misspelt key": 'SUBSYTEM=="usb", TAG+="uaccess"\n',
            "a match operator on an assignment": 'SUBSYSTEM=="usb", MODE=="0660"\n',
            "an unquoted value": 'SUBSYSTEM==usb, TAG+="uaccess"\n',
            "ATTR without its attribute": 'SUBSYSTEM=="usb", ATTR=="3a47", TAG+="uaccess"\n',
            "a GOTO to nowhere": 'ACTION=="remove", GOTO="nowhere"\n',
        }
        scratch = os.path.join(os.environ.get("TMPDIR", "/tmp"), "updater-udev-%d.rules" % os.getpid())
        try:
            for what, text in bad.items():
                with self.subTest(what):
                    with open(scratch, "w", encoding="utf-8") as f:
                        f.write(text)
                    with self.assertRaises(AssertionError):
                        parse(scratch)
        finally:
            if os.path.exists(scratch):
                os.unlink(scratch)

    def test_udevadm_verify(self):
        udevadm = shutil.which("udevadm")
        if not udevadm or subprocess.run([udevadm, "verify", "--help"], stdout=subprocess.DEVNULL,
                                         stderr=subprocess.DEVNULL).returncode != 0:
            self.skipTest("this udev has no 'udevadm verify' (systemd 253 and later have it)")
        r = subprocess.run([udevadm, "verify", self.path], stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        self.assertEqual(r.returncode, 0, r.stdout)


if __name__ == "__main__":
    unittest.main(verbosity=2)
