"""Draws the label bridge's demo page after a print: docs/bridge-demo.png.

The page (bridge/demo/) in headless Chromium prints its sample label through LabelBridge.exe and
Tessmer.lumtag to COM5 of the harness (read at COM6) and shows its preview; the picture is taken
once the status says printed and the preview is drawn.

    bash tests/harness/with_harness.sh python3 demo/bridge_screenshot.py docs/bridge-demo.png
"""

import os
import sys

import demo
from demo import e2e
from bridgelib import allowed_sites, running_bridge
from browserlib import Browser, PageServer


def main(out):
    reader = e2e.PortReader(e2e.pty_path("COM6"))
    server = PageServer()
    try:
        with allowed_sites(server.origin), running_bridge(demo.BRIDGE_PORT), Browser("screenshot") as browser:
            page, text = demo.print_from_demo_page(browser, server, control="Tessmer.lumtag", target="serial", com=5)
            browser.command("wait", page, 'document.getElementById("preview").dataset.drawn === "true"')
            if not text.startswith("Printed"):
                print("bridge_screenshot: the demo page did not print: " + text, file=sys.stderr)
                return 1
            os.makedirs(os.path.dirname(os.path.abspath(out)), exist_ok=True)
            browser.command("shot", page, os.path.abspath(out))
        data = reader.take(idle=0.5)
    finally:
        server.close()
        reader.close()
    print("%s: %s (COM6 received %d bytes)" % (out, text, len(data)))
    return 0 if data else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv[1] if len(sys.argv) > 1 else os.path.join(e2e.REPO, "docs", "bridge-demo.png")))
