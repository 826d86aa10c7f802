"""The test session runs in a network namespace of its own: loopback, and a
veth pair with 10.77.0.1/24 on nimbet0 so that sockets opened with the
defaults broadcast on an interface, as on a real network. Nothing it sends
leaves the namespace; it refuses to run beside any interface it did not make."""

from __future__ import annotations

import ctypes
import errno
import fcntl
import itertools
import os
import socket
import struct
import subprocess
import sys
from pathlib import Path

import pytest

CLONE_NEWUSER = 0x10000000
CLONE_NEWNET = 0x40000000
SIOCGIFFLAGS, SIOCSIFFLAGS, IFF_UP = 0x8913, 0x8914, 0x1
OWN_INTERFACES = {"lo", "nimbet0", "nimbet1"}
ROOT = Path(__file__).resolve().parents[2]


def refuse(why: str) -> None:
    sys.stderr.write(
        f"\n*** nimbet Python tests: REFUSING TO RUN: {why} ***\n"
        "*** socket tests run only inside a private network namespace ***\n\n"
    )
    sys.stderr.flush()
    os._exit(3)


def write(path: str, text: str) -> bool:
    try:
        with open(path, "w") as f:
            f.write(text)
        return True
    except OSError:
        return False


def enter_private_netns() -> None:
    libc = ctypes.CDLL(None, use_errno=True)
    if libc.unshare(CLONE_NEWNET) != 0:
        if ctypes.get_errno() != errno.EPERM:
            refuse(f"unshare(CLONE_NEWNET): {os.strerror(ctypes.get_errno())}")
        # Unprivileged: a user namespace in which we are root owns the network namespace.
        uid, gid = os.getuid(), os.getgid()
        if libc.unshare(CLONE_NEWUSER | CLONE_NEWNET) != 0:
            refuse(f"unshare(CLONE_NEWUSER | CLONE_NEWNET): {os.strerror(ctypes.get_errno())}")
        write("/proc/self/setgroups", "deny")
        if not (write("/proc/self/uid_map", f"0 {uid} 1\n") and write("/proc/self/gid_map", f"0 {gid} 1\n")):
            refuse("cannot write the user namespace id maps")
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        flags = struct.unpack("16sH14x", fcntl.ioctl(s, SIOCGIFFLAGS, struct.pack("16sH14x", b"lo", 0)))[1]
        fcntl.ioctl(s, SIOCSIFFLAGS, struct.pack("16sH14x", b"lo", flags | IFF_UP))
    for command in (
        "link add nimbet0 type veth peer name nimbet1",
        "addr add 10.77.0.1/24 broadcast 10.77.0.255 dev nimbet0",
        "link set nimbet0 up",
        "link set nimbet1 up",
    ):
        if subprocess.run(["ip", *command.split()], capture_output=True).returncode != 0:
            refuse(f"ip {command} failed (package iproute2)")
    require_only_own_interfaces()


def require_only_own_interfaces() -> None:
    found = {name for _, name in socket.if_nameindex()}
    if found - OWN_INTERFACES:
        refuse(f"network interfaces this session did not create: {sorted(found - OWN_INTERFACES)}")


# Before any test module imports nimbet, and while the process has one thread.
enter_private_netns()


@pytest.fixture(autouse=True)
def only_own_interfaces() -> None:
    require_only_own_interfaces()


def pytest_report_header() -> str:
    import nimbet
    import nimbet._native as native

    return f"nimbet {nimbet.__version__} from {Path(nimbet.__file__).parent}, module {native.lib._name}"


_ports = itertools.count(47100)


@pytest.fixture
def port() -> int:
    """A port of its own for each test, so that a test never hears another's frames."""
    return next(_ports)


@pytest.fixture
def tool() -> str:
    """The nimbet tool of this checkout's build (NIMBET_TOOL to name another)."""
    path = os.environ.get("NIMBET_TOOL") or str(ROOT / "build" / "tools" / "nimbet")
    if not os.access(path, os.X_OK):
        pytest.skip(f"no nimbet tool at {path} (set NIMBET_TOOL)")
    return path
