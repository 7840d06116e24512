"""End to end: ports that cannot take a print.

- A COM port with nothing behind it cannot be opened: error 8002.
- A printer that goes away in the middle of a long print (its pty pair ends)
  makes the call fail with an error, neither hanging nor reporting success.
"""

import os
import select
import subprocess
import time
import unittest

import e2elib as e2e

SETTING = "s:9600,N,8,1"
# A COM port the harness leaves unmapped.
UNMAPPED = 9
# The port of the printer that goes away; the test maps it itself.
VANISHING = 3


class UnmappedPort:
    SCRIPT = None

    def expect_error(self, number):
        raise NotImplementedError

    def test_unmapped_port_cannot_be_opened(self):
        self.assertFalse(os.path.lexists(os.path.join(e2e.PREFIX, "dosdevices", "com%d" % UNMAPPED)))
        path = e2e.write_text("unmapped.txt", "^XA^FDnowhere^FS^XZ")
        result = e2e.cscript(self.SCRIPT, "Tessmer.lumtag", path, "i:0", SETTING, "i:%d" % UNMAPPED)
        self.assertTrue(result.done, result)
        code, description, _ = result.results["print"]
        self.assertEqual(code, self.expect_error(8002), result)
        self.assertNotEqual(description, "")


class VBScriptUnmapped(e2e.VBScriptPrint, UnmappedPort, unittest.TestCase):
    pass


class JScriptUnmapped(e2e.JScriptPrint, UnmappedPort, unittest.TestCase):
    pass


def _read_some(path, timeout):
    """Waits for the first bytes at |path| and returns at most 64 of them."""
    fd = os.open(path, os.O_RDONLY | os.O_NOCTTY | os.O_NONBLOCK)
    try:
        ready, _, _ = select.select([fd], [], [], timeout)
        return os.read(fd, 64) if ready else b""
    finally:
        os.close(fd)


class VanishingPrinter(unittest.TestCase):
    """A printer of our own on COM3 whose pty pair is killed mid-print."""

    def setUp(self):
        os.makedirs(e2e.WORK, exist_ok=True)
        self.link_a = os.path.join(e2e.WORK, "vanishing.com")
        self.link_b = os.path.join(e2e.WORK, "vanishing.printer")
        self.dosdevice = os.path.join(e2e.PREFIX, "dosdevices", "com%d" % VANISHING)
        self.log = open(os.path.join(e2e.WORK, "vanishing.socat.log"), "w")
        self.socat = e2e.start_pty_pair(self.link_a, self.link_b, self.log)
        if os.path.lexists(self.dosdevice):
            os.unlink(self.dosdevice)
        os.symlink(self.link_a, self.dosdevice)
        self.script = None

    def tearDown(self):
        if self.script is not None and self.script.poll() is None:
            e2e.stop_process(self.script)
        e2e.stop_process(self.socat)
        self.log.close()
        if os.path.lexists(self.dosdevice):
            os.unlink(self.dosdevice)

    def print_until_gone(self, script):
        # Far more than the pty buffers and socat hold together (~150 KB).
        text = e2e.pattern(1000000)
        path = e2e.write_text("vanishing.txt", text)
        self.script = subprocess.Popen(
            ["bash", e2e.RUN_WINE, "cscript", "//nologo", e2e.winpath(os.path.join(e2e.SCRIPTS, script)),
             "Tessmer.lumtag", path, "i:0", SETTING, "i:%d" % VANISHING],
            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE)

        # The print has started once bytes arrive; take a few and read no
        # more, so that the writes block, then take the printer away.
        first = _read_some(self.link_b, timeout=30)
        self.assertTrue(first, "the print never started")
        time.sleep(1.0)
        self.assertIsNone(self.script.poll(), "the print finished before the printer went away")
        e2e.stop_process(self.socat)

        try:
            out, err = self.script.communicate(timeout=60)
        except subprocess.TimeoutExpired:
            self.fail("the print hung after the printer went away")
        result = e2e.ScriptResult(self.script.returncode, out.decode("cp1252", "replace"),
                                  err.decode("utf-8", "replace"))
        self.assertTrue(result.done, result)
        return result.results["print"]

    def test_vbscript_call_fails(self):
        code, description, _ = self.print_until_gone("exec_print.vbs")
        self.assertNotEqual(code, 0, "the print reported success")
        self.assertNotEqual(description, "")

    def test_jscript_call_fails(self):
        code, description, _ = self.print_until_gone("exec_print.js")
        self.assertLess(code, 0, "the print reported success")
        self.assertNotEqual(description, "")


if __name__ == "__main__":
    unittest.main(verbosity=2)
