"""Exceptions: one class per error number of the library, each carrying the number and its text."""

from __future__ import annotations

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
        # Set after the base: OSError (a base of TimedOut) would keep its own strerror.
        self.errno, self.strerror, self.context = errno, text, context

    def __str__(self) -> str:
        return f"[{self.errno}] " + (f"{self.context}: {self.strerror}" if self.context else self.strerror)


class NoSuchEntry(Error):
    """2: no such socket or filter."""


class SocketClosed(Error):
    """9: the socket is closed (also when another thread closed it during a wait)."""


class TimedOut(Error, TimeoutError):
    """11: nothing came in time."""


class OutOfMemory(Error, MemoryError):
    """12: out of memory."""


class TransferBusy(Error):
    """13: a transfer with this peer is registered already."""


class AlreadyBound(Error):
    """16: the socket is bound already."""


class NoInterface(Error):
    """19: no network interface."""


class InvalidArgument(Error, ValueError):
    """22: invalid argument."""


class BadFrame(Error, ValueError):
    """42: a datagram or text that does not decode. Packet.parse raises it
    too, with the number 22 that the library sets for a malformed frame."""


class NotFound(Error, LookupError):
    """225: item not found."""


class NotBound(Error):
    """226: the socket could not bind its port."""


class ProtocolError(Error):
    """227: protocol error."""


class NotAcknowledged(ProtocolError):
    """227: the addressed node did not acknowledge a frame or a transfer."""


class PacketFull(ProtocolError):
    """227: the tuples would not fit a frame's 64-byte tuple area."""


class TransferAborted(ProtocolError):
    """227: a transfer broke off before all its data arrived."""


_BY_NUMBER: dict[int, type[Error]] = {
    n.N_ENOENT: NoSuchEntry,
    n.N_EBADF: SocketClosed,
    n.N_EAGAIN: TimedOut,
    n.N_ENOMEM: OutOfMemory,
    n.N_EACCES: TransferBusy,
    n.N_EBUSY: AlreadyBound,
    n.N_ENODEV: NoInterface,
    n.N_EINVAL: InvalidArgument,
    n.N_EILSEQ: BadFrame,
    n.N_ENOTFOUND: NotFound,
    n.N_ENOTBOUND: NotBound,
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
    """Raises InvalidArgument for a value refused before the library sees it."""
    raise InvalidArgument(n.N_EINVAL, context)
