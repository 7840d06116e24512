"""End to end: the Quennet test panel in a real container.

panel_host.exe hosts Quennet.lumtag in Wine's ATL window host, UI-activates
it and answers commands over a pipe (see panel_host.cpp). What the panel's
tests print is read at the far end of each harness port.
"""

import os
import queue
import re
import struct
import subprocess
import threading
import unittest
import zlib

import bmp_to_png
import e2elib as e2e

HOST_EXE = os.path.join(e2e.BUILD_DIR, "bin", "panel_host.exe")
LABEL = (b"^XA^CFD^EG^FS\r\n^XA^PON^FS\r\n"
         b"^FO40,30^BY1,2.4^B3N,N,50,Y,,N^FDABCDEFG1234567000ABCDE^FS\r\n^XZ\r\n")
FAILED = "%s failed: the test label was not printed.\n\n"

READERS = {}


def setUpModule():
    for port, far in e2e.FAR_END.items():
        READERS[port] = e2e.PortReader(e2e.pty_path(far))


def tearDownModule():
    for reader in READERS.values():
        reader.close()


def arrivals(expect=None, size=len(LABEL)):
    """{Wine port: bytes} of everything printed since the last look; waits for
    |size| bytes at |expect| first, then for every line to go quiet."""
    got = {}
    if expect is not None:
        got[expect] = READERS[expect].take(expect=size)
    rest = e2e.take_all({p: r for p, r in READERS.items() if p != expect})
    got.update(rest)
    return {port: data for port, data in got.items() if data}


def line_settings(pty):
    """The speed, stop bits, parity and size of a pty, as stty reads them."""
    out = subprocess.run(["stty", "-F", e2e.pty_path(pty), "-a"], capture_output=True, text=True,
                         check=True).stdout
    flags = out.split()
    return {"speed": int(re.search(r"speed (\d+) baud", out).group(1)),
            "cstopb": "cstopb" in flags, "parenb": "parenb" in flags, "cs8": "cs8" in flags}


def set_line(pty, *settings):
    subprocess.run(["stty", "-F", e2e.pty_path(pty)] + list(settings), check=True)


class HostError(AssertionError):
    pass


class PanelHost:
    """panel_host.exe under Wine; ask() sends one command and returns the
    lines of its answer (raising HostError on ERR)."""

    def __init__(self):
        os.makedirs(e2e.WORK, exist_ok=True)
        self.log = open(os.path.join(e2e.WORK, "panel_host.log"), "ab")
        self.proc = subprocess.Popen(["bash", e2e.RUN_WINE, HOST_EXE], stdin=subprocess.PIPE,
                                     stdout=subprocess.PIPE, stderr=self.log)
        self.lines = queue.Queue()
        threading.Thread(target=self._read, daemon=True).start()
        self.answer()  # READY

    def _read(self):
        for raw in self.proc.stdout:
            self.lines.put(raw.decode("utf-8").rstrip("\r\n"))
        self.lines.put(None)

    def answer(self, timeout=60):
        lines = []
        while True:
            try:
                line = self.lines.get(timeout=timeout)
            except queue.Empty:
                raise AssertionError("panel_host gave no answer; so far %r" % lines)
            if line is None:
                raise AssertionError("panel_host ended (status %s) after %r" % (self.proc.wait(5), lines))
            if line == "OK":
                return lines
            if line.startswith("ERR"):
                raise HostError("%s (after %r)" % (line, lines))
            lines.append(line)

    def ask(self, command):
        self.proc.stdin.write(command.encode("utf-8") + b"\n")
        self.proc.stdin.flush()
        return self.answer()

    def value(self, command, key):
        """The rest of the line of |command|'s answer that starts with |key|."""
        for line in self.ask(command):
            if line.startswith(key + " "):
                return line[len(key) + 1:]
        return None

    def close(self):
        """Quits the host, ends it by pid if it does not; returns its status."""
        if self.proc.poll() is None:
            try:
                self.ask("quit")
                self.proc.wait(30)
            except (AssertionError, OSError, subprocess.TimeoutExpired):
                pass
        e2e.stop_process(self.proc)
        self.proc.stdin.close()
        self.proc.stdout.close()
        self.log.close()
        return self.proc.returncode


def box_of(lines):
    """(owner, title, text) of the MSGBOX line of an answer, or None."""
    for line in lines:
        if line.startswith("MSGBOX "):
            owner, title, text = line[len("MSGBOX "):].split("|", 2)
            return owner, title, text.replace("\\n", "\n")
    return None


class HostedPanel(unittest.TestCase):
    """One host for the cases of a class; nothing left on the lines between cases."""

    @classmethod
    def setUpClass(cls):
        cls.host = PanelHost()
        cls.addClassCleanup(cls.host.close)

    def setUp(self):
        arrivals()

    def assertPrints(self, command, port):
        lines = self.host.ask(command)
        self.assertIsNone(box_of(lines), lines)
        self.assertEqual(arrivals(expect=port), {port: LABEL}, command)
        return lines


class Layout(HostedPanel):
    # class, text, design rectangle in twips (left, top, width, height); in tab order
    CHILDREN = [
        ("button", "LPT PORT TEST", (3420, 0, 2805, 555)),
        ("button", "COM PORT TEST", (960, 0, 2415, 555)),
        ("edit", "6", (30, 30, 885, 495)),
    ]

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        lines = cls.host.ask("children")
        cls.dpi = tuple(int(v) for v in lines[0].split()[1:])
        cls.extent = tuple(int(v) for v in lines[1].split()[1:])
        cls.count = int(lines[2].split()[1])
        cls.children = [line[len("CHILD "):].split("|") for line in lines[3:]]

    def test_three_children_in_tab_order_at_their_design_positions(self):
        def pixels(twips, dpi):
            return (twips * dpi + 720) // 1440  # MulDiv rounds half away from zero

        self.assertEqual(self.count, 3)
        dx, dy = self.dpi
        expected = [(cls, text, "%d,%d,%d,%d" % (pixels(l, dx), pixels(t, dy), pixels(w, dx), pixels(h, dy)))
                    for cls, text, (l, t, w, h) in self.CHILDREN]
        self.assertEqual([(c.lower(), text, rect) for c, text, rect, _ in self.children], expected)

    def test_the_box_shows_24_point_gulim_in_the_korean_character_set(self):
        height, weight, charset, face = self.children[2][3].split(",")
        self.assertEqual((int(height), int(weight), int(charset), face),
                         (-((24 * self.dpi[1] + 36) // 72), 400, 129, "Gulim"))

    def test_a_resized_site_resizes_the_panel_and_its_children_keep_their_places(self):
        rects = [child[2] for child in self.children]
        for width, height in ((700, 60), (200, 20), self.extent_pixels()):
            with self.subTest(size=(width, height)):
                self.assertEqual(self.host.value("resize %d %d" % (width, height), "SURFACE"),
                                 "%d %d" % (width, height))
                children = [line.split("|")[2] for line in self.host.ask("children")[3:]]
                self.assertEqual(children, rects)

    def extent_pixels(self):
        return tuple((v * dpi + 1270) // 2540 for v, dpi in zip(self.extent, self.dpi))

    def test_extent_is_6870_by_570_twips(self):
        self.assertEqual(self.extent, ((6870 * 2540 + 720) // 1440, (570 * 2540 + 720) // 1440))

    def test_the_picture_shows_the_white_box_on_the_panel(self):
        path = os.path.join(e2e.WORK, "panel.bmp")
        width, height = (int(v) for v in self.host.value("shot " + e2e.winpath(path), "SHOT").split())
        with open(path, "rb") as f:
            w, h, rows = bmp_to_png.read_bmp(f.read())
        self.assertEqual((w, h), (width, height))
        left, top, box_width, box_height = (int(v) for v in self.children[2][2].split(","))
        middle = top + box_height // 2
        # Right of the "6", inside the box's client edge; and the panel
        # between the box and the first button.
        box_pixel = rows[middle][3 * (left + box_width - 6):][:3]
        gap = int(self.children[1][2].split(",")[0]) - 1
        panel_pixel = rows[middle][3 * gap:][:3]
        self.assertEqual(box_pixel, b"\xff\xff\xff")
        self.assertNotEqual(panel_pixel, box_pixel)


class Keyboard(HostedPanel):
    def focus(self):
        return self.host.value("focus", "FOCUS")

    def move_focus_to(self, text):
        for _ in range(3):
            if self.focus() == text:
                return
            self.host.ask("key tab")
        self.assertEqual(self.focus(), text)

    def test_tab_and_shift_tab_cycle_through_the_tab_stops(self):
        self.move_focus_to("LPT PORT TEST")
        steps = [("tab", "COM PORT TEST"), ("tab", "6"), ("tab", "LPT PORT TEST"),
                 ("shifttab", "6"), ("shifttab", "COM PORT TEST"), ("shifttab", "LPT PORT TEST")]
        for key, focus in steps:
            self.assertEqual(self.host.value("key " + key, "FOCUS"), focus, key)

    def test_enter_and_space_on_a_focused_button_run_its_test(self):
        for key in ("enter", "space"):
            for button, port in (("LPT PORT TEST", "LPT1"), ("COM PORT TEST", "COM6")):
                with self.subTest(key=key, button=button):
                    self.move_focus_to(button)
                    lines = self.assertPrints("key " + key, port)
                    self.assertIn("FOCUS " + button, lines)

    def test_enter_in_the_box_prints_nothing(self):
        self.move_focus_to("6")
        lines = self.host.ask("key enter")
        self.assertIn("ACCELERATOR passed", lines)
        self.assertEqual(arrivals(), {})


class Clicks(HostedPanel):
    def test_lpt_port_test_prints_at_lpt1_only(self):
        self.assertPrints("click lpt", "LPT1")

    def test_com_port_test_prints_at_the_port_in_the_box_at_9600_8n1(self):
        set_line("COM6", "38400", "cstopb")
        self.host.ask("settext 6")
        self.assertPrints("click com", "COM6")
        self.assertEqual(line_settings("COM6"), {"speed": 9600, "cstopb": False, "parenb": False, "cs8": True})

    def test_a_port_the_box_cannot_name_shows_a_box_and_the_panel_goes_on(self):
        # "9" names a port the harness leaves unmapped.
        for text in ("abc", "", "99999", "0", "9"):
            with self.subTest(box=text):
                self.host.ask("settext " + text)
                box = box_of(self.host.ask("click com"))
                self.assertIsNotNone(box, "no message box")
                owner, title, message = box
                self.assertEqual((owner, title), ("frame", "COM PORT TEST"))
                self.assertTrue(message.startswith(FAILED % title), message)
                self.assertNotEqual(message[len(FAILED % title):].strip(), "", "no description")
                self.assertEqual(arrivals(), {})
                self.host.ask("settext 6")
                self.assertPrints("click com", "COM6")

    def test_lpt_port_test_without_a_parallel_port_shows_a_box(self):
        link = os.path.join(e2e.PREFIX, "dosdevices", "lpt1")
        target = os.readlink(link)
        os.unlink(link)
        os.symlink(os.path.join(e2e.WORK, "no-such-printer"), link)
        try:
            box = box_of(self.host.ask("click lpt"))
        finally:
            os.unlink(link)
            os.symlink(target, link)
        self.assertIsNotNone(box, "no message box")
        self.assertEqual(box[:2], ("frame", "LPT PORT TEST"))
        self.assertTrue(box[2].startswith(FAILED % "LPT PORT TEST"), box[2])
        self.assertEqual(arrivals(), {})
        self.assertPrints("click lpt", "LPT1")


class SettingsOfTheLastExecPrint(HostedPanel):
    def test_com_port_test_keeps_the_settings_of_the_last_serial_print(self):
        text = "^XA^FDexec^FS^XZ"
        self.assertEqual(self.host.value("exec COM|19200,N,8,2|7|" + text, "HRESULT"), "0x00000000")
        self.assertEqual(arrivals(expect="COM7", size=len(text)), {"COM7": text.encode()})
        set_line("COM5", "9600", "-cstopb")
        self.host.ask("settext 5")
        self.assertPrints("click com", "COM5")
        self.assertEqual(line_settings("COM5"), {"speed": 19200, "cstopb": True, "parenb": False, "cs8": True})


class ReleaseDuringClick(unittest.TestCase):
    def test_the_host_survives_a_container_gone_while_the_box_is_up(self):
        host = PanelHost()
        self.addCleanup(host.close)
        host.ask("settext abc")
        lines = host.ask("release-during-click com")
        self.assertEqual(box_of(lines)[:2], ("frame", "COM PORT TEST"))
        self.assertIn("RELEASED", lines)
        self.assertEqual(host.ask("ping"), [])
        with self.assertRaises(HostError):
            host.ask("children")
        self.assertEqual(host.close(), 0)


class BmpToPng(unittest.TestCase):
    """The converter behind `make screenshot`, on pictures whose rows need padding."""

    PIXELS = [[(255, 0, 0), (0, 255, 0), (0, 0, 255)],
              [(1, 2, 3), (250, 251, 252), (0, 0, 0)]]  # top row first

    @staticmethod
    def bmp(rows, bits, top_down):
        step = bits // 8
        stride = (len(rows[0]) * step + 3) & ~3
        stored = rows if top_down else rows[::-1]
        data = b"".join(b"".join(bytes((b, g, r)) + b"\0" * (step - 3) for r, g, b in row).ljust(stride, b"\0")
                        for row in stored)
        height = -len(rows) if top_down else len(rows)
        info = struct.pack("<IiiHHIIiiII", 40, len(rows[0]), height, 1, bits, 0, len(data), 0, 0, 0, 0)
        return b"BM" + struct.pack("<IHHI", 54 + len(data), 0, 0, 54) + info + data

    @staticmethod
    def decode(png):
        width, height = struct.unpack(">II", png[16:24])
        raw = zlib.decompress(png[41:41 + struct.unpack(">I", png[33:37])[0]])
        stride = 1 + 3 * width
        return [[tuple(raw[y * stride + 1 + 3 * x:][:3]) for x in range(width)] for y in range(height)]

    def test_pixels_keep_their_place_and_colour(self):
        for bits in (24, 32):
            for top_down in (False, True):
                with self.subTest(bits=bits, top_down=top_down):
                    png = bmp_to_png.bmp_to_png(self.bmp(self.PIXELS, bits, top_down))
                    self.assertEqual(self.decode(png), self.PIXELS)


if __name__ == "__main__":
    unittest.main(verbosity=2)
