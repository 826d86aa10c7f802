"""``python3 -m nimbet``: listen, send and move files from the command line, as the nimbet tool does.

For those who have Python and the package but not the tool. The commands,
their options, exit statuses and ``--json`` lines are the tool's (the JSON
Schema tool-events.schema.json describes the lines), for the commands
listen, send, send-file and recv-file.
"""

from __future__ import annotations

import argparse
import json
import signal
import sys
import time
from collections.abc import Callable
from dataclasses import asdict
from typing import Any

from . import Filter, Packet, Socket, __version__
from . import _native as n
from .errors import Error, NotAcknowledgedError, TimedOutError, TransferAbortedError
from .values import NodeId

OK, FAILED, USAGE, NOT_ACKNOWLEDGED, TIME_UP, INTERRUPTED = 0, 1, 2, 3, 4, 130
CAC_KINDS = {0: "single", 1: "fragment", 2: "last-fragment"}
HELP = """exit status: 0 done, 1 failure, 2 mistake on the command line, 3 not acknowledged,
4 the time limit (--seconds) was reached first, 130 interrupted (Ctrl-C).
Without --dest frames go to every interface's broadcast address; --local needs --dest."""


class Output:
    """Lines for people, or with --json one JSON object per line (the tool's events)."""

    def __init__(self, as_json: bool) -> None:
        self.json = as_json

    def event(self, name: str, text: str, **fields: Any) -> None:
        if self.json:
            print(json.dumps({"event": name, "time": round(time.time(), 3), **fields}), flush=True)
        elif text:
            print(text, flush=True)


def tuple_json(kind: str | bytes, data: bytes) -> dict[str, Any]:
    entry: dict[str, Any] = {"type": kind if isinstance(kind, str) else kind.hex(), "len": len(data)}
    try:
        text = data.decode()
        if text.isprintable():
            entry["text"] = text
            return entry
    except UnicodeDecodeError:
        pass
    entry["hex"] = data.hex()
    return entry


def frame_event(out: Output, frame: Packet) -> None:
    control = dict(frame.control).get("cac")
    cac = None if control is None or len(control) < 2 else {
        "reply": bool(control[0] & 1), "kind": CAC_KINDS.get(control[0] >> 1, "invalid"), "seq": control[1]}
    sender = frame.sender
    fields: dict[str, Any] = {
        "src": str(frame.src), "from": f"{sender[0]}:{sender[1]}" if sender else "0.0.0.0:0", "seq": frame.seq,
        "addressed": None if frame.to is None else str(frame.to), "ack": frame.acked, "cac": cac,
        "tuples": [tuple_json(kind, data) for kind, data in frame],
    }
    if frame.location is not None and any(bytes(frame.location)):
        fields["location"] = str(frame.location)
    data = " ".join(f"{kind}={data.decode() if data.isascii() and data.decode().isprintable() else data.hex()}"
                    for kind, data in frame)
    out.event("frame", f"{frame.src} seq {frame.seq}{' (acknowledged)' if frame.acked else ''}: {data}", **fields)


def open_socket(args: argparse.Namespace, **options: Any) -> Socket:
    sock = Socket(args.port, args.local, args.dest, node_id=args.id, **options)
    sock.retries = args.retry
    sock.ack_timeout = args.timeout / 1000
    return sock


def listen(args: argparse.Namespace, out: Output, sock: Socket, deadline: float | None) -> tuple[int, dict[str, Any]]:
    frames = 0
    while args.count is None or frames < args.count:
        left = None if deadline is None else deadline - time.monotonic()
        if left is not None and left <= 0:
            return (TIME_UP if args.count is not None else OK), {"frames": frames}
        frame = sock.recv(timeout=left)
        if frame is not None:
            frames += 1
            frame_event(out, frame)
    return OK, {"frames": frames}


def send(args: argparse.Namespace, out: Output, sock: Socket, deadline: float | None) -> tuple[int, dict[str, Any]]:
    packet = Packet([(args.type_, args.text)])
    t0 = time.monotonic()
    to = "everybody" if args.to is None else str(NodeId(args.to))
    try:
        if args.acked:
            left = None if deadline is None else max(0.0, deadline - time.monotonic())
            sock.send_acked(packet, to=args.to, timeout=left)
            name, status = "acknowledged", OK
        else:
            sock.send(packet, to=args.to)
            name, status = "sent", OK
    except NotAcknowledgedError:
        name, status = "not-acknowledged", NOT_ACKNOWLEDGED
    except TimedOutError:
        name, status = "not-acknowledged", TIME_UP
    seq = n.lib.n_socket_get_last_seq(sock.fileno())
    ms = round((time.monotonic() - t0) * 1000)
    out.event(name, f"{name} ({ms} ms)", type=args.type_, seq=seq, to=to, ms=ms)
    return status, {"frames": 1}


def transfer(args: argparse.Namespace, out: Output, sock: Socket, deadline: float | None,
             run: Callable[..., Any], peer_field: str) -> tuple[int, dict[str, Any]]:
    last = [0.0]

    def progress(done: int, total: int | None) -> None:
        now = time.monotonic()
        if now - last[0] >= 1:
            last[0] = now
            fields = {"bytes": done, "rate": 0.0, "parts": 0, "resent": 0}
            if total is not None:
                fields["total"] = total
            out.event("progress", "" if out.json else f"{done} of {total} bytes", **fields)

    left = None if deadline is None else max(0.0, deadline - time.monotonic())
    t0 = time.monotonic()
    try:
        result = run(progress=progress, timeout=left)
    except TimedOutError:
        return TIME_UP, {}
    except (NotAcknowledgedError, TransferAbortedError) as e:
        print(f"nimbet: {e}", file=sys.stderr)
        return (NOT_ACKNOWLEDGED if isinstance(e, NotAcknowledgedError) else FAILED), {}
    seconds = max(time.monotonic() - t0, 1e-6)
    size, peer = result
    out.event("done", f"{'sent' if peer_field == 'to' else 'received'} {size} bytes", bytes=size,
              rate=round(size / seconds, 1), **{peer_field: str(peer)}, **({"file": args.file}))
    return OK, {"bytes": size, peer_field: str(peer)}


def send_file(args: argparse.Namespace, out: Output, sock: Socket, deadline: float | None) -> tuple[int, dict[str, Any]]:
    def run(**kw: Any) -> tuple[int, NodeId]:
        return sock.send_file(args.file, to=args.to, type=args.type_, **kw), NodeId(args.to)

    return transfer(args, out, sock, deadline, run, "to")


def recv_file(args: argparse.Namespace, out: Output, sock: Socket, deadline: float | None) -> tuple[int, dict[str, Any]]:
    def run(**kw: Any) -> tuple[int, NodeId]:
        if not args.json:
            print(f"waiting for a file on port {args.port}", flush=True)
        peer = sock.recv_file(args.file, args.from_, **kw)
        with open(args.file, "rb") as f:
            return len(f.read()), peer

    return transfer(args, out, sock, deadline, run, "from")


COMMANDS = {"listen": listen, "send": send, "send-file": send_file, "recv-file": recv_file}


def parser() -> argparse.ArgumentParser:
    top = argparse.ArgumentParser(prog="python3 -m nimbet", description=__doc__.splitlines()[0], epilog=HELP,
                                  formatter_class=argparse.RawDescriptionHelpFormatter)
    top.add_argument("--version", action="version", version=f"nimbet {__version__}")
    commands = top.add_subparsers(dest="command", required=True)
    common = argparse.ArgumentParser(add_help=False)
    common.add_argument("port", type=int)
    common.add_argument("--id", help="this node's identifier: 8 numbers, or a.b.c.d for 1.1.1.1.a.b.c.d")
    common.add_argument("--local", help="an IPv4 address of this host (names the node when --id is not given)")
    common.add_argument("--dest", help="send only to this address instead of every interface's broadcast address")
    common.add_argument("--retry", type=int, default=10, help="transmissions of an acknowledged frame (default 10)")
    common.add_argument("--timeout", type=int, default=163, help="wait for each acknowledgement, ms (default 163)")
    common.add_argument("--seconds", type=float, help="stop after this many seconds")
    common.add_argument("--json", action="store_true", help="one JSON object per line on standard output")
    p = commands.add_parser("listen", parents=[common], help="receive frames, print one line each")
    p.add_argument("--count", type=int, help="stop after this many frames")
    p.add_argument("--all", action="store_true", help="also frames addressed to other nodes")
    p.add_argument("--filter", action="append", default=[], metavar="acl=TYPE|id=PATTERN",
                   help="only frames that match (several are ANDed)")
    p = commands.add_parser("send", parents=[common], help="send one frame with a tuple of type TYPE holding TEXT")
    p.add_argument("type_", metavar="TYPE")
    p.add_argument("text", metavar="TEXT")
    p.add_argument("--to", help="address the frame to this node")
    p.add_argument("--acked", action="store_true", help="wait for the addressed node's acknowledgement")
    p = commands.add_parser("send-file", parents=[common], help="send a file as a fragmented, acknowledged transfer")
    p.add_argument("file", metavar="FILE")
    p.add_argument("--to", required=True, help="the receiving node")
    p.add_argument("--type", dest="type_", default="fil", help="3-letter type of the data tuples (default fil)")
    p = commands.add_parser("recv-file", parents=[common], help="receive one fragmented transfer into OUTFILE")
    p.add_argument("file", metavar="OUTFILE")
    p.add_argument("--from", dest="from_", help="accept the transfer of this node only")
    return top


def filter_of(expressions: list[str]) -> Filter | None:
    """The tool's acl=TYPE and id=PATTERN filters, ANDed."""
    result = None
    for text in expressions:
        key, _, value = text.partition("=")
        negate = key.endswith("!")
        key = key.rstrip("!")
        if key == "acl":
            f = Filter.type(value)
        elif key == "id":
            f = Filter.node_id(value)
        elif key == "loc":
            f = Filter.location(value)
        else:
            raise ValueError(f"not a filter: {text!r}")
        f = ~f if negate else f
        result = f if result is None else result & f
    return result


def main(argv: list[str] | None = None) -> int:
    args = parser().parse_args(argv)
    if args.command == "send" and args.acked and not args.to:
        print("nimbet: --acked needs --to", file=sys.stderr)
        return USAGE
    out = Output(args.json)
    signal.signal(signal.SIGTERM, signal.default_int_handler)
    t0 = time.monotonic()
    deadline = None if args.seconds is None else t0 + args.seconds
    extra: dict[str, Any] = {}
    sock = None
    try:
        options: dict[str, Any] = {}
        if args.command == "listen":
            options = {"recv_all": args.all, "filter": filter_of(args.filter)}
        sock = open_socket(args, **options)
        status, extra = COMMANDS[args.command](args, out, sock, deadline)
    except KeyboardInterrupt:
        status = INTERRUPTED
    except (ValueError, TypeError) as e:
        print(f"nimbet: {e}", file=sys.stderr)
        status = USAGE
    except (Error, OSError) as e:
        print(f"nimbet: {e}", file=sys.stderr)
        status = FAILED
    finally:
        stats = asdict(sock.stats()) if sock is not None and not sock.closed else {}
        if sock is not None:
            sock.close()
    if args.json:
        out.event("summary", "", command=args.command, status=status, seconds=round(time.monotonic() - t0, 3),
                  **extra, **({"stats": stats} if stats else {}))
    return status


if __name__ == "__main__":
    sys.exit(main())
