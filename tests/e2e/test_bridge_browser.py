"""End to end: pages in headless Chromium print through label-bridge.js and LabelBridge.exe.

Each page runs a plan (tests/e2e/pages/bridge_plan.js): jobs of steps on label objects, every
outcome reported to the page's own loopback server. The bytes are read at the far ends of the
harness's ports and at a network printer on 127.0.0.1, and compared exactly.
"""

import base64
import contextlib
import fcntl
import termios
import threading
import time
import unittest

import e2elib as e2e
from bridgelib import allowed_sites, free_port, running_bridge
from browserlib import Browser, PageServer
from test_network import Printer

BRIDGE_PORT = 19181
SERIAL = "9600,N,8,1"
TEXT = "^XA^FO20,20^FDGr\u00f6\u00dfe 5 \u20ac^FS^XZ"  # goes out in cp1252, the prefix's ANSI code page
ALL_BYTES = bytes(range(256))
MANY_BYTES = bytes((i * 7 + i // 251) % 256 for i in range(200_003))
# The numbers label-bridge.js gives its own failures (label-bridge.d.ts).
NO_BRIDGE, BRIDGE_REFUSED, CONNECTION_LOST = -2147220991, -2147220990, -2147220989


def u8(data):
    return {"u8": base64.b64encode(data).decode()}


def call(member, *args):
    return {"call": member, "args": list(args)}


def job(name, prog_id, *steps):
    return {"name": name, "steps": [{"connect": prog_id}] + list(steps)}


def setUpModule():
    global page_server, stranger, browser, _stack
    _stack = contextlib.ExitStack()
    page_server = _stack.enter_context(contextlib.closing(PageServer()))
    stranger = _stack.enter_context(contextlib.closing(PageServer()))  # an origin not on the list
    _stack.enter_context(allowed_sites(page_server.origin))
    _stack.enter_context(running_bridge(BRIDGE_PORT))
    browser = _stack.enter_context(Browser("bridge-browser"))


def tearDownModule():
    _stack.close()


def start_plan(server, name, jobs, **options):
    server.plans[name] = dict(options, bridgePort=BRIDGE_PORT, jobs=jobs)
    browser.open(server.url("/tests/e2e/pages/bridge_plan.html", plan=name))


def outcomes(server, name):
    """{(job, step): outcome} of a plan's steps once the page says it is done."""
    server.wait_report(lambda r: r.get("plan") == name and r.get("done"))
    return {(r["job"], r["step"]): r for r in server.reports if r.get("plan") == name and "ok" in r}


def run_plan(server, name, jobs, **options):
    start_plan(server, name, jobs, **options)
    return outcomes(server, name)


def wait_until(condition, message, timeout=60):
    """Waits for an event the test cannot be told of; |timeout| only ends a hung run."""
    deadline = time.monotonic() + timeout
    while not condition():
        if time.monotonic() > deadline:
            raise AssertionError(message)
        time.sleep(0.05)


class Prints(e2e.PortReaders, unittest.TestCase):
    PORTS = ("COM5", "COM7", "LPT1")

    def assertAllSucceeded(self, results):
        for key, result in results.items():
            self.assertTrue(result["ok"], (key, result))

    def test_both_controls_print_text_and_bytes_to_every_kind_of_port(self):
        printer = Printer()
        self.addCleanup(printer.close)
        # job, far end it prints to, bytes expected there (jobs at one far end add up in order)
        cases = [
            (job("ostrel text", "Tessmer.lumtag", call("ExecPrint", TEXT, 0, SERIAL, 5)), "COM5",
             TEXT.encode("cp1252")),
            (job("ostrel bytes", "Tessmer.lumtag", call("ExecPrint", u8(ALL_BYTES), 0, SERIAL, 5)), "COM5", ALL_BYTES),
            # Several chunks of the client's own base64 encoding, the last one short.
            (job("ostrel many bytes", "Tessmer.lumtag", call("ExecPrint", u8(MANY_BYTES), 0, SERIAL, 5)), "COM5",
             MANY_BYTES),
            (job("quennet lpt", "Quennet.lumtag", call("ExecPrint", u8(ALL_BYTES), "", 0, "LPT")), "LPT1", ALL_BYTES),
            (job("quennet serial", "Quennet.lumtag", call("ExecPrint", TEXT, SERIAL, 7, "COM")), "COM7",
             TEXT.encode("cp1252")),
            (job("ostrel network", "Tessmer.lumtag", call("SocConnect", "127.0.0.1", printer.port),
                 {"poll": "SocSts", "until": ["7", "8", "9"]}, call("SendData", u8(ALL_BYTES)),
                 call("SendData", TEXT), {"release": True}), "network", ALL_BYTES + TEXT.encode("cp1252")),
        ]
        # The long print of TwoPages goes through the browser's own base64 methods.
        results = run_plan(page_server, "prints", [c[0] for c in cases], withoutNativeBase64=True)
        self.assertAllSucceeded(results)
        self.assertEqual(results[("ostrel network", 2)]["value"], "7")

        expected = {}
        for _, far_end, data in cases:
            expected[far_end] = expected.get(far_end, b"") + data
        self.assertTrue(printer.closed_by_peer.wait(20), "release did not close the printer's connection")
        self.assertEqual(printer.received, expected.pop("network"))
        self.assertEqual(self.arrived(), expected)

    def test_values_and_failures_reach_the_page(self):
        closed_port = free_port()
        # job, its last step's outcome: ("value", v) or ("error", number, hresult, text in the description)
        cases = [
            (job("absent port", "Tessmer.lumtag", call("ExecPrint", TEXT, 0, SERIAL, 42)),
             ("error", 8002, 0x800A1F42, "COM42")),
            (job("quennet absent port", "Quennet.lumtag", call("ExecPrint", TEXT, SERIAL, 42, "COM")),
             ("error", 8002, 0x800A1F42, "COM42")),
            (job("unknown member", "Tessmer.lumtag", call("NoSuchMember", 1)), ("error", 438, 0x80020006, "")),
            (job("foreign ProgID", "Scripting.FileSystemObject"),
             ("error", 70, 0x80070005, "Scripting.FileSystemObject")),
            (job("released object", "Tessmer.lumtag", {"release": True}, call("SocSts")),
             ("error", CONNECTION_LOST, 0x80040203, "released")),
            ({"name": "no bridge", "steps": [{"connect": "Tessmer.lumtag", "port": closed_port}]},
             ("error", NO_BRIDGE, 0x80040201, "no label bridge at ws://127.0.0.1:%d" % closed_port)),
            # A message over the bridge's 64 MiB closes the connection under the call ...
            (job("too big", "Tessmer.lumtag", call("ExecPrint", {"zeros": 49 << 20}, 0, SERIAL, 5)),
             ("error", CONNECTION_LOST, 0x80040203, "closed")),
            # ... and the next connect opens a new one.
            (job("after a lost connection", "Tessmer.lumtag", call("dectohex", "FF")), ("value", 255)),
            (job("property", "Quennet.lumtag", {"set": "MemId", "value": "Zeile 3 \u00e4\u20ac"}, {"get": "MemId"}),
             ("value", "Zeile 3 \u00e4\u20ac")),
        ]
        results = run_plan(page_server, "failures", [c[0] for c in cases])
        for plan_job, expected in cases:
            with self.subTest(plan_job["name"]):
                steps = [results[(plan_job["name"], i)] for i in range(len(plan_job["steps"]))]
                for earlier in steps[:-1]:
                    self.assertTrue(earlier["ok"], earlier)
                last = steps[-1]
                if expected[0] == "value":
                    self.assertEqual((last["ok"], last.get("value")), (True, expected[1]), last)
                    continue
                error = last.get("error") or {}
                self.assertEqual((last["ok"], error.get("isLabelError"), error.get("number"), error.get("hresult")),
                                 (False, True) + expected[1:3], last)
                self.assertIn(expected[3], error["description"])
                self.assertTrue(error["description"].strip())
        self.assertEqual(self.arrived(), {})

    def test_a_page_of_an_unlisted_origin_cannot_connect(self):
        jobs = [job("ostrel", "Tessmer.lumtag", call("ExecPrint", TEXT, 0, SERIAL, 5)),
                job("quennet", "Quennet.lumtag", call("ExecPrint", TEXT, "", 0, "LPT"))]
        results = run_plan(stranger, "stranger", jobs)
        for name in ("ostrel", "quennet"):
            error = results[(name, 0)].get("error") or {}
            self.assertEqual((error.get("isLabelError"), error.get("number")), (True, BRIDGE_REFUSED), results)
            self.assertIn("refused", error["description"])
            self.assertFalse(results[(name, 1)]["ok"])
        self.assertEqual(self.arrived(), {})


class HeldReader(e2e.PortReader):
    """The far end of a printer that stopped taking data: reads nothing until let_go()."""

    def __init__(self, path):
        self.gate = threading.Event()
        super().__init__(path)

    def _run(self):
        self.gate.wait()
        super()._run()

    def waiting(self):
        """Bytes that arrived and are not read yet."""
        return int.from_bytes(fcntl.ioctl(self._fd, termios.FIONREAD, b"\0" * 4), "little")

    def let_go(self):
        self.gate.set()

    def close(self):
        self.gate.set()
        super().close()


class TwoPages(unittest.TestCase):
    def test_a_long_print_does_not_hold_up_another_pages_print(self):
        held = HeldReader(e2e.pty_path("COM6"))
        self.addCleanup(held.close)
        short = e2e.PortReader(e2e.pty_path("COM8"))
        self.addCleanup(short.close)
        long_label = ALL_BYTES * 1024  # far more than the pty pair holds: the write blocks until let go
        start_plan(page_server, "long",
                   [job("long", "Tessmer.lumtag", call("ExecPrint", u8(long_label), 0, SERIAL, 5))])
        # The long print is under way in the bridge once its first bytes wait at the far end.
        page_server.wait_report(lambda r: r.get("plan") == "long" and r.get("step") == 1 and r.get("started"))
        wait_until(lambda: held.waiting() > 0, "the long print's bytes did not arrive at COM6")

        short_results = run_plan(page_server, "short", [job("short", "Quennet.lumtag",
                                                            call("ExecPrint", TEXT, SERIAL, 7, "COM"))])
        self.assertTrue(short_results[("short", 1)]["ok"], short_results)
        self.assertEqual(short.take(expect=len(TEXT)), TEXT.encode("cp1252"))
        # The short print finished while the long one could not have.
        self.assertFalse([r for r in page_server.reports if r.get("plan") == "long" and "ok" in r and r["step"] == 1])

        held.let_go()
        long_results = outcomes(page_server, "long")
        self.assertTrue(long_results[("long", 1)]["ok"], long_results)
        self.assertEqual(held.take(expect=len(long_label)), long_label)


if __name__ == "__main__":
    unittest.main(verbosity=2)
