"""Checks that a Windows program needs nothing beside it: every DLL it imports is
part of Windows itself (the msvcrt runtime included), none comes from the compiler.

Usage: windows_imports.py OBJDUMP PROGRAM.exe
"""
import re
import subprocess
import sys

# DLLs every Windows since Vista carries in its system directory.
SYSTEM_DLLS = {
    "advapi32.dll", "iphlpapi.dll", "kernel32.dll", "msvcrt.dll", "ntdll.dll",
    "user32.dll", "ws2_32.dll",
}


def imported_dlls(objdump, program):
    out = subprocess.run([objdump, "-p", program], check=True, stdout=subprocess.PIPE,
                         text=True).stdout
    if "file format pei-x86-64" not in out:
        sys.exit(f"{program}: not a 64-bit Windows program")
    return re.findall(r"^\s*DLL Name: (\S+)$", out, re.M)


def main():
    objdump, program = sys.argv[1:3]
    dlls = imported_dlls(objdump, program)
    print("imports:", " ".join(dlls))
    if not dlls:
        sys.exit("no import table found: the objdump output has another shape")
    foreign = [d for d in dlls if d.lower() not in SYSTEM_DLLS]
    if foreign:
        sys.exit(f"imports DLLs that Windows does not carry: {' '.join(foreign)}")


if __name__ == "__main__":
    main()
