"""Exceptions: one class per error number of the library, each carrying the number and its text.

Every class name ends in ``Error``; the shorter names of earlier versions
(``NotAcknowledged``, ``TimedOut``, ...) stay as aliases of the same classes.
Failures that concern a file the caller named raise the OSError subclass
that Python's own file functions raise (FileNotFoundError, PermissionError,
...), with the path in ``filename``."""

from __future__ import annotations

import errno as _errno
import os
from typing import NoReturn

from . import _native as n


class Error(Exception):
    """A failure of the library: ``errno`` is its error number (the N_E* values
    of nimbet.h), ``strerror`` the library's text for it."""

    errno: int
    strerror: str

    def __init__(self, errno: int, context: str = "") -> None:
        text = strerror(errno)
        super().__init__(errno, f"{context}: {text}" if context else text)
        # Set after the base: OSError (a base of TimedOutError) would keep its own strerror.
        self.errno, self.strerror, self.context = errno, text, context

    def __str__(self) -> str:
        return f"[{self.errno}] " + (f"{self.context}: {self.strerror}" if self.context else self.strerror)


class NoSuchEntryError(Error):
    """2: no such socket or filter."""


class SocketClosedError(Error):
    """9: the socket is closed (also when another thread closed it during a wait)."""


class TimedOutError(Error, TimeoutError):
    """11: nothing came in time."""


class OutOfMemoryError(Error, MemoryError):
    """12: out of memory."""


class TransferBusyError(Error):
    """13: a transfer with this peer is registered already."""


class AlreadyBoundError(Error):
    """16: the socket is bound already."""


class NoInterfaceError(Error):
    """19: no network interface."""


class InvalidArgumentError(Error, ValueError):
    """22: invalid argument (a value of the right type that is out of range or malformed)."""


class BadFrameError(Error, ValueError):
    """42: a datagram or text that does not decode. Packet.parse raises it
    too, with the number 22 that the library sets for a malformed frame."""


class NotFoundError(Error, LookupError):
    """225: item not found."""


class NotBoundError(Error):
    """226: the socket could not bind its port."""


class ProtocolError(Error):
    """227: protocol error."""


class NotAcknowledgedError(ProtocolError):
    """227: the addressed node did not acknowledge a frame or a transfer."""


class PacketFullError(ProtocolError):
    """227: the tuples would not fit a frame's 64-byte tuple area."""


class TransferAbortedError(ProtocolError):
    """227: a transfer broke off before all its data arrived."""


# The names of earlier versions.
NoSuchEntry = NoSuchEntryError
SocketClosed = SocketClosedError
TimedOut = TimedOutError
OutOfMemory = OutOfMemoryError
TransferBusy = TransferBusyError
AlreadyBound = AlreadyBoundError
NoInterface = NoInterfaceError
InvalidArgument = InvalidArgumentError
BadFrame = BadFrameError
NotFound = NotFoundError
NotBound = NotBoundError
NotAcknowledged = NotAcknowledgedError
PacketFull = PacketFullError
TransferAborted = TransferAbortedError

_BY_NUMBER: dict[int, type[Error]] = {
    n.N_ENOENT: NoSuchEntryError,
    n.N_EBADF: SocketClosedError,
    n.N_EAGAIN: TimedOutError,
    n.N_ENOMEM: OutOfMemoryError,
    n.N_EACCES: TransferBusyError,
    n.N_EBUSY: AlreadyBoundError,
    n.N_ENODEV: NoInterfaceError,
    n.N_EINVAL: InvalidArgumentError,
    n.N_EILSEQ: BadFrameError,
    n.N_ENOTFOUND: NotFoundError,
    n.N_ENOTBOUND: NotBoundError,
    n.N_EPROTO: ProtocolError,
}

_texts: dict[int, str] = {}


def strerror(errno: int) -> str:
    """The library's text for an error number."""
    text = _texts.get(errno)
    if text is None:
        raw = n.lib.n_util_strerr(errno)
        text = _texts[errno] = raw.decode(errors="replace") if raw else "Unknown Error"
    return text


def error_for(errno: int, context: str = "") -> Error:
    """The exception of an error number: its class, or Error for numbers without one."""
    return _BY_NUMBER.get(errno, Error)(errno, context)


def fail(context: str, cls: type[Error] | None = None) -> NoReturn:
    """Raises the exception of the calling thread's error number (as ``cls``
    when given, for the failures whose meaning the call tells better)."""
    errno = n.errno()
    raise (cls(errno, context) if cls is not None else error_for(errno, context))


def invalid(context: str) -> NoReturn:
    """Raises InvalidArgumentError for a value refused before the library sees it."""
    raise InvalidArgumentError(n.N_EINVAL, context)


def wrong_type(what: str, expected: str, value: object) -> NoReturn:
    """Raises TypeError for an argument of the wrong kind."""
    raise TypeError(f"{what}: expected {expected}, got {type(value).__name__}")


# The system's number that a library failure about a file stands for, when
# the library kept none of its own.
_FILE_ERRNO = {n.N_ENOENT: _errno.ENOENT, n.N_EACCES: _errno.EACCES, n.N_EBUSY: _errno.EEXIST,
               n.N_EINVAL: _errno.EINVAL}


def file_error(path: str, context: str) -> Exception:
    """The exception of a failed library call about the file at ``path``:
    for a failure of the file itself, the OSError subclass that the system's
    number selects, as open() raises it; other failures (a closed socket,
    memory) keep their library exception."""
    number = n.errno()
    if number not in _FILE_ERRNO:
        return error_for(number, context)
    system = n.lib.n_util_syserr() or _FILE_ERRNO[number]
    return OSError(system, f"{context}: {os.strerror(system)}", path)
