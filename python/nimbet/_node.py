"""What the blocking and the asyncio socket share: opening, options, sending, and the fate of each received frame."""

from __future__ import annotations

import ctypes
import math
import os
import random
import weakref
from collections import deque
from dataclasses import dataclass, fields
from typing import Callable, NoReturn, Union

from . import _native as n
from ._ops import AckedSend, Progress, Transfer, copy_data, file_writer, forget_finished, start_send
from .errors import NotBound, PacketFull, SocketClosed, error_for, fail, invalid
from .filter import Filter
from .packet import CODE_ACM, CODE_CAC, CODE_CAD, TUPLE_AREA, Packet, from_record
from .values import Location, LocationLike, NodeId, NodeIdLike, TupleType, dotted, ipv4, node_id, type_code

EMPTY = 0  # a receive found nothing
HANDLED = 1  # a receive took a datagram that was not for the application

StrPath = Union[str, "os.PathLike[str]"]

WAIT_SLICE_MS = 250  # a long blocking wait returns to Python this often, so that Ctrl-C is seen

_send, _recv, _free = n.lib.n_socket_send, n.lib.n_socket_recv_timeout, n.lib.n_pkt_free
set_errno = ctypes.set_errno


@dataclass(frozen=True)
class Stats:
    """A socket's counters since it was opened or last reset."""

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
        if not isinstance(port, int) or not 0 <= port <= 0xFFFF:
            invalid(f"a port is 0 to 65535, not {port!r}")
        if local is not None and dest is None:
            invalid("a socket with a local address needs a destination address too")
        if queue < 1:
            invalid("the queue holds at least one frame")
        self._fd = -1
        self._prepare()
        fd = n.lib.n_socket_open(ipv4(local, "local address") if local else 0, ipv4(dest, "destination") if dest else 0, port)
        if fd < 0:
            fail(f"cannot open a socket on port {port}")
        self._fd = fd
        self._closer = weakref.finalize(self, n.lib.n_socket_close, fd)
        self._pending: deque[Packet] = deque(maxlen=queue)
        self._waits: list[AckedSend] = []
        self._ack_seq = random.randrange(256)
        self._recv_all = False
        self._filter: Filter | None = None
        self._transfer_check = True
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

    # ------------------------------------------------------------ life

    def close(self) -> None:
        """Closes the socket; its transfers end. Closing twice does nothing."""
        self._fd = -1
        self._closer()

    @property
    def closed(self) -> bool:
        return self._fd < 0

    def fileno(self) -> int:
        """The socket's descriptor, for select() and the like."""
        return self._open()

    def _open(self) -> int:
        fd = self._fd
        if fd < 0:
            raise SocketClosed(n.N_EBADF, "the socket is closed")
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
        """Only frames that pass this filter are handed out; the others are dropped."""
        return self._filter

    @filter.setter
    def filter(self, value: Filter | None) -> None:
        if value is not None:
            value.chain()
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

    def set_frag_limits(self, max_transfers: int = 16, max_bytes: int = 256 << 20) -> None:
        """What peers can make this socket hold: receiving transfers at once, and bytes in any one."""
        if not 0 <= max_bytes < 2**32:
            invalid("max_bytes is below 4 GiB")
        self._check(n.lib.n_socket_set_frag_limits(self._open(), max_transfers, max_bytes), "cannot set the limits")

    def stats(self) -> Stats:
        """The socket's counters."""
        buf = ctypes.create_string_buffer(n.STATS_BUFFER)
        self._check(n.lib.n_socket_get_stats(self._open(), buf), "cannot read the counters")
        out = n.n_socket_stats.from_buffer(buf)
        return Stats(*(getattr(out, f.name) for f in fields(Stats)))

    def reset_stats(self) -> None:
        self._check(n.lib.n_socket_reset_stats(self._open()), "cannot reset the counters")

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
        set_errno(0)
        if _send(fd, sent.address) < 0:
            self._send_failed()
        sent.flags.value = sent.base
        return sent.seq.value

    def _send_to(self, fd: int, packet: Packet, to: bytes) -> int:
        if packet._size + 11 > TUPLE_AREA:
            raise PacketFull(n.N_EPROTO, "no room left for the 11-byte 'cad' tuple that addresses the frame")
        if not packet:
            invalid("a frame carries at least one tuple")
        record = packet._record()  # the send appends "cad" to this record
        try:
            self._transmit(fd, record, to)
            return ctypes.c_uint8.from_address(record + n.OFF_SEQ).value
        finally:
            n.lib.n_pkt_free(record)

    def _transmit(self, fd: int, record: int, to: bytes | None = None) -> None:
        set_errno(0)
        if (_send(fd, record) if to is None else n.lib.n_socket_send_addressed(fd, record, to)) < 0:
            self._send_failed()

    def _send_failed(self) -> NoReturn:
        # A send refused by every destination leaves no number of the library,
        # only the system's.
        code = ctypes.get_errno()
        if code:
            raise OSError(code, f"no destination took the frame: {os.strerror(code)}")
        fail("cannot send")

    def _start_send_acked(
        self, packet: Packet, to: NodeIdLike, *, retries: int | None = None, timeout: float | None = None
    ) -> AckedSend:
        """Sends the packet to node ``to`` until it acknowledges: up to
        ``retries`` transmissions (by default the socket's ``retries``), each
        followed by a wait of ``timeout`` seconds (``ack_timeout``). Returns
        once acknowledged; raises NotAcknowledged when no acknowledgement
        came. Frames that arrive meanwhile are kept for ``recv``. The packet
        itself is not changed: the request is a copy with a "cad" tuple naming
        ``to`` and a "cac" tuple asking for the acknowledgement."""
        fd = self._open()
        if not isinstance(packet, Packet):
            raise TypeError(f"expected a Packet, got {type(packet).__name__}")
        dest = bytes(node_id(to))
        request = Packet(
            [(kind, data) for code, (kind, data) in zip(packet._codes, packet._items) if code not in (CODE_CAD, CODE_CAC)],
            src=packet.src,
            location=packet.location,
        )
        if request._size + 16 > TUPLE_AREA:
            raise PacketFull(n.N_EPROTO, "no room left for the 16 bytes of 'cad' and 'cac' that ask for an acknowledgement")
        self._ack_seq = q = (self._ack_seq + 1) & 0xFF
        request.append("cad", dest)
        request.append("cac", bytes((0, q)))
        attempts = n.lib.n_socket_get_retry(fd) if retries is None else retries
        wait = n.lib.n_socket_get_timeout(fd) / 1000 if timeout is None else timeout
        return AckedSend(self, request._record(), dest, q, attempts, wait)

    # ------------------------------------------------------------ receiving

    def _receive(self, ms: int) -> Packet | int:
        """One receive of the library, waiting at most `ms` milliseconds (0:
        what is there now). A packet for the application; HANDLED for a
        datagram that was not for it (an acknowledgement, a part of a transfer,
        a damaged frame, one the filter drops); EMPTY when nothing came."""
        fd = self._fd
        if fd < 0:
            self._open()
        record = _recv(fd, fd, ms)
        if not record:
            number = n.errno()
            if number == n.N_EAGAIN:
                return EMPTY
            if number in (n.N_EPROTO, n.N_EILSEQ):
                return HANDLED
            if number == n.N_EBADF:
                raise SocketClosed(number, "the socket was closed")
            if number == n.N_ENOTBOUND:
                raise NotBound(number, "cannot bind the port")
            raise error_for(number, "cannot receive")
        try:
            packet = from_record(record)
            if packet._is_ack:
                self._settle(packet)
                if not self._recv_all:
                    return HANDLED
            if self._filter is not None and not self._filter.passes(record):
                return HANDLED
            return packet
        finally:
            _free(record)

    def _read_waiting(self, limit: int) -> int:
        """Reads what waits now, at most `limit` datagrams, keeping the frames
        for the application; returns how many it kept."""
        kept = 0
        for _ in range(limit):
            got = self._receive(0)
            if got == EMPTY:
                break
            if got.__class__ is Packet:
                self._pending.append(got)  # type: ignore[arg-type]
                kept += 1
        return kept

    def _settle(self, ack: Packet) -> None:
        """Settles the acknowledged sends that this reply answers."""
        if not self._waits or CODE_ACM not in ack._codes:
            return
        control = ack.get(CODE_CAC)
        for wait in list(self._waits):
            if ack._src == wait.dest and control == bytes((1, wait.q)):
                wait.settle()

    # ------------------------------------------------------------ transfers

    def _start_send_buffer(
        self,
        data: bytes | bytearray | memoryview,
        to: NodeIdLike,
        type: TupleType = "fil",
        *,
        progress: Progress | None = None,
        timeout: float | None = None,
    ) -> Transfer[int]:
        """Sends ``data`` to node ``to`` as a fragmented transfer of tuples of
        ``type`` and returns the number of bytes once every part is
        acknowledged. ``progress(done, total)`` is called as it advances.
        Raises NotAcknowledged when the peer stopped answering, TimedOut after
        ``timeout`` seconds (the transfer is then given up), TransferBusy
        while a transfer with that node is under way."""
        data = bytes(data)
        return self._sending(data, None, len(data), to, type, progress, timeout)

    def _start_send_file(
        self,
        path: StrPath,
        to: NodeIdLike,
        type: TupleType = "fil",
        *,
        progress: Progress | None = None,
        timeout: float | None = None,
    ) -> Transfer[int]:
        """Sends the file at ``path``, read as the transfer runs, to node ``to``;
        see ``send_buffer``."""
        path = os.fspath(path)
        return self._sending(None, path, os.stat(path).st_size, to, type, progress, timeout)

    def _sending(self, data: bytes | None, path: str | None, size: int, to: NodeIdLike, kind: TupleType,
                 progress: Progress | None, timeout: float | None) -> Transfer[int]:
        fd = self._open()
        peer = node_id(to)
        start_send(fd, data, path, peer, type_code(kind))
        return Transfer(fd, bytes(peer), False, progress, lambda _peer: size, timeout)

    def _start_recv_file(
        self, path: StrPath, from_: NodeIdLike | None = None, *, progress: Progress | None = None,
        timeout: float | None = None,
    ) -> Transfer[NodeId]:
        """Receives the next transfer that node ``from_`` (any node when None)
        starts into the file at ``path`` and returns the sender. The parts go
        to a temporary file beside it (``path + ".part"``) as they arrive,
        renamed to ``path`` once the whole file is there and checked. Raises TransferAborted when the
        transfer broke off, TimedOut when it did not end within ``timeout``
        seconds. Turns ``frag`` on."""
        target = os.fspath(path)
        peer = self._receiving(from_)
        self._check(n.lib.n_frag_recv_file(self._fd, peer, os.fsencode(target)), f"cannot receive into {target}")
        return Transfer(self._fd, peer, True, progress, file_writer(target), timeout)

    def _start_recv_buffer(
        self, from_: NodeIdLike | None = None, *, progress: Progress | None = None, timeout: float | None = None
    ) -> Transfer[tuple[NodeId, bytes]]:
        """Receives the next transfer that node ``from_`` (any node when None)
        starts, in memory, and returns the sender and the data; see ``recv_file``."""
        return Transfer(self._fd, self._receiving(from_), True, progress, copy_data, timeout)

    def _receiving(self, from_: NodeIdLike | None) -> bytes | None:
        self._open()
        self.frag = True
        peer = None if from_ is None else bytes(node_id(from_))
        if peer is not None:
            forget_finished(peer)
        return peer


def wait_ms(seconds_left: float | None) -> int:
    """The milliseconds of one library wait of a blocking call: what is left, at most one slice."""
    if seconds_left is None:
        return WAIT_SLICE_MS
    return max(0, min(WAIT_SLICE_MS, math.ceil(seconds_left * 1000)))

