"""Value types: node identifiers, locations, tuple types and IPv4 addresses, in their dotted text forms."""

from __future__ import annotations

import ctypes
from collections.abc import Sequence
from typing import Union

from . import _native as n
from .errors import BadFrameError, invalid, wrong_type

ID_LEN = 8
LOCATION_LEN = 44
COORDINATE_MAX = 63000  # the largest value a coordinate byte holds


def decode_dot(text: str, count: int, what: str) -> bytes:
    """The bytes of dotted decimal text of exactly ``count`` numbers, read by
    the library's own decoder; ``count`` 8 also takes 4 numbers a.b.c.d for
    the identifier 1.1.1.1.a.b.c.d."""
    if not isinstance(text, str):
        raise TypeError(f"{what}: expected dotted text, got {type(text).__name__}")
    out = ctypes.create_string_buffer(count)
    # The decoder reads a C string: a NUL would end the text early and leave the rest unread.
    got = -1 if "\0" in text else n.lib.n_util_decode_dot(out, text.encode("ascii", "replace"), count)
    if got == count:
        return out.raw
    if count == ID_LEN and got == 4:
        return b"\x01\x01\x01\x01" + out.raw[:4]
    raise BadFrameError(n.N_EILSEQ, f"{what}: not {count} dotted numbers 0 to 255: {text!r}")


def dotted(raw: bytes) -> str:
    return ".".join(map(str, raw))


class NodeId:
    """The 8-byte identifier of a node. Made from dotted text of 8 numbers, or
    4 numbers a.b.c.d meaning 1.1.1.1.a.b.c.d, or from 8 bytes; ``str()``
    gives the 8 dotted numbers and ``bytes()`` the raw form."""

    __slots__ = ("_raw",)
    _raw: bytes

    def __init__(self, value: NodeIdLike) -> None:
        if isinstance(value, NodeId):
            self._raw = value._raw
        elif isinstance(value, (bytes, bytearray, memoryview)):
            raw = bytes(value)
            if len(raw) != ID_LEN:
                invalid(f"a node identifier has 8 bytes, not {len(raw)}")
            self._raw = raw
        else:
            self._raw = decode_dot(value, ID_LEN, "node identifier")

    @classmethod
    def _of(cls, raw: bytes) -> NodeId:
        node = object.__new__(cls)
        node._raw = raw
        return node

    def __bytes__(self) -> bytes:
        return self._raw

    def __str__(self) -> str:
        return dotted(self._raw)

    def __repr__(self) -> str:
        return f"NodeId('{self}')"

    def __eq__(self, other: object) -> bool:
        return isinstance(other, NodeId) and other._raw == self._raw

    def __hash__(self) -> int:
        return hash(self._raw)


NodeIdLike = Union[NodeId, str, bytes]


def node_id(value: NodeIdLike) -> NodeId:
    return value if isinstance(value, NodeId) else NodeId(value)


class Location:
    """The 44-byte location of a node: 16 root bytes, four node names of up to
    9 characters, coordinates x, y, z (0 to 63000, kept with two significant
    digits) and a deviation byte. Made from dotted text of 44 numbers, from 44
    bytes, or from its parts with ``Location.build``; ``str()`` gives the 44
    dotted numbers."""

    __slots__ = ("_raw",)
    _raw: bytes

    def __init__(self, value: LocationLike) -> None:
        if isinstance(value, Location):
            self._raw = value._raw
        elif isinstance(value, (bytes, bytearray, memoryview)):
            raw = bytes(value)
            if len(raw) != LOCATION_LEN:
                invalid(f"a location has 44 bytes, not {len(raw)}")
            self._raw = raw
        else:
            self._raw = decode_dot(value, LOCATION_LEN, "location")

    @classmethod
    def _of(cls, raw: bytes) -> Location:
        loc = object.__new__(cls)
        loc._raw = raw
        return loc

    @classmethod
    def build(
        cls,
        root: bytes = bytes(16),
        nodes: Sequence[str] = (),
        x: int = 0,
        y: int = 0,
        z: int = 0,
        deviation: int = 0,
    ) -> Location:
        """The location of these parts: root (16 bytes), up to four node names
        (up to 9 characters each, from the 40 characters of tuple types),
        coordinates 0 to 63000 (rounded to what a coordinate byte holds: two
        significant digits) and deviation (0 to 255). Values out of range are
        refused (InvalidArgumentError), never cut or clamped."""
        if not isinstance(root, (bytes, bytearray, memoryview)):
            wrong_type("root", "16 bytes", root)
        if len(root) != 16:
            invalid("a location's root has 16 bytes")
        if isinstance(nodes, (str, bytes)) or not isinstance(nodes, Sequence):
            wrong_type("nodes", "a sequence of names", nodes)
        if len(nodes) > 4 or any(isinstance(name, str) and len(name) > 9 for name in nodes):
            invalid("a location has at most 4 node names of at most 9 characters")
        for name, value, top in (("x", x, COORDINATE_MAX), ("y", y, COORDINATE_MAX), ("z", z, COORDINATE_MAX),
                                 ("deviation", deviation, 255)):
            if not isinstance(value, int) or isinstance(value, bool):
                wrong_type(name, "int", value)
            if not 0 <= value <= top:
                invalid(f"{name} is 0 to {top}, not {value}")
        names = [check_name(name, 9, "node name").encode() for name in nodes] + [None] * (4 - len(nodes))
        out = ctypes.create_string_buffer(LOCATION_LEN)
        n.lib.n_util_location2raw(bytes(root), *names, x, y, z, deviation, out)
        return cls._of(out.raw)

    def _parts(self) -> tuple[bytes, tuple[str, ...], int, int, int, int]:
        root = ctypes.create_string_buffer(16)
        names = [ctypes.create_string_buffer(10) for _ in range(4)]
        x, y, z = ctypes.c_int32(), ctypes.c_int32(), ctypes.c_int32()
        dev = ctypes.c_uint8()
        n.lib.n_util_raw2location(
            root, *names, ctypes.byref(x), ctypes.byref(y), ctypes.byref(z), ctypes.byref(dev), self._raw
        )
        return (root.raw, tuple(b.value.decode().rstrip() for b in names), x.value, y.value, z.value, dev.value)

    @property
    def root(self) -> bytes:
        return self._parts()[0]

    @property
    def nodes(self) -> tuple[str, ...]:
        """The four node names, without their padding spaces."""
        return self._parts()[1]

    @property
    def x(self) -> int:
        return self._parts()[2]

    @property
    def y(self) -> int:
        return self._parts()[3]

    @property
    def z(self) -> int:
        return self._parts()[4]

    @property
    def deviation(self) -> int:
        return self._parts()[5]

    def __bytes__(self) -> bytes:
        return self._raw

    def __str__(self) -> str:
        return dotted(self._raw)

    def __repr__(self) -> str:
        return f"Location('{self}')"

    def __eq__(self, other: object) -> bool:
        return isinstance(other, Location) and other._raw == self._raw

    def __hash__(self) -> int:
        return hash(self._raw)


LocationLike = Union[Location, str, bytes]


def location(value: LocationLike) -> Location:
    return value if isinstance(value, Location) else Location(value)


# ------------------------------------------------------------------ tuple types

# The characters a type name may hold: what the 2-byte code can give back.
_ALPHABET = frozenset("0123456789-/ @abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ")

TupleType = Union[str, bytes]
"""A tuple's type: its 3-character name ("tmp"), or its 2 code bytes for the
codes that no name gives (64000 and up)."""

_codes: dict[str, bytes] = {}
_names: dict[bytes, TupleType] = {}


def check_name(name: str, longest: int, what: str) -> str:
    if not isinstance(name, str):
        raise TypeError(f"{what}: expected str, got {type(name).__name__}")
    if len(name) > longest or not _ALPHABET.issuperset(name):
        invalid(f"{what} {name!r}: up to {longest} of the characters 0-9 a-z - / @ and space")
    return name


def type_code(kind: TupleType) -> bytes:
    """The 2 code bytes of a tuple type (a name of up to 3 characters, or 2 bytes)."""
    code = _codes.get(kind) if isinstance(kind, str) else None
    if code is not None:
        return code
    if isinstance(kind, (bytes, bytearray)):
        if len(kind) != 2:
            invalid("a tuple type code has 2 bytes")
        return bytes(kind)
    check_name(kind, 3, "tuple type")
    out = ctypes.create_string_buffer(2)
    n.lib.n_util_str2acl(kind.encode(), out)
    code = _codes[kind] = out.raw
    return code


def type_name(code: bytes) -> TupleType:
    """The name of 2 code bytes, as the library writes it (lower case) without
    trailing spaces, or the bytes themselves when no name gives them."""
    name = _names.get(code)
    if name is None:
        out = ctypes.create_string_buffer(4)
        n.lib.n_util_acl2str(code, out)
        text = out.value.decode("latin-1").rstrip(" ")
        name = text if type_code_or_none(text) == code else code
        _names[code] = name
    return name


def type_code_or_none(text: str) -> bytes | None:
    try:
        return type_code(text)
    except ValueError:
        return None


# ------------------------------------------------------------------ IPv4 addresses


def ipv4(text: str, what: str) -> int:
    """The 32-bit value of dotted IPv4 text that the library takes: the
    address bytes in network order as they lie in memory."""
    return ctypes.c_uint32.from_buffer_copy(decode_dot(text, 4, what)).value
