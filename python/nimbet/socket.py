"""The blocking socket: each call returns when its work is done, or raises."""

from __future__ import annotations

import threading
import time
from collections.abc import Callable
from types import TracebackType
from typing import Any, TypeVar

from . import _native as n
from ._node import EMPTY, HANDLED, WAIT_SLICE_MS, Node, Stats, StrPath, wait_ms
from ._ops import Operation, Progress
from .errors import SocketClosedError
from .packet import Packet
from .values import NodeId, NodeIdLike, TupleType

__all__ = ["Socket", "Stats"]

R = TypeVar("R")
F = TypeVar("F", bound=Callable[..., Any])

LATE_READS = 64  # datagrams a wait that has run out may still take, when they are there already


def documented_by(start: Callable[..., Any]) -> Callable[[F], F]:
    """Gives a public method the docstring of the operation it drives."""

    def give(method: F) -> F:
        method.__doc__ = start.__doc__
        return method

    return give


# Datagrams that an operation's wait reads at most, one after the other,
# before it looks at the socket's events and its own time again.
DRAIN_AT_MOST = 64


class Socket(Node):
    """A node of the sensor network on a UDP port.

    ``Socket(47000)`` sends to the broadcast address of every local interface
    and receives on every address. ``Socket(47000, local="127.0.0.1",
    dest="127.255.255.255")`` is known by one local address (its default
    identifier is 1.1.1.1 followed by it) and sends to one destination. Its
    frames carry ``node_id`` and ``location``. The socket binds its port when
    it is made, and acknowledges requests addressed to it (``autoack``).

    Use it as a context manager, or call ``close()``; a socket collected
    unclosed is closed with a ResourceWarning. Several threads may use one
    socket (say, one receiving while another sends).

    Frames that arrive while a call waits for something else (an
    acknowledgement, a transfer) are kept for the next ``recv``, up to
    ``queue`` of them. A frame this node acknowledged is never dropped. With
    the queue full, a frame nobody acknowledged that arrives during such a
    call is dropped (counted in ``stats().queue_drops``, the first of a burst
    logged by the ``nimbet`` logger); acknowledged frames are kept beyond the
    limit up to twice ``queue``, and past that the call stops reading until
    another thread takes frames (the kernel's buffer holds what comes, and
    senders resend their requests)."""

    def _prepare(self) -> None:
        self._room = threading.Event()

    def __enter__(self) -> Socket:
        return self

    def __exit__(self, kind: type[BaseException] | None, error: BaseException | None, tb: TracebackType | None) -> None:
        self.close()

    def recv(self, timeout: float | None = None) -> Packet | None:
        """The next frame for this node, waiting at most ``timeout`` seconds
        (None: as long as it takes; 0: only what is there now); None when
        none came in time. Receiving also answers requests and drives
        transfers. Raises SocketClosedError when the socket is closed meanwhile."""
        if self._pending:
            return self._take()
        if timeout is None:
            deadline, ms = None, WAIT_SLICE_MS
        else:
            deadline, ms = time.monotonic() + timeout, wait_ms(timeout)
        got = self._receive(ms)
        if got.__class__ is Packet:
            return got  # type: ignore[return-value]
        late = 0
        while True:
            left = None if deadline is None else deadline - time.monotonic()
            if left is not None and left <= 0:
                # Past the deadline only what is there already is read, and not without end.
                if got == EMPTY or late == LATE_READS:
                    return None
                late += 1
            got = self._receive(wait_ms(left))
            if got.__class__ is Packet:
                return got  # type: ignore[return-value]

    def __iter__(self) -> Socket:
        return self

    def __next__(self) -> Packet:
        """Frames as they come, until the socket is closed."""
        try:
            packet = self.recv()
        except SocketClosedError:
            raise StopIteration from None
        assert packet is not None
        return packet

    def _room_made(self) -> None:
        self._room.set()

    def _drive(self, op: Operation[R]) -> R:
        """Receives until the operation ends, keeping the frames that come meanwhile."""
        events = self._events
        try:
            while True:
                events.take()
                if op.poll():
                    break
                left = None if op.deadline is None else op.deadline - time.monotonic()
                if left is not None and left <= 0:
                    op.expire()
                    continue
                if not self._may_read(True):
                    self._wait_for_room(left)
                    continue
                got = self._receive(wait_ms(left))
                # Datagrams the library took (a transfer's parts and their
                # acknowledgements) come one per receive: what is waiting
                # already is read before the events are looked at again.
                drained = 0
                while got == HANDLED and drained < DRAIN_AT_MOST and self._may_read(True):
                    got = self._receive(0)
                    drained += 1
                if got.__class__ is Packet:
                    self._keep(got)  # type: ignore[arg-type]
        except BaseException:
            op.cancel()
            raise
        return op.outcome()

    def _wait_for_room(self, left: float | None) -> None:
        """Waits without reading, serving the library's timers, until another
        thread takes a frame, the operation's time comes or a timer is due."""
        fd = self._open()
        self._room.clear()
        if self._may_read(True):
            return
        n.lib.n_socket_serve_timers(fd)
        timer = n.lib.n_socket_next_timer(fd)
        waits = [WAIT_SLICE_MS / 1000] + ([left] if left is not None else []) + ([timer / 1000] if timer >= 0 else [])
        self._room.wait(max(0.001, min(waits)))

    @documented_by(Node._start_send_acked)
    def send_acked(self, packet: Packet, to: NodeIdLike, *, retries: int | None = None,
                   ack_timeout: float | None = None, timeout: float | None = None) -> None:
        self._drive(self._start_send_acked(packet, to, retries=retries, ack_timeout=ack_timeout, timeout=timeout))

    @documented_by(Node._start_send_buffer)
    def send_buffer(self, data: bytes | bytearray | memoryview, to: NodeIdLike, type: TupleType = "fil", *,
                    progress: Progress | None = None, timeout: float | None = None) -> int:
        return self._drive(self._start_send_buffer(data, to, type, progress=progress, timeout=timeout))

    @documented_by(Node._start_send_file)
    def send_file(self, path: StrPath, to: NodeIdLike, type: TupleType = "fil", *,
                  progress: Progress | None = None, timeout: float | None = None) -> int:
        return self._drive(self._start_send_file(path, to, type, progress=progress, timeout=timeout))

    @documented_by(Node._start_recv_file)
    def recv_file(self, path: StrPath, from_: NodeIdLike | None = None, *, progress: Progress | None = None,
                  timeout: float | None = None) -> NodeId:
        return self._drive(self._start_recv_file(path, from_, progress=progress, timeout=timeout))

    @documented_by(Node._start_recv_buffer)
    def recv_buffer(self, from_: NodeIdLike | None = None, *, progress: Progress | None = None,
                    timeout: float | None = None) -> tuple[NodeId, bytes]:
        return self._drive(self._start_recv_buffer(from_, progress=progress, timeout=timeout))
