"""The asyncio socket: the event loop watches the socket's descriptor and the library's timers."""

from __future__ import annotations

import asyncio
import time
import weakref
from collections import deque
from collections.abc import Generator
from types import TracebackType
from typing import Any, TypeVar

from . import _native as n
from ._node import EMPTY, Node, StrPath
from ._ops import Operation, Progress
from .errors import SocketClosedError
from .packet import Packet
from .socket import documented_by
from .values import NodeId, NodeIdLike, TupleType

R = TypeVar("R")

__all__ = ["AsyncSocket", "open"]

READS_PER_WAKE = 64  # datagrams one wake-up of the loop reads before others get their turn


# The loop holds the socket only through a weak reference, so that a socket
# nobody closed is still collected (and closed) once nothing else holds it.

def _on_readable(ref: weakref.ref[AsyncSocket]) -> None:
    sock = ref()
    if sock is not None:
        sock._on_readable()


def _on_timer(ref: weakref.ref[AsyncSocket]) -> None:
    sock = ref()
    if sock is not None:
        sock._on_timer()


def _forget(loop: asyncio.AbstractEventLoop, fd: int) -> None:
    """Closes a socket: first the loop stops watching its descriptor."""
    if not loop.is_closed():
        loop.remove_reader(fd)
    n.lib.n_socket_close(fd)


class AsyncSocket(Node):
    """A node of the sensor network served by an asyncio event loop.

    The loop reads the socket whenever a datagram waits and runs the
    library's timers (resends of acknowledged sends and of transfers' parts)
    when they are due, with no thread of its own and no polling: requests
    are acknowledged and transfers advance whether or not a coroutine is
    waiting for frames. Frames wait in a queue until
    ``recv`` or ``async for`` takes them. When ``queue`` frames wait, the
    loop stops reading the socket until the application takes one (the
    kernel's buffer holds what comes, and senders resend their requests):
    nothing is dropped then. Only while an acknowledged send or a transfer
    needs its replies does the loop read on, and then, as ``Socket`` says, a
    frame nobody acknowledged is dropped (``stats().queue_drops``, logged)
    and an acknowledged one kept. ``send`` returns at once; acknowledged
    sends and transfers are awaitables. Cancelling any of them leaves the
    socket usable (a cancelled transfer is given up).

    ``nimbet.open(...)`` makes one: ``async with nimbet.open(47000) as sock``
    or ``sock = await nimbet.open(47000)``. A socket collected unclosed is
    closed with a ResourceWarning."""

    def _prepare(self) -> None:
        self._loop = asyncio.get_running_loop()
        self._getters: deque[asyncio.Future[None]] = deque()
        self._ops: list[Operation[Any]] = []
        self._timer: asyncio.TimerHandle | None = None
        self._ref = weakref.ref(self)
        self._reading = False

    def _finalizer(self, fd: int) -> weakref.finalize:
        return weakref.finalize(self, _forget, self._loop, fd)

    def _opened(self) -> None:
        self._watch(True)

    def _watch(self, on: bool) -> None:
        """Starts or stops the loop's reading of the socket."""
        if on == self._reading or self._fd < 0:
            return
        self._reading = on
        if on:
            self._loop.add_reader(self._fd, _on_readable, self._ref)
        else:
            self._loop.remove_reader(self._fd)

    def __await__(self) -> Generator[Any, None, AsyncSocket]:
        """``await nimbet.open(...)`` gives the socket itself."""
        yield from ()
        return self

    async def __aenter__(self) -> AsyncSocket:
        return self

    async def __aexit__(
        self, kind: type[BaseException] | None, error: BaseException | None, tb: TracebackType | None
    ) -> None:
        self.close()

    def close(self) -> None:
        """Closes the socket: waiting receives raise SocketClosedError, transfers and acknowledged sends end."""
        self._watch(False)
        if self._timer is not None:
            self._timer.cancel()
            self._timer = None
        super().close()
        while self._getters:
            getter = self._getters.popleft()
            if not getter.done():
                getter.set_exception(SocketClosedError(n.N_EBADF, "the socket was closed"))
        for op in list(self._ops):
            op.cancel(SocketClosedError(n.N_EBADF, "the socket was closed"))
        self._after_io()

    # ------------------------------------------------------------ the loop's side

    def _on_readable(self) -> None:
        try:
            for _ in range(self._read_waiting(READS_PER_WAKE, bool(self._ops))):
                self._wake_getter()
        except SocketClosedError:
            self.close()
            return
        self._watch(self._may_read(bool(self._ops)))
        self._after_io()

    def _room_made(self) -> None:
        self._watch(True)

    def _on_timer(self) -> None:
        self._timer = None
        if self._fd >= 0:
            n.lib.n_socket_serve_timers(self._fd)
            self._after_io()

    def _after_io(self) -> None:
        """Settles the operations that ended, and sets the timer for the next
        moment the library's timers need the socket."""
        self._events.take()
        for op in self._ops:
            if op.poll() and op.future is not None and not op.future.done():
                op.future.set_result(None)
        if self._fd < 0:
            return
        ms = n.lib.n_socket_next_timer(self._fd)
        if ms < 0:
            # Nothing waits on a timer: one still set fires and finds nothing to do.
            return
        when = self._loop.time() + max(ms, 1) / 1000
        if self._timer is not None:
            # A timer set for earlier stays: when it fires, the timers are
            # served and it is set again for the next deadline. Moving it at
            # every datagram of a transfer (each acknowledgement moves the
            # deadline on) would cost more than the transfer itself.
            if self._timer.when() <= when + 0.001:
                return
            self._timer.cancel()
        self._timer = self._loop.call_at(when, _on_timer, self._ref)

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
        SocketClosedError when the socket is closed meanwhile."""
        if self._pending:
            return self._take()
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
                return self._take()
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
        return self._take()

    def __aiter__(self) -> AsyncSocket:
        return self

    async def __anext__(self) -> Packet:
        """Frames as they come, until the socket is closed."""
        try:
            packet = await self.recv()
        except SocketClosedError:
            raise StopAsyncIteration from None
        assert packet is not None
        return packet

    # ------------------------------------------------------------ operations

    async def _drive(self, op: Operation[R]) -> R:
        """Awaits the end of an operation, which the loop's reads and timers advance."""
        op.future = self._loop.create_future()
        self._ops.append(op)
        self._watch(self._may_read(True))  # an operation reads on past a full queue, for its replies
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
            self._watch(self._may_read(bool(self._ops)))
        return op.outcome()

    @documented_by(Node._start_send_acked)
    async def send_acked(self, packet: Packet, to: NodeIdLike, *, retries: int | None = None,
                         ack_timeout: float | None = None, timeout: float | None = None) -> None:
        await self._drive(self._start_send_acked(packet, to, retries=retries, ack_timeout=ack_timeout,
                                                 timeout=timeout))

    @documented_by(Node._start_send_buffer)
    async def send_buffer(self, data: bytes | bytearray | memoryview, to: NodeIdLike, type: TupleType = "fil", *,
                          progress: Progress | None = None, timeout: float | None = None) -> int:
        return await self._drive(self._start_send_buffer(data, to, type, progress=progress, timeout=timeout))

    @documented_by(Node._start_send_file)
    async def send_file(self, path: StrPath, to: NodeIdLike, type: TupleType = "fil", *,
                        progress: Progress | None = None, timeout: float | None = None) -> int:
        return await self._drive(self._start_send_file(path, to, type, progress=progress, timeout=timeout))

    @documented_by(Node._start_recv_file)
    async def recv_file(self, path: StrPath, from_: NodeIdLike | None = None, *, progress: Progress | None = None,
                        timeout: float | None = None) -> NodeId:
        return await self._drive(self._start_recv_file(path, from_, progress=progress, timeout=timeout))

    @documented_by(Node._start_recv_buffer)
    async def recv_buffer(self, from_: NodeIdLike | None = None, *, progress: Progress | None = None,
                          timeout: float | None = None) -> tuple[NodeId, bytes]:
        return await self._drive(self._start_recv_buffer(from_, progress=progress, timeout=timeout))



# `async with nimbet.open(port, ...) as sock` closes the socket at the end of
# the block; `sock = await nimbet.open(port, ...)` gives it to keep. The
# arguments are those of Socket.
open = AsyncSocket
