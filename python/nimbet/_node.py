"""What the blocking and the asyncio socket share: opening, options, sending, and the fate of each received frame."""

from __future__ import annotations

import ctypes
import errno
import logging
import math
import os
import stat
import threading
import warnings
import weakref
from collections import deque
from dataclasses import dataclass
from typing import Callable, NoReturn, TypeVar, Union

from . import _native as n
from ._ops import AckedSend, Events, Progress, Transfer, copy_data, file_writer, forget_finished, start_send
from .errors import (NotAcknowledgedError, NotBoundError, PacketFullError, SocketClosedError, error_for, fail,
                     file_error, invalid, wrong_type)
from .filter import Filter
from .packet import CODE_CAC, CODE_CAD, CODE_CAR, FLAGS_AT, FRAME_AT, SENDER_AT, TUPLE_AREA, Packet, from_frame
from .values import Location, LocationLike, NodeId, NodeIdLike, TupleType, dotted, ipv4, node_id, type_code

EMPTY = 0  # a receive found nothing
HANDLED = 1  # a receive took a datagram that was not for the application

StrPath = Union[str, "os.PathLike[str]"]
R = TypeVar("R")

WAIT_SLICE_MS = 250  # a long blocking wait returns to Python this often, so that Ctrl-C is seen

log = logging.getLogger("nimbet")

_send, _recv_frame = n.unchecked("n_socket_send", ctypes.c_int), n.unchecked("n_socket_recv_frame", ctypes.c_int)
_RECV_BUFFER = n.RECV_BUFFER


class _FrameBuffer:
    """Where one receive puts a frame, with its flags and sender before it (see packet.from_frame)."""

    __slots__ = ("data", "pin", "flags", "sender", "frame")

    def __init__(self) -> None:
        self.data = bytearray(FRAME_AT + _RECV_BUFFER)
        # The view pins the buffer: a bytearray that is exported cannot be resized, so it never moves.
        self.pin = (ctypes.c_char * len(self.data)).from_buffer(self.data)
        address = ctypes.addressof(self.pin)
        self.flags, self.sender, self.frame = (ctypes.c_void_p(address + at) for at in (FLAGS_AT, SENDER_AT, FRAME_AT))


@dataclass(frozen=True)
class Stats:
    """A socket's counters since it was opened or last reset: the library's,
    and ``queue_drops``, the frames this face dropped because its queue was
    full (see ``Socket``)."""

    frames_sent: int
    frames_received: int
    frames_rejected: int
    not_for_us: int
    duplicates: int
    acks_sent: int
    acks_received: int
    retransmissions: int
    transfers_started: int
    transfers_finished: int
    transfers_aborted: int
    transfers_refused: int
    stray_fragments: int
    transfers_evicted: int
    kernel_drops: int
    rtt_ms: int
    rto_ms: int
    requests_refused: int
    queue_drops: int = 0


class Node:
    """A socket of the library with the parts common to both faces."""

    def __init__(
        self,
        port: int,
        local: str | None = None,
        dest: str | None = None,
        node_id: NodeIdLike | None = None,
        *,
        location: LocationLike | None = None,
        autoack: bool = True,
        recv_all: bool = False,
        frag: bool = False,
        filter: Filter | None = None,
        queue: int = 1024,
    ) -> None:
        if not isinstance(port, int) or isinstance(port, bool):
            wrong_type("port", "int", port)
        if not 0 <= port <= 0xFFFF:
            invalid(f"a port is 0 to 65535, not {port!r}")
        if local is not None and dest is None:
            invalid("a socket with a local address needs a destination address too")
        if not isinstance(queue, int) or isinstance(queue, bool):
            wrong_type("queue", "int", queue)
        if queue < 1:
            invalid("the queue holds at least one frame")
        if filter is not None and not isinstance(filter, Filter):
            wrong_type("filter", "a Filter or None", filter)
        self._fd = -1
        self._events = Events()
        self._prepare()
        fd = n.lib.n_socket_open(ipv4(local, "local address") if local else 0, ipv4(dest, "destination") if dest else 0, port)
        if fd < 0:
            fail(f"cannot open a socket on port {port}")
        self._fd = self._events.fd = fd
        self._port = port
        self._closer = self._finalizer(fd)
        self._pending: deque[Packet] = deque()
        # Buffers of receives: each receive takes one and gives it back, so
        # that threads receiving at once never share one.
        self._buffers: list[_FrameBuffer] = []
        self._limit = queue
        self._queue_drops = 0
        self._burst = 0  # frames dropped since the queue last had room
        self._settings = threading.Lock()  # the socket's retry settings, changed for one acknowledged send
        self._recv_all = False
        self._filter: Filter | None = None
        self._transfer_check = True
        self._transfer_window = 64
        try:
            self.filter = filter
            if node_id is not None:
                self.node_id = node_id  # type: ignore[assignment]
            if location is not None:
                self.location = location  # type: ignore[assignment]
            self.autoack = autoack
            self.recv_all = recv_all
            if frag:
                self.frag = True
            # The first receive binds the port; a socket that sent first would
            # be bound by the system to some other port.
            self._read_waiting(1)
            self._opened()
        except BaseException:
            self.close()
            raise

    def _prepare(self) -> None:
        """What a face sets up before the socket opens."""

    def _opened(self) -> None:
        """What a face does once the socket is open and bound."""

    def _finalizer(self, fd: int) -> weakref.finalize:
        """What closes the socket when the object is closed or collected; it holds no reference to the object."""
        return weakref.finalize(self, n.lib.n_socket_close, fd)

    # ------------------------------------------------------------ life

    def close(self) -> None:
        """Closes the socket; its transfers end. Closing twice does nothing."""
        self._fd = -1
        self._events.closed()
        self._closer()

    def __del__(self) -> None:
        # As socket.socket does: a socket nobody closed is closed (by its
        # finaliser, right after this) with a warning that names it.
        if getattr(self, "_fd", -1) >= 0:
            try:
                warnings.warn(f"unclosed {type(self).__name__} on port {self._port} (fd {self._fd})",
                              ResourceWarning, stacklevel=2, source=self)
            except Exception:  # interpreter shutdown: warnings may be gone
                pass

    @property
    def closed(self) -> bool:
        return self._fd < 0

    def fileno(self) -> int:
        """The socket's descriptor, for select() and the like."""
        return self._open()

    def _open(self) -> int:
        fd = self._fd
        if fd < 0:
            raise SocketClosedError(n.N_EBADF, "the socket is closed")
        return fd

    def _check(self, result: int, context: str) -> None:
        if result < 0:
            fail(context)

    def __repr__(self) -> str:
        if self.closed:
            return f"<{type(self).__name__} closed>"
        return f"<{type(self).__name__} port {self.port} as {self.node_id}>"

    # ------------------------------------------------------------ options

    @property
    def node_id(self) -> NodeId:
        """The identifier this socket stamps on its frames; requests and
        transfers addressed to it are this socket's."""
        return NodeId._of(self._record_bytes(n.lib.n_socket_get_id, 8))

    @node_id.setter
    def node_id(self, value: NodeIdLike) -> None:
        self._check(n.lib.n_socket_set_id(self._open(), bytes(node_id(value))), "cannot set the identifier")

    @property
    def location(self) -> Location:
        return Location._of(self._record_bytes(n.lib.n_socket_get_loc, 44))

    @location.setter
    def location(self, value: LocationLike) -> None:
        loc = value if isinstance(value, Location) else Location(value)
        self._check(n.lib.n_socket_set_loc(self._open(), bytes(loc)), "cannot set the location")

    def _record_bytes(self, getter: Callable[[int], int | None], size: int) -> bytes:
        """Bytes of the socket's record that a getter points at."""
        address = getter(self._open())
        if not address:
            fail("the socket's record is gone")
        return ctypes.string_at(address, size)

    @property
    def port(self) -> int:
        return n.lib.n_socket_get_port(self._open())

    @property
    def local(self) -> str:
        """The local address the socket is bound to (0.0.0.0: every address)."""
        address = n.lib.n_socket_get_ipsrc(self._open())
        if not address:
            fail("no local address")
        return dotted(n.take_bytes(address, 4))

    @property
    def dest(self) -> list[str]:
        """Where frames go; setting one address makes it the only one."""
        fd = self._open()
        found = []
        for i in range(max(n.lib.n_socket_get_num_interfaces(fd), 0)):
            address = n.lib.n_socket_get_ipdest(fd, i)
            if address:
                found.append(dotted(n.take_bytes(address, 4)))
        return found

    @dest.setter
    def dest(self, value: str) -> None:
        ipv4(value, "destination")
        self._check(n.lib.n_socket_set_ipdest_str(self._open(), value.encode()), f"cannot send to {value}")

    @property
    def retries(self) -> int:
        """Transmissions of an acknowledged send; also the retry budget of transfers (0 to 255)."""
        return n.lib.n_socket_get_retry(self._open())

    @retries.setter
    def retries(self, count: int) -> None:
        if not isinstance(count, int):
            raise TypeError(f"retries: expected int, got {type(count).__name__}")
        if not 0 <= count <= 255:
            invalid(f"retries are 0 to 255, not {count}")
        self._set_retry(count, n.lib.n_socket_get_timeout(self._open()))

    @property
    def ack_timeout(self) -> float:
        """Seconds an acknowledged send waits after each transmission; also the timer of transfers."""
        return n.lib.n_socket_get_timeout(self._open()) / 1000

    @ack_timeout.setter
    def ack_timeout(self, seconds: float) -> None:
        if not 0 <= seconds < 2**31 / 1000:
            invalid(f"an acknowledgement timeout of {seconds} s")
        self._set_retry(self.retries, round(seconds * 1000))

    def _set_retry(self, count: int, ms: int) -> None:
        with self._settings:
            self._check(n.lib.n_socket_set_retry(self._open(), count, ms), "cannot set the retries")

    def _option(self, mask: int) -> bool:
        result = n.lib.n_socket_get_option(self._open(), mask)
        self._check(result, "cannot read the options")
        return result != 0

    def _set_option(self, mask: int, on: bool) -> None:
        self._check(n.lib.n_socket_set_option(self._open(), mask, 1 if on else 0), "cannot set an option")

    @property
    def autoack(self) -> bool:
        """Requests addressed to this socket are acknowledged as they are received (on by default)."""
        return self._option(n.SOCKET_AUTOACK)

    @autoack.setter
    def autoack(self, on: bool) -> None:
        self._set_option(n.SOCKET_AUTOACK, on)

    @property
    def recv_all(self) -> bool:
        """Also hand out frames addressed to other nodes, parts of transfers and acknowledgements."""
        return self._recv_all

    @recv_all.setter
    def recv_all(self, on: bool) -> None:
        self._set_option(n.SOCKET_RECV_ALL, on)
        self._recv_all = bool(on)

    @property
    def frag(self) -> bool:
        """Take part in the transfers that other nodes start (off by default;
        receiving a transfer turns it on)."""
        return self._option(n.SOCKET_FRAG)

    @frag.setter
    def frag(self, on: bool) -> None:
        self._set_option(n.SOCKET_FRAG, on)

    @property
    def filter(self) -> Filter | None:
        """Only frames that pass this filter are handed out, and only
        transfers whose first part passes it are taken. A request it refuses
        is not acknowledged either, nor is such a first part: their senders
        learn that nothing was delivered. An acknowledgement from this socket
        still means that the frame is the application's."""
        return self._filter

    @filter.setter
    def filter(self, value: Filter | None) -> None:
        if value is not None and not isinstance(value, Filter):
            wrong_type("filter", "a Filter or None", value)
        fd = self._open()
        chain = 0 if value is None else value.chain()
        self._check(n.lib.n_socket_set_transfer_filter(fd, chain), "cannot set the filter")
        self._filter = value

    @property
    def transfer_check(self) -> bool:
        """Transfers sent carry the descriptor (nonce, length, CRC-32) that
        nodes of this library check (on by default)."""
        return self._transfer_check

    @transfer_check.setter
    def transfer_check(self, on: bool) -> None:
        self._check(n.lib.n_socket_set_transfer_check(self._open(), 1 if on else 0), "cannot set the transfer check")
        self._transfer_check = bool(on)

    @property
    def transfer_window(self) -> int:
        """Parts of a transfer in flight at once between nodes of this
        library (64 by default): the offer of the transfers this socket
        sends and the limit of those it receives; 1 sends one part at a time,
        as nodes without the window do. 0 to 128."""
        return self._transfer_window

    @transfer_window.setter
    def transfer_window(self, parts: int) -> None:
        if not isinstance(parts, int) or isinstance(parts, bool):
            wrong_type("transfer_window", "int", parts)
        if not 0 <= parts <= 128:
            invalid("transfer_window is 0 to 128")
        self._check(n.lib.n_socket_set_transfer_window(self._open(), parts), "cannot set the transfer window")
        self._transfer_window = max(parts, 1)

    def set_frag_limits(self, max_transfers: int = 16, max_bytes: int = 256 << 20) -> None:
        """What peers can make this socket hold: receiving transfers at once, and bytes in any one."""
        for name, value in (("max_transfers", max_transfers), ("max_bytes", max_bytes)):
            if not isinstance(value, int) or isinstance(value, bool):
                wrong_type(name, "int", value)
        if not 0 <= max_transfers < 2**31:
            invalid("max_transfers is 0 to 2**31 - 1")
        if not 0 <= max_bytes < 2**32:
            invalid("max_bytes is below 4 GiB")
        self._check(n.lib.n_socket_set_frag_limits(self._open(), max_transfers, max_bytes), "cannot set the limits")

    def stats(self) -> Stats:
        """The socket's counters."""
        out = n.n_socket_stats()
        self._check(n.lib.n_socket_get_stats_sized(self._open(), ctypes.byref(out), ctypes.sizeof(out)),
                    "cannot read the counters")
        return Stats(*(getattr(out, name) for name, _ in n.n_socket_stats._fields_), queue_drops=self._queue_drops)

    def reset_stats(self) -> None:
        self._check(n.lib.n_socket_reset_stats(self._open()), "cannot reset the counters")
        self._queue_drops = 0

    # ------------------------------------------------------------ sending

    def send(self, packet: Packet, to: NodeIdLike | None = None) -> int:
        """Sends the packet as one frame to every destination (addressed to
        node ``to`` when given: only it hands it out) and returns the frame's
        sequence number. Header fields the packet leaves unset come from the
        socket. The packet itself is not changed; a Packet is sent by one
        thread at a time."""
        fd = self._fd
        if fd < 0:
            self._open()
        if not isinstance(packet, Packet):
            raise TypeError(f"expected a Packet, got {type(packet).__name__}")
        if to is not None:
            return self._send_to(fd, packet, bytes(node_id(to)))
        sent = packet._sent or packet._sendable()
        if _send(fd, sent.pointer) < 0:
            self._send_failed()
        sent.flags.value = sent.base
        return sent.seq.value

    def _send_to(self, fd: int, packet: Packet, to: bytes) -> int:
        if packet._size + 11 > TUPLE_AREA:
            raise PacketFullError(n.N_EPROTO, "no room left for the 11-byte 'cad' tuple that addresses the frame")
        if not packet:
            invalid("a frame carries at least one tuple")
        record = packet._record()  # the send appends "cad" to this record
        try:
            if n.lib.n_socket_send_addressed(fd, record, to) < 0:
                self._send_failed()
            return ctypes.c_uint8.from_address(record + n.OFF_SEQ).value
        finally:
            n.lib.n_pkt_free(record)

    def _send_failed(self) -> NoReturn:
        # A send refused by every destination: the library keeps the
        # system's number of the first refusal beside its own.
        code = n.lib.n_util_syserr()
        if code:
            raise OSError(code, f"no destination took the frame: {os.strerror(code)}")
        fail("cannot send")

    def _start_send_acked(
        self,
        packet: Packet,
        to: NodeIdLike,
        *,
        retries: int | None = None,
        ack_timeout: float | None = None,
        timeout: float | None = None,
    ) -> AckedSend:
        """Sends the packet to node ``to`` until that node acknowledges it:
        up to ``retries`` transmissions (by default the socket's
        ``retries``), resent when no acknowledgement came within
        ``ack_timeout`` seconds (by default the socket's ``ack_timeout``;
        sooner once the peer's round trip is known, see the library's
        adaptive resends), given up ``retries`` x ``ack_timeout`` seconds
        after the first. ``timeout`` bounds the whole call, as everywhere
        else. Returns once acknowledged; raises NotAcknowledgedError when the
        library gave up and TimedOutError when ``timeout`` passed first (the
        library's resends then go on until they end by themselves, and so
        they do when the call is cancelled: the node may still receive the
        request). Only a reply of node ``to`` to this node settles it.
        Frames that arrive meanwhile are kept for ``recv``. The packet itself
        is not changed: the request is a copy, to which the library adds a
        "cad" tuple naming ``to`` and a "cac" tuple asking for the
        acknowledgement."""
        fd = self._open()
        if not isinstance(packet, Packet):
            wrong_type("packet", "a Packet", packet)
        dest = bytes(node_id(to))
        count = None if retries is None else check_count("retries", retries, 255)
        ms = None if ack_timeout is None else round(check_seconds("ack_timeout", ack_timeout) * 1000)
        if timeout is not None:
            check_seconds("timeout", timeout)
        request = Packet(
            [(kind, data) for code, (kind, data) in zip(packet._codes, packet._items)
             if code not in (CODE_CAD, CODE_CAC, CODE_CAR)],
            src=packet.src,
            location=packet.location,
        )
        if request._size + 16 > TUPLE_AREA:
            raise PacketFullError(n.N_EPROTO, "no room left for the 16 bytes of 'cad' and 'cac' that ask for an acknowledgement")
        record = request._record()
        try:
            number = self._acked_start(fd, record, dest, count, ms)
        finally:
            n.lib.n_pkt_free(record)
        op = AckedSend(self._events, number, dest, timeout)
        self._events.add_send(op)
        return op

    def _acked_start(self, fd: int, record: int, dest: bytes, count: int | None, ms: int | None) -> int:
        """Starts the library's acknowledged send with these retry settings;
        its number. The library takes them from the socket when the send
        starts: other settings are set for that moment only."""
        with self._settings:
            old = (n.lib.n_socket_get_retry(fd), n.lib.n_socket_get_timeout(fd))
            want = (old[0] if count is None else count, old[1] if ms is None else ms)
            if want != old:
                self._check(n.lib.n_socket_set_retry(fd, *want), "cannot set the retries")
            try:
                number = n.lib.n_socket_send_acked_start(fd, fd, record, dest)
            finally:
                if want != old:
                    n.lib.n_socket_set_retry(fd, *old)
        if number <= 0:
            self._acked_start_failed(dest)
        return int(number)

    def _acked_start_failed(self, dest: bytes) -> NoReturn:
        number, system = n.errno(), n.lib.n_util_syserr()
        if number == n.N_EPROTO and system == errno.ETIMEDOUT:  # no transmission allowed (retries 0)
            raise NotAcknowledgedError(number, f"{dotted(dest)} did not acknowledge")
        if system:  # a first transmission that no destination took
            raise OSError(system, f"no destination took the frame: {os.strerror(system)}")
        fail(f"cannot send to {dotted(dest)}")

    # ------------------------------------------------------------ receiving

    def _receive(self, ms: int) -> Packet | int:
        """One receive of the library, waiting at most `ms` milliseconds (0:
        what is there now). A packet for the application; HANDLED for a
        datagram that was not for it (an acknowledgement, a part of a transfer,
        a damaged frame); EMPTY when nothing came (nor anything that passes
        the filter). The library hands over the frame's bytes, its sender and
        flags in one call; they become a Packet here."""
        fd = self._fd
        if fd < 0:
            self._open()
        chosen = self._filter  # held through the call: its chain lives as long as the Filter
        buffers = self._buffers
        buf = buffers.pop() if buffers else _FrameBuffer()
        try:
            length = _recv_frame(fd, fd, ms, 0 if chosen is None else chosen.chain(), buf.frame, _RECV_BUFFER,
                                 buf.sender, buf.flags)
            if length > 0:
                packet = from_frame(buf.data, FRAME_AT + length)
                if packet._is_ack and not self._recv_all:
                    return HANDLED
                return packet
        finally:
            buffers.append(buf)
        number = n.errno()
        if number == n.N_EAGAIN:
            return EMPTY
        if number in (n.N_EPROTO, n.N_EILSEQ):
            return HANDLED
        if number == n.N_EBADF:
            raise SocketClosedError(number, "the socket was closed")
        if number == n.N_ENOTBOUND:
            raise NotBoundError(number, "cannot bind the port")
        raise error_for(number, "cannot receive")

    # The queue. Frames for the application that arrive while a call waits
    # for something else (an acknowledgement, a transfer), or while the event
    # loop reads for nobody in particular, wait here for recv. A frame this
    # node acknowledged is never dropped: its sender was told it arrived.
    # Up to `queue` frames are read freely; with the queue full the socket
    # is read only while an acknowledged send or a transfer needs its
    # replies, and then a frame nobody acknowledged (a frame for everybody,
    # an addressed frame that asked for no acknowledgement) is dropped,
    # counted and logged, while an acknowledged one is kept beyond the
    # limit, up to twice `queue`. Past that nothing is read at all until the
    # application takes frames: the kernel's buffer holds what comes, and
    # the senders of requests send them again.

    def _may_read(self, for_operation: bool) -> bool:
        """Whether the socket may be read now, for the queue (False) or for an operation under way (True)."""
        waiting = len(self._pending)
        return waiting < self._limit or (for_operation and waiting < 2 * self._limit)

    def _keep(self, packet: Packet) -> None:
        """Queues a frame read for the application, or drops it when the queue is full and nobody acknowledged it."""
        if len(self._pending) < self._limit or packet._flags & n.PACKET_ACK_SENT:
            self._pending.append(packet)
            return
        self._queue_drops += 1
        self._burst += 1
        if self._burst == 1:
            log.warning("port %d: the queue of %d frames is full; frames that were not acknowledged are dropped "
                        "until the application takes some (stats().queue_drops counts them)", self._port, self._limit)

    def _take(self) -> Packet:
        """The oldest queued frame, taken by the application."""
        packet = self._pending.popleft()
        if len(self._pending) < self._limit:
            if self._burst:
                log.info("port %d: the queue has room again; %d frames were dropped", self._port, self._burst)
                self._burst = 0
            self._room_made()
        return packet

    def _room_made(self) -> None:
        """What a face does when the queue, full before, has room again."""

    def _read_waiting(self, limit: int, for_operation: bool = False) -> int:
        """Reads what waits now, at most `limit` datagrams, keeping the frames
        for the application; returns how many it kept. Stops early when the
        queue may not take more."""
        kept = 0
        for _ in range(limit):
            if not self._may_read(for_operation):
                break
            got = self._receive(0)
            if got == EMPTY:
                break
            if got.__class__ is Packet:
                self._keep(got)  # type: ignore[arg-type]
                kept += 1
        return kept

    # ------------------------------------------------------------ transfers

    # The operations below are started here and driven by each face: its
    # public method of the same name (without _start_) has the docstring.

    def _start_send_buffer(
        self, data: bytes | bytearray | memoryview, to: NodeIdLike, type: TupleType = "fil", *,
        progress: Progress | None = None, timeout: float | None = None,
    ) -> Transfer[int]:
        """Sends ``data`` to node ``to`` as a fragmented transfer of tuples of
        ``type`` and returns the number of bytes once every part is
        acknowledged. ``progress(done, total)`` is called as it advances.
        Raises NotAcknowledgedError when the peer stopped answering,
        TimedOutError after ``timeout`` seconds (the transfer is then given
        up), TransferBusyError while a transfer with that node is under way."""
        if not isinstance(data, (bytes, bytearray, memoryview)):
            wrong_type("data", "bytes, bytearray or memoryview", data)
        data = bytes(data)
        return self._sending(data, None, len(data), to, type, progress, timeout)

    def _start_send_file(
        self, path: StrPath, to: NodeIdLike, type: TupleType = "fil", *,
        progress: Progress | None = None, timeout: float | None = None,
    ) -> Transfer[int]:
        """Sends the file at ``path``, read as the transfer runs, to node
        ``to``; see ``send_buffer``. A file that cannot be read raises the
        OSError that open() would (FileNotFoundError, IsADirectoryError,
        PermissionError, ...)."""
        path = os.fspath(path)
        if not isinstance(path, str):
            path = os.fsdecode(path)
        info = os.stat(path)
        if stat.S_ISDIR(info.st_mode):
            raise IsADirectoryError(errno.EISDIR, os.strerror(errno.EISDIR), path)
        if not stat.S_ISREG(info.st_mode):
            raise OSError(errno.EINVAL, "not a regular file (send its bytes with send_buffer)", path)
        return self._sending(None, path, info.st_size, to, type, progress, timeout)

    def _sending(self, data: bytes | None, path: str | None, size: int, to: NodeIdLike, kind: TupleType,
                 progress: Progress | None, timeout: float | None) -> Transfer[int]:
        fd = self._open()
        peer = node_id(to)
        code = type_code(kind)
        check_progress(progress)
        check_timeout(timeout)
        start_send(fd, data, path, peer, code)
        return self._follow(Transfer(self._events, bytes(peer), False, progress, lambda _peer: size, timeout))

    def _follow(self, op: Transfer[R]) -> Transfer[R]:
        """Registers a transfer for its events; one with a known peer may have ended already."""
        self._events.add_transfer(op)
        if op.peer is not None:
            self._events.adopt(op)
        return op

    def _start_recv_file(
        self, path: StrPath, from_: NodeIdLike | None = None, *, progress: Progress | None = None,
        timeout: float | None = None,
    ) -> Transfer[NodeId]:
        """Receives the next transfer that node ``from_`` (any node when None)
        starts into the file at ``path`` and returns the sender. The parts go
        to a temporary file beside it (``path + ".part"``) as they arrive,
        renamed to ``path`` once the whole file is there and checked. Raises
        TransferAbortedError when the transfer broke off, TimedOutError when
        it did not end within ``timeout`` seconds, and the OSError that open()
        would for a file that cannot be written (FileNotFoundError for a
        missing folder). Turns ``frag`` on."""
        target = os.fspath(path)
        if not isinstance(target, str):
            target = os.fsdecode(target)
        check_progress(progress)
        check_timeout(timeout)
        peer = self._receiving(from_)
        op = self._follow(Transfer(self._events, peer, True, progress, file_writer(target), timeout))
        if n.lib.n_frag_recv_file(self._fd, peer, os.fsencode(target)) < 0:
            error = file_error(target, f"cannot receive into {target}")
            self._events.forget_transfer(op)
            raise error
        return op

    def _start_recv_buffer(
        self, from_: NodeIdLike | None = None, *, progress: Progress | None = None, timeout: float | None = None
    ) -> Transfer[tuple[NodeId, bytes]]:
        """Receives the next transfer that node ``from_`` (any node when None)
        starts, in memory, and returns the sender and the data; see ``recv_file``."""
        check_progress(progress)
        check_timeout(timeout)
        return self._follow(Transfer(self._events, self._receiving(from_), True, progress, copy_data, timeout))

    def _receiving(self, from_: NodeIdLike | None) -> bytes | None:
        self._open()
        self.frag = True
        peer = None if from_ is None else bytes(node_id(from_))
        if peer is not None:
            forget_finished(peer)
        return peer


def check_count(what: str, value: object, top: int) -> int:
    if not isinstance(value, int) or isinstance(value, bool):
        wrong_type(what, "int", value)
    if not 0 <= value <= top:
        invalid(f"{what} is 0 to {top}, not {value}")
    return value


def check_seconds(what: str, value: object) -> float:
    if not isinstance(value, (int, float)) or isinstance(value, bool):
        wrong_type(what, "seconds (int or float)", value)
    if not 0 <= value < 2**31 / 1000:
        invalid(f"{what}: {value} seconds")
    return float(value)


def check_timeout(value: object) -> None:
    if value is not None:
        check_seconds("timeout", value)


def check_progress(value: object) -> None:
    if value is not None and not callable(value):
        wrong_type("progress", "a callable or None", value)


def wait_ms(seconds_left: float | None) -> int:
    """The milliseconds of one library wait of a blocking call: what is left, at most one slice."""
    if seconds_left is None or seconds_left >= WAIT_SLICE_MS / 1000:
        return WAIT_SLICE_MS
    return max(0, math.ceil(seconds_left * 1000))

