#!/usr/bin/env python3
"""Checks a built control library's image: exactly the four entry points at
their ordinals, and imports from system DLLs only (the C++ runtime is linked
in), so the library runs on a machine with nothing else installed.

usage: check_image.py OBJDUMP LIBRARY...
"""
import re
import subprocess
import sys

EXPORTS = {1: "DllCanUnloadNow", 2: "DllGetClassObject", 3: "DllRegisterServer", 4: "DllUnregisterServer"}
SYSTEM_DLLS = {"kernel32.dll", "user32.dll", "gdi32.dll", "advapi32.dll", "ole32.dll", "oleaut32.dll",
               "ws2_32.dll", "msvcrt.dll", "comctl32.dll", "shell32.dll", "uuid.dll",
               "urlmon.dll"}


def check(objdump: str, library: str) -> list:
    text = subprocess.run([objdump, "-p", library], check=True, capture_output=True, text=True).stdout
    problems = []
    imports = {name.lower() for name in re.findall(r"DLL Name: (\S+)", text)}
    foreign = sorted(imports - SYSTEM_DLLS)
    if foreign:
        problems.append(f"{library} imports non-system DLLs: {', '.join(foreign)}")
    if not imports:
        problems.append(f"{library}: no import table found")
    base = re.search(r"Ordinal Base\s+(\d+)", text)
    table = text.split("[Ordinal/Name Pointer] Table", 1)
    if base is None or len(table) != 2:
        return problems + [f"{library}: no export table found"]
    names = re.findall(r"^\s*\[\s*(\d+)\]\s+(\S+)\s*$", table[1], re.M)
    exports = {int(index) + int(base.group(1)): name for index, name in names}
    if exports != EXPORTS:
        problems.append(f"{library} exports {exports}, expected {EXPORTS}")
    return problems


def main() -> int:
    objdump, libraries = sys.argv[1], sys.argv[2:]
    problems = [p for library in libraries for p in check(objdump, library)]
    for p in problems:
        print("FAIL:", p)
    print(f"{len(libraries) - len({p.split()[0] for p in problems})} passed, "
          f"{len({p.split()[0] for p in problems})} failed")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
