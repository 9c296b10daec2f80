#!/usr/bin/env python3
"""Size benchmark: the shipped Tovral.cab and Tovral.DLL (build/package/, as a
page downloads them) against their targets, the DLL's sections, and the
largest contributors to the image, read from the link map the build writes
beside the unstripped DLL (build/Tovral.map).

Sizes are in decimal kilobytes (1 KB = 1000 bytes), so a target is never met
by a rounding. The cabinet must hold the shipped DLL byte for byte, else the
run fails: a small cabinet of another file proves nothing.

    python3 bench/size_bench.py [--top N]
"""

import argparse
import collections
import os
import re
import shutil
import struct
import subprocess
import sys
import tempfile
from pathlib import Path

SOURCE_DIR = Path(__file__).resolve().parents[1]
BUILD_DIR = Path(os.environ.get("TOVRAL_BUILD_DIR", SOURCE_DIR / "build"))
KB = 1000
CAB_TARGET = 300 * KB
DLL_TARGET = 700 * KB


def kb(size):
    return f"{size / KB:7.1f} KB"


def verdict(met):
    return "met" if met else "MISSED"


# --- the PE file ---------------------------------------------------------------

def pe_sections(path):
    """[(name, file bytes, memory bytes)] of a PE image, from its section table."""
    data = Path(path).read_bytes()
    (pe_offset,) = struct.unpack_from("<I", data, 0x3C)
    if data[pe_offset:pe_offset + 4] != b"PE\0\0":
        raise ValueError(f"{path} is not a PE image")
    count, = struct.unpack_from("<H", data, pe_offset + 6)
    symbols, symbol_count = struct.unpack_from("<II", data, pe_offset + 12)
    optional_size, = struct.unpack_from("<H", data, pe_offset + 20)
    table = pe_offset + 24 + optional_size
    # Names longer than eight characters ("/4") are offsets into the string
    # table after the symbols, which stripping keeps for them.
    strings = symbols + 18 * symbol_count
    sections = []
    for index in range(count):
        entry = table + 40 * index
        name = data[entry:entry + 8].rstrip(b"\0").decode("ascii", "replace")
        if name.startswith("/") and name[1:].isdigit() and symbols:
            start = strings + int(name[1:])
            name = data[start:data.index(b"\0", start)].decode("ascii", "replace")
        virtual_size, _, raw_size = struct.unpack_from("<III", data, entry + 8)
        sections.append((name, raw_size, virtual_size))
    return sections


# --- the link map ----------------------------------------------------------------

# An input section: " .text  0xADDRESS  0xSIZE  FILE", its name on a line of
# its own when it is long.
INPUT_LINE = re.compile(r"^ (?P<name>[.*]\S*|COMMON)?\s+0x[0-9a-f]+\s+0x(?P<size>[0-9a-f]+)\s+(?P<file>\S.*)$")
NAME_ONLY = re.compile(r"^ ([.*]\S*|COMMON)$")
OUTPUT_LINE = re.compile(r"^(?P<name>\.\S+)(\s+0x[0-9a-f]+\s+0x[0-9a-f]+)?")


def map_contributions(map_path):
    """{(output section, input file): bytes} of the image's sections (no debugging ones)."""
    text = Path(map_path).read_text(encoding="utf-8", errors="replace")
    _, found, layout = text.partition("Linker script and memory map")
    if not found:
        raise ValueError(f"{map_path} is not a GNU ld link map")
    sizes = collections.Counter()
    section = None
    for line in layout.splitlines():
        output = OUTPUT_LINE.match(line)
        if output:
            section = output.group("name")
            continue
        if NAME_ONLY.match(line):
            continue
        entry = INPUT_LINE.match(line)
        if not entry or section is None or section.startswith(".debug"):
            continue
        if entry.group("name") == "*fill*":
            continue
        size = int(entry.group("size"), 16)
        if size:
            sizes[(section, short_file_name(entry.group("file")))] += size
    return sizes


def short_file_name(path):
    """'/usr/lib/.../libstdc++.a(cp-demangle.o)' -> 'libstdc++.a(cp-demangle.o)'."""
    if path == "dll stuff":  # what ld writes itself: relocations, export table
        return "(the linker)"
    archive, paren, member = path.partition("(")
    return os.path.basename(archive) + paren + member


def library_of(file_name):
    """'libstdc++.a(cp-demangle.o)' -> 'libstdc++.a'; an object file or the linker stays."""
    return file_name.partition("(")[0] or file_name


# --- the cabinet -------------------------------------------------------------------

def cab_holds(cab, dll):
    """Whether the cabinet's Tovral.DLL is the shipped DLL, byte for byte."""
    work = Path(tempfile.mkdtemp(prefix="tovral-bench-size-"))
    try:
        subprocess.run(["gcab", "-x", "-C", str(work), str(cab)], check=True,
                       capture_output=True)
        inside = work / dll.name
        return inside.is_file() and inside.read_bytes() == dll.read_bytes()
    finally:
        shutil.rmtree(work, ignore_errors=True)


# --- the report ---------------------------------------------------------------------

def report_targets(cab, dll):
    cab_size, dll_size = cab.stat().st_size, dll.stat().st_size
    print(f"  Tovral.cab {kb(cab_size)}  (target <= {CAB_TARGET // KB} KB: "
          f"{verdict(cab_size <= CAB_TARGET)})")
    print(f"  Tovral.DLL {kb(dll_size)}  (target <= {DLL_TARGET // KB} KB: "
          f"{verdict(dll_size <= DLL_TARGET)})")
    print(f"  the cabinet is {cab_size / dll_size:.0%} of the DLL")


def report_sections(dll):
    sections = pe_sections(dll)
    in_sections = sum(raw for _, raw, _ in sections)
    print(f"  sections of the shipped DLL (bytes in the file, in memory):")
    for name, raw, virtual in sorted(sections, key=lambda s: -s[1]):
        print(f"    {name:<10} {raw:9d} {virtual:9d}")
    print(f"    {'the rest':<10} {dll.stat().st_size - in_sections:9d}"
          "  (headers, signature, anything stripping left)")


def report_contributors(map_path, top):
    sizes = map_contributions(map_path)
    by_library, by_file = collections.Counter(), collections.Counter()
    for (section, file_name), size in sizes.items():
        by_library[library_of(file_name)] += size
        by_file[(file_name, section)] += size
    total = sum(sizes.values())
    print(f"  largest contributors ({map_path.name}, {total} bytes in the image's sections):")
    print("    by library:")
    for library, size in by_library.most_common(top):
        print(f"      {size:8d} {size / total:6.1%}  {library}")
    print(f"    by file and section (the {top} largest):")
    for (file_name, section), size in by_file.most_common(top):
        print(f"      {size:8d} {section:<10} {file_name}")


def run(build_dir, top):
    package = build_dir / "package"
    cab, dll = package / "Tovral.cab", package / "Tovral.DLL"
    map_path = build_dir / "Tovral.map"
    missing = [str(path) for path in (cab, dll, map_path) if not path.is_file()]
    if missing:
        print(f"size: missing {', '.join(missing)} (run ./tovral build)")
        return False
    print(f"size: the shipped control in {package} (1 KB = 1000 bytes)")
    report_targets(cab, dll)
    holds = cab_holds(cab, dll)
    print(f"  the cabinet holds the shipped DLL: {'yes' if holds else 'NO'}")
    report_sections(dll)
    report_contributors(map_path, top)
    return holds


def add_arguments(parser):
    parser.add_argument("--top", type=int, default=15,
                        help="how many libraries and files to list as the largest contributors")


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    add_arguments(parser)
    args = parser.parse_args(argv)
    return 0 if run(BUILD_DIR, args.top) else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
