"""Helpers of the bridge tests: LabelBridge.exe under Wine in the harness
prefix, the AllowedSites policy in that prefix, and a small WebSocket client.

    with allowed_sites("http://127.0.0.1:8123"):
        with running_bridge() as bridge:            # a free port, or running_bridge(19180)
            with WebSocket(bridge.port, origin="http://127.0.0.1:8123") as ws:
                ws.request({"op": "create", "progId": "Tessmer.lumtag"})

The bridge is the child process of run_wine.sh, which execs the Wine
loader: its pid is the Windows process itself, so ending it by pid ends the
bridge (the listening sockets, held by the wineserver, close with it).
"""

import base64
import contextlib
import json
import os
import re
import signal
import socket
import struct
import subprocess
import sys
import threading
import time

import e2elib as e2e

sys.path.insert(0, os.path.join(e2e.REPO, "packaging"))
import make_package  # noqa: E402  (read_product: the versions of cmake/product.cmake)

BRIDGE_EXE = os.path.join(e2e.BUILD_DIR, "bin", "LabelBridge.exe")
POLICY_KEY = r"HKLM\SOFTWARE\Policies\Lumtag\AllowedSites"
BRIDGE_KEY = r"HKLM\SOFTWARE\Policies\Lumtag\Bridge"
# What every connection is greeted with.
HELLO = {"bridge": "LabelBridge", "protocol": 1, "protocols": [1, 2], "version": make_package.read_product()["LABEL_BRIDGE_VERSION"],
         "controls": ["Tessmer.lumtag", "Quennet.lumtag"]}
# The policy value the tests own; other values of the key are left alone.
TEST_VALUE = "bridge-tests"
# Where policies are written: the 64-bit view (a 32-bit prefix has only one).
REG_VIEW = ["/reg:64"] if os.environ.get("TEST_ARCH", os.path.basename(e2e.BUILD_DIR)) == "x86_64" else []


def free_port():
    """A loopback port nobody listens on right now."""
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Bridge:
    """LabelBridge.exe started with |args| (and --console unless |console| is
    false); its console lines are collected in |lines|."""

    def __init__(self, args, port, console=True):
        self.port = port
        self.lines = []
        self._ended = False
        self._changed = threading.Condition()
        self.proc = subprocess.Popen(["bash", e2e.RUN_WINE, BRIDGE_EXE] + ["--console"] * console + list(args),
                                     stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        self.pid = self.proc.pid
        self._reader = threading.Thread(target=self._read, daemon=True)
        self._reader.start()

    def _read(self):
        for raw in self.proc.stdout:
            with self._changed:
                self.lines.append(raw.decode("utf-8", "replace").rstrip("\r\n"))
                self._changed.notify_all()
        with self._changed:
            self._ended = True
            self._changed.notify_all()

    def wait_for_line(self, pattern, timeout=60, after=0):
        """The first console line (from line |after| on) matching the regular
        expression |pattern|; None when the bridge ended or |timeout| passed
        without one."""
        deadline = time.monotonic() + timeout
        with self._changed:
            while True:
                for line in self.lines[after:]:
                    if re.search(pattern, line):
                        return line
                left = deadline - time.monotonic()
                if left <= 0 or self._ended:
                    return None
                self._changed.wait(min(left, 0.2))

    def log(self):
        with self._changed:
            return "\n".join(self.lines)

    def stop(self):
        """Ends the bridge by its pid and waits until its port is free."""
        if self.proc.poll() is None:
            os.kill(self.pid, signal.SIGTERM)
            try:
                self.proc.wait(10)
            except subprocess.TimeoutExpired:
                os.kill(self.pid, signal.SIGKILL)
                self.proc.wait(10)
        self._reader.join(10)
        # A bridge that crashed may have handed its output to the crash
        # debugger, which keeps it open: then the reader is left to it (closing
        # the pipe under a blocked read would block too).
        if not self._reader.is_alive():
            self.proc.stdout.close()
        deadline = time.monotonic() + 10
        while self.port and listening(self.port) and time.monotonic() < deadline:
            time.sleep(0.1)


def listening(port, host="127.0.0.1"):
    with socket.socket(socket.AF_INET6 if ":" in host else socket.AF_INET, socket.SOCK_STREAM) as s:
        s.settimeout(2)
        return s.connect_ex((host, port)) == 0


@contextlib.contextmanager
def running_bridge(port=None):
    """LabelBridge.exe listening on |port| (a free one when None) for the block."""
    port = port or free_port()
    bridge = Bridge(["--port", str(port)], port)
    try:
        if bridge.wait_for_line(r"^listening on 127\.0\.0\.1:%d$" % port) is None:
            raise RuntimeError("LabelBridge did not start:\n" + bridge.log())
        yield bridge
    finally:
        bridge.stop()


def reg(*args):
    """Runs Wine's reg in the harness prefix; returns its output (text)."""
    proc = subprocess.run(["bash", e2e.RUN_WINE, "reg"] + list(args) + REG_VIEW, stdin=subprocess.DEVNULL,
                          capture_output=True, timeout=60)
    return proc.returncode, proc.stdout.decode("utf-8", "replace")


def set_policy_value(key, name, kind, data):
    """Writes (data not None) or deletes (None) one policy value."""
    if data is None:
        reg("delete", key, "/v", name, "/f")
        return
    code, out = reg("add", key, "/v", name, "/t", kind, "/d", str(data), "/f")
    if code != 0:
        raise RuntimeError("reg add %s %s failed: %s" % (key, name, out))


def policy_values(key=POLICY_KEY):
    """{name: data} of the REG_SZ values of |key| in the prefix."""
    _, out = reg("query", key)
    return dict(re.findall(r"^\s+(\S+)\s+REG_SZ\s+(.*?)\s*$", out, re.M))


@contextlib.contextmanager
def allowed_sites(*patterns):
    """The tests' AllowedSites value holds |patterns| (none: the value is
    absent) for the block; what it held before comes back after it."""
    before = policy_values().get(TEST_VALUE)
    set_policy_value(POLICY_KEY, TEST_VALUE, "REG_SZ", ";".join(patterns) if patterns else None)
    try:
        yield
    finally:
        set_policy_value(POLICY_KEY, TEST_VALUE, "REG_SZ", before)


# --- a WebSocket client, as small as the tests need --------------------------

class HandshakeRefused(Exception):
    def __init__(self, status, body):
        super().__init__("HTTP %s: %r" % (status, body))
        self.status = status
        self.body = body


class Closed(Exception):
    """The bridge closed the connection; |code| is its close code (None: no close frame) and
    |reason| the text that came with it."""

    def __init__(self, code, reason=""):
        super().__init__("closed with %s %s" % (code, reason))
        self.code = code
        self.reason = reason


def upgrade_request(port, origin=None, host=None, path="/"):
    """The bytes of a WebSocket upgrade request to the bridge."""
    lines = ["GET %s HTTP/1.1" % path, "Host: %s" % (host or "127.0.0.1:%d" % port), "Upgrade: websocket",
             "Connection: Upgrade", "Sec-WebSocket-Key: %s" % base64.b64encode(os.urandom(16)).decode(),
             "Sec-WebSocket-Version: 13"]
    if origin is not None:
        lines.append("Origin: %s" % origin)
    return ("\r\n".join(lines) + "\r\n\r\n").encode()


def http_exchange(port, request, address="127.0.0.1", timeout=30):
    """Sends raw |request| bytes; returns (status or None, head, body, socket).
    The status is None when the bridge closed without an answer."""
    sock = socket.create_connection((address, port), timeout=timeout)
    sock.sendall(request)
    data = b""
    while b"\r\n\r\n" not in data:
        chunk = sock.recv(4096)
        if not chunk:
            return None, data, b"", sock
        data += chunk
    head, _, rest = data.partition(b"\r\n\r\n")
    status = int(head.split(b" ", 2)[1])
    length = re.search(rb"(?im)^content-length:\s*(\d+)", head)
    while length and len(rest) < int(length.group(1)):
        chunk = sock.recv(4096)
        if not chunk:
            break
        rest += chunk
    return status, head.decode("latin-1"), rest, sock


def mask_bytes(payload, key):
    """|payload| XOR the repeated 4-byte |key|, fast enough for tens of MiB."""
    n = len(payload)
    if n == 0:
        return b""
    repeated = (key * (n // 4 + 1))[:n]
    return (int.from_bytes(payload, "big") ^ int.from_bytes(repeated, "big")).to_bytes(n, "big")


def frame(opcode, payload, fin=True, masked=True, length=None):
    """The bytes of one client frame (sent as they are, or to many
    connections at once); |length| claims another payload length than the
    one sent."""
    length = len(payload) if length is None else length
    head = bytes([(0x80 if fin else 0) | opcode])
    mask_bit = 0x80 if masked else 0
    if length < 126:
        head += bytes([mask_bit | length])
    elif length < 1 << 16:
        head += bytes([mask_bit | 126]) + struct.pack(">H", length)
    else:
        head += bytes([mask_bit | 127]) + struct.pack(">Q", length)
    if masked:
        key = os.urandom(4)
        head += key
        payload = mask_bytes(payload, key)
    return head + payload


class WebSocket:
    """A client connection to the bridge; the handshake raises HandshakeRefused
    unless the bridge switches protocols."""

    def __init__(self, port, origin, host=None, address="127.0.0.1", timeout=120):
        status, head, rest, self.sock = http_exchange(port, upgrade_request(port, origin, host), address, timeout)
        if status != 101:
            self.sock.close()
            raise HandshakeRefused(status, rest)
        self._buffer = rest
        self._next_id = 0
        self.hello = self.receive_json()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def close(self):
        self.sock.close()

    def send_frame(self, opcode, payload, fin=True, masked=True, length=None):
        """One frame; |length| claims another payload length than the one sent."""
        self.sock.sendall(frame(opcode, payload, fin, masked, length))

    def send_text(self, text):
        self.send_frame(0x1, text.encode("utf-8") if isinstance(text, str) else text)

    def _read(self, n):
        while len(self._buffer) < n:
            chunk = self.sock.recv(1 << 20)
            if not chunk:
                raise Closed(None)
            self._buffer += chunk
        data, self._buffer = self._buffer[:n], self._buffer[n:]
        return data

    def receive(self):
        """The next whole message (bytes); raises Closed with the code of a
        close frame, after answering it."""
        message = b""
        while True:
            b0, b1 = self._read(2)
            length = b1 & 0x7F
            if length == 126:
                length = struct.unpack(">H", self._read(2))[0]
            elif length == 127:
                length = struct.unpack(">Q", self._read(8))[0]
            payload = self._read(length)
            opcode = b0 & 0x0F
            if opcode == 0x8:
                code = struct.unpack(">H", payload[:2])[0] if len(payload) >= 2 else None
                with contextlib.suppress(OSError):
                    self.send_frame(0x8, payload[:2])
                self.close()
                raise Closed(code, payload[2:].decode("utf-8", "replace"))
            if opcode == 0x9:
                self.send_frame(0xA, payload)
                continue
            message += payload
            if b0 & 0x80:
                return message

    def receive_json(self):
        return json.loads(self.receive())

    def send_request(self, message, frames=()):
        """Sends |message| (text, or a dict that gets an "id" when it has none), then
        |frames| as the binary messages its values name (protocol 2)."""
        if isinstance(message, dict) and "id" not in message:
            self._next_id += 1
            message = dict(message, id=self._next_id)
        self.send_text(message if isinstance(message, (str, bytes)) else json.dumps(message))
        for frame in frames:
            self.send_frame(0x2, frame)

    def request(self, message, frames=()):
        """Sends a request (see send_request) and returns the reply."""
        self.send_request(message, frames)
        return self.receive_json()

    def close_code(self, timeout=60):
        """Reads until the bridge closes; its close code (None: closed without one)."""
        self.sock.settimeout(timeout)
        try:
            while True:
                self.receive()
        except Closed as closed:
            return closed.code
        except OSError:
            return None
