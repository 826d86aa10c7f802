"""Filters: which frames a socket hands out, built from tests on the header and the tuples with &, | and ~."""

from __future__ import annotations

import builtins
import weakref
from dataclasses import dataclass

from . import _native as n
from .errors import error_for, fail, invalid
from .packet import Packet
from .values import Location, NodeId, TupleType, dotted, type_code, type_name


@dataclass(frozen=True)
class _Test:
    """One element of a chain: a type word and its argument (raw bytes, or a dotted pattern)."""

    kind: int
    arg: bytes
    negated: bool = False


@dataclass(frozen=True)
class _Join:
    """Two filters joined by the library's AND or OR of chains."""

    concat: int
    left: _Test | _Join
    right: _Test | _Join


def _negated(node: _Test | _Join) -> _Test | _Join:
    # The library negates single tests only: not (a and b) = (not a) or (not b),
    # not (a or b) = (not a) and (not b).
    if isinstance(node, _Test):
        return _Test(node.kind, node.arg, not node.negated)
    other = n.FILTER_CONCAT_OR if node.concat == n.FILTER_CONCAT_AND else n.FILTER_CONCAT_AND
    return _Join(other, _negated(node.left), _negated(node.right))


class Filter:
    """A test a packet passes or not, evaluated by the library's filter chains.

    Make one with ``Filter.node_id``, ``Filter.location`` or ``Filter.type``
    and join them: ``a & b`` (both), ``a | b`` (either), ``~a`` (not). A
    negation reaches the single tests through De Morgan's laws, since the
    library negates tests, not chains. ``f.matches(packet)`` tells whether a
    packet passes; a socket whose ``filter`` is set hands out only the frames
    that pass."""

    __slots__ = ("_node", "_chain", "__weakref__")

    def __init__(self, node: _Test | _Join) -> None:
        self._node = node
        self._chain = 0

    @classmethod
    def node_id(cls, pattern: str | NodeId) -> Filter:
        """Frames from this node, or from the nodes a dotted pattern matches:
        ``"1.1.1.1.10.?.*"`` (``?`` any one number, ``*`` all that follow;
        fewer numbers than 8 compare only those)."""
        return cls._single(n.FILTER_TYPE_ID, pattern, NodeId)

    @classmethod
    def location(cls, pattern: str | Location) -> Filter:
        """Frames from this location, or from the locations a dotted pattern of up to 44 numbers matches."""
        return cls._single(n.FILTER_TYPE_LOCATION, pattern, Location)

    @classmethod
    def type(cls, kind: TupleType, at: int | None = None) -> Filter:
        """Frames with a tuple of this type; with ``at``, at that 0-based position."""
        code = type_code(kind)
        if at is None:
            return cls(_Test(n.FILTER_TYPE_ACL, code))
        if not 0 <= at <= 255:
            invalid(f"a tuple position is 0 to 255, not {at}")
        return cls(_Test(n.FILTER_TYPE_ACL_POSITION, code + bytes((at,))))

    @classmethod
    def _single(cls, kind: int, value: object, value_type: builtins.type) -> Filter:
        if isinstance(value, value_type):
            return cls(_Test(kind, bytes(value)))  # type: ignore[call-overload]
        if not isinstance(value, str):
            raise TypeError(f"expected a {value_type.__name__} or a dotted pattern, got {type(value).__name__}")
        fields = value.split(".")
        if (len(fields) > (8 if kind == n.FILTER_TYPE_ID else 44) or "*" in fields[:-1]
                or not all(f in ("?", "*") or (f.isascii() and f.isdigit() and len(f) <= 3 and int(f) <= 255) for f in fields)):
            invalid(f"not a pattern of dotted numbers 0 to 255, '?' and a last '*': {value!r}")
        return cls(_Test(kind | n.FILTER_MODE_WILDCARD, value.encode("ascii") + b"\0"))

    def __and__(self, other: Filter) -> Filter:
        if not isinstance(other, Filter):
            return NotImplemented
        return Filter(_Join(n.FILTER_CONCAT_AND, self._node, other._node))

    def __or__(self, other: Filter) -> Filter:
        if not isinstance(other, Filter):
            return NotImplemented
        return Filter(_Join(n.FILTER_CONCAT_OR, self._node, other._node))

    def __invert__(self) -> Filter:
        return Filter(_negated(self._node))

    def chain(self) -> int:
        """The id of the library's chain of this filter, made at the first use."""
        if self._chain == 0:
            self._chain = self._build(self._node)
            weakref.finalize(self, n.lib.n_filter_destroy, self._chain)
        return self._chain

    @staticmethod
    def _build(node: _Test | _Join) -> int:
        """A new chain of the library for a filter; the caller destroys it."""
        lib = n.lib
        if isinstance(node, _Join):
            left = Filter._build(node.left)
            try:
                right = Filter._build(node.right)
            except BaseException:
                lib.n_filter_destroy(left)
                raise
            # A join consumes the right chain; when it fails, both stay as they were.
            joined = lib.n_filter_add(left, n.FILTER_TYPE_FILTER | node.concat, lib.n_filter_arg(right))
            if joined < 0:
                error = error_for(n.errno(), "cannot join filters")
                lib.n_filter_destroy(right)
                lib.n_filter_destroy(left)
                raise error
            return joined
        chain = lib.n_filter_create(None)
        if chain < 0:
            fail("cannot create a filter chain")
        if lib.n_filter_add(chain, node.kind | (n.FILTER_MODE_NOT if node.negated else 0), node.arg) < 0:
            error = error_for(n.errno(), f"filter test {node.arg.rstrip(bytes(1))!r} refused")
            lib.n_filter_destroy(chain)
            raise error
        return chain

    def matches(self, packet: Packet) -> bool:
        """True when the packet passes; TypeError for anything but a Packet."""
        if not isinstance(packet, Packet):
            raise TypeError(f"expected a Packet, got {type(packet).__name__}")
        record = packet._record()
        try:
            return self._passes_record(record)
        finally:
            n.lib.n_pkt_free(record)

    passes = matches

    def _passes_record(self, record: int) -> bool:
        """Whether a packet record of the library passes (the record stays the caller's)."""
        result = n.lib.n_filter_apply(self.chain(), record)
        if result < 0:
            fail("cannot apply the filter")
        return result == 1

    def __repr__(self) -> str:
        return f"Filter({_text(self._node)})"


def _text(node: _Test | _Join) -> str:
    """A filter as the Python expression that makes it."""
    if isinstance(node, _Join):
        return f"({_text(node.left)} {'&' if node.concat == n.FILTER_CONCAT_AND else '|'} {_text(node.right)})"
    kind = node.kind & 0xFF
    if node.kind & n.FILTER_MODE_WILDCARD:
        value = repr(node.arg[:-1].decode())
    elif kind in (n.FILTER_TYPE_ACL, n.FILTER_TYPE_ACL_POSITION):
        value = repr(type_name(node.arg[:2])) + (f", at={node.arg[2]}" if len(node.arg) == 3 else "")
    else:
        value = repr(dotted(node.arg))
    name = {n.FILTER_TYPE_ID: "node_id", n.FILTER_TYPE_LOCATION: "location"}.get(kind, "type")
    return ("~" if node.negated else "") + f"Filter.{name}({value})"
