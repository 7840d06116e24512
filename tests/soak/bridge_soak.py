"""make soak's bridge rows: LabelBridge.exe under Wine against heavy and hostile pages, its threads
and memory read from Linux (a Windows program under Wine is a Linux process: /proc/<pid>/task,
VmRSS, VmHWM for its peak).

    bridge_soak.py [--scale <share of the full run>] [--seed <n>] [--bridge <LabelBridge.exe>]

soak.exe's options and table: a measure, its value, its bound, ok or FAIL; exit code 1 when a
bound fails. Each group of rows gets a fresh bridge, so that the peaks it reads are the group's
own. Run under the harness: COM5 <-> COM6, both controls registered.
"""

import argparse
import collections
import concurrent.futures
import contextlib
import os
import random
import select
import socket
import sys
import threading
import time
import traceback

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "e2e"))
import bridgelib as bl  # noqa: E402
import e2elib as e2e  # noqa: E402
from test_bridge_protocol import Frames  # noqa: E402  (the frames after which the bridge closes)

ORIGIN = "http://127.0.0.1:8123"
SETTING = "115200,N,8,1"
MIB = 1 << 20
CONNECTIONS = 128
# 32 pages sending a 64 MiB message at once (two are read and run at a time) took the 32-bit
# bridge to about 600 MiB; the README states this bound.
LARGE_MESSAGES_PEAK_MIB = 768

rows = []
failed = []  # the groups whose bridge crashed, ended or stopped serving


def row(measure, value, bound, ok):
    rows.append(("bridge: " + measure, str(value), bound, ok))


def at_most(measure, value, most, form="%d"):
    row(measure, form % value, "<= " + form % most, value <= most)


def all_of(measure, good, total):
    row(measure, "%d/%d" % (good, total), "all", good == total)


def threads(pid):
    return len(os.listdir("/proc/%d/task" % pid))


def memory(pid, field="VmRSS"):
    """VmRSS (resident now) or VmHWM (the most ever), in MiB."""
    with open("/proc/%d/status" % pid) as status:
        return next(int(line.split()[1]) / 1024 for line in status if line.startswith(field + ":"))


def settle(pid, idle_threads):
    """Waits (at most 30 s) until the bridge is down to |idle_threads| threads."""
    deadline = time.monotonic() + 30
    while threads(pid) > idle_threads and time.monotonic() < deadline:
        time.sleep(0.1)
    time.sleep(0.3)


def page(bridge, origin=ORIGIN, timeout=60):
    return bl.WebSocket(bridge.port, origin, timeout=timeout)


def outcome(call, *args):
    """What |call| returned, or the failure it raised as text."""
    try:
        return call(*args)
    except (OSError, ValueError, KeyError, bl.Closed, bl.HandshakeRefused) as error:
        return repr(error)


@contextlib.contextmanager
def fresh_bridge(name):
    started = time.monotonic()
    with bl.running_bridge() as bridge:
        try:
            yield bridge
        finally:
            # Its own last word on an unhandled exception; Wine's crash debugger may keep it alive.
            crashed = any("failed: exception" in line for line in bridge.lines) or bridge.proc.poll() is not None
            if crashed or outcome(lambda: page(bridge, timeout=10).close()) is not None:
                failed.append(name)
    print("bridge soak: %s took %.0f s" % (name, time.monotonic() - started), flush=True)


def error_number(ws, data):
    """Sends the frame bytes |data|; the reply's error number, or what came instead."""
    ws.sock.sendall(data)
    reply = ws.receive_json()
    return reply["error"]["number"] if "error" in reply else reply


def refusals(settings):
    with fresh_bridge("4 MiB of '['") as bridge, page(bridge) as ws:
        before = memory(bridge.pid)
        got = outcome(error_number, ws, bl.frame(0x1, b"[" * (4 * MIB)))
        row("4 MiB of '[' in one message, answer", got, "error 5", got == 5)
        at_most("4 MiB of '[', growth of peak resident memory, MiB", memory(bridge.pid, "VmHWM") - before, 64,
                "%.1f")
    keys = bl.frame(0x1, ("{%s}" % ",".join('"k%d": %d' % (i, i) for i in range(150000))).encode())
    with fresh_bridge("150,000 keys") as bridge, page(bridge) as ws:
        started = time.monotonic()
        got = outcome(error_number, ws, keys)
        row("150,000 keys in one request, answer", got, "error 5", got == 5)
        at_most("150,000 keys, s from send to reply", time.monotonic() - started, 1.0, "%.2f")


def half_open(settings):
    """400 connections with a part of a request or none; meanwhile a listed page."""
    rnd = settings.random(4)
    with fresh_bridge("400 half-open connections") as bridge, contextlib.ExitStack() as held:
        page(bridge).close()  # the threads a first connection starts stay
        time.sleep(1)
        before, most_threads, strangers = memory(bridge.pid), 0, []
        request = bl.upgrade_request(bridge.port, ORIGIN)
        for _ in range(400):
            strangers.append(held.enter_context(socket.create_connection(("127.0.0.1", bridge.port), timeout=10)))
            strangers[-1].sendall(request[:rnd.randrange(len(request))])  # at times nothing at all
            most_threads = max(most_threads, threads(bridge.pid))
        time.sleep(1)
        started = time.monotonic()
        page(bridge, timeout=30).close()
        seconds = time.monotonic() - started
        # Pending: the bridge neither answered nor closed them.
        all_of("400 half-open connections, pending while a page connects",
               sum(not select.select([sock], [], [], 0)[0] for sock in strangers), 400)
        at_most("400 half-open connections, threads of the bridge (most)", most_threads, 40)
        at_most("400 half-open connections, resident memory growth, MiB", memory(bridge.pid) - before, 128, "%.1f")
        at_most("meanwhile a listed page's handshake and hello, s", seconds, 0.5, "%.2f")


def trickle(settings, gap=1.5, most=30.0):
    """A handshake request one byte every |gap| s: when does the bridge cut it?"""
    with fresh_bridge("trickled handshake") as bridge:
        with socket.create_connection(("127.0.0.1", bridge.port), timeout=10) as sock:
            first = time.monotonic()
            with contextlib.suppress(OSError):
                for byte in bl.upgrade_request(bridge.port, ORIGIN):
                    sock.sendall(bytes([byte]))
                    # The end of the stream (or a refusal) came.
                    if select.select([sock], [], [], gap)[0] or time.monotonic() - first > most:
                        break
            at_most("handshake trickled 1 byte each %.1f s, cut after s" % gap, time.monotonic() - first, 12.0,
                    "%.1f")


def large_messages(settings):
    count = settings.scaled(32, 4)
    # dectohex of 64 M digits, leading zeros and a last 1: the whole text reaches the control.
    head, tail = b'{"id": 2, "op": "call", "object": 1, "member": "dectohex", "args": ["', b'1"]}'
    data = bl.frame(0x1, head + b"0" * (64 * MIB - len(head) - len(tail)) + tail)
    with fresh_bridge("%d messages of 64 MiB" % count) as bridge:
        pages = [page(bridge, timeout=600) for _ in range(count)]
        for ws in pages:
            ws.request({"op": "create", "progId": "Tessmer.lumtag"})
        start = threading.Barrier(count)

        def send(ws):
            start.wait()
            with ws:
                return outcome(error_number, ws, data)

        with concurrent.futures.ThreadPoolExecutor(count) as pool:
            answers = list(pool.map(send, pages))
        all_of("%d messages of 64 MiB at once, answered with the value" % count,
               answers.count({"id": 2, "result": 1}), count)
        at_most("%d messages of 64 MiB at once, peak resident memory, MiB" % count, memory(bridge.pid, "VmHWM"),
                LARGE_MESSAGES_PEAK_MIB, "%.0f")


class Churn:
    """Pages opened, used and dropped on one bridge, a few at a time; prints one after another (they
    share COM5), each a job with its number inside, so that what arrives can be told job by job."""

    KINDS = {"page": 30, "print": 12, "abandoned print": 5, "mid-handshake": 23, "hostile": 25, "unlisted": 5}
    # Hostile messages: the frames after which the bridge closes with a code, and refused requests
    # after which the connection serves on (error number).
    HOSTILE = Frames.CASES + [("malformed JSON", lambda ws: ws.send_text('{"id": 3, "op": '), 5),
                              ("nested 33 levels", lambda ws: ws.send_text("[" * 33 + "]" * 33), 5)]

    def __init__(self, bridge):
        self.bridge = bridge
        self.jobs, self.done, self.abandoned = [], [], []
        self.received = bytearray()  # at COM6
        self.counts = collections.Counter()  # (kind, ok) -> times
        self.lock = threading.Lock()

    def count(self, kind, ok):
        with self.lock:
            self.counts[kind, ok is True] += 1

    def tally(self, kind):
        return self.counts[kind, True], self.counts[kind, True] + self.counts[kind, False]

    def run(self, number, kind, rnd):
        self.count(kind, outcome(getattr(self, kind.replace(" ", "_").replace("-", "_")), rnd))

    def open(self):
        ws = page(self.bridge, timeout=30)
        self.count("hello", ws.hello == bl.HELLO)
        return ws

    def page(self, rnd):
        prog_id, text = rnd.choice(["Tessmer.lumtag", "Quennet.lumtag"]), e2e.pattern(rnd.randrange(1, 4000))
        with self.open() as ws:
            return (ws.request({"op": "create", "progId": prog_id}) == {"id": 1, "object": 1} and
                    ws.request({"op": "set", "object": 1, "member": "MemId", "value": text})["result"] is None and
                    ws.request({"op": "get", "object": 1, "member": "MemId"})["result"] == text)

    def print(self, rnd, abandon=False):
        with self.lock:
            number = len(self.jobs)
            self.jobs.append(b"^XA^FDjob %06d %s^FS^XZ\r\n" % (number, e2e.pattern(rnd.randrange(60, 8000)).encode()))
        # Half of them beside the request (protocol 2).
        label, frames = (({"frame": "bytes"}, [self.jobs[number]]) if rnd.random() < 0.5 else
                         (self.jobs[number].decode(), []))
        with self.open() as ws:
            ws.request({"op": "create", "progId": "Tessmer.lumtag"})
            ws.send_request({"op": "call", "object": 1, "member": "ExecPrint", "args": [label, 0, SETTING, 5]}, frames)
            if abandon:
                self.abandoned.append(number)
                return True
            done = ws.receive_json() == {"id": 2, "result": None}
        if done:
            self.done.append(number)
        return done

    def abandoned_print(self, rnd):
        self.print(rnd, abandon=True)
        # The next print must not find COM5 still open for this one.
        e2e.wait_until(lambda: self.take().endswith(self.jobs[self.abandoned[-1]]), "an abandoned print never ended")
        return True

    def take(self):
        self.received += self.reader.take(idle=0, timeout=0)
        return self.received

    def mid_handshake(self, rnd):
        request = bl.upgrade_request(self.bridge.port, ORIGIN)
        with socket.create_connection(("127.0.0.1", self.bridge.port), timeout=10) as sock:
            sock.sendall(request[:rnd.randrange(len(request))])
            time.sleep(rnd.choice([0, 0, 0.05, 0.3]))
        return True

    def hostile(self, rnd):
        _, send, expected = rnd.choice(self.HOSTILE)
        with self.open() as ws:
            send(ws)
            if expected >= 1000:
                return ws.close_code(30) == expected
            return (ws.receive_json()["error"]["number"] == expected and
                    ws.request({"op": "create", "progId": "Tessmer.lumtag"}).get("object") == 1)

    def unlisted(self, rnd):
        try:
            page(self.bridge, "https://unlisted%d.example" % rnd.randrange(1000), timeout=30).close()
        except bl.HandshakeRefused as refused:
            return refused.status == 403

    def fill(self):
        """Idle pages until the bridge is full: true when it took exactly CONNECTIONS and then told
        the next it is busy (1013)."""
        with contextlib.ExitStack() as pages:
            for _ in range(CONNECTIONS):
                pages.enter_context(page(self.bridge, timeout=30))
            try:
                page(self.bridge, timeout=30).close()
            except bl.Closed as closed:
                return closed.code == 1013 and closed.reason.startswith("busy")
        return False


def churn(settings):
    total, rounds = settings.scaled(6000, 200), settings.scaled(6, 2)
    rnd = settings.random(5)
    kinds = rnd.choices(list(Churn.KINDS), list(Churn.KINDS.values()), k=total)
    with fresh_bridge("%d pages come and go" % total) as bridge:
        run = Churn(bridge)
        run.reader = e2e.PortReader(e2e.pty_path("COM6"))
        fills = 0
        try:
            run.print(settings.random(6))  # the threads a first connection starts stay
            settle(bridge.pid, 0)
            idle = threads(bridge.pid)
            for number in range(rounds):
                episodes = [(n, kinds[n], settings.random(1000 + n)) for n in range(number, total, rounds)]
                prints = [episode for episode in episodes if episode[1].endswith("print")]
                printer = threading.Thread(target=lambda: [run.run(*episode) for episode in prints])
                printer.start()
                with concurrent.futures.ThreadPoolExecutor(6) as pool:
                    list(pool.map(lambda episode: run.run(*episode),
                                  [episode for episode in episodes if episode not in prints]))
                printer.join()
                settle(bridge.pid, idle)
                fills += outcome(run.fill) is True
                settle(bridge.pid, idle)
                if number == rounds // 2 - 1:  # the first half warms the heaps up; the second is measured
                    before = (threads(bridge.pid), memory(bridge.pid))
            run.received += run.reader.take(idle=1.0)
            received = bytes(run.received)
        finally:
            run.reader.close()
        # What arrived at COM6, job by job: each job starts with "^XA" and holds nothing else of it.
        pieces = [b"^XA" + piece for piece in received.split(b"^XA")[1:]]
        whole = collections.Counter(pieces)
        for kind in ["hello"] + list(Churn.KINDS):
            all_of("churn, %s episodes answered as expected" % kind, *run.tally(kind))
        all_of("churn, prints done that arrived whole exactly once",
               sum(whole[run.jobs[n]] == 1 for n in run.done), len(run.done))
        all_of("churn, prints abandoned that arrived whole once",
               sum(whole[run.jobs[n]] == 1 for n in run.abandoned), len(run.abandoned))
        at_most("churn, bytes at COM6 that belong to no job",
                len(received) - sum(len(job) * whole[job] for job in run.jobs), 0)
        all_of("churn, full at %d idle pages, the next told busy (1013)" % CONNECTIONS, fills, rounds)
        at_most("churn, threads afterwards (%d before)" % before[0], threads(bridge.pid), before[0])
        # The second half grows about 2 MiB while the heaps settle; loading a control again for
        # every page grew it by 10.
        at_most("churn, resident memory growth over the second half, MiB", memory(bridge.pid) - before[1], 6,
                "%.1f")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--scale", type=float, default=1.0, help="share of the full run")
    parser.add_argument("--seed", type=int, default=int(time.time() * 1000) % 1000000)
    parser.add_argument("--bridge", default=bl.BRIDGE_EXE, help="the LabelBridge.exe to run")
    options = parser.parse_args()
    bl.BRIDGE_EXE = os.path.abspath(options.bridge)
    settings = argparse.Namespace(scaled=lambda full, least: max(least, int(full * options.scale + 0.5)),
                                  random=lambda phase: random.Random(options.seed * 1000003 + phase))
    print("bridge soak: seed %d, scale %g (repeat with --seed %d --scale %g), %s" %
          (options.seed, options.scale, options.seed, options.scale, bl.BRIDGE_EXE), flush=True)
    started = time.monotonic()
    with bl.allowed_sites(ORIGIN):
        for group in (refusals, half_open, trickle, large_messages, churn):
            try:
                group(settings)
            except Exception as error:  # a bridge that hangs or ends must not hide the other rows
                traceback.print_exc()
                row("%s ran to its end" % group.__name__, type(error).__name__, "yes", False)
    row("bridges that crashed, ended or stopped serving", len(failed), "0", not failed)
    print("bridge soak: %.0f s in all" % (time.monotonic() - started))
    print("%-64s %14s %16s  %s" % ("measure", "value", "bound", "result"))
    for measure, value, bound, ok in rows:
        print("%-64s %14s %16s  %s" % (measure, value, bound, "ok" if ok else "FAIL"))
    return 0 if all(ok for *_, ok in rows) else 1


if __name__ == "__main__":
    sys.exit(main())
