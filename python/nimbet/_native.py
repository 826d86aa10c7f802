"""The module libnimbetJava.so seen through ctypes: loading, prototypes and record layouts."""

from __future__ import annotations

import ctypes
import ctypes.util
import os
import threading
from ctypes import POINTER, c_char_p, c_int, c_int32, c_int64, c_size_t, c_uint8, c_uint16, c_uint32, c_uint64
from ctypes import c_ubyte, c_void_p
from pathlib import Path

_HERE = Path(__file__).resolve().parent
MODULE_NAME = "libnimbetJava.so"


def _candidates() -> list[str]:
    """Where the module is looked for, in order: the copy a wheel bundles next
    to this file, the module of the same installation (an install by CMake
    records where the package lies relative to it), then the system's search
    path (LD_LIBRARY_PATH, the ldconfig cache)."""
    found = [str(_HERE / MODULE_NAME)]
    try:
        from . import _installed  # type: ignore[attr-defined]  # written by `cmake --install`

        found.append(str((_HERE / _installed.MODULE).resolve()))
    except ImportError:
        pass
    found.append(MODULE_NAME)
    by_cache = ctypes.util.find_library("nimbetJava")
    if by_cache:
        found.append(by_cache)
    return found


def _load() -> ctypes.CDLL:
    errors = []
    for path in _candidates():
        if os.sep in path and not os.path.exists(path):
            continue
        try:
            return ctypes.CDLL(path)
        except OSError as e:
            errors.append(f"{path}: {e}")
    raise ImportError("nimbet: cannot load the module " + MODULE_NAME + ": " + "; ".join(errors or ["not found"]))


lib = _load()
libc = ctypes.CDLL(None)
libc.free.argtypes = [c_void_p]
libc.free.restype = None

# ------------------------------------------------------------------ constants of nimbet.h

N_ENOENT, N_EBADF, N_EAGAIN, N_ENOMEM, N_EACCES, N_EBUSY = 2, 9, 11, 12, 13, 16
N_ENODEV, N_EINVAL, N_EILSEQ, N_ENOTFOUND, N_ENOTBOUND, N_EPROTO = 19, 22, 42, 225, 226, 227

PACKET_ACK_SENT = 0x0200

SOCKET_AUTOACK = 0x02
SOCKET_RECV_ALL = 0x04
SOCKET_FRAG = 0x08
SOCKET_BLOCKING = 0x20

FRAG_STATE_MASK = 0x3
FRAG_ACTIVE, FRAG_FINISHED, FRAG_ABORTED = 0, 1, 2
FRAG_RECEIVING = 0x4
FRAG_PART_SIZE = 45

FILTER_TYPE_LOCATION = 0x1
FILTER_TYPE_ID = 0x2
FILTER_TYPE_ACL = 0x4
FILTER_TYPE_ACL_POSITION = 0x8
FILTER_TYPE_FILTER = 0x10
FILTER_CONCAT_AND = 0x100
FILTER_CONCAT_OR = 0x200
FILTER_MODE_WILDCARD = 0x400
FILTER_MODE_NOT = 0x800000

N_EVENT_ACKED = 1
N_EVENT_NOT_ACKED = 2
N_EVENT_TRANSFER_STARTED = 3
N_EVENT_TRANSFER_FINISHED = 4
N_EVENT_TRANSFER_ABORTED = 5

# ------------------------------------------------------------------ records users read


class sockaddr_in(ctypes.Structure):
    _fields_ = [("family", c_uint16), ("port", c_uint16), ("addr", c_uint32), ("zero", c_uint8 * 8)]


class n_pkt(ctypes.Structure):
    _fields_ = [
        ("flags", c_uint32),
        ("dest_id", c_ubyte * 8),
        ("ack_seq", c_uint8),
        ("sender", sockaddr_in),
        ("fromlen", c_int32),
        ("format", c_uint8),
        ("location", c_ubyte * 44),
        ("srcid", c_ubyte * 8),
        ("seq", c_uint8),
        ("acl_len", c_uint32),
        ("acl_count", c_uint32),
        ("acl_first", c_void_p),
        ("acl_last", c_void_p),
    ]


class n_socket_stats(ctypes.Structure):
    _fields_ = [
        (name, c_uint64)
        for name in (
            "frames_sent", "frames_received", "frames_rejected", "not_for_us", "duplicates", "acks_sent",
            "acks_received", "retransmissions", "transfers_started", "transfers_finished", "transfers_aborted",
            "transfers_refused", "stray_fragments", "transfers_evicted", "kernel_drops", "rtt_ms", "rto_ms",
            "requests_refused",
        )
    ]




class n_event(ctypes.Structure):
    """What a socket tells its application: the outcome of an acknowledged send, or a transfer's start or end."""

    _fields_ = [
        ("kind", c_int),
        ("fd", c_int),
        ("request", c_uint64),
        ("peer", c_ubyte * 8),
        ("error", c_int),
        ("syserr", c_int),
        ("receiving", c_int),
        ("type", c_ubyte * 2),
        ("length", c_int64),
        ("reason", c_char_p),
    ]


EVENT_SIZE = ctypes.sizeof(n_event)  # the library fills what a record of this size holds


OFF_FLAGS = n_pkt.flags.offset
OFF_SEQ = n_pkt.seq.offset

PACKET_HEADER_SIZE = 54  # format, location, source identifier, sequence
RECV_BUFFER = 311  # the longest frame a socket reads: what a receive's buffer holds


# ------------------------------------------------------------------ prototypes

_u8p = POINTER(c_ubyte)
_pp = POINTER(c_void_p)
_PROTOTYPES: dict[str, tuple[object, list[object]]] = {
    "_n_errno": (POINTER(c_int), []),
    "n_util_version": (c_char_p, []),
    "n_util_strerr": (c_char_p, [c_int]),
    "n_util_syserr": (c_int, []),
    "n_pkt_alloc": (c_void_p, []),
    "n_pkt_free": (c_int, [c_void_p]),
    "n_pkt_parse": (c_int, [c_void_p, c_char_p, ctypes.c_uint]),
    "n_pkt_set_location": (c_int, [c_void_p, c_char_p]),
    "n_pkt_set_srcid": (c_int, [c_void_p, c_char_p]),
    "n_pkt_set_seq": (c_int, [c_void_p, c_uint8]),
    "n_util_crc16_append": (c_int, [c_void_p, ctypes.c_uint]),
    "n_acl_add": (c_int, [c_void_p, c_char_p, c_char_p, c_uint16, c_int]),
    "n_util_str2acl": (c_void_p, [c_char_p, c_char_p]),
    "n_util_acl2str": (c_char_p, [c_char_p, c_char_p]),
    "n_util_decode_dot": (c_int, [c_char_p, c_char_p, c_int]),
    "n_util_location2raw": (
        None,
        [c_char_p, c_char_p, c_char_p, c_char_p, c_char_p, c_int32, c_int32, c_int32, c_uint8, c_char_p],
    ),
    "n_util_raw2location": (
        None,
        [c_char_p, c_char_p, c_char_p, c_char_p, c_char_p, POINTER(c_int32), POINTER(c_int32),
         POINTER(c_int32), POINTER(c_uint8), c_char_p],
    ),
    "n_socket_open": (c_int, [c_uint32, c_uint32, c_uint16]),
    "n_socket_close": (c_int, [c_int]),
    "n_socket_set_ipdest_str": (c_int, [c_int, c_char_p]),
    "n_socket_set_id": (c_int, [c_int, c_char_p]),
    "n_socket_set_loc": (c_int, [c_int, c_char_p]),
    "n_socket_set_retry": (c_int, [c_int, c_int, c_int]),
    "n_socket_set_option": (c_int, [c_int, c_int, c_int]),
    "n_socket_get_option": (c_int, [c_int, c_int]),
    "n_socket_get_id": (c_void_p, [c_int]),
    "n_socket_get_loc": (c_void_p, [c_int]),
    "n_socket_get_ipdest": (c_void_p, [c_int, c_int]),
    "n_socket_get_ipsrc": (c_void_p, [c_int]),
    "n_socket_get_num_interfaces": (c_int, [c_int]),
    "n_socket_get_retry": (c_int, [c_int]),
    "n_socket_get_timeout": (c_int, [c_int]),
    "n_socket_get_port": (c_uint16, [c_int]),
    "n_socket_get_last_seq": (c_uint8, [c_int]),
    "n_socket_send": (c_int, [c_int, c_void_p]),
    "n_socket_send_addressed": (c_int, [c_int, c_void_p, c_char_p]),
    "n_socket_send_acked_start": (c_int64, [c_int, c_int, c_void_p, c_char_p]),
    "n_socket_next_event": (c_int, [c_int, c_void_p, c_size_t]),
    "n_socket_recv_frame": (c_int, [c_int, c_int, c_int, c_int, c_void_p, c_int, c_void_p, c_void_p]),
    "n_socket_next_timer": (c_int, [c_int]),
    "n_socket_serve_timers": (c_int, [c_int]),
    "n_socket_get_stats_sized": (c_int, [c_int, c_void_p, c_size_t]),
    "n_socket_reset_stats": (c_int, [c_int]),
    "n_socket_set_transfer_check": (c_int, [c_int, c_int]),
    "n_socket_set_frag_limits": (c_int, [c_int, c_int, c_uint32]),
    "n_socket_set_transfer_window": (c_int, [c_int, c_int]),
    "n_socket_set_transfer_filter": (c_int, [c_int, c_int]),
    "n_socket_send_buffer": (c_int, [c_int, c_int, c_char_p, c_int, c_char_p, c_char_p]),
    "n_socket_send_file": (c_int, [c_int, c_int, c_char_p, c_char_p, c_char_p]),
    "n_filter_create": (c_int, [c_char_p]),
    "n_filter_destroy": (c_int, [c_int]),
    "n_filter_arg": (c_void_p, [c_int]),
    "n_filter_add": (c_int, [c_int, c_int, c_void_p]),
    "n_filter_apply": (c_int, [c_int, c_void_p]),
    "n_frag_get_frag": (c_void_p, [c_char_p]),
    "n_frag_get_status": (c_int, [c_char_p, c_int]),
    "n_frag_get_progress": (c_int, [c_char_p, POINTER(c_int64), POINTER(c_int64)]),
    "n_frag_get_data": (c_int, [c_char_p, _pp]),
    "n_frag_copy_data": (c_int64, [c_char_p, c_void_p, c_size_t]),
    "n_frag_get_data_file": (c_int, [c_char_p, c_char_p]),
    "n_frag_abort": (c_int, [c_char_p]),
    "n_frag_delete": (c_int, [c_char_p]),
    "n_frag_recv_file": (c_int, [c_int, c_char_p, c_char_p]),
}
for _name, (_restype, _argtypes) in _PROTOTYPES.items():
    _fn = getattr(lib, _name)
    _fn.restype = _restype
    _fn.argtypes = _argtypes
del _name, _restype, _argtypes, _fn


def unchecked(name: str, restype: object) -> ctypes._CFuncPtr:
    """A second handle on a function of the module, for the calls of every
    frame: no argument types, so that ctypes converts nothing per call (that
    costs more than the call). Its callers pass only ints that fit a C int and
    ctypes pointers (c_void_p, arrays), never a bare address."""
    fn = lib[name]
    fn.restype = restype
    return fn


_cells = threading.local()


def _errno_cell() -> ctypes._Pointer:  # type: ignore[type-arg]
    # n_errno lies at one address for the whole life of a thread.
    cell = getattr(_cells, "cell", None)
    if cell is None:
        cell = _cells.cell = lib._n_errno()
    return cell


def errno() -> int:
    """The library's error number of the calling thread."""
    return _errno_cell()[0]


def set_errno(number: int) -> None:
    _errno_cell()[0] = number


def take_bytes(ptr: int, size: int) -> bytes:
    """The bytes of a buffer the library handed over, which is then freed."""
    try:
        return ctypes.string_at(ptr, size)
    finally:
        libc.free(ptr)


VERSION: str = lib.n_util_version().decode()
