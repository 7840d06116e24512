"""End to end: a script prints to a network printer on loopback.

The printer is a TCP listener of this test on 127.0.0.1. The script
connects, polls SocSts until "7", sends a label and meets the refusals a
page can meet; releasing the control closes the connection after the label
went out whole.
"""

import os
import re
import socket
import threading
import unittest

import e2elib as e2e


class Printer:
    """Accepts one connection and keeps everything it receives until the peer closes."""

    def __init__(self):
        self.listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(1)
        self.listener.settimeout(60)
        self.port = self.listener.getsockname()[1]
        self.received = b""
        self.closed_by_peer = threading.Event()
        self.thread = threading.Thread(target=self._serve, daemon=True)
        self.thread.start()

    def _serve(self):
        try:
            conn, _ = self.listener.accept()
        except OSError:
            return
        conn.settimeout(60)
        with conn:
            while True:
                try:
                    data = conn.recv(65536)
                except OSError:
                    return
                if not data:
                    self.closed_by_peer.set()
                    return
                self.received += data

    def close(self):
        self.listener.close()


class NetworkScript(unittest.TestCase):
    def test_connect_poll_send_and_refusals(self):
        printer = Printer()
        self.addCleanup(printer.close)
        result = e2e.cscript("network.vbs", printer.port)
        self.assertTrue(result.done, result)

        number, description, _ = result.results["early send"]
        self.assertEqual(number, 40006, result)
        self.assertIn("SendData", description)
        self.assertIn("STATE before 0 String", result.lines)

        self.assertEqual(result.results["connect"][:2], (0, ""), result)
        self.assertIn("STATE connected 7", result.lines)
        self.assertEqual(result.results["send"], (0, "", "Empty"), result)

        number, description, rtype = result.results["connect again"]
        self.assertEqual(number, 40006, result)
        self.assertEqual(rtype, "Empty")
        number, description, _ = result.results["null host"]
        self.assertEqual(number, 94, result)
        self.assertIn("HOSTIP", description)
        self.assertEqual(result.results["hex"], (0, "255", "Double"), result)

        # Releasing the control closes the connection after the label went out.
        self.assertTrue(printer.closed_by_peer.wait(10), "the connection was not closed")
        self.assertEqual(printer.received, "^XA^FO40,30^FDNetwork \u00c4^FS^XZ".encode("cp1252"))


class ReadmeConnectLoop(unittest.TestCase):
    """The README's connect loop, run as written, ends on a refused connection
    instead of polling for ever."""

    def test_the_loop_stops_when_the_printer_refuses(self):
        with open(os.path.join(e2e.REPO, "README.md"), encoding="utf-8") as f:
            readme = f.read()
        loop = re.search(r"^label\.SocConnect .*?^End If$", readme, re.M | re.S)
        self.assertIsNotNone(loop, "the README shows no connect loop")
        # A loopback port nobody listens on: bound, then closed again.
        probe = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        probe.bind(("127.0.0.1", 0))
        port = probe.getsockname()[1]
        probe.close()
        snippet = re.sub(r'SocConnect "[^"]*", \d+', 'SocConnect "127.0.0.1", %d' % port, loop.group(0))
        script = ('Set label = CreateObject("Tessmer.lumtag")\n' + snippet.replace("MsgBox ", "WScript.Echo ") +
                  '\nWScript.Echo "DONE"\n')
        os.makedirs(e2e.WORK, exist_ok=True)
        path = os.path.join(e2e.WORK, "readme_connect.vbs")
        with open(path, "w", encoding="ascii", newline="\r\n") as f:
            f.write(script)
        result = e2e.cscript(path, timeout=60)
        self.assertTrue(result.done, result)
        self.assertIn("No connection to the printer (state 9)", result.lines)


if __name__ == "__main__":
    unittest.main(verbosity=2)
