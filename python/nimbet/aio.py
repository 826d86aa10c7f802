"""The asyncio socket: the event loop watches the socket's descriptor and the library's transfer timers."""

from __future__ import annotations

import asyncio
import functools
import time
from collections import deque
from collections.abc import Callable, Coroutine
from types import TracebackType
from typing import Any, ParamSpec, TypeVar

from . import _native as n
from ._node import EMPTY, Node
from ._ops import Operation
from .errors import SocketClosed
from .packet import Packet

P = ParamSpec("P")
R = TypeVar("R")

__all__ = ["AsyncSocket", "open"]

READS_PER_WAKE = 64  # datagrams one wake-up of the loop reads before others get their turn


def awaiting(start: Callable[P, Operation[R]]) -> Callable[P, Coroutine[Any, Any, R]]:
    """The awaitable form of an operation: started, then awaited while the loop serves the socket."""

    @functools.wraps(start)
    async def run(*args: P.args, **kwargs: P.kwargs) -> R:
        op = start(*args, **kwargs)
        return await args[0]._drive(op)  # type: ignore[attr-defined,no-any-return]

    run.__name__ = run.__qualname__ = start.__name__.removeprefix("_start_")
    return run


class AsyncSocket(Node):
    """A node of the sensor network served by an asyncio event loop.

    The loop reads the socket whenever a datagram waits and runs the
    library's transfer timers when they are due, with no thread of its own
    and no polling: requests are acknowledged and transfers advance whether
    or not a coroutine is waiting for frames. Frames wait in a queue of
    ``queue`` frames (the oldest are dropped when it is full) until ``recv``
    or ``async for`` takes them. ``send`` returns at once; acknowledged sends
    and transfers are awaitables. Cancelling any of them leaves the socket
    usable (a cancelled transfer is given up)."""

    def _prepare(self) -> None:
        self._loop = asyncio.get_running_loop()
        self._getters: deque[asyncio.Future[None]] = deque()
        self._ops: list[Operation[Any]] = []
        self._timer: asyncio.TimerHandle | None = None

    def _opened(self) -> None:
        self._loop.add_reader(self._fd, self._on_readable)

    async def __aenter__(self) -> AsyncSocket:
        return self

    async def __aexit__(
        self, kind: type[BaseException] | None, error: BaseException | None, tb: TracebackType | None
    ) -> None:
        self.close()

    def close(self) -> None:
        """Closes the socket: waiting receives raise SocketClosed, transfers and acknowledged sends end."""
        if self._fd >= 0:
            self._loop.remove_reader(self._fd)
        if self._timer is not None:
            self._timer.cancel()
            self._timer = None
        super().close()
        while self._getters:
            getter = self._getters.popleft()
            if not getter.done():
                getter.set_exception(SocketClosed(n.N_EBADF, "the socket was closed"))
        for op in list(self._ops):
            op.cancel(SocketClosed(n.N_EBADF, "the socket was closed"))
        self._after_io()

    # ------------------------------------------------------------ the loop's side

    def _on_readable(self) -> None:
        try:
            for _ in range(self._read_waiting(READS_PER_WAKE)):
                self._wake_getter()
        except SocketClosed:
            self.close()
            return
        self._after_io()

    def _on_timer(self) -> None:
        self._timer = None
        if self._fd >= 0:
            n.lib.n_socket_serve_timers(self._fd)
            self._after_io()

    def _after_io(self) -> None:
        """Settles the transfers that ended, and sets the timer for the next
        moment the library's transfers need the socket."""
        for op in self._ops:
            if op.poll() and op.future is not None and not op.future.done():
                op.future.set_result(None)
        if self._fd < 0:
            return
        ms = n.lib.n_socket_next_timer(self._fd)
        if ms < 0:
            if self._timer is not None:
                self._timer.cancel()
                self._timer = None
            return
        when = self._loop.time() + max(ms, 1) / 1000
        if self._timer is not None:
            if abs(self._timer.when() - when) < 0.001:
                return
            self._timer.cancel()
        self._timer = self._loop.call_at(when, self._on_timer)

    def _wake_getter(self) -> None:
        while self._getters:
            getter = self._getters.popleft()
            if not getter.done():
                getter.set_result(None)
                return

    # ------------------------------------------------------------ receiving

    async def recv(self, timeout: float | None = None) -> Packet | None:
        """The next frame for this node, waiting at most ``timeout`` seconds
        (None: as long as it takes); None when none came in time. Raises
        SocketClosed when the socket is closed meanwhile."""
        if self._pending:
            return self._pending.popleft()
        # What waits already needs no turn of the loop. A frame for the
        # application changes no transfer, so the loop's timer still holds;
        # with recv_all it may be an acknowledgement that ends an operation.
        got = self._receive(0)
        if got.__class__ is Packet:
            if self._ops:
                self._after_io()
            return got  # type: ignore[return-value]
        if got != EMPTY:
            self._on_readable()
            if self._pending:
                return self._pending.popleft()
        try:
            async with asyncio.timeout(timeout):
                while not self._pending:
                    self._open()
                    getter = self._loop.create_future()
                    self._getters.append(getter)
                    try:
                        await getter
                    except BaseException:
                        getter.cancel()
                        if getter in self._getters:
                            self._getters.remove(getter)
                        elif self._pending and not getter.cancelled():
                            self._wake_getter()  # the frame it was woken for goes to the next one
                        raise
        except TimeoutError:
            return None
        return self._pending.popleft()

    def __aiter__(self) -> AsyncSocket:
        return self

    async def __anext__(self) -> Packet:
        """Frames as they come, until the socket is closed."""
        try:
            packet = await self.recv()
        except SocketClosed:
            raise StopAsyncIteration from None
        assert packet is not None
        return packet

    # ------------------------------------------------------------ operations

    async def _drive(self, op: Operation[R]) -> R:
        """Awaits the end of an operation, which the loop's reads and timers advance."""
        op.future = self._loop.create_future()
        self._ops.append(op)
        try:
            self._after_io()  # the first part's timer, and an operation that ended at once
            while not op.done:
                left = None if op.deadline is None else op.deadline - time.monotonic()
                if left is not None and left <= 0:
                    op.expire()
                    continue
                await asyncio.wait((op.future,), timeout=left)
        except BaseException:
            op.cancel()
            raise
        finally:
            self._ops.remove(op)
        return op.outcome()

    send_acked = awaiting(Node._start_send_acked)
    send_buffer = awaiting(Node._start_send_buffer)
    send_file = awaiting(Node._start_send_file)
    recv_file = awaiting(Node._start_recv_file)
    recv_buffer = awaiting(Node._start_recv_buffer)


# `async with nimbet.open(port, ...) as sock`: the arguments are those of Socket.
open = AsyncSocket
