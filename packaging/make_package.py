#!/usr/bin/env python3
"""Builds the Windows Installer package and the CAB of both controls.

  make_package.py --i686 DIR --x86_64 DIR --out DIR [--bridge FILE]
                  [--version V] [--sign-key KEY.pem --sign-cert CERT.pem]

writes into OUT:
  label-controls-<version>.msi  both controls for 32-bit hosts (Program Files
                                (x86), 32-bit registry view) and for 64-bit
                                hosts (Program Files, 64-bit view), registered
                                through the Registry table; the 64-bit print
                                bridge, started at every user's logon, ended
                                before an upgrade or removal replaces or
                                removes it and started again for the users
                                logged on after an install; the public
                                property ALLOWED_SITES writes the site-lock
                                policy value and, unless BROWSER_POLICIES=0,
                                the browsers' policies that let those sites
                                reach the bridge (bridge/browser_policies.h)
  label-controls-<version>.cab  the 32-bit controls with label-controls.inf,
                                for a page's <object codebase=...>

With a key and certificate, the libraries are signed before they go into
either, then the .msi and the .cab themselves. Versions and the upgrade code
come from cmake/product.cmake, the bridge's file version from its version
resource; --version builds another version of the same product and --bridge
packages another bridge (the upgrade tests build an older and a newer one).
"""

import argparse
import re
import shutil
import subprocess
import sys
import tempfile
import uuid
from dataclasses import dataclass
from pathlib import Path
from xml.etree import ElementTree as ET

ROOT = Path(__file__).resolve().parent.parent
CORE = ROOT / "core"


def read_core(file, pattern):
    """The first group of |pattern| in core/|file|: a constant the libraries are built with."""
    found = re.search(pattern, (CORE / file).read_text(), re.DOTALL)
    if not found:
        sys.exit(f"package: core/{file} no longer matches {pattern!r}")
    return found.group(1)


def c_text(literal):
    """The text of a C++ wide string literal's inside (only \\ is escaped there)."""
    return literal.replace("\\\\", "\\")


def read_class_rows():
    """The rows of kClassRegistration in core/registration.h, as DllRegisterServer
    writes them: (key, name, value), None for nullptr, with the placeholders
    {clsid} {libid} {progid} {file} {misc} {bitmap}."""
    table = read_core("registration.h", r"kClassRegistration\[\] = \{\n(.*?)\n\};")
    cell = r'(nullptr|L"(?:[^"\\]|\\.)*")'
    rows = []
    for line in table.splitlines():
        line = line.strip()
        if not line or line.startswith("//"):
            continue
        found = re.fullmatch(rf"\{{{cell}, {cell}, {cell}\}},", line)
        if not found:
            sys.exit(f"package: a row of core/registration.h that is not one: {line}")
        rows.append(tuple(None if cell == "nullptr" else c_text(cell[2:-1]) for cell in found.groups()))
    return rows


# The automation marshallers: the type-library marshaller for dual
# interfaces, the dispatch marshaller for pure dispatch interfaces.
TYPELIB_MARSHALLER = "{00020424-0000-0000-C000-000000000046}"
DISPATCH_MARSHALLER = "{00020420-0000-0000-C000-000000000046}"
# OLEMISC_ bits both controls register for their content aspect.
CONTROL_MISC_STATUS = str(int(read_core("control_class.h", r"kControlMiscStatus = (0x[0-9A-Fa-f]+|\d+);"), 0))
TOOLBOX_BITMAP_ID = read_core("resource_ids.h", r"#define TOOLBOX_BITMAP_ID (\d+)")
# Type library flags as the system writes them: control, has disk image.
TYPELIB_FLAGS = "10"
# The site lock's policy key, where the package writes the allow list.
POLICY_KEY = c_text(read_core("safety.h", r'kAllowedSitesKey\[\] = L"([^"]*)";'))
POLICY_ROOT = POLICY_KEY.rsplit("\\", 1)[0]
POLICY_VALUE = "LabelControls"
BRIDGE_FILE = "LabelBridge.exe"
BRIDGE_COMPONENT = "LabelBridge64"
RUN_KEY = r"Software\Microsoft\Windows\CurrentVersion\Run"
RUN_VALUE = "LabelBridge"
# Around an install the package ends the running bridges and starts the new
# one (bridge/handover.h), both as LocalSystem (deferred, not impersonated).
# The ending runs from the package's own copy of the bridge in the Binary
# table, there whatever is installed: it also ends an older installed bridge
# that has no --end (by terminating it).
END_BINARY = "LabelBridgeEnd"
END_ACTION = "EndBridges"
START_ACTION = "StartBridges"
# The browsers' allow lists, written by the installed bridge from
# ALLOWED_SITES and taken out at removal by the package's own copy (the
# installed one may be gone by then).
BROWSER_POLICIES_ACTION = "WriteBrowserPolicies"
REMOVE_BROWSER_POLICIES_ACTION = "RemoveBrowserPolicies"
PRODUCT_NAME = "Lumtag label controls"
MANUFACTURER = "Lumtag"
INSTALL_FOLDER = "Lumtag Label Controls"


@dataclass
class Control:
    file: str  # Ostrel.ocx
    prog_id: str  # Tessmer.lumtag
    version: str  # 1.0.0.204
    clsid: str
    libid: str
    library_text: str  # the type library's help string, as the system registers it
    dual_iid: str
    events_iid: str

    @property
    def stem(self):
        return Path(self.file).stem


def read_product():
    """The set(NAME "value") lines of cmake/product.cmake."""
    text = (ROOT / "cmake" / "product.cmake").read_text()
    return dict(re.findall(r'^set\((\w+)\s+"([^"]*)"\)', text, re.MULTILINE))


# Where the fixed part of a version resource (VS_FIXEDFILEINFO) starts.
FIXED_FILE_INFO_SIGNATURE = b"\xbd\x04\xef\xfe"


def file_version(path):
    """The file version in the fixed part of a PE file's version resource."""
    data = Path(path).read_bytes()
    at = data.find(FIXED_FILE_INFO_SIGNATURE)
    if at < 0:
        sys.exit(f"package: {path} has no version resource")
    high = int.from_bytes(data[at + 8:at + 12], "little")
    low = int.from_bytes(data[at + 12:at + 16], "little")
    return f"{high >> 16}.{high & 0xFFFF}.{low >> 16}.{low & 0xFFFF}"


def read_idl(path):
    """Identifiers of the type library, class and interfaces declared in an IDL file."""
    text = path.read_text()
    declared = {}
    for attributes, kind, name in re.findall(r"\[([^\]]*)\]\s*(interface|dispinterface|library|coclass)\s+(\w+)", text):
        found = re.search(r"uuid\(([0-9A-Fa-f-]+)\)", attributes)
        if found:
            declared[kind] = ("{" + found.group(1).upper() + "}", name, attributes)
    help_text = re.search(r'helpstring\("([^"]*)"\)', declared["library"][2])
    return {
        "libid": declared["library"][0],
        "library_text": help_text.group(1) if help_text else declared["library"][1],
        "clsid": declared["coclass"][0],
        "dual_iid": declared["interface"][0],
        "events_iid": declared["dispinterface"][0],
    }


def controls(product):
    return [
        Control("Ostrel.ocx", "Tessmer.lumtag", product["OSTREL_VERSION"], **read_idl(ROOT / "ostrel" / "ostrel.idl")),
        Control("Quennet.ocx", "Quennet.lumtag", product["QUENNET_VERSION"], **read_idl(ROOT / "quennet" / "quennet.idl")),
    ]


def registration(control, bits, file_ref, folder_ref):
    """(key, name, value) under HKCR, as the library's own registration
    writes them in its registry view; value None is a key without values.
    Keys that both views share (ProgID, the type library's common values)
    belong to the 64-bit rows."""
    typelib = "TypeLib\\" + control.libid + "\\1.0"
    system = "win64" if bits == 64 else "win32"
    placeholders = {"clsid": control.clsid, "libid": control.libid, "progid": control.prog_id, "file": file_ref,
                    "misc": CONTROL_MISC_STATUS, "bitmap": TOOLBOX_BITMAP_ID}
    rows, shared = [], []
    for key, name, value in read_class_rows():
        key = key.format(**placeholders)
        # (key, None, None) is a key without values; name "" is the default value.
        row = (key, None, None) if value is None else (key, name or "", value.format(**placeholders))
        # The registry keeps CLSID apart for 32-bit programs; a ProgID is one for both.
        (rows if key.startswith("CLSID\\") else shared).append(row)
    rows += [
        (f"{typelib}\\0\\{system}", "", file_ref),
        (f"{typelib}\\409\\{system}", "", file_ref),
    ]
    for iid, name, marshaller in ((control.dual_iid, "_lumtag", TYPELIB_MARSHALLER),
                                  (control.events_iid, "__lumtag", DISPATCH_MARSHALLER)):
        key = "Interface\\" + iid
        rows += [
            (key, "", name),
            (key + "\\ProxyStubClsid", "", marshaller),
            (key + "\\ProxyStubClsid32", "", marshaller),
            (key + "\\TypeLib", "", control.libid),
            (key + "\\TypeLib", "Version", "1.0"),
        ]
    if bits == 64:
        rows += shared + [
            (typelib, "", control.library_text),
            (typelib + "\\FLAGS", "", TYPELIB_FLAGS),
            (typelib + "\\HELPDIR", "", folder_ref),
        ]
    return rows


def stable_guid(upgrade_code, name):
    """A GUID that stays the same for the same name in every version."""
    return "{" + str(uuid.uuid5(uuid.UUID(upgrade_code), name)).upper() + "}"


def element(parent, tag, **attributes):
    return ET.SubElement(parent, tag, {k: str(v) for k, v in attributes.items()})


def write_wxs(path, version, upgrade_code, controls_, files):
    """files[(stem, bits)] is the library to install, files["bridge"] the bridge."""
    wix = ET.Element("Wix", xmlns="http://schemas.microsoft.com/wix/2006/wi")
    product = element(wix, "Product", Id=stable_guid(upgrade_code, "product " + version), Name=PRODUCT_NAME,
                      Language="1033", Version=version, Manufacturer=MANUFACTURER, UpgradeCode=upgrade_code)
    element(product, "Package", InstallerVersion="200", Compressed="yes", InstallScope="perMachine",
            Manufacturer=MANUFACTURER, Description=f"{PRODUCT_NAME} {version}")
    element(product, "MajorUpgrade", DowngradeErrorMessage="A newer version of [ProductName] is already installed.")
    element(product, "Media", Id="1", Cabinet="controls.cab", EmbedCab="yes")

    target = element(product, "Directory", Id="TARGETDIR", Name="SourceDir")
    folders = {
        32: element(element(target, "Directory", Id="ProgramFilesFolder"), "Directory", Id="INSTALLFOLDER32",
                    Name=INSTALL_FOLDER),
        64: element(element(target, "Directory", Id="ProgramFiles64Folder"), "Directory", Id="INSTALLFOLDER64",
                    Name=INSTALL_FOLDER),
    }
    feature = element(product, "Feature", Id="Controls", Title=PRODUCT_NAME, Level="1")

    for control in controls_:
        for bits in (32, 64):
            component_id = f"{control.stem}{bits}"
            component = element(folders[bits], "Component", Id=component_id,
                                Guid=stable_guid(upgrade_code, "component " + component_id),
                                Win64="yes" if bits == 64 else "no")
            element(component, "File", Id=component_id, Name=control.file,
                    Source=files[(control.stem, bits)].relative_to(path.parent),
                    KeyPath="yes")
            # The system writes the folder without the closing backslash a
            # folder property has.
            folder = f"[{'ProgramFiles64Folder' if bits == 64 else 'ProgramFilesFolder'}]{INSTALL_FOLDER}"
            for key, name, value in registration(control, bits, f"[#{component_id}]", folder):
                if value is None:
                    # wixl writes no key without a value: a placeholder row
                    # that tables_after_wixl() turns into "create, remove on
                    # uninstall".
                    name, value = "*", KEY_ONLY_PLACEHOLDER
                attributes = {"Root": "HKCR", "Key": key, "Type": "string", "Value": value}
                if name:
                    attributes["Name"] = name
                element(component, "RegistryValue", **attributes)
            element(feature, "ComponentRef", Id=component_id)

    # The bridge loads the 64-bit controls; every user's logon starts it.
    bridge = element(folders[64], "Component", Id=BRIDGE_COMPONENT,
                     Guid=stable_guid(upgrade_code, "component " + BRIDGE_COMPONENT), Win64="yes")
    element(bridge, "File", Id=BRIDGE_COMPONENT, Name=BRIDGE_FILE, Source=files["bridge"].relative_to(path.parent),
            KeyPath="yes")
    element(bridge, "RegistryValue", Root="HKLM", Key=RUN_KEY, Name=RUN_VALUE, Type="string",
            Value=f'"[#{BRIDGE_COMPONENT}]"')
    element(feature, "ComponentRef", Id=BRIDGE_COMPONENT)
    element(product, "Binary", Id=END_BINARY, SourceFile=files["bridge"].relative_to(path.parent))
    # wixl writes no EXE from the Binary table: a placeholder of another type
    # that tables_after_wixl() makes into one.
    element(product, "CustomAction", Id=END_ACTION, Property=END_BINARY, ExeCommand="--end", Execute="deferred",
            Impersonate="no", Return="ignore")
    element(product, "CustomAction", Id=START_ACTION, FileKey=BRIDGE_COMPONENT, ExeCommand="--start-for-users",
            Execute="deferred", Impersonate="no", Return="ignore")
    # A browser policy that cannot be written fails no install: the bridge's
    # log (LocalSystem's) says which, and pages then get the browser's question.
    element(product, "CustomAction", Id=BROWSER_POLICIES_ACTION, FileKey=BRIDGE_COMPONENT,
            ExeCommand='--browser-policies "[ALLOWED_SITES]"', Execute="deferred", Impersonate="no", Return="ignore")
    element(product, "CustomAction", Id=REMOVE_BROWSER_POLICIES_ACTION, Property=END_BINARY,
            ExeCommand="--remove-browser-policies", Execute="deferred", Impersonate="no", Return="ignore")
    # When they run (their places in the sequence: tables_after_wixl()): the
    # ending whenever an installed bridge may be replaced or removed (an
    # upgrade, a repair, a removal), the start whenever the product stays.
    sequence = element(product, "InstallExecuteSequence")
    element(sequence, "Custom", Action=END_ACTION, After="InstallInitialize").text = "Installed OR WIX_UPGRADE_DETECTED"
    element(sequence, "Custom", Action=START_ACTION, After="InstallFiles").text = 'NOT REMOVE~="ALL"'
    # Each run replaces what the last one wrote, so that an upgrade (whose
    # ALLOWED_SITES is the older list unless given again, KEEP_SITES_ACTION)
    # keeps the browsers' entries current; BROWSER_POLICIES=0 writes none.
    element(sequence, "Custom", Action=BROWSER_POLICIES_ACTION, After="InstallFiles").text = \
        'NOT REMOVE~="ALL" AND ALLOWED_SITES AND BROWSER_POLICIES<>"0"'
    element(sequence, "Custom", Action=REMOVE_BROWSER_POLICIES_ACTION, After="InstallInitialize").text = \
        'REMOVE~="ALL"'

    # The site-lock policy: one value, written only when the installing
    # administrator gives ALLOWED_SITES, in the view both controls read.
    policy = element(folders[64], "Component", Id="AllowedSites", Guid=stable_guid(upgrade_code, "component policy"),
                     Win64="yes")
    element(policy, "RegistryValue", Root="HKLM", Key=POLICY_KEY, Name=POLICY_VALUE, Type="string",
            Value="[ALLOWED_SITES]", KeyPath="yes")
    # Uninstalling takes the value with it (and its key, when nothing else is
    # in it); an allow list set by other means, with the package installed
    # without one, and the bridge's own policy stay, also through an upgrade.
    element(feature, "ComponentRef", Id="AllowedSites")
    written = element(product, "Property", Id="POLICY_WRITTEN")
    element(written, "RegistrySearch", Id="PolicyWritten", Root="HKLM", Key=POLICY_KEY, Name=POLICY_VALUE, Type="raw",
            Win64="yes")

    ET.indent(wix)
    ET.ElementTree(wix).write(path, encoding="utf-8", xml_declaration=True)


# wixl (msitools 0.101) writes no registry row without a value (a key to
# create or remove), no component condition, no file version and no secure
# property of ours: the tables get them once it has written them (an empty
# string is a null cell).
KEY_ONLY_PLACEHOLDER = "(key only)"


KEEP_SITES_ACTION = "KeepAllowedSites"

# Windows Installer's custom action types: an EXE from the Binary table, run
# in the install script (deferred) as LocalSystem (not impersonated), its exit
# code ignored: a bridge that cannot be ended must not fail an install.
EXE_IN_BINARY = 2
DEFERRED, NOT_IMPERSONATED, EXIT_CODE_IGNORED = 0x400, 0x800, 0x40

# The install's order (wixl's own places for the actions added to its
# defaults are not these): the bridges end before anything changes, and
# InstallExecute runs that part of the script at once; then the older product
# of a major upgrade goes (RemoveExistingProducts may follow InstallExecute,
# not a deferred action that is still in the script); then the new files and
# registry values go in, the product registers (after the older one's
# removal, which takes the upgrade code's registration with it under Wine),
# and the new bridge starts last.
INSTALL_SEQUENCE = [
    (END_ACTION, "InstallInitialize", 1),
    ("InstallExecute", "InstallInitialize", 2),
    ("RemoveExistingProducts", "InstallInitialize", 3),
    (REMOVE_BROWSER_POLICIES_ACTION, "InstallInitialize", 4),
    (BROWSER_POLICIES_ACTION, "InstallFinalize", -2),
    (START_ACTION, "InstallFinalize", -1),
]


def tables_after_wixl(controls_, bridge_version, sequence):
    """|sequence| maps the standard actions of wixl's InstallExecuteSequence to their numbers."""
    queries = [
        f"UPDATE `Registry` SET `Value` = '' WHERE `Value` = '{KEY_ONLY_PLACEHOLDER}'",
        # Installed only with an allow list. The installer evaluates the
        # condition again when it removes the product: the value the package
        # wrote (found by POLICY_WRITTEN) goes with it, a policy set by other
        # means stays.
        "UPDATE `Component` SET `Condition` = 'ALLOWED_SITES OR POLICY_WRITTEN' WHERE `Component` = 'AllowedSites'",
        "UPDATE `Property` SET `Value` = 'ALLOWED_SITES;BROWSER_POLICIES;WIX_DOWNGRADE_DETECTED;WIX_UPGRADE_DETECTED' "
        "WHERE `Property` = 'SecureCustomProperties'",
        # An upgrade without ALLOWED_SITES keeps the list the package wrote
        # before (the older product's removal takes its value away, and the
        # component would write an empty list, refusing every page): a
        # property set from another (type 51), before the components are costed.
        f"INSERT INTO `CustomAction` (`Action`, `Type`, `Source`, `Target`) "
        f"VALUES ('{KEEP_SITES_ACTION}', 51, 'ALLOWED_SITES', '[POLICY_WRITTEN]')",
        f"INSERT INTO `InstallExecuteSequence` (`Action`, `Condition`, `Sequence`) "
        f"VALUES ('{KEEP_SITES_ACTION}', 'NOT ALLOWED_SITES AND POLICY_WRITTEN', {sequence['AppSearch'] + 1})",
    ]
    for control in controls_:
        for bits in (32, 64):
            queries.append(f"UPDATE `File` SET `Version` = '{control.version}' WHERE `File` = '{control.stem}{bits}'")
    queries.append(f"UPDATE `File` SET `Version` = '{bridge_version}' WHERE `File` = '{BRIDGE_COMPONENT}'")
    end_type = EXE_IN_BINARY | DEFERRED | NOT_IMPERSONATED | EXIT_CODE_IGNORED
    for action in (END_ACTION, REMOVE_BROWSER_POLICIES_ACTION):
        queries.append(f"UPDATE `CustomAction` SET `Type` = {end_type} WHERE `Action` = '{action}'")
    taken = {number: action for action, number in sequence.items()}
    for action, beside, offset in INSTALL_SEQUENCE:
        number = sequence[beside] + offset
        if taken.get(number, action) != action:
            sys.exit(f"package: {action} cannot have number {number}: {taken[number]} has it")
        if action in sequence:
            queries.append(f"UPDATE `InstallExecuteSequence` SET `Sequence` = {number} WHERE `Action` = '{action}'")
        else:
            queries.append(f"INSERT INTO `InstallExecuteSequence` (`Action`, `Sequence`) VALUES ('{action}', {number})")
    return queries


def write_inf(path, controls_):
    lines = [
        "; Installs the Lumtag label controls from a page's <object codebase=...>.",
        "[version]",
        'signature="$CHICAGO$"',
        "AdvancedINF=2.0",
        "",
        "[Add.Code]",
    ]
    lines += [f"{c.file}={c.file}" for c in controls_]
    for control in controls_:
        lines += [
            "",
            f"[{control.file}]",
            "file-win32-x86=thiscab",
            f"clsid={control.clsid}",
            f"FileVersion={control.version.replace('.', ',')}",
            "RegisterServer=yes",
        ]
    path.write_text("\r\n".join(lines) + "\r\n", newline="")


def run(*command, cwd=None):
    done = subprocess.run([str(part) for part in command], capture_output=True, text=True, cwd=cwd)
    if done.returncode != 0:
        sys.exit(f"package: {Path(str(command[0])).name} failed ({done.returncode}):\n{done.stdout}{done.stderr}")
    return done.stdout


def read_sequence(msi):
    """{action: number} of the package's InstallExecuteSequence (msiinfo's three header lines dropped)."""
    rows = [line.split("\t") for line in run("msiinfo", "export", msi, "InstallExecuteSequence").splitlines()[3:]]
    return {action: int(number) for action, _, number in rows}


class Signer:
    def __init__(self, key, cert):
        self.key, self.cert = key, cert

    def sign(self, path):
        """Authenticode-signs |path| in place."""
        if not self.key:
            return
        signed = path.with_name(path.name + ".signed")
        run("osslsigncode", "sign", "-certs", self.cert, "-key", self.key, "-n", PRODUCT_NAME, "-h", "sha256",
            "-in", path, "-out", signed)
        signed.replace(path)


def build(args):
    product = read_product()
    version = args.version or product["LABEL_CONTROLS_VERSION"]
    upgrade_code = product["LABEL_CONTROLS_UPGRADE_CODE"]
    the_controls = controls(product)
    signer = Signer(args.sign_key, args.sign_cert)
    out = Path(args.out)
    out.mkdir(parents=True, exist_ok=True)
    msi_name = f"label-controls-{version}.msi"
    cab_name = f"label-controls-{version}.cab"

    with tempfile.TemporaryDirectory(prefix="label-controls-") as scratch:
        scratch = Path(scratch)
        files = {}
        for bits, source in ((32, Path(args.i686)), (64, Path(args.x86_64))):
            folder = scratch / f"bin{bits}"
            folder.mkdir()
            for control in the_controls:
                library = folder / control.file
                shutil.copyfile(source / control.file, library)
                signer.sign(library)
                files[(control.stem, bits)] = library
        files["bridge"] = scratch / "bin64" / BRIDGE_FILE
        shutil.copyfile(args.bridge or Path(args.x86_64) / BRIDGE_FILE, files["bridge"])
        signer.sign(files["bridge"])

        # Both are made in the scratch folder (msibuild leaves temporary files
        # beside the file it edits) and copied out when whole.
        msi = scratch / msi_name
        cab = scratch / cab_name
        wxs = scratch / "label-controls.wxs"
        write_wxs(wxs, version, upgrade_code, the_controls, files)
        run("wixl", "-a", "x64", "-o", msi.resolve(), wxs.name, cwd=scratch)
        for query in tables_after_wixl(the_controls, file_version(files["bridge"]), read_sequence(msi)):
            run("msibuild", msi, "-q", query)
        signer.sign(msi)

        inf = scratch / "label-controls.inf"
        write_inf(inf, the_controls)
        cab_files = [files[(c.stem, 32)] for c in the_controls] + [inf]
        run("gcab", "-c", "-n", cab, *cab_files)
        signer.sign(cab)
        for made in (msi, cab):
            shutil.copyfile(made, out / made.name)

    state = "signed" if args.sign_key else "unsigned (no SIGN_KEY/SIGN_CERT given)"
    print(f"package: {msi_name} and {cab_name} in {out}, {state}")


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--i686", required=True, help="folder with the 32-bit Ostrel.ocx and Quennet.ocx")
    parser.add_argument("--x86_64", required=True,
                        help="folder with the 64-bit Ostrel.ocx, Quennet.ocx and LabelBridge.exe")
    parser.add_argument("--out", required=True)
    parser.add_argument("--bridge", help="the 64-bit LabelBridge.exe to package (default: the one in --x86_64)")
    parser.add_argument("--version", help="package version (default: cmake/product.cmake)")
    parser.add_argument("--sign-key")
    parser.add_argument("--sign-cert")
    args = parser.parse_args()
    if bool(args.sign_key) != bool(args.sign_cert):
        parser.error("--sign-key and --sign-cert go together")
    build(args)


if __name__ == "__main__":
    sys.exit(main())
