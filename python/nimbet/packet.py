"""Packets: a mutable sequence of (type, bytes) tuples with the header fields of a frame."""

from __future__ import annotations

import ctypes
import socket
import struct
from collections.abc import Iterable, MutableSequence
from typing import Any, Union, overload

from . import _native as n
from .errors import BadFrameError, InvalidArgumentError, PacketFullError, fail
from .values import Location, LocationLike, NodeId, NodeIdLike, TupleType, _names, location, node_id, type_code, type_name

Data = Union[bytes, bytearray, memoryview, str]
"""A tuple's data: bytes, or text (written as UTF-8)."""
Item = tuple[TupleType, bytes]

TUPLE_AREA = 64  # what the tuples of one frame may take, 3 bytes per tuple header included
CODE_CAD = b"\x6c\x80"  # the addressed node
CODE_CAC = b"\x66\x40"  # acknowledgement control: control byte (bit 0: a reply), sequence byte
CODE_ACM = b"\xa5\x0e"  # marks an acknowledgement
CODE_CAT = b"\xd0\x80"  # a transfer's descriptor
CODE_CAR = b"\xc4\x00"  # a request's identifier (between nodes of this library)
# The tuples the library adds and reads for addressing, acknowledgements and
# transfers: a received packet keeps them apart from its data.
CONTROL_CODES = frozenset((CODE_CAD, CODE_CAC, CODE_ACM, CODE_CAT, CODE_CAR))


def _data(value: Data) -> bytes:
    if isinstance(value, str):
        value = value.encode()
    elif not isinstance(value, bytes):
        if not isinstance(value, (bytearray, memoryview)):
            raise TypeError(f"tuple data: expected bytes or str, got {type(value).__name__}")
        value = bytes(value)
    if len(value) > 255:
        raise PacketFullError(n.N_EPROTO, f"a tuple holds at most 255 bytes, not {len(value)}")
    return value


class _Record:
    """A packet record of the library that holds a Packet, kept while the
    Packet stays as it is so that sending it again costs one call. A send
    marks the header fields it filled in as set; restoring the flags the
    record had before lets the next send fill them in again."""

    __slots__ = ("address", "pointer", "flags", "seq", "base")

    def __init__(self, address: int) -> None:
        self.address = address
        self.pointer = ctypes.c_void_p(address)
        self.flags = ctypes.c_uint32.from_address(address + n.OFF_FLAGS)
        self.seq = ctypes.c_uint8.from_address(address + n.OFF_SEQ)
        self.base = self.flags.value

    def __del__(self) -> None:
        n.lib.n_pkt_free(self.address)


class Packet(MutableSequence[Item]):
    """The content of one frame: tuples ``(type, data)`` in order, where type
    is a 3-character name such as ``"tmp"`` and data are bytes, together at
    most 64 bytes (3 per tuple and its data); and the header fields ``src``
    (a NodeId), ``seq`` (0 to 255) and ``location``. A header field left as
    None is filled in by the socket that sends the packet.

    ``bytes(packet)`` is the frame (unset fields as zeros) and
    ``Packet.parse(frame)`` reads one. Received packets also tell ``sender``
    (address and port), ``to`` (the node a "cad" tuple addresses) and
    ``acked`` (this node acknowledged the frame). The tuples that the library
    adds for addressing, acknowledgements and transfers ("cad", "cac",
    "acm", "cat", "car") are not among a received packet's tuples: ``control``
    lists them."""

    __slots__ = ("_items", "_codes", "_size", "_src", "_seq", "_loc", "_sender", "_flags", "_is_ack", "_sent",
                 "_control")

    def __init__(
        self,
        tuples: Iterable[tuple[TupleType, Data]] = (),
        *,
        src: NodeIdLike | None = None,
        seq: int | None = None,
        location: LocationLike | None = None,
    ) -> None:
        if isinstance(tuples, (str, bytes, bytearray, memoryview)) or not isinstance(tuples, Iterable):
            raise TypeError(f"tuples: expected an iterable of (type, data) pairs, got {type(tuples).__name__}")
        self._sent: _Record | None = None
        self._control: list[tuple[bytes, bytes]] = []
        self._items: list[Item] = []
        self._codes: list[bytes] = []
        self._size = 0
        self._sender = b""
        self._flags = 0
        self._is_ack = False
        self.src = src  # type: ignore[assignment]
        self.seq = seq
        self.location = location  # type: ignore[assignment]
        for pair in tuples:
            if not isinstance(pair, tuple) or len(pair) != 2:
                raise TypeError(f"a tuple is a (type, data) pair, not {pair!r:.40}")
            self.append(*pair)

    # ------------------------------------------------------------ header

    @property
    def src(self) -> NodeId | None:
        """The sending node's identifier."""
        return None if self._src is None else NodeId._of(self._src)

    @src.setter
    def src(self, value: NodeIdLike | None) -> None:
        self._src = None if value is None else bytes(node_id(value))
        self._sent = None

    @property
    def seq(self) -> int | None:
        """The frame's sequence number, 0 to 255."""
        return self._seq

    @seq.setter
    def seq(self, value: int | None) -> None:
        if value is not None and (not isinstance(value, int) or isinstance(value, bool)):
            raise TypeError(f"seq: expected int or None, got {type(value).__name__}")
        if value is not None and not 0 <= value <= 255:
            raise ValueError(f"a sequence number is 0 to 255, not {value}")
        self._seq = value
        self._sent = None

    @property
    def location(self) -> Location | None:
        return None if self._loc is None else Location._of(self._loc)

    @location.setter
    def location(self, value: LocationLike | None) -> None:
        self._loc = None if value is None else bytes(location(value))
        self._sent = None

    @property
    def sender(self) -> tuple[str, int] | None:
        """The IPv4 address and port a received frame came from."""
        if not self._sender or self._sender[:2] == b"\0\0":
            return None
        return socket.inet_ntoa(self._sender[4:8]), int.from_bytes(self._sender[2:4], "big")

    @property
    def to(self) -> NodeId | None:
        """The node this frame is addressed to (its first "cad" tuple), or None for a frame for everybody."""
        found = self._control_data(CODE_CAD)
        if found is None:
            found = self.get(CODE_CAD)  # a packet made here may carry one of its own
        return NodeId._of(found) if found is not None and len(found) == 8 else None

    @property
    def acked(self) -> bool:
        """True for a received request that this node acknowledged."""
        return bool(self._flags & n.PACKET_ACK_SENT)

    @property
    def control(self) -> list[tuple[TupleType, bytes]]:
        """The control tuples of a received frame ("cad", "cac", "acm",
        "cat", "car"), in order: what the library used to address, acknowledge or
        carry it. Empty for a packet made here."""
        return [(type_name(code), data) for code, data in self._control]

    def _control_data(self, code: bytes) -> bytes | None:
        for c, data in self._control:
            if c == code:
                return data
        return None

    # ------------------------------------------------------------ tuples

    @overload
    def __getitem__(self, index: int) -> Item: ...

    @overload
    def __getitem__(self, index: slice) -> list[Item]: ...

    def __getitem__(self, index: int | slice) -> Item | list[Item]:
        return self._items[index]

    @overload
    def __setitem__(self, index: int, value: tuple[TupleType, Data]) -> None: ...

    @overload
    def __setitem__(self, index: slice, value: Iterable[tuple[TupleType, Data]]) -> None: ...

    def __setitem__(self, index: int | slice, value: Any) -> None:
        items = list(self._items)
        if isinstance(index, slice):
            items[index] = [(kind, _data(data)) for kind, data in value]
        else:
            kind, data = value
            items[index] = (kind, _data(data))
        self._replace(items)

    def __delitem__(self, index: int | slice) -> None:
        del self._items[index]
        del self._codes[index]
        self._size = sum(3 + len(data) for _, data in self._items)
        self._sent = None

    def __len__(self) -> int:
        return len(self._items)

    def insert(self, index: int, value: tuple[TupleType, Data]) -> None:
        kind, data = value
        code = type_code(kind)
        data = _data(data)
        if self._size + 3 + len(data) > TUPLE_AREA:
            raise PacketFullError(n.N_EPROTO, f"a {len(data)}-byte tuple does not fit the {TUPLE_AREA - self._size} bytes left")
        self._items.insert(index, (kind, data))
        self._codes.insert(index, code)
        self._size += 3 + len(data)
        self._sent = None

    def append(self, kind: TupleType | tuple[TupleType, Data], data: Data | None = None) -> None:
        """Appends a tuple: ``append("tmp", b"\\x15")`` or ``append(("tmp", b"\\x15"))``.

        Raises PacketFullError when it would not fit the 64 bytes of a frame's tuples."""
        if data is None and isinstance(kind, tuple):
            self.insert(len(self._items), kind)
        else:
            self.insert(len(self._items), (kind, b"" if data is None else data))  # type: ignore[arg-type]

    def get(self, kind: TupleType, default: bytes | None = None) -> bytes | None:
        """The data of the first tuple of this type, or ``default``."""
        code = type_code(kind)
        for c, (_, data) in zip(self._codes, self._items):
            if c == code:
                return data
        return default

    def _replace(self, items: list[Item]) -> None:
        codes = [type_code(kind) for kind, _ in items]
        size = sum(3 + len(data) for _, data in items)
        if size > TUPLE_AREA:
            raise PacketFullError(n.N_EPROTO, f"the tuples would take {size} bytes, more than {TUPLE_AREA}")
        self._items, self._codes, self._size = items, codes, size
        self._sent = None

    # ------------------------------------------------------------ frames

    def __bytes__(self) -> bytes:
        body = b"".join(code + bytes((len(data),)) + data for code, (_, data) in zip(self._codes, self._items))
        frame = bytearray(
            b"\x02"
            + (self._loc or bytes(44))
            + (self._src or bytes(8))
            + bytes((self._seq or 0,))
            + body
            + b"\0\0"
        )
        n.lib.n_util_crc16_append((ctypes.c_ubyte * len(frame)).from_buffer(frame), len(frame))
        return bytes(frame)

    @classmethod
    def parse(cls, frame: bytes | bytearray | memoryview) -> Packet:
        """The packet of a frame; BadFrameError when it is short, of another format,
        fails its CRC or holds malformed tuples."""
        if not isinstance(frame, (bytes, bytearray, memoryview)):
            raise TypeError(f"expected bytes, got {type(frame).__name__}")
        record = n.lib.n_pkt_alloc()
        if not record:
            fail("no packet record")
        try:
            data = bytes(frame)
            if n.lib.n_pkt_parse(record, data, len(data)) < 0:
                fail("not a frame", BadFrameError)
        finally:
            n.lib.n_pkt_free(record)
        return from_frame(bytes(FRAME_AT) + data, FRAME_AT + len(data))

    def _sendable(self) -> _Record:
        """The record sends of this packet use, made at the first one."""
        if not self._items:
            raise InvalidArgumentError(n.N_EINVAL, "a frame carries at least one tuple")
        self._sent = _Record(self._record())
        return self._sent

    def _record(self) -> int:
        """A new packet record of the library holding this packet; the caller frees it."""
        lib = n.lib
        record = lib.n_pkt_alloc()
        if not record:
            fail("no packet record")
        try:
            add = lib.n_acl_add
            for code, (_, data) in zip(self._codes, self._items):
                if add(record, code, data, len(data), 0) < 0:
                    fail("cannot add a tuple", PacketFullError)
            if self._src is not None:
                lib.n_pkt_set_srcid(record, self._src)
            if self._loc is not None:
                lib.n_pkt_set_location(record, self._loc)
            if self._seq is not None:
                lib.n_pkt_set_seq(record, self._seq)
        except BaseException:
            lib.n_pkt_free(record)
            raise
        return record

    # ------------------------------------------------------------ comparison

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, Packet):
            return NotImplemented
        return (self._codes, [d for _, d in self._items], self._src, self._seq, self._loc) == (
            other._codes,
            [d for _, d in other._items],
            other._src,
            other._seq,
            other._loc,
        )

    __hash__ = None  # type: ignore[assignment]

    def __repr__(self) -> str:
        head = "".join(
            f", {name}={value!r}" for name, value in (("src", self.src), ("seq", self._seq)) if value is not None
        )
        return f"Packet({self._items!r}{head})"


# A frame as a receive hands it over, in one buffer: the packet's flags, the
# sender (a sockaddr_in: family, port, address, padding), then the frame's
# bytes (format, location, source, sequence, tuples, CRC).
FLAGS_AT, SENDER_AT, FRAME_AT = 0, 4, 20
_TUPLES_AT = FRAME_AT + n.PACKET_HEADER_SIZE
# A frame holds one tuple at least (the library refuses others): the header
# and the first tuple are read in one step, for each length of its data
# (flags, sender, location, source, sequence, type, data); each further
# tuple (type, length, data) in one step once its length byte is known.
_FIRST = [struct.Struct(f"=I8s8xx44s8sB2sx{length}s").unpack_from for length in range(256)]
_TUPLE = [struct.Struct(f"2sx{length}s").unpack_from for length in range(256)]
_new_packet = object.__new__
_CONTROL = CONTROL_CODES
_NO_CONTROL: list[tuple[bytes, bytes]] = []  # shared by the packets that carry none; never changed


def from_frame(buf: bytes | bytearray, end: int) -> Packet:
    """The Packet of the frame in ``buf[FRAME_AT:end]``, whose checks passed
    already (it parsed: its tuples fill it up to the CRC), with the flags and
    the sender before it."""
    p = _new_packet(Packet)
    p._sent = None
    items: list[Item] = []
    codes: list[bytes] = []
    control = _NO_CONTROL
    size = 0
    is_ack = False
    end -= 2  # the CRC
    length = buf[_TUPLES_AT + 2]
    p._flags, p._sender, p._loc, p._src, p._seq, code, data = _FIRST[length](buf)
    at = _TUPLES_AT + 3 + length
    while True:
        if code in _CONTROL:
            if code == CODE_CAC and length and data[0] & 1:
                is_ack = True
            if control is _NO_CONTROL:
                control = []
            control.append((code, data))
        else:
            items.append((_names.get(code) or type_name(code), data))
            codes.append(code)
            size += 3 + length
        if at >= end:
            break
        length = buf[at + 2]
        code, data = _TUPLE[length](buf, at)
        at += 3 + length
    p._items, p._codes, p._size, p._is_ack, p._control = items, codes, size, is_ack, control
    return p
