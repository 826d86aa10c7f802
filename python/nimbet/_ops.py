"""Operations that span many receives (acknowledged sends, transfers): waits on the library's events, which either face drives.

The library does the work: it resends, gives up, advances transfers and
queues an event on the socket when a send or a transfer ends (and when a
receiving transfer starts). An operation only waits for its event. A driver
receives on the socket (a blocking loop, or the event loop), which lets the
library do its work; the socket's ``Events`` hands each event taken to the
operation it belongs to, and the driver asks ``poll()`` whether the
operation has ended. When the operation's ``deadline`` passes, the driver
calls ``expire()``; ``outcome()`` then gives the result or raises the
failure; ``cancel()`` gives up an operation that has not ended and leaves
the socket usable.
"""

from __future__ import annotations

import asyncio
import ctypes
import errno
import os
import threading
import time
from collections.abc import Callable
from typing import Generic, TypeVar

from . import _native as n
from .errors import (Error, NotAcknowledgedError, SocketClosedError, TimedOutError, TransferAbortedError, error_for,
                     file_error)
from .values import NodeId, dotted

R = TypeVar("R")

Progress = Callable[[int, "int | None"], object]
"""Called as ``progress(done, total)``: bytes acknowledged (sending) or
stored (receiving) so far, and the whole length (None while a receiver does
not know it yet)."""

PROGRESS_INTERVAL = 0.1  # seconds between two progress calls of one transfer

_next_event, EVENT_SIZE = n.lib.n_socket_next_event, n.EVENT_SIZE


class Operation(Generic[R]):
    def __init__(self, timeout: float | None) -> None:
        self.done = False
        self.deadline = None if timeout is None else time.monotonic() + timeout
        self.future: asyncio.Future[None] | None = None  # settled when it ends, for a coroutine awaiting it
        self._result: R | None = None
        self._error: Error | None = None

    def poll(self) -> bool:
        return self.done

    def expire(self) -> None:
        self.cancel(TimedOutError(n.N_EAGAIN, "the time ran out"))

    def cancel(self, error: Error | None = None) -> None:
        if not self.done:
            self._finish(error=error)

    def _finish(self, result: R | None = None, error: Error | None = None) -> bool:
        self._result, self._error, self.done = result, error, True
        return True

    def outcome(self) -> R:
        if self._error is not None:
            raise self._error
        return self._result  # type: ignore[return-value]


# ------------------------------------------------------------------ acknowledged sends


class AckedSend(Operation[None]):
    """The wait for the outcome of the library's acknowledged send `number`
    to node `dest`, at most `timeout` seconds (None: until the library's send
    ends). A wait that gives up leaves the library's send to end by itself."""

    def __init__(self, events: Events, number: int, dest: bytes, timeout: float | None) -> None:
        super().__init__(timeout)
        self.events, self.number, self.dest = events, number, dest

    def ended(self, ev: n.n_event) -> None:
        """The library's outcome of the send."""
        if self.done:
            return
        if ev.kind == n.N_EVENT_ACKED:
            self._finish()
        elif ev.error == n.N_EBADF:
            self._finish(error=SocketClosedError(n.N_EBADF, "the socket was closed"))
        elif ev.syserr == errno.EBADMSG:
            self._finish(error=NotAcknowledgedError(ev.error, f"{dotted(self.dest)} replied without 'cac'"))
        else:
            self._finish(error=NotAcknowledgedError(ev.error, f"{dotted(self.dest)} did not acknowledge"))

    def expire(self) -> None:
        self.cancel(TimedOutError(n.N_EAGAIN, f"no acknowledgement from {dotted(self.dest)} in time"))

    def _finish(self, result: None = None, error: Error | None = None) -> bool:
        self.events.forget_send(self)
        return super()._finish(result, error)


# ------------------------------------------------------------------ transfers


class Transfer(Operation[R]):
    """One transfer of socket `fd` with node `peer` (None: the sender of the
    next transfer that starts on fd), ended by the library's event;
    `collect` makes the result of a finished one."""

    def __init__(
        self,
        events: Events,
        peer: bytes | None,
        receiving: bool,
        progress: Progress | None,
        collect: Callable[[bytes], R],
        timeout: float | None,
    ) -> None:
        super().__init__(timeout)
        self.events, self.peer, self.receiving, self.progress, self.collect = events, peer, receiving, progress, collect
        self.end: tuple[int, str | None] | None = None  # (event kind, reason) once the library said it ended
        self._next_report = 0.0
        self._last_report: tuple[int, int | None] | None = None

    def ended(self, kind: int, reason: str | None) -> None:
        """The library finished or aborted the transfer (noted here; the driver's poll acts on it)."""
        if self.end is None:
            self.end = (kind, reason)

    def poll(self) -> bool:
        if self.done:
            return True
        if self.peer is None:
            return False  # no transfer started yet
        if self.progress is not None and (self.end is not None or time.monotonic() >= self._next_report):
            self._report()
        if self.end is None:
            return False
        kind, reason = self.end
        if kind == n.N_EVENT_TRANSFER_FINISHED:
            try:
                return self._finish(result=self.collect(self.peer))
            except Error as e:
                return self._finish(error=e)
        done, total = self.counts()
        peer, why = dotted(self.peer), f" ({reason})" if reason else ""
        if self.receiving:
            error: Error = TransferAbortedError(n.N_EPROTO, f"the transfer from {peer} broke off after {done} bytes{why}")
        else:
            error = NotAcknowledgedError(n.N_EPROTO, f"transfer to {peer} aborted after {done} of {total} bytes{why}")
        return self._finish(error=error)

    def counts(self) -> tuple[int, int | None]:
        done, total = ctypes.c_int64(), ctypes.c_int64()
        if self.peer is None or n.lib.n_frag_get_progress(self.peer, ctypes.byref(done), ctypes.byref(total)) < 0:
            return 0, None
        return max(done.value, 0), total.value if total.value >= 0 else None

    def _report(self) -> None:
        self._next_report = time.monotonic() + PROGRESS_INTERVAL
        done, total = self.counts()
        if (done, total) != self._last_report:
            self._last_report = (done, total)
            assert self.progress is not None
            self.progress(done, total)

    def _finish(self, result: R | None = None, error: Error | None = None) -> bool:
        self.events.forget_transfer(self)
        if self.peer is not None:
            status = n.lib.n_frag_get_status(self.peer, n.FRAG_STATE_MASK | n.FRAG_RECEIVING)
            if status >= 0 and bool(status & n.FRAG_RECEIVING) == self.receiving:
                # Given up while under way: the peer's side aborts for lack of answers.
                if status & n.FRAG_STATE_MASK == n.FRAG_ACTIVE:
                    n.lib.n_frag_abort(self.peer)
                n.lib.n_frag_delete(self.peer)
        return super()._finish(result, error)


# ------------------------------------------------------------------ the socket's events


class Events:
    """The events of one socket and the operations waiting for them.

    Any thread that took a datagram may take the events (``take``); each
    goes to the operation it belongs to, under one lock, so that the order
    of a transfer's events holds and an outcome that comes before its
    operation is registered (another thread's receive read the reply) waits
    for it. Events nobody waits for are dropped: outcomes of sends whose
    wait gave up, transfers nobody receives."""

    def __init__(self) -> None:
        self.fd = -1
        self.sends: dict[int, AckedSend] = {}
        self.transfers: list[Transfer[object]] = []
        self._early: dict[int, n.n_event] = {}  # outcomes taken before their send was registered
        self._abandoned: set[int] = set()  # sends whose outcome nobody waits for any more
        self._lock = threading.RLock()  # an operation that ends forgets itself under it
        self._event = n.n_event()
        self._ref = ctypes.byref(self._event)

    def take(self) -> None:
        """Takes the socket's events and hands each to its operation."""
        if not (self.sends or self.transfers or self._abandoned):
            return
        with self._lock:
            self._drain()

    def _drain(self) -> None:
        ev, ref, fd = self._event, self._ref, self.fd
        while fd >= 0 and _next_event(fd, ref, EVENT_SIZE) == 1:
            kind = ev.kind
            if kind in (n.N_EVENT_ACKED, n.N_EVENT_NOT_ACKED):
                self._send_ended(ev)
            elif kind == n.N_EVENT_TRANSFER_STARTED:
                self._transfer_started(bytes(ev.peer))
            elif kind in (n.N_EVENT_TRANSFER_FINISHED, n.N_EVENT_TRANSFER_ABORTED):
                reason = ev.reason.decode(errors="replace") if ev.reason else None
                peer, receiving = bytes(ev.peer), bool(ev.receiving)
                for op in self.transfers:
                    if op.peer == peer and op.receiving == receiving:
                        op.ended(kind, reason)

    def _send_ended(self, ev: n.n_event) -> None:
        number = ev.request
        op = self.sends.pop(number, None)
        if op is not None:
            op.ended(ev)
        elif number in self._abandoned:
            self._abandoned.discard(number)
        else:
            self._early[number] = n.n_event.from_buffer_copy(ev)

    def _transfer_started(self, peer: bytes) -> None:
        """A receiving transfer started: it is the one of the first waiting
        receive of any sender, unless a receive waits for that sender by name."""
        named = any(op.receiving and op.peer == peer for op in self.transfers)
        if named:
            return
        for op in self.transfers:
            if op.receiving and op.peer is None:
                op.peer = peer
                return

    def add_send(self, op: AckedSend) -> None:
        with self._lock:
            early = self._early.pop(op.number, None)
            if early is None:
                self.sends[op.number] = op
        if early is not None:
            op.ended(early)

    def forget_send(self, op: AckedSend) -> None:
        """The send's wait ended; an outcome still to come is dropped."""
        with self._lock:
            if self.sends.pop(op.number, None) is not None:
                self._abandoned.add(op.number)

    def add_transfer(self, op: Transfer[R]) -> None:
        """Registers a transfer; events queued before, which were nobody's, are dropped first."""
        with self._lock:
            self._drain()
            self.transfers.append(op)  # type: ignore[arg-type]

    def forget_transfer(self, op: Transfer[R]) -> None:
        with self._lock:
            if op in self.transfers:
                self.transfers.remove(op)  # type: ignore[arg-type]

    def adopt(self, op: Transfer[R]) -> None:
        """A transfer with a named peer may have ended before its operation
        was registered: its status then says so."""
        assert op.peer is not None
        status = n.lib.n_frag_get_status(op.peer, n.FRAG_STATE_MASK | n.FRAG_RECEIVING)
        if status < 0 or bool(status & n.FRAG_RECEIVING) != op.receiving:
            return
        state = status & n.FRAG_STATE_MASK
        if state == n.FRAG_FINISHED:
            op.ended(n.N_EVENT_TRANSFER_FINISHED, None)
        elif state == n.FRAG_ABORTED:
            op.ended(n.N_EVENT_TRANSFER_ABORTED, None)

    def closed(self) -> None:
        """The socket closed: its events are gone with it."""
        with self._lock:
            self.fd = -1
            self._early.clear()
            self._abandoned.clear()


def start_send(fd: int, data: bytes | None, path: str | None, to: NodeId, kind: bytes) -> None:
    """Sends the first part of a buffer or a file to `to`; the socket drives the rest while it receives."""
    peer = bytes(to)
    if path is not None:
        result = n.lib.n_socket_send_file(fd, fd, os.fsencode(path), peer, kind)
    else:
        assert data is not None
        result = n.lib.n_socket_send_buffer(fd, fd, data, len(data), peer, kind)
    # A first part that could not go out leaves the transfer registered; its
    # timer sends the part again. A transfer with that node under way already
    # is another's.
    if result < 0:
        number = n.errno()
        if number == n.N_EACCES or not n.lib.n_frag_get_frag(peer):
            context = f"cannot send to {to}" + (f" from {path}" if path else "")
            if path is not None and number != n.N_EACCES:  # 13 here: a transfer with that node is under way
                raise file_error(path, context)
            raise error_for(number, context)


def forget_finished(peer: bytes) -> None:
    """Removes a receiving transfer from `peer` that ended before anyone asked for the next."""
    status = n.lib.n_frag_get_status(peer, n.FRAG_STATE_MASK | n.FRAG_RECEIVING)
    if status >= 0 and status & n.FRAG_RECEIVING and status & n.FRAG_STATE_MASK != n.FRAG_ACTIVE:
        n.lib.n_frag_delete(peer)


def copy_data(peer: bytes) -> tuple[NodeId, bytes]:
    """The sender and the data of a finished receiving transfer."""
    size = n.lib.n_frag_copy_data(peer, None, 0)
    if size < 0:
        raise error_for(n.errno(), f"the data of {dotted(peer)} are gone")
    buf = ctypes.create_string_buffer(size)
    n.lib.n_frag_copy_data(peer, buf, size)
    return NodeId._of(peer), buf.raw


def file_writer(path: str) -> Callable[[bytes], NodeId]:
    """What completes a transfer received into the file at `path`: when its
    data stayed in memory (it started before the file was arranged), they are
    written out; otherwise the library wrote the file as the parts arrived
    (and writing it again changes nothing)."""

    def written(peer: bytes) -> NodeId:
        if n.lib.n_frag_get_data_file(peer, os.fsencode(path)) < 0:
            raise file_error(path, f"cannot write {path}")
        return NodeId._of(peer)

    return written
