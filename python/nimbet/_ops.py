"""Operations that span many receives (acknowledged sends, transfers), as state machines that either face drives.

An operation does no waiting of its own. A driver receives on the socket
(a blocking loop, or the event loop) and after each receive asks ``poll()``
whether the operation has ended; when the operation's ``deadline`` passes it
calls ``expire()``, which sends again or ends the operation. ``outcome()``
then gives the result or raises the failure; ``cancel()`` gives up an
operation that has not ended and leaves the socket usable.
"""

from __future__ import annotations

import asyncio
import ctypes
import gc
import os
import time
from collections.abc import Callable
from typing import TYPE_CHECKING, Generic, TypeVar

from . import _native as n
from .errors import Error, NotAcknowledgedError, TimedOutError, TransferAbortedError, error_for, file_error
from .values import NodeId, dotted

if TYPE_CHECKING:
    from ._node import Node

R = TypeVar("R")

Progress = Callable[[int, "int | None"], object]
"""Called as ``progress(done, total)``: bytes acknowledged (sending) or
stored (receiving) so far, and the whole length (None while a receiver does
not know it yet)."""

PROGRESS_INTERVAL = 0.1  # seconds between two progress calls of one transfer

CODE_CAT = b"\xd0\x80"  # transfer descriptor: byte 0 holds the flags, 0x01 the first part
CODE_CAC = b"\x66\x40"


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
    """A request sent to node `dest` until its reply to sequence byte `q` comes,
    up to `attempts` transmissions `wait` seconds apart, within `timeout`
    seconds in all (None: as the attempts take). The record is the socket's
    request frame, freed when the operation ends."""

    def __init__(self, node: Node, record: int, dest: bytes, q: int, attempts: int, wait: float,
                 timeout: float | None = None) -> None:
        super().__init__(None)
        self.node, self.record, self.dest, self.q = node, record, dest, q
        self.attempts, self.wait = attempts, wait
        self.end = None if timeout is None else time.monotonic() + timeout
        node._waits.append(self)
        self.expire()  # the first transmission

    def settle(self) -> None:
        """The reply came."""
        if not self.done:
            self._finish()

    def expire(self) -> None:
        if self.done:
            return
        now = time.monotonic()
        if self.end is not None and now >= self.end:
            self._finish(error=TimedOutError(n.N_EAGAIN, f"no acknowledgement from {dotted(self.dest)} in time"))
            return
        if self.attempts <= 0:
            self._finish(error=NotAcknowledgedError(n.N_EPROTO, f"{dotted(self.dest)} did not acknowledge"))
            return
        self.attempts -= 1
        try:
            self.node._transmit(self.node._open(), self.record)
        except Error as e:
            self._finish(error=e)
            return
        self.deadline = now + self.wait if self.end is None else min(now + self.wait, self.end)

    def _finish(self, result: None = None, error: Error | None = None) -> bool:
        self.node._waits.remove(self)
        n.lib.n_pkt_free(self.record)
        return super()._finish(result, error)


# ------------------------------------------------------------------ whose transfer starts

# Sockets waiting for the first part of any peer's transfer, with the peers
# whose first parts they stored, in order. The library's trace hook reports
# the parts stored; it is installed only while some socket waits so.
_first_parts: dict[int, list[bytes]] = {}
_waiting: dict[int, int] = {}


def is_first_part(frame: bytes) -> bool:
    """Whether a stored part starts its transfer: its descriptor says so, or
    without one, its "cac" part counter is 0."""
    pos, end = n.PACKET_HEADER_SIZE, len(frame) - 2
    counter = None
    while pos + 3 <= end:
        code, length = frame[pos : pos + 2], frame[pos + 2]
        data = frame[pos + 3 : pos + 3 + length]
        if code == CODE_CAT:
            return bool(data) and bool(data[0] & 1)
        if code == CODE_CAC and counter is None and length >= 2:
            counter = data[1]
        pos += 3 + length
    return counter == 0


@n.TRACE_FN
def _on_trace(info: ctypes._Pointer, _user: int) -> None:  # type: ignore[type-arg]
    # The library may hold a lock here: nothing may call back into it, so
    # no collection may run a finaliser that closes a socket meanwhile.
    collecting = gc.isenabled()
    gc.disable()
    try:
        event = info.contents
        if event.event != n.N_TRACE_PART_STORED:
            return
        peers = _first_parts.get(event.fd)
        if peers is not None and event.bytes:
            frame = ctypes.string_at(event.bytes, event.len)
            if is_first_part(frame):
                peers.append(frame[n.OFF_FRAME_SRCID : n.OFF_FRAME_SRCID + 8])
    finally:
        if collecting:
            gc.enable()


def watch_first_parts(fd: int) -> None:
    """Starts noting the senders of the transfers that start on socket fd."""
    _waiting[fd] = _waiting.get(fd, 0) + 1
    _first_parts.setdefault(fd, [])
    n.lib.n_set_trace(_on_trace, None)


def unwatch_first_parts(fd: int) -> None:
    left = _waiting.get(fd, 0) - 1
    if left > 0:
        _waiting[fd] = left
        return
    _waiting.pop(fd, None)
    _first_parts.pop(fd, None)
    if not _waiting:
        n.lib.n_set_trace(n.TRACE_FN(0), None)  # none


# ------------------------------------------------------------------ transfers


class Transfer(Operation[R]):
    """One transfer of socket `fd` with node `peer` (None: the sender of the
    next transfer that starts on fd), followed through the library's record
    of it; `collect` makes the result of a finished one."""

    def __init__(
        self,
        fd: int,
        peer: bytes | None,
        receiving: bool,
        progress: Progress | None,
        collect: Callable[[bytes], R],
        timeout: float | None,
    ) -> None:
        super().__init__(timeout)
        self.fd, self.peer, self.receiving, self.progress, self.collect = fd, peer, receiving, progress, collect
        self._next_report = 0.0
        self._last_report: tuple[int, int | None] | None = None
        if peer is None:
            watch_first_parts(fd)

    def poll(self) -> bool:
        if self.done:
            return True
        if self.peer is None:
            peers = _first_parts.get(self.fd)
            if not peers:
                return False
            self.peer = peers.pop(0)
            unwatch_first_parts(self.fd)
        status = n.lib.n_frag_get_status(self.peer, n.FRAG_STATE_MASK | n.FRAG_RECEIVING)
        if status < 0 or bool(status & n.FRAG_RECEIVING) != self.receiving:
            if self.receiving:
                return False  # the peer's transfer has not started yet
            return self._finish(error=TransferAbortedError(n.N_ENOTFOUND, f"the transfer to {dotted(self.peer)} is gone"))
        state = status & n.FRAG_STATE_MASK
        if self.progress is not None and (state != n.FRAG_ACTIVE or time.monotonic() >= self._next_report):
            self._report()
        if state == n.FRAG_ACTIVE:
            return False
        if state == n.FRAG_FINISHED:
            try:
                return self._finish(result=self.collect(self.peer))
            except Error as e:
                return self._finish(error=e)
        done, total = self.counts()
        peer = dotted(self.peer)
        if self.receiving:
            error: Error = TransferAbortedError(n.N_EPROTO, f"the transfer from {peer} broke off after {done} bytes")
        else:
            error = NotAcknowledgedError(n.N_EPROTO, f"transfer to {peer} aborted after {done} of {total} bytes")
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
        if self.peer is None:
            unwatch_first_parts(self.fd)
        else:
            status = n.lib.n_frag_get_status(self.peer, n.FRAG_STATE_MASK | n.FRAG_RECEIVING)
            if status >= 0 and bool(status & n.FRAG_RECEIVING) == self.receiving:
                # Given up while under way: the peer's side aborts for lack of answers.
                if status & n.FRAG_STATE_MASK == n.FRAG_ACTIVE:
                    n.lib.n_frag_abort(self.peer)
                n.lib.n_frag_delete(self.peer)
        return super()._finish(result, error)


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
