"""libnimbet from Python: frames, tuples, sockets, filters and fragmented transfers for sensor-node networks.

Blocking::

    with nimbet.Socket(47000) as sock:
        sock.send(nimbet.Packet([("msg", b"hello")]))
        frame = sock.recv(timeout=1.0)

asyncio::

    async with nimbet.open(47000) as sock:
        async for frame in sock:
            ...
"""

from ._native import VERSION as __version__
from .errors import (
    AlreadyBound,
    BadFrame,
    Error,
    InvalidArgument,
    NoInterface,
    NoSuchEntry,
    NotAcknowledged,
    NotBound,
    NotFound,
    OutOfMemory,
    PacketFull,
    ProtocolError,
    SocketClosed,
    TimedOut,
    TransferAborted,
    TransferBusy,
)
from .filter import Filter
from .packet import Packet
from .socket import Socket, Stats
from .values import Location, NodeId
from .aio import AsyncSocket, open

__all__ = [
    "AlreadyBound", "AsyncSocket", "BadFrame", "Error", "Filter", "InvalidArgument", "Location", "NoInterface",
    "NoSuchEntry", "NodeId", "NotAcknowledged", "NotBound", "NotFound", "OutOfMemory", "Packet", "PacketFull",
    "ProtocolError", "Socket", "SocketClosed", "Stats", "TimedOut", "TransferAborted", "TransferBusy", "open",
]
