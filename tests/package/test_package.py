"""The installer package and the CAB, built as `make package` builds them and
proven by installing: signatures, versions, a major upgrade, a print through
each control as installed, the policy value and the browsers' policies made
from it beside an administrator's, an exact uninstall, the bridge started by
an install, handed over to the newer one by an upgrade and ended by an
uninstall, and the package's registration against the libraries' own, key by
key.

Runs in a 64-bit prefix of its own (the package holds 64-bit controls), with
nothing of the build tree registered. Where this machine runs 32-bit Windows
programs, the 32-bit controls print too; elsewhere they are checked as files
and registry entries.

Arguments: --i686 DIR --x86_64 DIR (the built libraries) --work DIR.
"""

import argparse
import contextlib
import os
import re
import shutil
import socket
import subprocess
import sys
import threading
import time
import unittest
from pathlib import Path

HERE = Path(__file__).resolve().parent
REPO = HERE.parent.parent
sys.path.insert(0, str(REPO / "tests" / "e2e"))
sys.path.insert(0, str(REPO / "packaging"))
import bridgelib  # noqa: E402  (free_port, listening, upgrade_request, http_exchange)
import e2elib  # noqa: E402  (ScriptResult, PortReader, start_pty_pair, stop_process)
import make_package  # noqa: E402

ARGS = None
WINE64 = "/usr/lib/wine/wine64"
WINE32 = "/usr/lib/wine/wine"
WINESERVER = "/usr/lib/wine/wineserver64"
OLDER_VERSION = "0.9.0"
ALLOWED = "https://labels.example.com;https://*.corp.example"
PE_MACHINE = {32: 0x14C, 64: 0x8664}
FOLDERS = {64: "Program Files", 32: "Program Files (x86)"}
BRIDGE_POLICY = r"HKLM\SOFTWARE\Policies\Lumtag\Bridge"
# The browsers' list policies, each with an administrator's own entry at 1
# that the package must keep at its name through install, upgrade and removal.
CHROMIUM_POLICIES = [rf"{browser}\{name}" for browser in (r"Google\Chrome", r"Microsoft\Edge")
                     for name in ("LoopbackNetworkAllowedForUrls", "LocalNetworkAccessAllowedForUrls")]
FIREFOX_POLICY = r"Mozilla\Firefox\LocalNetworkAccess\SkipDomains"
ADMIN_ENTRIES = {**{policy: "https://admin.example" for policy in CHROMIUM_POLICIES}, FIREFOX_POLICY: "admin.example"}
WRITTEN_KEY = "software\\\\lumtag\\\\labelbridge\\\\browserpolicies"


def runs_32bit():
    try:
        return subprocess.run([WINE32, "--version"], capture_output=True).returncode == 0
    except OSError:
        return False


def pe_machine(path):
    data = Path(path).read_bytes()
    header = int.from_bytes(data[0x3C:0x40], "little")
    return int.from_bytes(data[header + 4:header + 6], "little")


def later(version):
    """|version| with its last part one higher."""
    parts = version.split(".")
    return ".".join(parts[:-1] + [str(int(parts[-1]) + 1)])


def copy_with_version(source, target, version):
    """A copy of the PE file |source| whose fixed file and product versions say |version|."""
    data = bytearray(Path(source).read_bytes())
    at = data.find(make_package.FIXED_FILE_INFO_SIGNATURE)
    a, b, c, d = map(int, version.split("."))
    for field in (at + 8, at + 16):  # file version, then product version: high, low
        data[field:field + 8] = ((a << 16 | b).to_bytes(4, "little") + (c << 16 | d).to_bytes(4, "little"))
    Path(target).write_bytes(data)


def msi_table(msi, table):
    """Rows of one table as lists of cells (msiinfo export, header lines dropped)."""
    out = subprocess.run(["msiinfo", "export", str(msi), table], capture_output=True, text=True, check=True).stdout
    return [line.split("\t") for line in out.splitlines()[3:]]


def msi_properties(msi):
    return dict(row[:2] for row in msi_table(msi, "Property"))


def registry_key(path):
    """|path| under HKLM as Prefix.registry() names it."""
    return path.lower().replace("\\", "\\\\")


def browser_values(registry):
    return {policy: registry.get(registry_key("software\\policies\\" + policy), []) for policy in ADMIN_ENTRIES}


def expected_browser_values(chromium, firefox):
    """The administrator's entry at 1, ours numbered after it."""
    expected = {}
    for policy, admin in ADMIN_ENTRIES.items():
        entries = [admin, *(firefox if policy == FIREFOX_POLICY else chromium)]
        expected[policy] = sorted(f'"{number}"="{entry}"' for number, entry in enumerate(entries, 1))
    return expected


def osslsigncode_verifies(path, ca):
    done = subprocess.run(["osslsigncode", "verify", "-CAfile", str(ca), "-in", str(path)],
                          capture_output=True, text=True)
    return done.returncode == 0 and "Signature verification: ok" in done.stdout


class Prefix:
    """A 64-bit Wine prefix of this test's own, with its own wineserver."""

    def __init__(self, path):
        self.path = Path(path)
        self.env = dict(os.environ, WINEPREFIX=str(self.path), WINEARCH="win64", WINEDEBUG="-all",
                        WINEDLLOVERRIDES="mscoree,mshtml=", LC_ALL="C.UTF-8")
        self.env.pop("DISPLAY", None)
        self.env.pop("WINELOADER", None)
        # Neither the server nor Wine's services may hold a pipe of ours (a
        # runner that reads our output would wait for them; see the harness).
        self.quiet = {"env": self.env, "stdin": subprocess.DEVNULL, "stdout": subprocess.DEVNULL,
                      "stderr": subprocess.DEVNULL}

    def create(self):
        if self.path.exists():
            self.stop()
            shutil.rmtree(self.path)
        self.path.mkdir(parents=True)
        self.start(boot=True)

    def start(self, boot=False):
        subprocess.run([WINESERVER, "-p"], check=True, **self.quiet)
        if boot:
            subprocess.run([WINE64, "wineboot", "-i"], check=True, timeout=300, **self.quiet)
        subprocess.run([WINE64, "cmd", "/c", "exit"], timeout=120, **self.quiet)

    def stop(self):
        subprocess.run([WINESERVER, "-k"], **self.quiet)
        subprocess.run([WINESERVER, "-w"], timeout=60, **self.quiet)

    def run(self, bits, *command, timeout=300):
        loader = WINE64 if bits == 64 else WINE32
        done = subprocess.run([loader, *command], env=self.env, stdin=subprocess.DEVNULL, capture_output=True,
                              timeout=timeout)
        return done.returncode, done.stdout.decode("cp1252", "replace")

    def msiexec(self, *arguments):
        # Its output goes to a file: a bridge the package starts holds the
        # output it was started with (Wine hands on the Unix stderr), so a
        # pipe to us would stay open as long as that bridge runs.
        with open(self.path.parent / "msiexec.log", "ab") as log:
            return subprocess.run([WINE64, "msiexec", *arguments], env=self.env, stdin=subprocess.DEVNULL,
                                  stdout=log, stderr=log, timeout=300).returncode

    def bridges(self):
        """The Linux pids of the bridges running in this prefix, as the logon
        starts them (the path alone, no arguments)."""
        running = set()
        for proc in Path("/proc").iterdir():
            with contextlib.suppress(OSError):
                command = (proc / "cmdline").read_bytes().rstrip(b"\0").split(b"\0")
                environment = (proc / "environ").read_bytes().split(b"\0")
                if (len(command) == 1 and command[0].endswith(b"\\" + make_package.BRIDGE_FILE.encode())
                        and f"WINEPREFIX={self.path}".encode() in environment):
                    running.add(int(proc.name))
        return running

    def set_bridge_port(self, port):
        """Every bridge in the prefix, also one the package starts, listens on |port|."""
        return self.run(64, "reg", "add", BRIDGE_POLICY, "/v", "Port", "/t", "REG_DWORD", "/d", str(port), "/f")[0]

    def registry(self):
        """{key: sorted value lines} of HKLM as saved (the server saves on exit)."""
        self.stop()
        text = (self.path / "system.reg").read_text(encoding="utf-8", errors="replace")
        self.start()
        keys = {}
        for block in text.split("\n\n"):
            block = block.strip()
            found = re.match(r"\[([^\]]*)\]", block)
            if found:
                values = [line for line in block.split("\n")[1:] if line and not line.startswith("#")]
                keys[found.group(1).lower()] = sorted(values)
        return keys

    def drive_c(self, *parts):
        return self.path.joinpath("drive_c", *parts)


class NetworkPrinter:
    """A printer on 127.0.0.1: one connection at a time, its bytes kept."""

    def __init__(self):
        self.server = socket.create_server(("127.0.0.1", 0))
        self.port = self.server.getsockname()[1]
        self.jobs = []
        threading.Thread(target=self._serve, daemon=True).start()

    def _serve(self):
        while True:
            try:
                connection, _ = self.server.accept()
            except OSError:
                return
            with connection:
                job = bytearray()
                while chunk := connection.recv(65536):
                    job += chunk
                self.jobs.append(bytes(job))

    def close(self):
        self.server.close()


class Package(unittest.TestCase):
    """One install lifetime, step by step (the steps run in name order)."""

    @classmethod
    def setUpClass(cls):
        cls.work = Path(ARGS.work)
        shutil.rmtree(cls.work, ignore_errors=True)
        cls.work.mkdir(parents=True)
        cls.product = make_package.read_product()
        cls.version = cls.product["LABEL_CONTROLS_VERSION"]
        cls.controls = make_package.controls(cls.product)
        cls.key, cls.cert = cls.work / "key.pem", cls.work / "cert.pem"
        subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-subj", "/CN=Label test",
                        "-days", "2", "-keyout", cls.key, "-out", cls.cert], capture_output=True, check=True)
        cls.unsigned_line = cls.make("unsigned")
        cls.make("signed", "--sign-key", cls.key, "--sign-cert", cls.cert)
        cls.make("older", "--version", OLDER_VERSION)
        # A newer package with a newer bridge: the built one with a higher version resource.
        cls.newer_bridge_version = later(cls.product["LABEL_BRIDGE_VERSION"])
        newer_bridge = cls.work / f"LabelBridge-{cls.newer_bridge_version}.exe"
        copy_with_version(Path(ARGS.x86_64) / make_package.BRIDGE_FILE, newer_bridge, cls.newer_bridge_version)
        newer_version = later(cls.version)
        cls.make("newer", "--version", newer_version, "--bridge", newer_bridge)
        cls.newer_msi = cls.work / "newer" / f"label-controls-{newer_version}.msi"
        cls.msi = cls.work / "signed" / f"label-controls-{cls.version}.msi"
        cls.cab = cls.work / "signed" / f"label-controls-{cls.version}.cab"
        cls.bits = (64, 32) if runs_32bit() else (64,)
        cls.installed = None
        # Cleanups run also when a step of this set-up fails.
        cls.prefix = Prefix(cls.work / "prefix")
        cls.addClassCleanup(cls.prefix.stop)
        cls.prefix.create()
        cls.lpt_peer = cls.work / "LPT1.peer"
        socat_log = open(cls.work / "socat.log", "w")
        cls.addClassCleanup(socat_log.close)
        cls.socat = e2elib.start_pty_pair(str(cls.work / "LPT1"), str(cls.lpt_peer), socat_log)
        cls.addClassCleanup(e2elib.stop_process, cls.socat)
        os.symlink(cls.work / "LPT1", cls.prefix.path / "dosdevices" / "lpt1")
        # The package starts bridges too: all on a port of the test's.
        cls.bridge_port = bridgelib.free_port()
        cls.prefix.set_bridge_port(cls.bridge_port)

    @classmethod
    def make(cls, name, *options):
        done = subprocess.run([sys.executable, str(REPO / "packaging" / "make_package.py"), "--i686", ARGS.i686,
                               "--x86_64", ARGS.x86_64, "--out", str(cls.work / name), *map(str, options)],
                              capture_output=True, text=True, check=True)
        return done.stdout

    def product_keys(self, registry):
        marks = [mark.lower() for c in self.controls for mark in (c.clsid, c.libid, c.dual_iid, c.events_iid, c.prog_id)]
        return {k: v for k, v in registry.items() if k.startswith("software\\\\classes") and any(m in k for m in marks)}

    def test_1_outputs_are_signed_versioned_and_for_the_right_machines(self):
        self.assertEqual(self.unsigned_line.count("\n"), 1)
        self.assertIn("unsigned", self.unsigned_line)
        for made in (self.msi, self.cab):
            self.assertTrue(osslsigncode_verifies(made, self.cert), made)
            self.assertFalse(osslsigncode_verifies(self.work / "unsigned" / made.name, self.cert), made)

        properties = msi_properties(self.msi)
        self.assertEqual(properties["ProductVersion"], self.version)
        self.assertEqual(properties["UpgradeCode"], self.product["LABEL_CONTROLS_UPGRADE_CODE"])
        self.assertLessEqual({"ALLOWED_SITES", "BROWSER_POLICIES"}, set(properties["SecureCustomProperties"].split(";")))
        # What a run under Wine cannot show (Wine runs every action as its one
        # user): the bridges end as LocalSystem (deferred 0x400, not
        # impersonated 0x800) by the package's own copy (2: an EXE from the
        # Binary table) before anything changes, the older product's removal
        # included; the installed one (18) starts last. Exit codes ignored (0x40).
        actions = {row[0]: int(row[1]) for row in msi_table(self.msi, "CustomAction")}
        # The browsers' policies likewise: written by the installed bridge,
        # removed by the package's own copy.
        self.assertEqual(actions, {"EndBridges": 2 | 0x40 | 0x400 | 0x800, "StartBridges": 18 | 0x40 | 0x400 | 0x800,
                                   "KeepAllowedSites": 51, "RemoveBrowserPolicies": 2 | 0x40 | 0x400 | 0x800,
                                   "WriteBrowserPolicies": 18 | 0x40 | 0x400 | 0x800})
        order = [row[0] for row in sorted(msi_table(self.msi, "InstallExecuteSequence"), key=lambda row: int(row[2]))]
        at = order.index("InstallInitialize")
        self.assertEqual(order[at:at + 6], ["InstallInitialize", "EndBridges", "InstallExecute",
                                            "RemoveExistingProducts", "RemoveBrowserPolicies", "ProcessComponents"])
        self.assertEqual(order[-3:], ["WriteBrowserPolicies", "StartBridges", "InstallFinalize"])

        # The package's cabinet names each file by its row in the File table.
        files = self.work / "from-msi"
        files.mkdir()
        with open(files / "controls.cab", "wb") as cab:
            subprocess.run(["msiinfo", "extract", str(self.msi), "controls.cab"], stdout=cab, check=True)
        subprocess.run(["gcab", "-x", "-C", str(files), str(files / "controls.cab")], capture_output=True, check=True)
        file_versions = {row[0]: row[4] for row in msi_table(self.msi, "File")}
        bridge = files / make_package.BRIDGE_COMPONENT
        self.assertEqual(make_package.file_version(Path(ARGS.x86_64) / make_package.BRIDGE_FILE),
                         self.product["LABEL_BRIDGE_VERSION"])
        self.assertEqual(file_versions[make_package.BRIDGE_COMPONENT], self.product["LABEL_BRIDGE_VERSION"])
        self.assertEqual(pe_machine(bridge), PE_MACHINE[64])
        self.assertTrue(osslsigncode_verifies(bridge, self.cert))
        for control in self.controls:
            built = Path(ARGS.i686) / control.file
            self.assertEqual(make_package.file_version(built), control.version,
                             "version resource and cmake/product.cmake")
            for bits in (32, 64):
                packed = files / f"{control.stem}{bits}"
                self.assertEqual(file_versions[f"{control.stem}{bits}"], control.version)
                self.assertEqual(pe_machine(packed), PE_MACHINE[bits], packed)
                self.assertTrue(osslsigncode_verifies(packed, self.cert), packed)

        unpacked = self.work / "from-cab"
        unpacked.mkdir()
        subprocess.run(["gcab", "-x", "-C", str(unpacked), str(self.cab)], capture_output=True, check=True)
        inf = (unpacked / "label-controls.inf").read_text()
        for control in self.controls:
            self.assertEqual(pe_machine(unpacked / control.file), PE_MACHINE[32])
            self.assertTrue(osslsigncode_verifies(unpacked / control.file, self.cert))
            self.assertIn(f"clsid={control.clsid}", inf)
            self.assertIn(f"FileVersion={control.version.replace('.', ',')}", inf)

        readme = (REPO / "README.md").read_text()
        for named in [self.msi.name, self.cab.name] + [f"{c.file} {c.version}" for c in self.controls]:
            self.assertTrue(named in readme, f"the README names {named}")

    def test_2_a_newer_package_replaces_an_older_one(self):
        older = self.work / "older" / f"label-controls-{OLDER_VERSION}.msi"
        older_code = msi_properties(older)["ProductCode"]
        newer_code = msi_properties(self.msi)["ProductCode"]
        self.assertNotEqual(older_code, newer_code)
        uninstall = "software\\\\microsoft\\\\windows\\\\currentversion\\\\uninstall\\\\"

        for policy, entry in ADMIN_ENTRIES.items():
            self.assertEqual(self.prefix.run(64, "reg", "add", rf"HKLM\SOFTWARE\Policies\{policy}", "/v", "1", "/t",
                                             "REG_SZ", "/d", entry, "/f")[0], 0)
        # The allow list given to the older package stays through an upgrade
        # that names none, and so do the browsers' entries made from it.
        self.assertEqual(self.prefix.msiexec("/i", e2elib.winpath(older), "/qn", f"ALLOWED_SITES={ALLOWED}"), 0)
        self.assertIn(uninstall + older_code.lower(), self.prefix.registry())
        self.assertEqual(self.prefix.msiexec("/i", e2elib.winpath(self.msi), "/qn"), 0)
        registry = self.prefix.registry()
        self.assertNotIn(uninstall + older_code.lower(), registry)
        self.assertIn(uninstall + newer_code.lower(), registry)
        for control in self.controls:
            for bits in (32, 64):
                self.assertTrue(self.prefix.drive_c(FOLDERS[bits], make_package.INSTALL_FOLDER, control.file).is_file())
        type(self).installed = self.product_keys(registry)
        policy = registry.get("software\\\\policies\\\\lumtag\\\\allowedsites", [])
        self.assertEqual(policy, [f'"{make_package.POLICY_VALUE}"="{ALLOWED}"'])
        self.assertEqual(browser_values(registry), expected_browser_values(
            ["https://labels.example.com", "https://[*.]corp.example"], ["labels.example.com", "*.corp.example"]))

    def test_3_each_control_prints_as_installed(self):
        self.assertIsNotNone(self.installed, "installed")
        script = e2elib.winpath(HERE / "installed_print.vbs")
        system = {64: "system32", 32: "syswow64"}
        reader = e2elib.PortReader(str(self.lpt_peer))
        try:
            for bits in self.bits:
                with self.subTest(host=f"{bits}-bit cscript"):
                    printer = NetworkPrinter()
                    try:
                        code, out = self.prefix.run(bits, f"C:\\windows\\{system[bits]}\\cscript.exe", "//nologo",
                                                    script, str(printer.port), f"{bits}-bit")
                        result = e2elib.ScriptResult(code, out, "")
                        self.assertTrue(result.done, result)
                        for label in ("create Ostrel", "connect", "send", "create Quennet", "print"):
                            self.assertEqual(result.results[label][0], 0, (label, result))
                        deadline = time.monotonic() + 10
                        while not printer.jobs and time.monotonic() < deadline:
                            time.sleep(0.05)
                        self.assertEqual(printer.jobs, [f"^XA^FDOstrel {bits}-bit^FS^XZ".encode()])
                        self.assertEqual(reader.take(expect=29), f"^XA^FDQuennet {bits}-bit^FS^XZ".encode())
                    finally:
                        printer.close()
        finally:
            reader.close()

    def test_3b_the_bridge_starts_at_logon_and_serves_only_listed_sites(self):
        self.assertIsNotNone(self.installed, "installed")
        run_key = "software\\\\microsoft\\\\windows\\\\currentversion\\\\run"
        command = f'C:\\{FOLDERS[64]}\\{make_package.INSTALL_FOLDER}\\{make_package.BRIDGE_FILE}'
        self.assertIn(f'"{make_package.RUN_VALUE}"="\\"{command.replace(chr(92), chr(92) * 2)}\\""',
                      self.prefix.registry().get(run_key, []))
        # Started as the logon starts it, on the port the bridge's policy names.
        port = self.bridge_port
        bridge = subprocess.Popen([WINE64, command], **self.prefix.quiet)
        try:
            deadline = time.monotonic() + 60
            while not bridgelib.listening(port) and bridge.poll() is None and time.monotonic() < deadline:
                time.sleep(0.2)
            for origin, status in (("https://labels.example.com", 101), ("https://a.corp.example", 101),
                                   ("https://evil.example", 403), (None, 403)):
                answer, head, _, sock = bridgelib.http_exchange(port, bridgelib.upgrade_request(port, origin))
                sock.close()
                self.assertEqual(answer, status, (origin, head))
        finally:
            bridge.kill()
            bridge.wait(30)

    def test_4_uninstall_leaves_nothing_of_the_product(self):
        self.assertEqual(self.prefix.msiexec("/x", e2elib.winpath(self.msi), "/qn"), 0)
        registry = self.prefix.registry()
        self.assertEqual(self.product_keys(registry), {})
        # The allow list the package wrote goes; the bridge's port, which an administrator set, stays.
        self.assertFalse([k for k in registry if k.startswith("software\\\\policies\\\\lumtag\\\\allowedsites")])
        self.assertIn("software\\\\policies\\\\lumtag\\\\bridge", registry)
        self.assertEqual(browser_values(registry), expected_browser_values([], []))
        self.assertNotIn(WRITTEN_KEY, registry)
        for bits in (32, 64):
            self.assertFalse(self.prefix.drive_c(FOLDERS[bits], make_package.INSTALL_FOLDER).exists())
        run_values = registry.get("software\\\\microsoft\\\\windows\\\\currentversion\\\\run", [])
        self.assertFalse([v for v in run_values if v.startswith(f'"{make_package.RUN_VALUE}"=')])

        # Installed without an allow list, the package leaves one that an
        # administrator set by other means alone, also when it is removed.
        # Meanwhile its bridge runs for the user: the install starts it, an
        # upgrade hands it over to the newer one, the removal ends it; the
        # test starts none of them.
        self.assertEqual(self.prefix.run(64, "reg", "add", "HKLM\\" + make_package.POLICY_KEY, "/v", "gpo", "/t",
                                         "REG_SZ", "/d", "https://other.example", "/f")[0], 0)
        self.assertEqual(self.prefix.set_bridge_port(self.bridge_port), 0)
        self.assertEqual(self.prefix.msiexec("/i", e2elib.winpath(self.msi), "/qn"), 0)
        older, _ = self.answering_bridges(time.monotonic() + 60)
        self.assertTrue(older, "the install started the bridge")

        started = time.monotonic()
        self.assertEqual(self.prefix.msiexec("/i", e2elib.winpath(self.newer_msi), "/qn"), 0)
        newer, hello = self.answering_bridges(started + 60, unlike=older)
        print(f"\nhand-over at the upgrade: {time.monotonic() - started:.1f} s from msiexec's start to the newer "
              "bridge's hello", flush=True)
        self.assertTrue(newer, f"the older bridge {older} ended and a newer one answers")
        installed = self.prefix.drive_c(FOLDERS[64], make_package.INSTALL_FOLDER, make_package.BRIDGE_FILE)
        self.assertEqual(make_package.file_version(installed), self.newer_bridge_version)
        # The hello names the bridge's own version (from the bridge-server change on).
        self.assertEqual(hello.get("version"), self.newer_bridge_version, hello)

        started = time.monotonic()
        self.assertEqual(self.prefix.msiexec("/x", e2elib.winpath(self.newer_msi), "/qn"), 0)
        while (bridgelib.listening(self.bridge_port) or self.prefix.bridges()) and time.monotonic() < started + 60:
            time.sleep(0.2)
        self.assertFalse(bridgelib.listening(self.bridge_port) or self.prefix.bridges(), "a bridge goes on")
        self.assertFalse(self.prefix.drive_c(FOLDERS[64], make_package.INSTALL_FOLDER).exists())
        registry = self.prefix.registry()
        self.assertEqual(self.product_keys(registry), {})
        self.assertEqual(registry.get("software\\\\policies\\\\lumtag\\\\allowedsites"), ['"gpo"="https://other.example"'])
        self.prefix.run(64, "reg", "delete", "HKLM\\" + make_package.POLICY_ROOT, "/f")

    def test_4b_the_browsers_lists_follow_the_allow_list(self):
        # Each row: an msiexec run and the entries of ours it leaves (Chrome
        # and Edge, Firefox), after the administrator's. A pattern a browser
        # cannot say is left out, one that is no pattern of ours too.
        listed = "https://old.example:8443;http://[::1]:8080;ftp://files.example;https://*.10.0.0.1"
        current, newer = e2elib.winpath(self.msi), e2elib.winpath(self.newer_msi)
        rows = [
            (["/i", current, f"ALLOWED_SITES={listed}"], ["https://old.example:8443", "http://[::1]:8080"],
             ["old.example"]),
            (["/i", newer, "ALLOWED_SITES=https://*.corp.example:8443"], ["https://[*.]corp.example:8443"],
             ["*.corp.example"]),
            (["/x", newer], [], []),
            (["/i", current, "ALLOWED_SITES=https://labels.example.com", "BROWSER_POLICIES=0"], [], []),
            (["/x", current], [], []),
        ]
        for arguments, chromium, firefox in rows:
            with self.subTest(msiexec=arguments):
                self.assertEqual(self.prefix.msiexec(*arguments, "/qn"), 0)
                registry = self.prefix.registry()
                self.assertEqual(browser_values(registry), expected_browser_values(chromium, firefox))
                self.assertEqual(WRITTEN_KEY in registry, bool(chromium))
        logs = "".join(log.read_text(errors="replace")
                       for log in self.prefix.drive_c("users").glob("*/AppData/Local/Lumtag/LabelBridge*.log"))
        for pattern in ("ftp://files.example", "https://*.10.0.0.1"):
            self.assertIn(f"not a site pattern, left out: {pattern}", logs)
        self.assertIn("Firefox cannot list this site, left out: http://[::1]:8080", logs)
        for policy in ADMIN_ENTRIES:
            self.prefix.run(64, "reg", "delete", rf"HKLM\SOFTWARE\Policies\{policy}", "/f")

    def answering_bridges(self, deadline, unlike=frozenset()):
        """The bridges running in the prefix, none of them one of |unlike|, and
        the hello that one of them gives a page of the allow list; (empty, None)
        when that has not come by |deadline|."""
        while time.monotonic() < deadline:
            running = self.prefix.bridges()
            if running and not running & unlike:
                with contextlib.suppress(OSError, bridgelib.HandshakeRefused, bridgelib.Closed):
                    with bridgelib.WebSocket(self.bridge_port, "https://other.example", timeout=5) as ws:
                        return running, ws.hello
            time.sleep(0.2)
        return set(), None

    def test_5_the_package_registers_what_the_libraries_register(self):
        # The libraries' own registration, from the same folders, 64-bit first
        # as the package's shared type library values are the 64-bit ones.
        self.assertIsNotNone(self.installed, "installed")
        installed = []
        for bits, source in ((64, ARGS.x86_64), (32, ARGS.i686)):
            folder = self.prefix.drive_c(FOLDERS[bits], make_package.INSTALL_FOLDER)
            folder.mkdir(parents=True)
            for control in self.controls:
                shutil.copyfile(Path(source) / control.file, folder / control.file)
                installed.append((bits, f"C:\\{FOLDERS[bits]}\\{make_package.INSTALL_FOLDER}\\{control.file}"))
        try:
            for bits, path in installed:
                if bits in self.bits:
                    self.assertEqual(self.prefix.run(bits, "regsvr32", "/s", path)[0], 0, path)
            registered = self.product_keys(self.prefix.registry())
        finally:
            for bits, path in installed:
                if bits in self.bits:
                    self.prefix.run(bits, "regsvr32", "/s", "/u", path)
            for bits in (32, 64):
                shutil.rmtree(self.prefix.drive_c(FOLDERS[bits], make_package.INSTALL_FOLDER))

        def comparable(keys):
            # Without 32-bit Windows programs only the 64-bit registration can run.
            if 32 in self.bits:
                return keys
            return {k: v for k, v in keys.items() if "wow6432node" not in k and not k.endswith("\\\\win32")}

        self.assertEqual(comparable(self.installed), comparable(registered))
        if 32 not in self.bits:
            for control in self.controls:
                key = f"software\\\\classes\\\\wow6432node\\\\clsid\\\\{control.clsid.lower()}\\\\inprocserver32"
                self.assertIn(f'@="C:\\\\Program Files (x86)\\\\{make_package.INSTALL_FOLDER}\\\\{control.file}"',
                              self.installed[key])


def main():
    global ARGS
    parser = argparse.ArgumentParser()
    parser.add_argument("--i686", required=True)
    parser.add_argument("--x86_64", required=True)
    parser.add_argument("--work", required=True)
    ARGS, rest = parser.parse_known_args()
    unittest.main(argv=[sys.argv[0], "-v", *rest])


if __name__ == "__main__":
    main()
