"""A private network namespace for the calling process: loopback up, a veth pair
when asked, and a refusal to go on beside any interface it did not make."""

from __future__ import annotations

import ctypes
import errno
import fcntl
import os
import socket
import struct
import subprocess
import sys

CLONE_NEWUSER = 0x10000000
CLONE_NEWNET = 0x40000000
SIOCGIFFLAGS, SIOCSIFFLAGS, IFF_UP = 0x8913, 0x8914, 0x1
VETH = ("nimbet0", "nimbet1")

_own = {"lo"}


def refuse(why: str) -> None:
    sys.stderr.write(
        f"\n*** nimbet Python tests: REFUSING TO RUN: {why} ***\n"
        "*** socket tests run only inside a private network namespace ***\n\n"
    )
    sys.stderr.flush()
    os._exit(3)


def _write(path: str, text: str) -> bool:
    try:
        with open(path, "w") as f:
            f.write(text)
        return True
    except OSError:
        return False


def enter_private_netns(veth: bool = False) -> None:
    """Moves the process (which must have one thread) into a new network
    namespace; with `veth`, nimbet0 (10.77.0.1/24) and its peer nimbet1."""
    libc = ctypes.CDLL(None, use_errno=True)
    if libc.unshare(CLONE_NEWNET) != 0:
        if ctypes.get_errno() != errno.EPERM:
            refuse(f"unshare(CLONE_NEWNET): {os.strerror(ctypes.get_errno())}")
        # Unprivileged: a user namespace in which we are root owns the network namespace.
        uid, gid = os.getuid(), os.getgid()
        if libc.unshare(CLONE_NEWUSER | CLONE_NEWNET) != 0:
            refuse(f"unshare(CLONE_NEWUSER | CLONE_NEWNET): {os.strerror(ctypes.get_errno())}")
        _write("/proc/self/setgroups", "deny")
        if not (_write("/proc/self/uid_map", f"0 {uid} 1\n") and _write("/proc/self/gid_map", f"0 {gid} 1\n")):
            refuse("cannot write the user namespace id maps")
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        flags = struct.unpack("16sH14x", fcntl.ioctl(s, SIOCGIFFLAGS, struct.pack("16sH14x", b"lo", 0)))[1]
        fcntl.ioctl(s, SIOCSIFFLAGS, struct.pack("16sH14x", b"lo", flags | IFF_UP))
    if veth:
        for command in (
            f"link add {VETH[0]} type veth peer name {VETH[1]}",
            f"addr add 10.77.0.1/24 broadcast 10.77.0.255 dev {VETH[0]}",
            f"link set {VETH[0]} up",
            f"link set {VETH[1]} up",
        ):
            if subprocess.run(["ip", *command.split()], capture_output=True).returncode != 0:
                refuse(f"ip {command} failed (package iproute2)")
        _own.update(VETH)
    require_only_own_interfaces()


def require_only_own_interfaces() -> None:
    found = {name for _, name in socket.if_nameindex()}
    if found - _own:
        refuse(f"network interfaces this process did not create: {sorted(found - _own)}")
