"""Helpers of the end-to-end tests: run scripts through Wine's cscript in the
harness prefix and collect what arrives at the far end of the port pairs.

The harness (tests/harness/setup.sh) must be up for the build tree named by
HARNESS_BUILD_DIR (CTest sets it; the default is build/<probed arch>).
"""

import os
import re
import select
import signal
import subprocess
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(os.path.dirname(HERE))
SCRIPTS = os.path.join(HERE, "scripts")
HARNESS = os.path.join(REPO, "tests", "harness")
RUN_WINE = os.path.join(HARNESS, "run_wine.sh")


def _probe_arch():
    out = subprocess.run(["bash", os.path.join(HARNESS, "probe_arch.sh")],
                         capture_output=True, text=True, check=True)
    return out.stdout.strip()


BUILD_DIR = os.environ.get("HARNESS_BUILD_DIR") or os.path.join(
    REPO, "build", os.environ.get("TEST_ARCH") or _probe_arch())
STATE = os.path.join(BUILD_DIR, "harness")
PTY_DIR = os.path.join(STATE, "pty")
PREFIX = os.path.join(BUILD_DIR, "wineprefix")
WORK = os.path.join(BUILD_DIR, "e2e-work")


def winpath(path):
    """The Z: drive form of a Linux path."""
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def pty_path(name):
    """The Linux path of one end of a harness pair, e.g. pty_path("COM6")."""
    return os.path.join(PTY_DIR, name)


def hresult(number):
    """The signed HRESULT JScript shows for a control error number (0x800Annnn)."""
    value = 0x800A0000 | number
    return value - (1 << 32)


class VBScriptPrint:
    """Mixin: the print cases run from VBScript, which sees the error number."""

    SCRIPT = "exec_print.vbs"

    def expect_error(self, number):
        return number


class JScriptPrint:
    """Mixin: the print cases run from JScript, which sees the whole HRESULT."""

    SCRIPT = "exec_print.js"

    def expect_error(self, number):
        return hresult(number)


class PortReader:
    """Reads the Linux end of a pty in a background thread.

    take() returns what arrived since the last take() once the line has been
    quiet for |idle| seconds (or |expect| bytes are there), and forgets it.
    """

    def __init__(self, path):
        self.path = path
        self._fd = os.open(path, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
        self._buf = bytearray()
        self._last = time.monotonic()
        self._lock = threading.Lock()
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._run, daemon=True)
        self._thread.start()

    def _run(self):
        while not self._stop.is_set():
            ready, _, _ = select.select([self._fd], [], [], 0.05)
            if not ready:
                continue
            try:
                chunk = os.read(self._fd, 65536)
            except BlockingIOError:
                continue
            except OSError:
                # The other end went away (its socat ended).
                time.sleep(0.05)
                continue
            if chunk:
                with self._lock:
                    self._buf += chunk
                    self._last = time.monotonic()

    def take(self, idle=0.4, timeout=20.0, expect=None):
        start = time.monotonic()
        while True:
            now = time.monotonic()
            with self._lock:
                size = len(self._buf)
                quiet = now - max(self._last, start)
            if expect is not None and size >= expect and quiet >= 0.2:
                # All expected bytes are there and a surplus had its chance.
                break
            if quiet >= idle or now - start >= timeout:
                break
            time.sleep(0.02)
        with self._lock:
            data = bytes(self._buf)
            self._buf.clear()
        return data

    def drain(self):
        self.take(idle=0.2, timeout=5.0)

    def quiet_since(self):
        with self._lock:
            return self._last

    def close(self):
        self._stop.set()
        self._thread.join(2)
        os.close(self._fd)


def take_all(readers, idle=0.3, timeout=20.0):
    """take() on several readers at once: waits until none of them has had a
    byte for |idle| seconds, then returns {key: bytes} for the dict |readers|."""
    start = time.monotonic()
    while True:
        now = time.monotonic()
        last = max([start] + [r.quiet_since() for r in readers.values()])
        if now - last >= idle or now - start >= timeout:
            break
        time.sleep(0.02)
    return {key: r.take(idle=0, timeout=0) for key, r in readers.items()}


# Each Wine port of the harness, and the pty at the far end of its pair where
# the bytes written to the port arrive.
FAR_END = {"COM5": "COM6", "COM6": "COM5", "COM7": "COM8", "COM8": "COM7", "LPT1": "LPT1.peer"}


class PortReaders:
    """Test case mixin: readers on the far ends of the Wine ports in PORTS,
    for a class's cases; each case starts with nothing on the lines."""

    PORTS = tuple(FAR_END)

    @classmethod
    def setUpClass(cls):
        cls.readers = {port: PortReader(pty_path(FAR_END[port])) for port in cls.PORTS}

    @classmethod
    def tearDownClass(cls):
        for reader in cls.readers.values():
            reader.close()

    def setUp(self):
        take_all(self.readers, idle=0.2)

    def arrived(self):
        """{port: bytes} of what was written to each port since the last look."""
        got = take_all(self.readers)
        return {port: data for port, data in got.items() if data}


class ScriptResult:
    """What a script printed: its lines, and the RESULT lines parsed.

    Scripts print one line per call they make:
        RESULT <label>|<error number>|<error description>|<type of the return value>
    and DONE as their last line (Wine's cscript reports a script error by
    printing nothing and exiting 0, so a missing DONE means the script broke).
    """

    LINE = re.compile(r"^RESULT (?P<label>[^|]*)\|(?P<number>-?\d+)\|(?P<desc>[^|]*)\|(?P<rtype>.*)$")

    def __init__(self, returncode, stdout, stderr):
        self.returncode = returncode
        self.stdout = stdout
        self.stderr = stderr
        self.lines = [l.rstrip("\r") for l in stdout.split("\n") if l.strip()]
        self.results = {}
        for line in self.lines:
            m = self.LINE.match(line)
            if m:
                self.results[m.group("label")] = (int(m.group("number")), m.group("desc"),
                                                  m.group("rtype"))

    @property
    def done(self):
        return bool(self.lines) and self.lines[-1] == "DONE"

    def __repr__(self):
        return "rc=%s stdout=%r stderr=%r" % (self.returncode, self.stdout, self.stderr[-2000:])


def cscript(script, *args, timeout=120):
    """Runs <script> (under tests/e2e/scripts, or an absolute path) with cscript in the prefix."""
    path = os.path.join(SCRIPTS, script)
    cmd = ["bash", RUN_WINE, "cscript", "//nologo", winpath(path)] + [str(a) for a in args]
    proc = subprocess.run(cmd, stdin=subprocess.DEVNULL, capture_output=True, timeout=timeout)
    return ScriptResult(proc.returncode, proc.stdout.decode("cp1252", "replace"),
                        proc.stderr.decode("utf-8", "replace"))


def write_text(name, text):
    """Writes |text| as UTF-16 with a byte-order mark (what the scripts read)
    under the build tree and returns its Windows path."""
    os.makedirs(WORK, exist_ok=True)
    path = os.path.join(WORK, name)
    with open(path, "wb") as f:
        f.write(b"\xff\xfe" + text.encode("utf-16-le"))
    return winpath(path)


def pattern(n, offset=0):
    """|n| printable characters without spaces; a piece moved or dropped
    anywhere shows in the bytes."""
    return "".join(chr(33 + ((i + offset) * 7) % 94) for i in range(n))


def start_pty_pair(a, b, log):
    """Starts a socat pty pair of our own with links |a| and |b|; returns the Popen."""
    for p in (a, b):
        if os.path.lexists(p):
            os.unlink(p)
    proc = subprocess.Popen(["socat", "pty,raw,echo=0,link=" + a, "pty,raw,echo=0,link=" + b],
                            stdin=subprocess.DEVNULL, stdout=log, stderr=log,
                            start_new_session=True)
    deadline = time.monotonic() + 5
    while not (os.path.exists(a) and os.path.exists(b)):
        if time.monotonic() > deadline or proc.poll() is not None:
            stop_process(proc)
            raise RuntimeError("socat pair %s <-> %s did not come up" % (a, b))
        time.sleep(0.05)
    return proc


def stop_process(proc):
    """Ends a process this test started, by its pid."""
    if proc.poll() is None:
        os.kill(proc.pid, signal.SIGTERM)
        try:
            proc.wait(5)
        except subprocess.TimeoutExpired:
            os.kill(proc.pid, signal.SIGKILL)
            proc.wait(5)


def wait_until(condition, message, timeout=60):
    """Waits for an event the test cannot be told of; |timeout| only ends a hung run."""
    deadline = time.monotonic() + timeout
    while not condition():
        if time.monotonic() > deadline:
            raise AssertionError(message)
        time.sleep(0.05)
