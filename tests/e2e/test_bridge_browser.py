"""End to end: pages in headless Chromium and Firefox print through label-bridge.js and
LabelBridge.exe.

Each page, served over https as https://labels.example.com:<port>, runs a plan
(tests/e2e/pages/bridge_plan.js): jobs of steps on label objects, every outcome reported to the
page's own server. The bytes are read at the far ends of the harness's ports and at a network
printer on 127.0.0.1, and compared exactly. Every case runs in each browser of BROWSERS.
"""

import base64
import contextlib
import fcntl
import http.server
import os
import re
import termios
import threading
import unittest

import e2elib as e2e
from bridgelib import Closed, WebSocket, allowed_sites, free_port, running_bridge
from browserlib import STRANGER_HOST, Browser, PageServer
from test_network import Printer

BROWSERS = ("chromium", "firefox")
SERIAL = "9600,N,8,1"
TEXT = "^XA^FO20,20^FDGr\u00f6\u00dfe 5 \u20ac^FS^XZ"  # goes out in cp1252, the prefix's ANSI code page
ALL_BYTES = bytes(range(256))
MANY_BYTES = bytes((i * 7 + i // 251) % 256 for i in range(200_003))
LONG_TEXT = TEXT * 3000  # past 64 KiB: goes beside the request as a binary message


def client_numbers(source):
    """{name: number} of the page side's own failures: the rows of the core's table of what a
    caller sees that name a constant of label-bridge.js, or (source "js") those constants."""
    if source == "js":
        text = open(os.path.join(e2e.REPO, "bridge", "client", "label-bridge.js")).read()
        return {name: int(number) for name, number in re.findall(r"^export const (\w+) = (-\d+);", text, re.M)}
    text = open(os.path.join(e2e.REPO, "core", "errors.cpp")).read()
    return {name: (0x80040000 | int(code, 16)) - (1 << 32)
            for code, name in re.findall(r'\{ClientCode\(0x([0-9A-Fa-f]+)\)[^{}]*?"(\w+)"\}', text)}


# The numbers label-bridge.js gives its own failures, as the core's table says them.
NUMBERS = client_numbers("core")
NO_BRIDGE, BRIDGE_REFUSED, CONNECTION_LOST, NOT_A_BRIDGE, BRIDGE_BUSY = (
    NUMBERS[name] for name in ("NO_BRIDGE", "BRIDGE_REFUSED", "CONNECTION_LOST", "NOT_A_BRIDGE", "BRIDGE_BUSY"))
# The connections a bridge takes at once; one more is closed with 1013 (try again later).
BRIDGE_CONNECTIONS = 128


def u8(data):
    return {"u8": base64.b64encode(data).decode()}


def call(member, *args):
    return {"call": member, "args": list(args)}


def job(name, prog_id, *steps):
    return {"name": name, "steps": [{"connect": prog_id}] + list(steps)}


class OtherServer:
    """A plain HTTP server on 127.0.0.1 that is not the bridge: every request gets 404 "not found",
    which pages may read when |cors|."""

    def __init__(self, cors):
        class Handler(http.server.BaseHTTPRequestHandler):
            def do_GET(self):
                self.send_response(404)
                if cors:
                    self.send_header("Access-Control-Allow-Origin", "*")
                self.send_header("Content-Length", "9")
                self.end_headers()
                self.wfile.write(b"not found")

            def log_message(self, *args):
                pass

        self.httpd = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.httpd.daemon_threads = True
        self.port = self.httpd.server_address[1]
        threading.Thread(target=self.httpd.serve_forever, daemon=True).start()

    def close(self):
        self.httpd.shutdown()
        self.httpd.server_close()


def setUpModule():
    global page_server, stranger, bridge, other_servers, _stack
    _stack = contextlib.ExitStack()
    page_server = _stack.enter_context(contextlib.closing(PageServer()))
    stranger = _stack.enter_context(contextlib.closing(PageServer(STRANGER_HOST)))  # not on the list
    other_servers = {cors: _stack.enter_context(contextlib.closing(OtherServer(cors))) for cors in (True, False)}
    _stack.enter_context(allowed_sites(page_server.origin))
    bridge = _stack.enter_context(running_bridge())


def tearDownModule():
    _stack.close()


_browsers = {}


def browser_for(kind):
    """The module's one browser of |kind|, started on first use and closed with the module."""
    if kind not in _browsers:
        _browsers[kind] = _stack.enter_context(Browser("bridge-browser", kind))
    return _browsers[kind]


class InBrowser:
    """Test case mixin: plans run in a page of the browser KIND (a class per browser below).
    Plan names get the browser's name: the page servers are shared."""

    KIND = None

    def start_plan(self, server, name, jobs, **options):
        plan = "%s-%s" % (self.KIND, name)
        server.plans[plan] = dict(options, bridgePort=bridge.port, jobs=jobs)
        browser_for(self.KIND).open(server.url("/tests/e2e/pages/bridge_plan.html", plan=plan))
        return plan

    def outcomes(self, server, plan):
        """{(job, step): outcome} of a plan's steps once the page says it is done."""
        server.wait_report(lambda r: r.get("plan") == plan and r.get("done"))
        return {(r["job"], r["step"]): r for r in server.reports if r.get("plan") == plan and "ok" in r}

    def run_plan(self, server, name, jobs, **options):
        return self.outcomes(server, self.start_plan(server, name, jobs, **options))

    def assertLabelError(self, result, number, *in_description):
        error = result.get("error") or {}
        self.assertEqual((result["ok"], error.get("isLabelError"), error.get("number")), (False, True, number), result)
        for text in in_description:
            self.assertIn(text, error["description"])


class ClientNumbers(unittest.TestCase):
    def test_the_client_exports_the_core_table_s_numbers(self):
        self.assertEqual(client_numbers("js"), NUMBERS)
        self.assertEqual(NO_BRIDGE, -2147220991)  # 0x80040201, as label-bridge.d.ts documents


class Prints(InBrowser, e2e.PortReaders):
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
            # Two chunks of the client's own base64 encoding, the last one short.
            (job("ostrel some bytes", "Tessmer.lumtag", call("ExecPrint", u8(MANY_BYTES[:60_001]), 0, SERIAL, 5)),
             "COM5", MANY_BYTES[:60_001]),
            # Past 64 KiB, bytes and text go beside the request as binary messages.
            (job("ostrel many bytes", "Tessmer.lumtag", call("ExecPrint", u8(MANY_BYTES), 0, SERIAL, 5)), "COM5",
             MANY_BYTES),
            (job("quennet long text", "Quennet.lumtag", call("ExecPrint", LONG_TEXT, SERIAL, 7, "COM")), "COM7",
             LONG_TEXT.encode("cp1252")),
            (job("quennet lpt", "Quennet.lumtag", call("ExecPrint", u8(ALL_BYTES), "", 0, "LPT")), "LPT1", ALL_BYTES),
            (job("quennet serial", "Quennet.lumtag", call("ExecPrint", TEXT, SERIAL, 7, "COM")), "COM7",
             TEXT.encode("cp1252")),
            (job("ostrel network", "Tessmer.lumtag", call("SocConnect", "127.0.0.1", printer.port),
                 {"poll": "SocSts", "until": ["7", "8", "9"]}, call("SendData", u8(ALL_BYTES)),
                 call("SendData", TEXT), {"release": True}), "network", ALL_BYTES + TEXT.encode("cp1252")),
        ]
        # The client's own base64 encoding here; elsewhere the browser's own methods.
        results = self.run_plan(page_server, "prints", [c[0] for c in cases], withoutNativeBase64=True)
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
        not_bridges = {cors: "something other than the label bridge answers at http://127.0.0.1:%d/" % server.port
                       for cors, server in other_servers.items()}
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
            # Another server holds the port: one whose answers pages may read, and one whose
            # answers they may not (the probe's second fetch still reaches it).
            ({"name": "other server", "steps": [{"connect": "Tessmer.lumtag", "port": other_servers[True].port}]},
             ("error", NOT_A_BRIDGE, 0x80040204, not_bridges[True])),
            ({"name": "other server without CORS",
              "steps": [{"connect": "Tessmer.lumtag", "port": other_servers[False].port}]},
             ("error", NOT_A_BRIDGE, 0x80040204, not_bridges[False])),
            # A message over the bridge's 64 MiB closes the connection under the call ...
            (job("too big", "Tessmer.lumtag", call("ExecPrint", {"zeros": (64 << 20) + 1}, 0, SERIAL, 5)),
             ("error", CONNECTION_LOST, 0x80040203, "closed")),
            # ... and the next connect opens a new one.
            (job("after a lost connection", "Tessmer.lumtag", call("dectohex", "FF")), ("value", 255)),
            (job("property", "Quennet.lumtag", {"set": "MemId", "value": "Zeile 3 \u00e4\u20ac"}, {"get": "MemId"}),
             ("value", "Zeile 3 \u00e4\u20ac")),
            (job("long property", "Quennet.lumtag", {"set": "MemId", "value": LONG_TEXT}, {"get": "MemId"}),
             ("value", LONG_TEXT)),
            # Values no control takes are refused before they are sent, not sent as null.
            (job("NaN", "Tessmer.lumtag", call("dectohex", {"special": "NaN"})), ("error", 13, 0x800A000D, "NaN")),
            (job("undefined", "Tessmer.lumtag", call("ExecPrint", TEXT, {"special": "undefined"}, SERIAL, 5)),
             ("error", 13, 0x800A000D, "argument 2 of 'ExecPrint' is undefined")),
            # The page's own code asks for these; the control never sees them.
            (job("toString", "Tessmer.lumtag", call("toString")), ("value", "[LabelObject Tessmer.lumtag]")),
            # A port the browser cannot open at all; the next connect tries again.
            ({"name": "port out of range", "steps": [{"connect": "Tessmer.lumtag", "port": 70000}]},
             ("error", NO_BRIDGE, 0x80040201, "ws://127.0.0.1:70000")),
            ({"name": "port out of range again", "steps": [{"connect": "Tessmer.lumtag", "port": 70000}]},
             ("error", NO_BRIDGE, 0x80040201, "ws://127.0.0.1:70000")),
        ]
        results = self.run_plan(page_server, "failures", [c[0] for c in cases])
        for plan_job, expected in cases:
            with self.subTest(plan_job["name"]):
                steps = [results[(plan_job["name"], i)] for i in range(len(plan_job["steps"]))]
                for earlier in steps[:-1]:
                    self.assertTrue(earlier["ok"], earlier)
                last = steps[-1]
                if expected[0] == "value":
                    self.assertEqual((last["ok"], last.get("value")), (True, expected[1]), last)
                    continue
                self.assertLabelError(last, expected[1], expected[3])
                self.assertEqual(last["error"]["hresult"], expected[2])
                self.assertTrue(last["error"]["description"].strip())
        self.assertEqual(self.arrived(), {})

    def test_a_page_of_an_unlisted_origin_cannot_connect(self):
        jobs = [job("ostrel", "Tessmer.lumtag", call("ExecPrint", TEXT, 0, SERIAL, 5)),
                job("quennet", "Quennet.lumtag", call("ExecPrint", TEXT, "", 0, "LPT"))]
        results = self.run_plan(stranger, "stranger", jobs)
        for name in ("ostrel", "quennet"):
            # The bridge's own reason, read by the page's probe.
            self.assertLabelError(results[(name, 0)], BRIDGE_REFUSED, "refused",
                                  "origin not allowed: " + stranger.origin)
            self.assertFalse(results[(name, 1)]["ok"])
        self.assertEqual(self.arrived(), {})

    def test_a_full_bridge_tells_the_page_to_try_again_later(self):
        held = []
        self.addCleanup(close_all, held)
        # The browser's earlier pages may hold connections too: open them until the bridge is full.
        with self.assertRaises(Closed, msg="the bridge took %d connections" % (BRIDGE_CONNECTIONS + 1)) as refused:
            for _ in range(BRIDGE_CONNECTIONS + 1):
                held.append(WebSocket(bridge.port, origin=page_server.origin))
        self.assertEqual(refused.exception.code, 1013)
        self.assertTrue(refused.exception.reason.startswith("busy"), refused.exception.reason)

        results = self.run_plan(page_server, "busy", [job("busy", "Tessmer.lumtag", call("dectohex", "FF"))])
        self.assertLabelError(results[("busy", 0)], BRIDGE_BUSY, "try again later", refused.exception.reason)
        close_all(held)
        # The bridge takes connections again (the next case's page needs one).
        e2e.wait_until(lambda: opens(bridge.port, page_server.origin), "the bridge stayed full")
        self.assertEqual(self.arrived(), {})


def close_all(sockets):
    while sockets:
        sockets.pop().close()


def opens(port, origin):
    try:
        WebSocket(port, origin=origin).close()
        return True
    except Closed:
        return False


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


class TwoPages(InBrowser):
    def test_a_long_print_does_not_hold_up_another_pages_print(self):
        held = HeldReader(e2e.pty_path("COM6"))
        self.addCleanup(held.close)
        short = e2e.PortReader(e2e.pty_path("COM8"))
        self.addCleanup(short.close)
        long_label = ALL_BYTES * 1024  # far more than the pty pair holds: the write blocks until let go
        long_plan = self.start_plan(page_server, "long",
                                    [job("long", "Tessmer.lumtag", call("ExecPrint", u8(long_label), 0, SERIAL, 5))])
        # The long print is under way in the bridge once its first bytes wait at the far end.
        page_server.wait_report(lambda r: r.get("plan") == long_plan and r.get("step") == 1 and r.get("started"))
        e2e.wait_until(lambda: held.waiting() > 0, "the long print's bytes did not arrive at COM6")

        short_results = self.run_plan(page_server, "short", [job("short", "Quennet.lumtag",
                                                                 call("ExecPrint", TEXT, SERIAL, 7, "COM"))])
        self.assertTrue(short_results[("short", 1)]["ok"], short_results)
        self.assertEqual(short.take(expect=len(TEXT)), TEXT.encode("cp1252"))
        # The short print finished while the long one could not have.
        self.assertFalse([r for r in page_server.reports
                          if r.get("plan") == long_plan and "ok" in r and r["step"] == 1])

        held.let_go()
        long_results = self.outcomes(page_server, long_plan)
        self.assertTrue(long_results[("long", 1)]["ok"], long_results)
        self.assertEqual(held.take(expect=len(long_label)), long_label)


# Every case in every browser: PrintsInChromium, TwoPagesInFirefox, ...
for _kind in BROWSERS:
    for _cases in (Prints, TwoPages):
        _name = _cases.__name__ + "In" + _kind.capitalize()
        globals()[_name] = type(_name, (_cases, unittest.TestCase), {"KIND": _kind})
del _kind, _cases, _name

if __name__ == "__main__":
    unittest.main(verbosity=2)
