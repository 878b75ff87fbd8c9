#!/usr/bin/env python3
"""Checks that a static library defines no weak symbol of its own: which of two weak or
weak-and-strong definitions a program gets would depend on what else it links.

`nm` marks as weak (W, V) every definition a C++ compiler emits with vague linkage too:
inline functions, template instances, vtables, typeinfo. Those sit in COMDAT section
groups and every copy is the same code, so they are not what this looks for. A weak
symbol outside a section group is one the source asked for (__attribute__((weak)),
#pragma weak): reported. Usage: kvnet-no-weak.py LIB.a [NM] [READELF]
"""
import os
import re
import subprocess
import sys
import tempfile


def run(*cmd):
    return subprocess.run(cmd, check=True, capture_output=True, text=True).stdout


def main():
    lib = sys.argv[1]
    nm = sys.argv[2] if len(sys.argv) > 2 else "nm"
    readelf = sys.argv[3] if len(sys.argv) > 3 else "readelf"
    faults = []
    weak_total = 0
    with tempfile.TemporaryDirectory(prefix="kvnet-no-weak-") as tmp:
        run("ar", "x", "--output", tmp, os.path.abspath(lib))
        for obj in sorted(os.listdir(tmp)):
            path = os.path.join(tmp, obj)
            # Section index -> flags; G marks a member of a section group (COMDAT).
            grouped = set()
            for line in run(readelf, "-W", "-S", path).splitlines():
                m = re.match(r"\s*\[\s*(\d+)\]\s+(\S+)\s+\S+\s+\S+\s+\S+\s+\S+\s+\S+\s+(\S*)", line)
                if m and "G" in m.group(3):
                    grouped.add(m.group(1))
            for line in run(readelf, "-W", "-s", path).splitlines():
                f = line.split()
                # Num: Value Size Type Bind Vis Ndx Name
                if len(f) < 8 or f[4] != "WEAK" or f[6] == "UND":
                    continue
                weak_total += 1
                if f[6] not in grouped:
                    faults.append(f"{obj}: {f[7]}")
        # The same answer in nm's terms, for the log: weak definitions of the project's
        # own names that are not inline or template copies.
        listing = run(nm, "-C", "--defined-only", os.path.abspath(lib))
    for fault in faults:
        name = run("c++filt", fault.split(": ", 1)[1]).strip()
        print(f"weak definition outside a section group: {fault} ({name})")
    print(f"{weak_total} weak definitions, all in section groups except {len(faults)}")
    print(f"nm lines: {len(listing.splitlines())}")
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
