"""libnimbet from Python: frames, tuples, sockets, filters and fragmented transfers for sensor-node networks.

Blocking::

    with nimbet.Socket(47000) as sock:
        sock.send(nimbet.Packet([("msg", b"hello")]))
        frame = sock.recv(timeout=1.0)

asyncio (``nimbet.open`` is also awaitable: ``sock = await nimbet.open(47000)``)::

    async with nimbet.open(47000) as sock:
        async for frame in sock:
            ...

``python3 -m nimbet`` listens, sends and moves files from the command line.
"""

from ._native import VERSION as __version__
from .errors import (
    AlreadyBound,
    AlreadyBoundError,
    BadFrame,
    BadFrameError,
    Error,
    InvalidArgument,
    InvalidArgumentError,
    NoInterface,
    NoInterfaceError,
    NoSuchEntry,
    NoSuchEntryError,
    NotAcknowledged,
    NotAcknowledgedError,
    NotBound,
    NotBoundError,
    NotFound,
    NotFoundError,
    OutOfMemory,
    OutOfMemoryError,
    PacketFull,
    PacketFullError,
    ProtocolError,
    SocketClosed,
    SocketClosedError,
    TimedOut,
    TimedOutError,
    TransferAborted,
    TransferAbortedError,
    TransferBusy,
    TransferBusyError,
)
from .filter import Filter
from .packet import Packet
from .socket import Socket, Stats
from .values import Location, NodeId
from .aio import AsyncSocket, open

# `open` stays out: `from nimbet import *` must not hide the builtin open().
__all__ = [
    "AlreadyBoundError", "AsyncSocket", "BadFrameError", "Error", "Filter", "InvalidArgumentError", "Location",
    "NoInterfaceError", "NoSuchEntryError", "NodeId", "NotAcknowledgedError", "NotBoundError", "NotFoundError",
    "OutOfMemoryError", "Packet", "PacketFullError", "ProtocolError", "Socket", "SocketClosedError", "Stats",
    "TimedOutError", "TransferAbortedError", "TransferBusyError",
    # the names of earlier versions
    "AlreadyBound", "BadFrame", "InvalidArgument", "NoInterface", "NoSuchEntry", "NotAcknowledged", "NotBound",
    "NotFound", "OutOfMemory", "PacketFull", "SocketClosed", "TimedOut", "TransferAborted", "TransferBusy",
]
