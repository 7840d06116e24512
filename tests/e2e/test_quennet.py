"""End to end: where Quennet's ExecPrint(lsCommandLine, SETTING, PORT,
lsPrint_Mode) sends a print, and the errors a script sees.

The mode "LPT", with or without spaces (U+0020) around it, sends the text to
the first parallel port: LPT1: is opened, the text goes out in the ANSI code
page (cp1252 in the harness) with nothing added, and the device is closed;
SETTING and PORT are not looked at. Any other mode (other case, other
characters, no text at all) sends the text once, unchanged, to the serial
port COM<PORT> with SETTING.

What Windows writes to COM5 arrives at the pty link COM6 and what it writes
to LPT1 at LPT1.peer; every case reads both, so a print that went to the
wrong port, or to both, shows.
"""

import os
import re
import select
import subprocess
import time
import unittest

import e2elib as e2e

SETTING = "s:9600,N,8,1"
COM5 = "i:5"
# A COM port the harness leaves unmapped.
UNMAPPED = 9
# A trailing space and a line break inside: a print that trims, splits or
# ends the text with anything shows in the bytes.
LABEL = "^XA^FO20,20^FDQuennet ^FS\r\n^XZ "
EMPTY = object()  # the Empty value as a mode or argument


class Ports(e2e.PortReaders):
    PORTS = ("COM5", "LPT1")


def spec(value, name):
    """The script's argument for a mode or argument value; text goes through a
    file so that spaces, tabs and line breaks reach the script intact."""
    if value is None:
        return "null"
    if value is EMPTY:
        return "empty"
    if isinstance(value, str):
        return "f:" + e2e.write_text(name, value)
    return value


class QuennetCases(Ports):
    SCRIPT = None

    def expect_error(self, number):
        raise NotImplementedError

    def print_(self, text, setting=SETTING, port=COM5, mode="LPT"):
        """Runs one ExecPrint; returns (error number, description)."""
        path = e2e.write_text("quennet.txt", text)
        result = e2e.cscript(self.SCRIPT, "Quennet.lumtag", path, setting, port, spec(mode, "quennet_mode.txt"))
        self.assertTrue(result.done, result)
        mode_length = len(mode) if isinstance(mode, str) else "-"
        self.assertEqual(result.lines[0], "TEXT print %d %s" % (len(text), mode_length), result)
        code, description, _ = result.results["print"]
        return code, description

    # (mode, port that receives the print)
    ROUTES = [
        ("LPT", "LPT1"),
        ("  LPT", "LPT1"),
        ("LPT   ", "LPT1"),
        (" LPT ", "LPT1"),
        ("lpt", "COM5"),
        ("Lpt", "COM5"),
        ("LPT1", "COM5"),
        ("L PT", "COM5"),
        ("LPT\t", "COM5"),
        ("\tLPT", "COM5"),
        ("LPT\r\n", "COM5"),
        ("\r\nLPT", "COM5"),
        ("\u00a0LPT", "COM5"),  # a no-break space is no space
        ("", "COM5"),
        ("   ", "COM5"),
        (EMPTY, "COM5"),
        (None, "COM5"),
    ]

    def test_mode_selects_the_port(self):
        for mode, port in self.ROUTES:
            with self.subTest(mode=mode):
                self.assertEqual(self.print_(LABEL, mode=mode), (0, ""))
                self.assertEqual(self.arrived(), {port: LABEL.encode("cp1252")})

    # (mode, SETTING, PORT, error number, text the description names)
    ERRORS = [
        ("lpt", SETTING, "s:abc", 13, "PORT"),
        ("", SETTING, "i:40000", 6, "PORT"),
        ("COM", "null", COM5, 94, "SETTING"),
        (EMPTY, SETTING, "i:%d" % UNMAPPED, 8002, "COM%d" % UNMAPPED),
    ]

    def test_errors_leave_every_port_untouched(self):
        for mode, setting, port, number, named in self.ERRORS:
            with self.subTest(mode=mode, setting=setting, port=port):
                code, description = self.print_(LABEL, setting=setting, port=port, mode=mode)
                self.assertEqual(code, self.expect_error(number), description)
                self.assertIn(named, description)
                self.assertEqual(self.arrived(), {})


class VBScriptQuennet(QuennetCases, unittest.TestCase):
    SCRIPT = "exec_print.vbs"

    def expect_error(self, number):
        return number

    def test_parallel_mode_reads_neither_setting_nor_port(self):
        # Each of these would fail a serial print.
        for setting, port in [("null", "s:abc"), ("s:fast", "i:40000"), ("empty", "null")]:
            with self.subTest(setting=setting, port=port):
                self.assertEqual(self.print_(LABEL, setting=setting, port=port, mode=" LPT"), (0, ""))
                self.assertEqual(self.arrived(), {"LPT1": LABEL.encode("cp1252")})

    def test_empty_text_opens_the_port_and_writes_nothing(self):
        # (mode, PORT, error number): the unmapped port shows that the port
        # is still opened for an empty text.
        for mode, port, number in [("LPT", COM5, 0), ("serial", COM5, 0), ("serial", "i:%d" % UNMAPPED, 8002)]:
            with self.subTest(mode=mode, port=port):
                self.assertEqual(self.print_("", port=port, mode=mode)[0], number)
                self.assertEqual(self.arrived(), {})

    def test_non_ascii_text_goes_out_in_cp1252(self):
        text = "Gr\u00f6\u00dfe \u20ac \u00bd\r\n"
        for mode, port in [("LPT", "LPT1"), ("serial", "COM5")]:
            with self.subTest(mode=mode):
                self.assertEqual(self.print_(text, mode=mode), (0, ""))
                self.assertEqual(self.arrived(), {port: b"Gr\xf6\xdfe \x80 \xbd\r\n"})


class JScriptQuennet(QuennetCases, unittest.TestCase):
    """JScript sees the whole HRESULT in e.number."""

    SCRIPT = "exec_print.js"
    ROUTES = [(" LPT ", "LPT1"), ("lpt", "COM5"), (EMPTY, "COM5")]

    def expect_error(self, number):
        return e2e.hresult(number)


class ScriptLines:
    """The output of a running script, line by line."""

    def __init__(self, proc):
        self.proc = proc
        self.lines = []
        self._buf = b""

    def until(self, prefix, timeout=120):
        """Reads lines until one starts with |prefix| and returns it."""
        fd = self.proc.stdout.fileno()
        while True:
            while b"\n" in self._buf:
                line, self._buf = self._buf.split(b"\n", 1)
                line = line.decode("cp1252", "replace").rstrip("\r")
                self.lines.append(line)
                if line.startswith(prefix):
                    return line
            ready, _, _ = select.select([fd], [], [], timeout)
            chunk = os.read(fd, 4096) if ready else b""
            if not chunk:
                raise AssertionError("no line %r from the script; it printed %r" % (prefix, self.lines))
            self._buf += chunk

    def result(self, label):
        line = self.until("RESULT %s|" % label)
        m = e2e.ScriptResult.LINE.match(line)
        return int(m.group("number")), m.group("desc")


class ParallelPortMapping(Ports, unittest.TestCase):
    """Cases that point dosdevices/lpt1 elsewhere; the harness link is put
    back after each."""

    def setUp(self):
        super().setUp()
        os.makedirs(e2e.WORK, exist_ok=True)
        self.dosdevice = os.path.join(e2e.PREFIX, "dosdevices", "lpt1")
        self.harness_target = os.readlink(self.dosdevice)
        self.socat = None
        self.script = None
        self.log = None

    def tearDown(self):
        if self.script is not None:
            if self.script.poll() is None:
                e2e.stop_process(self.script)
            self.script.stdout.close()
        self.map_lpt1(self.harness_target)
        if self.socat is not None:
            e2e.stop_process(self.socat)
        if self.log is not None:
            self.log.close()

    def map_lpt1(self, target):
        if os.path.lexists(self.dosdevice):
            os.unlink(self.dosdevice)
        if target is not None:
            os.symlink(target, self.dosdevice)

    def holders(self, path):
        """Pids of the processes other than our socat that have the pty
        behind |path| open."""
        target = os.path.realpath(path)
        found = set()
        for pid in filter(str.isdigit, os.listdir("/proc")):
            if int(pid) == self.socat.pid:
                continue
            try:
                fds = os.listdir("/proc/%s/fd" % pid)
                if any(os.readlink("/proc/%s/fd/%s" % (pid, fd)) == target for fd in fds):
                    found.add(int(pid))
            except OSError:
                pass  # the process ended meanwhile
        return found

    def wait_for_holder(self, path, timeout=60):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if self.holders(path):
                return True
            time.sleep(0.1)
        return False

    def test_empty_text_to_an_unmapped_parallel_port_fails(self):
        # The device is opened even when there is nothing to write.
        self.map_lpt1(None)
        result = e2e.cscript("exec_print.vbs", "Quennet.lumtag", e2e.write_text("empty.txt", ""), SETTING, COM5,
                             "s:LPT")
        self.assertTrue(result.done, result)
        code, description, _ = result.results["print"]
        self.assertEqual(code, 8002, result)
        self.assertIn("LPT1:", description)
        self.assertEqual(self.arrived(), {})

    def test_stalled_printer_times_out_and_the_device_is_closed(self):
        # A printer of our own that nobody reads until the first print failed.
        device = os.path.join(e2e.WORK, "stalled.lpt")
        printer_end = os.path.join(e2e.WORK, "stalled.printer")
        self.log = open(os.path.join(e2e.WORK, "stalled.socat.log"), "w")
        self.socat = e2e.start_pty_pair(device, printer_end, self.log)
        self.map_lpt1(device)
        for name in ("go2", "go3"):
            if os.path.exists(os.path.join(e2e.WORK, name)):
                os.unlink(os.path.join(e2e.WORK, name))

        # Far more than the ptys and socat hold while nobody reads.
        big = e2e.pattern(3000000)
        second = "^XA^FDsecond^FS^XZ\r\n"
        third = "^XA^FDthird^FS^XZ\r\n"
        job = [SETTING, COM5, "s:LPT"]
        self.script = subprocess.Popen(
            ["bash", e2e.RUN_WINE, "cscript", "//nologo",
             e2e.winpath(os.path.join(e2e.SCRIPTS, "exec_print.vbs")), "Quennet.lumtag",
             e2e.write_text("stalled_big.txt", big)] + job +
            ["wait:" + e2e.winpath(os.path.join(e2e.WORK, "go2")), e2e.write_text("stalled_2.txt", second)] + job +
            ["wait:" + e2e.winpath(os.path.join(e2e.WORK, "go3")), e2e.write_text("stalled_3.txt", third)] + job,
            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=self.log)
        out = ScriptLines(self.script)

        # While the print is stalled the device is held open (by the
        # wineserver, which keeps the files of Windows handles) ...
        out.until("TEXT print ")
        self.assertTrue(self.wait_for_holder(device), "the stalled print never opened the device")
        code, description = out.result("print")
        self.assertEqual(code, 8020, description)
        self.assertIn("LPT1:", description)
        went_out = re.search(r"(\d+) of %d bytes" % len(big), description)
        self.assertIsNotNone(went_out, description)
        sent = int(went_out.group(1))
        self.assertLess(sent, len(big))
        # ... and no longer once the failure has reached the script.
        self.assertEqual(self.holders(device), set())

        # The same device again, now read: exactly the bytes the first print
        # said went out, then the second print whole.
        printer = e2e.PortReader(printer_end)
        try:
            open(os.path.join(e2e.WORK, "go2"), "w").close()
            self.assertEqual(out.result("print2"), (0, ""))
            expected = big[:sent].encode("cp1252") + second.encode("cp1252")
            data = printer.take(expect=len(expected), idle=2.0)
            self.assertEqual(len(data), len(expected))
            self.assertEqual(data, expected)

            # Back on the harness printer.
            self.map_lpt1(self.harness_target)
            open(os.path.join(e2e.WORK, "go3"), "w").close()
            self.assertEqual(out.result("print3"), (0, ""))
            out.until("DONE")
            self.assertEqual(self.arrived(), {"LPT1": third.encode("cp1252")})
            self.assertEqual(printer.take(idle=0.3), b"")
        finally:
            printer.close()


if __name__ == "__main__":
    unittest.main(verbosity=2)
