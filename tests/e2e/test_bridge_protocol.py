"""End to end: LabelBridge.exe under Wine, spoken to by a raw WebSocket client.

Each class starts its own bridge on a free loopback port with the policy
listing ORIGIN. After every bad case a fresh connection must still get the
bridge's hello: nothing a page sends takes the bridge down.
"""

import base64
import concurrent.futures
import contextlib
import glob
import json
import os
import re
import subprocess
import unittest

import bridgelib as bl
import e2elib as e2e

ORIGIN = "http://127.0.0.1:8123"
HELLO = bl.HELLO
SETTING = "115200,N,8,1"


def b64(data):
    return {"bytes": base64.b64encode(data).decode()}


class RunningBridge:
    """Mixin: a bridge for the class, with ORIGIN allowed."""

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.stack = contextlib.ExitStack()
        cls.stack.enter_context(bl.allowed_sites(ORIGIN))
        cls.bridge = cls.stack.enter_context(bl.running_bridge())
        cls.port = cls.bridge.port

    @classmethod
    def tearDownClass(cls):
        cls.stack.close()
        super().tearDownClass()

    def connect(self, origin=ORIGIN, **kwargs):
        return bl.WebSocket(self.port, origin, **kwargs)

    def assert_still_serves(self):
        with self.connect() as ws:
            self.assertEqual(ws.hello, HELLO)

    def assert_error(self, reply, number, request_id, text=None):
        error = reply.get("error")
        self.assertIsNotNone(error, reply)
        self.assertEqual((reply["id"], error["number"]), (request_id, number), reply)
        self.assertTrue(error["description"], reply)
        if error["hresult"] >> 16 == 0x800A:
            self.assertEqual(error["hresult"] & 0xFFFF, number, reply)
        if text is not None:
            self.assertIn(text, error["description"])


class Handshakes(RunningBridge, unittest.TestCase):
    # name, upgrade request arguments (origin, host: None is the bridge's own), statuses expected
    CASES = [
        ("allowed origin", dict(origin=ORIGIN), {101}),
        ("localhost, any case", dict(origin=ORIGIN, host="LocalHost:{port}"), {101}),
        ("no Origin", dict(origin=None), {403}),
        ("Origin null", dict(origin="null"), {403}),
        ("file: page", dict(origin="file://"), {403}),
        ("unlisted origin", dict(origin="https://evil.example"), {403}),
        ("listed host, other port", dict(origin="http://127.0.0.1:8124"), {403}),
        ("foreign Host", dict(origin=ORIGIN, host="evil.example:{port}"), {403}),
        ("Host with another port", dict(origin=ORIGIN, host="127.0.0.1:{other}"), {403}),
    ]
    RAW = [
        ("plain GET", b"GET / HTTP/1.1\r\nHost: 127.0.0.1:{port}\r\nOrigin: " + ORIGIN.encode() + b"\r\n\r\n", {400}),
        ("plain GET, unlisted origin", b"GET / HTTP/1.1\r\nHost: 127.0.0.1:{port}\r\nOrigin: https://evil.example\r\n\r\n",
         {403}),
        ("garbage", b"\x16\x03\x01\x00\xa5\x01\x00\x00\xa1\x03\x03 not http\r\n\r\n", {400, None}),
        ("header beyond 8 KiB", b"GET / HTTP/1.1\r\nX: " + b"a" * 9000 + b"\r\n\r\n", {400, None}),
    ]

    def exchange(self, request, address="127.0.0.1"):
        status, head, body, sock = bl.http_exchange(self.port, request, address)
        sock.close()
        if status not in (101, None):
            # One line saying why, which a page of any origin may read.
            self.assertEqual((body.count(b"\n"), body[:13]), (1, b"LabelBridge: "), body)
            self.assertRegex(head, r"(?im)^access-control-allow-origin: \*\r?$")
        return status

    def test_handshakes(self):
        for name, args, expected in self.CASES:
            with self.subTest(name):
                host = args.get("host")
                host = host and host.format(port=self.port, other=self.port + 1)
                self.assertIn(self.exchange(bl.upgrade_request(self.port, args["origin"], host)), expected)
                self.assert_still_serves()
        for name, request, expected in self.RAW:
            with self.subTest(name):
                self.assertIn(self.exchange(request.replace(b"{port}", str(self.port).encode())), expected)
                self.assert_still_serves()

    def test_ipv6_loopback(self):
        if not self.bridge.wait_for_line(r"^listening on \[::1\]:%d$" % self.port, timeout=0):
            self.skipTest("no ::1 here")
        request = bl.upgrade_request(self.port, ORIGIN, "[::1]:%d" % self.port)
        self.assertEqual(self.exchange(request, "::1"), 101)

    def test_policy_is_read_for_every_handshake(self):
        with bl.allowed_sites():
            self.assertEqual(bl.policy_values(), {}, "the prefix has other AllowedSites values")
            with self.assertRaises(bl.HandshakeRefused) as refused:
                self.connect()
            self.assertEqual(refused.exception.status, 403)
        self.assert_still_serves()
        with bl.allowed_sites("https://labels.example"):
            with self.assertRaises(bl.HandshakeRefused):
                self.connect()
            with self.connect(origin="https://labels.example") as ws:
                self.assertEqual(ws.hello, HELLO)
        self.assert_still_serves()

    def test_at_most_128_connections_then_busy(self):
        with contextlib.ExitStack() as open_connections:
            first = open_connections.enter_context(self.connect())
            for _ in range(127):
                open_connections.enter_context(self.connect())
            # A full bridge upgrades a listed page only to tell it so, in a way a page can read.
            with self.assertRaises(bl.Closed) as closed:
                self.connect()
            self.assertEqual(closed.exception.code, 1013)
            self.assertIsNotNone(self.bridge.wait_for_line(r"from %s refused: busy" % re.escape(ORIGIN), 10))
            seen = len(self.bridge.lines)
            first.close()
            self.assertIsNotNone(self.bridge.wait_for_line(r"^connection \d+ from .* closed", after=seen))
            self.assert_still_serves()

    def test_refusals_are_logged_with_their_reason(self):
        with self.assertRaises(bl.HandshakeRefused):
            self.connect(origin="https://logged.example")
        self.assertIsNotNone(self.bridge.wait_for_line(r"refused \(403\): origin not allowed: https://logged\.example"))


class Frames(RunningBridge, unittest.TestCase):
    # name, what the page sends, close code expected
    CASES = [
        ("binary frame", lambda ws: ws.send_frame(0x2, b'{"id":1}'), 1003),
        ("invalid UTF-8", lambda ws: ws.send_frame(0x1, b'{"id":"\xc3\x28"}'), 1007),
        ("unmasked frame", lambda ws: ws.send_frame(0x1, b'{"id":1}', masked=False), 1002),
        ("unknown opcode", lambda ws: ws.send_frame(0x3, b"x"), 1002),
        ("fragmented ping", lambda ws: ws.send_frame(0x9, b"x", fin=False), 1002),
        ("message over 64 MiB", lambda ws: ws.send_frame(0x1, b"x" * 4096, length=(64 << 20) + 1), 1009),
        ("text where a binary message is due",
         lambda ws: (ws.send_request({"op": "call", "object": 1, "member": "X", "args": [{"frame": "text"}]}),
                     ws.send_text("{}")),
         1008),
    ]

    def test_frames(self):
        for name, send, code in self.CASES:
            with self.subTest(name), self.connect() as ws:
                send(ws)
                self.assertEqual(ws.close_code(), code)
                self.assert_still_serves()


class Requests(RunningBridge, unittest.TestCase):
    # name, request (text as it is sent, or an object), error number, id in the reply[, text of the description]
    CALL = {"id": 5, "op": "call", "object": 1, "member": "ExecPrint"}
    REFUSALS = [
        ("malformed JSON", '{"id": 3, "op": ', 5, None),
        ("not an object", "[3, 4]", 5, None),
        ("no id", '{"op": "create", "progId": "Tessmer.lumtag"}', 5, None),
        ("unknown op", {"id": 4, "op": "destroy", "object": 1}, 5, 4),
        ("foreign ProgID", {"id": 5, "op": "create", "progId": "Scripting.FileSystemObject"}, 70, 5),
        ("CLSID text", {"id": 6, "op": "create", "progId": "{F0C48551-308F-4B06-B2A2-5C7E9C3D17E7}"}, 70, 6),
        ("unknown member", dict(CALL, member="Explode"), 438, 5),
        ("IUnknown's Release by name", dict(CALL, member="Release", args=[]), 438, 5),
        ("nested array", dict(CALL, args=[[1, 2], 0, SETTING, 5]), 5, 5),
        ("object other than bytes", dict(CALL, args=[{"text": "x"}, 0, SETTING, 5]), 5, 5),
        ("bytes not base64", dict(CALL, args=[{"bytes": "AB$="}, 0, SETTING, 5]), 5, 5),
        ("object not created", dict(CALL, object=2, args=[]), 424, 5),
        ("null argument", dict(CALL, args=[None, 0, SETTING, 5]), 94, 5),
        ("port that does not exist", dict(CALL, args=["^XA^XZ", 0, SETTING, 42]), 8002, 5),
        # Refused before they cost more than their size: neither is built.
        ("nested 33 levels", '{"id": 7, "args": %s%s}' % ("[" * 32, "]" * 32), 5, None, "deeper than 32 levels"),
        ("150,000 keys", "{%s}" % ",".join('"k%d": %d' % (i, i) for i in range(150000)), 5, None,
         "more than 1024 values"),
        ("member name holding a null", dict(CALL, member="dectohex\u0000Exec", args=["FF"]), 438, 5),
        # A refused request's binary messages are read all the same.
        ("unknown member, its binary message", (dict(CALL, member="Explode", args=[{"frame": "text"}]), [b"x"]),
         438, 5),
        ("frame of another kind", dict(CALL, args=[{"frame": "image"}, 0, SETTING, 5]), 5, 5),
    ]

    def session(self):
        """A connection holding one Tessmer object, id 1."""
        ws = self.connect()
        self.assertEqual(ws.request({"op": "create", "progId": "tessmer.LUMTAG"}), {"id": 1, "object": 1})
        return ws

    def test_refusals_leave_the_connection_open(self):
        for name, request, number, request_id, *text in self.REFUSALS:
            with self.subTest(name), self.session() as ws:
                ws.send_request(*request) if isinstance(request, tuple) else ws.send_request(request)
                self.assert_error(ws.receive_json(), number, request_id, *text)
                self.assertEqual(ws.request({"op": "call", "object": 1, "member": "dectohex", "args": ["FF"]}),
                                 {"id": 2, "result": 255})
            self.assert_still_serves()
        # The bridge's own refusals reach the console with their reason.
        self.assertIsNotNone(self.bridge.wait_for_line(r": request refused: not a label control: Scripting\.File", 10))

    def test_failing_print_names_the_port(self):
        with self.session() as ws:
            self.assert_error(ws.request(dict(self.CALL, args=["^XA^XZ", 0, SETTING, 42])), 8002, 5, "COM42")

    def test_values_round_trip(self):
        text = "Ünïcødé ✓ 𝄞 \"q\" \\ \u0000 end"
        with self.session() as ws:
            self.assertEqual(ws.request({"op": "set", "object": 1, "member": "MemId", "value": text})["result"], None)
            self.assertEqual(ws.request({"op": "get", "object": 1, "member": "MemId"})["result"], text)
            self.assertEqual(ws.request({"op": "set", "object": 1, "member": "MemId", "value": 2.5})["result"], None)
            self.assertEqual(ws.request({"op": "get", "object": 1, "member": "MemId"})["result"], "2.5")
            # Beside the request, read in pieces that cut its characters apart; a cut one at the end.
            beside = "Ü✓𝄞x" * (300 << 10)
            for sent, kept in ((beside.encode(), beside), (beside.encode() + "✓".encode()[:2], beside + "\ufffd")):
                ws.request({"op": "set", "object": 1, "member": "MemId", "value": {"frame": "text"}}, [sent])
                self.assertTrue(ws.request({"op": "get", "object": 1, "member": "MemId"})["result"] == kept)

    # Long string values arrive whole, escapes and all, wherever they stand;
    # name, request setting MemId, MemId expected after (None: refused as malformed).
    LONG = "Ünï ✓ " + "L" * (70 << 10)
    SET = '{"id": 2, "op": "set", "object": 1, "member": "MemId", %s"value": %s}'
    LONG_STRINGS = [
        ("long text", SET % ("", json.dumps(LONG, ensure_ascii=False)), LONG),
        ("long text with escapes", SET % ("", json.dumps(LONG + '\n"q"', ensure_ascii=False)), LONG + '\n"q"'),
        ("after a long key and another long value",
         SET % ('"%s": 1, "pad": "%s", ' % ("k" * (70 << 10), "p" * (70 << 10)), json.dumps(LONG, ensure_ascii=False)),
         LONG),
        ("control character in a long text", SET % ("", '"%s\t"' % ("L" * (70 << 10))), None),
    ]

    def test_long_strings(self):
        for name, request, expected in self.LONG_STRINGS:
            with self.subTest(name), self.session() as ws:
                ws.send_text(request)
                reply = ws.receive_json()
                if expected is None:
                    self.assert_error(reply, 5, None)
                    continue
                self.assertEqual(reply, {"id": 2, "result": None})
                self.assertTrue(ws.request({"op": "get", "object": 1, "member": "MemId"})["result"] == expected)

    def test_long_messages_wait_for_a_place(self):
        # Two long messages are read at once; the others wait their turn, and are answered.
        pages = [self.session() for _ in range(5)]
        with concurrent.futures.ThreadPoolExecutor(len(pages)) as senders:
            for ws in pages:
                senders.submit(ws.send_request, {"op": "set", "object": 1, "member": "MemId", "value": "L" * (3 << 20)})
        for ws in pages:
            with ws:
                self.assertEqual(ws.receive_json(), {"id": 2, "result": None})

    def test_object_ids_belong_to_their_connection(self):
        with self.session() as first, self.connect() as second:
            self.assert_error(second.request({"op": "get", "object": 1, "member": "MemId"}), 424, 1)
            self.assertEqual(first.request({"op": "release", "object": 1})["result"], None)
            self.assert_error(first.request({"op": "get", "object": 1, "member": "MemId"}), 424, 3)
            # Ids are never reused on a connection.
            self.assertEqual(first.request({"op": "create", "progId": "Quennet.lumtag"})["object"], 2)

    def test_at_most_64_objects(self):
        with self.connect() as ws:
            ids = [ws.request({"op": "create", "progId": "Tessmer.lumtag"}).get("object") for _ in range(64)]
            self.assertEqual(ids, list(range(1, 65)))
            self.assert_error(ws.request({"op": "create", "progId": "Quennet.lumtag"}), 7, 65)
            ws.request({"op": "release", "object": 7})
            self.assertEqual(ws.request({"op": "create", "progId": "Quennet.lumtag"}).get("object"), 65)


class Prints(RunningBridge, e2e.PortReaders, unittest.TestCase):
    BIG = os.urandom(16 << 20)
    # name, ProgID, ExecPrint's arguments, Wine port, bytes expected at its far end[, binary messages]
    CASES = [
        ("text to COM5", "Tessmer.lumtag", ["^XA^FDsecret label Ä^FS^XZ", 0, SETTING, 5], "COM5",
         "^XA^FDsecret label Ä^FS^XZ".encode("cp1252")),
        ("every byte value", "Tessmer.lumtag", [b64(bytes(range(256))), 0, SETTING, 5], "COM5", bytes(range(256))),
        ("16 MiB byte array", "Tessmer.lumtag", [b64(BIG), 0, SETTING, 5], "COM5", BIG),
        ("Quennet to LPT1", "Quennet.lumtag", ["^XA^FDsecret lpt^FS^XZ", "", 0, "LPT"], "LPT1",
         b"^XA^FDsecret lpt^FS^XZ"),
        ("Quennet to COM7", "Quennet.lumtag", ["^XA^FDsecret com^FS^XZ", SETTING, 7, "COM"], "COM7",
         b"^XA^FDsecret com^FS^XZ"),
        # Label data beside the request (protocol 2): bytes as they are, text as UTF-8.
        ("16 MiB as a binary message", "Tessmer.lumtag", [{"frame": "bytes"}, 0, SETTING, 5], "COM5", BIG, [BIG]),
        ("text as a binary message", "Quennet.lumtag", [{"frame": "text"}, SETTING, 7, {"frame": "text"}], "COM7",
         "^XA^FDsecret Ä^FS^XZ".encode("cp1252"), ["^XA^FDsecret Ä^FS^XZ".encode(), b"COM"]),
    ]

    def test_prints_arrive_untouched(self):
        for name, prog_id, args, port, expected, *frames in self.CASES:
            with self.subTest(name), self.connect() as ws:
                ws.request({"op": "create", "progId": prog_id})
                reply = ws.request({"op": "call", "object": 1, "member": "ExecPrint", "args": args}, *frames)
                self.assertEqual(reply, {"id": 2, "result": None})
                got = self.arrived()
                self.assertEqual(list(got), [port])
                self.assertTrue(got[port] == expected, "%s: %d bytes arrived, %d expected" %
                                (name, len(got[port]), len(expected)))
        # The console tells of connections, never of what they print.
        self.assertIn("opened from " + ORIGIN, self.bridge.log())
        self.assertFalse("secret" in self.bridge.log(), "a label's text reached the console")

    def test_print_finishes_when_the_page_goes_away(self):
        label = e2e.pattern(1 << 20).encode()
        ws = self.connect()
        ws.request({"op": "create", "progId": "Tessmer.lumtag"})
        ws.send_text(json.dumps({"id": 2, "op": "call", "object": 1, "member": "ExecPrint",
                                 "args": [b64(label), 0, SETTING, 5]}))
        ws.close()  # before the reply
        self.assertTrue(self.readers["COM5"].take(expect=len(label)) == label)
        self.assert_still_serves()


class Startup(e2e.PortReaders, unittest.TestCase):
    PORTS = ("COM5",)

    def test_asked_to_end_it_finishes_the_call_under_way(self):
        with bl.allowed_sites(ORIGIN), bl.running_bridge() as bridge, self.connect_to(bridge) as idle, \
                self.connect_to(bridge) as printing:
            printing.request({"op": "create", "progId": "Tessmer.lumtag"})
            # The print waits 3 s after its write: --end comes while it runs.
            printing.send_request({"op": "call", "object": 1, "member": "ExecPrint",
                                   "args": ["^XA^FDlast^FS^XZ", 3000, SETTING, 5]})
            self.assertIsNotNone(bridge.wait_for_line(r"^connection \d+ opened", after=0))
            ended = subprocess.run(["bash", e2e.RUN_WINE, bl.BRIDGE_EXE, "--end", "--console"], timeout=120,
                                   stdin=subprocess.DEVNULL, capture_output=True, text=True)
            self.assertEqual(ended.returncode, 0, ended.stdout)
            self.assertRegex(ended.stdout, r"LabelBridge \d+: asked to end, ended after \d+ ms")
            self.assertEqual(printing.receive_json(), {"id": 2, "result": None})
            self.assertEqual((printing.close_code(), idle.close_code()), (1001, 1001))
            self.assertEqual(bridge.proc.wait(30), 0)
            self.assertEqual(self.arrived(), {"COM5": b"^XA^FDlast^FS^XZ"})
            self.assertFalse(bl.listening(bridge.port))

    def connect_to(self, bridge):
        return bl.WebSocket(bridge.port, ORIGIN)

    def test_one_bridge_per_session(self):
        with bl.running_bridge() as bridge:
            second = bl.Bridge(["--port", str(bl.free_port())], None)
            self.addCleanup(second.stop)
            self.assertEqual(second.proc.wait(60), 0)
            self.assertIsNotNone(second.wait_for_line("already running"))
            self.assertTrue(bl.listening(bridge.port))

    def test_log_file_without_console(self):
        local = glob.glob(os.path.join(e2e.PREFIX, "drive_c", "users", "*", "AppData", "Local"))[0]
        log = os.path.join(local, "Lumtag", "LabelBridge.log")
        os.makedirs(os.path.dirname(log), exist_ok=True)
        with open(log, "wb") as f:
            f.write(b"an older line\r\n" * (80 << 10))  # past 1 MiB: the next line rolls the file over
        port = bl.free_port()
        bridge = bl.Bridge(["--port", str(port)], port, console=False)
        self.addCleanup(bridge.stop)
        e2e.wait_until(lambda: bl.listening(port), "the bridge did not listen")
        with self.assertRaises(bl.HandshakeRefused):
            bl.WebSocket(port, origin="https://logged.example")
        refused = r"\[\d+\] connection \d+ from https://logged\.example refused \(403\): origin not allowed"
        e2e.wait_until(lambda: re.search(refused, open(log, errors="replace").read()), "no refusal in the log")
        listening = r"(?m)^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d \[\d+\] listening on 127\.0\.0\.1:%d$" % port
        self.assertRegex(open(log).read(), listening)
        with open(os.path.join(local, "Lumtag", "LabelBridge.old.log"), "rb") as older:
            self.assertEqual(older.read(14), b"an older line\r")
        self.assertEqual(bridge.lines, [])

    def test_port_from_policy_and_command_line(self):
        policy_port, option_port = bl.free_port(), bl.free_port()
        self.addCleanup(bl.set_policy_value, bl.BRIDGE_KEY, "Port", "REG_DWORD", None)
        bl.set_policy_value(bl.BRIDGE_KEY, "Port", "REG_DWORD", policy_port)
        for args, port in (([], policy_port), (["--port", str(option_port)], option_port)):
            bridge = bl.Bridge(args, port)
            try:
                self.assertIsNotNone(bridge.wait_for_line(r"^listening on 127\.0\.0\.1:%d$" % port), bridge.log())
            finally:
                bridge.stop()


if __name__ == "__main__":
    unittest.main(verbosity=2)
