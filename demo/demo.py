"""Prints labels through both controls and shows what each printer received.

Ostrel: a short and a long label to a virtual serial printer (a socat pty
pair started here: one end is COM5 of the Wine prefix, the other end is read
from Linux), then one to a network printer on 127.0.0.1.
Quennet: one label through ExecPrint to LPT1, then the test panel hosted in a
container, clicked as a person would: LPT PORT TEST, then COM PORT TEST with
the box's "6". LPT1 and COM6 are the harness's pty pairs.
The label bridge: LabelBridge.exe on 127.0.0.1:9180 and its demo page
(bridge/demo/) in headless Chromium, which prints through both controls to
COM5, LPT1 and a network printer, clicked as a person would.

The harness (prefix, wineserver, Xvfb, both controls registered) must be up;
run_demo.sh takes care of that.
"""

import os
import socket
import subprocess
import sys
import threading

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "tests", "e2e"))

import e2elib as e2e  # noqa: E402
from bridgelib import allowed_sites, running_bridge  # noqa: E402
from browserlib import Browser, PageServer  # noqa: E402
from test_network import Printer  # noqa: E402

BRIDGE_PORT = 9180
DEMO_PAGE = "/bridge/demo/index.html"


def show(name, data, full):
    text = data.decode("cp1252", "replace")
    print("printer received %d bytes for the %s label" % (len(data), name))
    if full:
        print("  " + text.replace("\r\n", "\n").rstrip("\n").replace("\n", "\n  "))
    else:
        print("  first 80: " + text[:80])
        print("  last 80:  " + text[-80:])
        print("  (a text of 4048 characters or more goes out in pieces of 8090 characters,")
        print("   each without the spaces at its ends)")


def network_label():
    """Prints a label to a network printer: a TCP listener on 127.0.0.1."""
    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.bind(("127.0.0.1", 0))
    listener.listen(1)
    listener.settimeout(30)
    port = listener.getsockname()[1]
    received = []

    def serve():
        try:
            conn, _ = listener.accept()
        except OSError:
            return
        with conn:
            conn.settimeout(30)
            while True:
                data = conn.recv(65536)
                if not data:
                    return
                received.append(data)

    thread = threading.Thread(target=serve, daemon=True)
    thread.start()
    print("network printer: listening on 127.0.0.1:%d" % port)
    result = e2e.cscript(os.path.join(HERE, "print_network.vbs"), port)
    for line in result.lines:
        print(line)
    thread.join(15)
    listener.close()
    data = b"".join(received)
    show("network", data, True)
    return 0 if data and "Err.Number=0 " in result.stdout else 1


def quennet_labels():
    """ExecPrint to LPT1, then both tests of the panel in a container."""
    readers = {port: e2e.PortReader(e2e.pty_path(e2e.FAR_END[port])) for port in ("LPT1", "COM6")}
    status = 0
    try:
        e2e.take_all(readers, idle=0.2)
        result = e2e.cscript(os.path.join(HERE, "print_quennet.vbs"))
        for line in result.lines:
            print(line)
        data = readers["LPT1"].take(idle=0.5)
        show("Quennet LPT1", data, True)
        if not data or "Err.Number=0 " not in result.stdout:
            status = 1

        host = os.path.join(e2e.BUILD_DIR, "bin", "panel_host.exe")
        print("test panel: hosted in Wine's ATL container, clicking LPT PORT TEST and COM PORT TEST")
        panel = subprocess.run(["bash", e2e.RUN_WINE, host], input=b"click lpt\nclick com\nquit\n",
                               capture_output=True, timeout=180)
        answers = panel.stdout.decode("utf-8", "replace").splitlines()
        for line in answers:
            if line.startswith("MSGBOX"):
                print("  panel showed a message box: " + line)
                status = 1
        if panel.returncode != 0:
            print("  panel host ended with status %d" % panel.returncode)
            status = 1
        for port, reader in readers.items():
            data = reader.take(idle=0.5)
            show("panel's %s test" % port, data, True)
            if not data:
                status = 1
    finally:
        for reader in readers.values():
            reader.close()
    return status


def print_from_demo_page(browser, server, **form):
    """Opens the bridge's demo page with the form preset, clicks Print and waits until the
    page says printed or not; returns (page number, status text)."""
    page = browser.open(server.url(DEMO_PAGE, bridge=BRIDGE_PORT, **form))
    browser.command("click", page, "#print")
    browser.command("wait", page, '/printed|failed/.test(document.getElementById("status").dataset.state)')
    return page, browser.command("text", page, "#status")


def bridge_labels():
    """The demo page prints through the bridge: Ostrel to COM5 and to a network printer,
    Quennet to LPT1."""
    readers = {port: e2e.PortReader(e2e.pty_path(e2e.FAR_END[port])) for port in ("COM5", "LPT1")}
    printer = Printer()
    server = PageServer()
    jobs = [
        ("Tessmer.lumtag to COM5", dict(control="Tessmer.lumtag", target="serial", com=5),
         lambda: readers["COM5"].take(idle=0.5)),
        ("Quennet.lumtag to LPT1", dict(control="Quennet.lumtag", target="lpt"),
         lambda: readers["LPT1"].take(idle=0.5)),
        ("Tessmer.lumtag to the network printer",
         dict(control="Tessmer.lumtag", target="network", host="127.0.0.1", hostPort=printer.port),
         lambda: printer.received if printer.closed_by_peer.wait(15) else b""),
    ]
    print("label bridge: LabelBridge.exe on 127.0.0.1:%d, its demo page served at %s, in headless Chromium"
          % (BRIDGE_PORT, server.origin))
    status = 0
    try:
        e2e.take_all(readers, idle=0.2)
        with allowed_sites(server.origin), running_bridge(BRIDGE_PORT), Browser("demo") as browser:
            for name, form, received in jobs:
                _, text = print_from_demo_page(browser, server, **form)
                print("demo page, %s: %s" % (name, text))
                data = received()
                show("bridge's " + name, data, True)
                if not data or not text.startswith("Printed"):
                    status = 1
    finally:
        server.close()
        printer.close()
        for reader in readers.values():
            reader.close()
    return status


def main():
    work = os.path.join(e2e.STATE, "demo")
    os.makedirs(work, exist_ok=True)
    com5 = os.path.join(e2e.PREFIX, "dosdevices", "com5")
    port_end = os.path.join(work, "printer.com5")
    printer_end = os.path.join(work, "printer")
    log = open(os.path.join(work, "socat.log"), "w")

    socat = e2e.start_pty_pair(port_end, printer_end, log)
    print("virtual printer: socat pid %d, COM5 -> %s, printer end %s"
          % (socat.pid, port_end, printer_end))
    previous = os.readlink(com5) if os.path.islink(com5) else None
    if os.path.lexists(com5):
        os.unlink(com5)
    os.symlink(port_end, com5)
    reader = e2e.PortReader(printer_end)
    status = 0
    try:
        for name, full in (("short", True), ("long", False)):
            result = e2e.cscript(os.path.join(HERE, "print_label.vbs"), name)
            for line in result.lines:
                print(line)
            if result.returncode != 0 or "Err.Number=0 " not in result.stdout:
                status = 1
            data = reader.take(idle=0.5)
            show(name, data, full)
            if not data:
                status = 1
    finally:
        reader.close()
        e2e.stop_process(socat)
        log.close()
        os.unlink(com5)
        if previous:
            os.symlink(previous, com5)
        print("virtual printer stopped")
    status = network_label() or status
    status = quennet_labels() or status
    return bridge_labels() or status


if __name__ == "__main__":
    sys.exit(main())
