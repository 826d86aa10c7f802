"""The blocking socket: each call returns when its work is done, or raises."""

from __future__ import annotations

import functools
import time
from collections.abc import Callable
from types import TracebackType
from typing import ParamSpec, TypeVar

from ._node import EMPTY, WAIT_SLICE_MS, Node, Stats, wait_ms
from ._ops import Operation
from .errors import SocketClosed
from .packet import Packet

__all__ = ["Socket", "Stats"]

P = ParamSpec("P")
R = TypeVar("R")

WAIT_SLICE = WAIT_SLICE_MS / 1000
LATE_READS = 64  # datagrams a wait that has run out may still take, when they are there already


def blocking(start: Callable[P, Operation[R]]) -> Callable[P, R]:
    """The blocking form of an operation: started, then driven to its end."""

    @functools.wraps(start)
    def run(*args: P.args, **kwargs: P.kwargs) -> R:
        op = start(*args, **kwargs)
        return args[0]._drive(op)  # type: ignore[attr-defined,no-any-return]

    run.__name__ = run.__qualname__ = start.__name__.removeprefix("_start_")
    return run


class Socket(Node):
    """A node of the sensor network on a UDP port.

    ``Socket(47000)`` sends to the broadcast address of every local interface
    and receives on every address. ``Socket(47000, local="127.0.0.1",
    dest="127.255.255.255")`` is known by one local address (its default
    identifier is 1.1.1.1 followed by it) and sends to one destination. Its
    frames carry ``node_id`` and ``location``. The socket binds its port when
    it is made, and acknowledges requests addressed to it (``autoack``).

    Use it as a context manager, or call ``close()``. Several threads may use
    one socket (say, one receiving while another sends); frames that arrive
    while a call waits for something else (an acknowledgement, a transfer)
    are kept, up to ``queue`` of them, for the next ``recv``."""

    def __enter__(self) -> Socket:
        return self

    def __exit__(self, kind: type[BaseException] | None, error: BaseException | None, tb: TracebackType | None) -> None:
        self.close()

    def recv(self, timeout: float | None = None) -> Packet | None:
        """The next frame for this node, waiting at most ``timeout`` seconds
        (None: as long as it takes; 0: only what is there now); None when
        none came in time. Receiving also answers requests and drives
        transfers. Raises SocketClosed when the socket is closed meanwhile."""
        if self._pending:
            return self._pending.popleft()
        got = self._receive(WAIT_SLICE_MS if timeout is None or timeout >= WAIT_SLICE else wait_ms(timeout))
        if got.__class__ is Packet:
            return got  # type: ignore[return-value]
        deadline = None if timeout is None else time.monotonic() + timeout
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
        except SocketClosed:
            raise StopIteration from None
        assert packet is not None
        return packet

    def _drive(self, op: Operation[R]) -> R:
        """Receives until the operation ends, keeping the frames that come meanwhile."""
        try:
            while not op.poll():
                left = None if op.deadline is None else op.deadline - time.monotonic()
                if left is not None and left <= 0:
                    op.expire()
                    continue
                got = self._receive(wait_ms(left))
                if got.__class__ is Packet:
                    self._pending.append(got)  # type: ignore[arg-type]
        except BaseException:
            op.cancel()
            raise
        return op.outcome()

    send_acked = blocking(Node._start_send_acked)
    send_buffer = blocking(Node._start_send_buffer)
    send_file = blocking(Node._start_send_file)
    recv_file = blocking(Node._start_recv_file)
    recv_buffer = blocking(Node._start_recv_buffer)


