"""The platform tag of a wheel that carries the module: the oldest manylinux
whose system libraries the module can run on, read from the symbol versions
the module needs (ELF .gnu.version_r) and the libraries it links.

    python3 wheel_tag.py MODULE          prints the tag
    python3 wheel_tag.py --check WHEEL   checks the wheel's tag against its module

setup.py tags the wheel with it; the check fails for a wheel whose tag
promises more systems than its module runs on (such as linux_x86_64, which
pip also installs on musl and on older glibc), or fewer."""

from __future__ import annotations

import re
import struct
import sys
import zipfile
from pathlib import Path

# What each manylinux level's system provides beyond glibc itself: the
# newest libstdc++ and C++ ABI symbol versions (the GCC of its reference
# distribution), and the libraries a wheel may link from the system.
LIBSTDCXX = {  # glibc minor: (GLIBCXX_3.4.N, CXXABI_1.3.N)
    17: (19, 7), 24: (22, 11), 27: (24, 11), 28: (25, 11), 31: (28, 12), 34: (29, 13), 35: (30, 13), 36: (30, 13),
}
SYSTEM_LIBRARIES = {"libc.so.6", "libm.so.6", "libdl.so.2", "librt.so.1", "libpthread.so.0", "libstdc++.so.6",
                    "libgcc_s.so.1", "ld-linux-x86-64.so.2", "ld-linux-aarch64.so.1"}
MACHINES = {62: "x86_64", 183: "aarch64"}

SHT_DYNAMIC, SHT_GNU_VERNEED = 6, 0x6FFFFFFE
DT_NEEDED = 1


def read_elf(data: bytes) -> tuple[str, set[str], dict[str, set[tuple[int, ...]]]]:
    """The machine, the libraries linked (DT_NEEDED) and the symbol versions needed, by prefix (GLIBC: {(2, 34), ...})."""
    if data[:4] != b"\x7fELF" or data[4] != 2 or data[5] != 1:
        raise ValueError("not a 64-bit little-endian ELF file")
    machine = MACHINES.get(struct.unpack_from("<H", data, 18)[0], "unknown")
    shoff, = struct.unpack_from("<Q", data, 0x28)
    shentsize, shnum = struct.unpack_from("<HH", data, 0x3A)
    sections = [struct.unpack_from("<IIQQQQIIQQ", data, shoff + i * shentsize) for i in range(shnum)]

    def text(strtab: int, offset: int) -> str:
        start = sections[strtab][4] + offset
        return data[start:data.index(b"\0", start)].decode()

    needed: set[str] = set()
    versions: dict[str, set[tuple[int, ...]]] = {}
    for _name, kind, _flags, _addr, offset, size, link, _info, _align, entsize in sections:
        if kind == SHT_DYNAMIC:
            for at in range(offset, offset + size, entsize or 16):
                tag, value = struct.unpack_from("<qQ", data, at)
                if tag == DT_NEEDED:
                    needed.add(text(link, value))
        elif kind == SHT_GNU_VERNEED:
            at = offset
            while True:
                _version, count, _file, aux, following = struct.unpack_from("<HHIII", data, at)
                entry = at + aux
                for _ in range(count):
                    _hash, _flags, _other, name, next_aux = struct.unpack_from("<IHHII", data, entry)
                    found = re.fullmatch(r"([A-Z]+)_([0-9.]+)", text(link, name))
                    if found:
                        versions.setdefault(found.group(1), set()).add(tuple(map(int, found.group(2).split("."))))
                    entry += next_aux
                if not following:
                    break
                at += following
    return machine, needed, versions


def tag_of(data: bytes) -> str:
    """The manylinux tag of a module's bytes; ValueError when no manylinux level fits it."""
    machine, needed, versions = read_elf(data)
    foreign = needed - SYSTEM_LIBRARIES
    if foreign:
        raise ValueError(f"the module links libraries no manylinux system promises: {sorted(foreign)}")
    glibc = max(versions.get("GLIBC", {(2, 17)}))
    if glibc[0] != 2:
        raise ValueError(f"glibc {glibc}?")
    glibcxx = max(versions.get("GLIBCXX", {(3, 4, 0)}))[2:] or (0,)
    cxxabi = max(versions.get("CXXABI", {(1, 3, 0)}))[2:] or (0,)
    for level, (cxx, abi) in sorted(LIBSTDCXX.items()):
        if level >= glibc[1] and glibcxx[0] <= cxx and cxxabi[0] <= abi:
            return f"manylinux_2_{level}_{machine}"
    raise ValueError(f"no manylinux level provides GLIBC {glibc}, GLIBCXX 3.4.{glibcxx[0]}, CXXABI 1.3.{cxxabi[0]}")


def check_wheel(wheel: Path) -> str:
    """The wheel's tag, after checking it is the tag of the module it carries."""
    with zipfile.ZipFile(wheel) as z:
        module = z.read("nimbet/libnimbetJava.so")
        meta = next(name for name in z.namelist() if name.endswith(".dist-info/WHEEL"))
        tags = [line.split(": ", 1)[1] for line in z.read(meta).decode().splitlines() if line.startswith("Tag: ")]
    expected = tag_of(module)
    in_name = wheel.name.removesuffix(".whl").split("-")[-1]
    for where, tag in [("file name", in_name)] + [("WHEEL metadata", t.split("-")[-1]) for t in tags]:
        if tag != expected:
            raise SystemExit(f"{wheel.name}: its {where} says {tag}, its module needs {expected}")
    return expected


if __name__ == "__main__":
    if sys.argv[1:2] == ["--check"]:
        print(check_wheel(Path(sys.argv[2])))
    else:
        print(tag_of(Path(sys.argv[1]).read_bytes()))
