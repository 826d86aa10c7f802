#!/usr/bin/python3
"""Frames per second through the Python face, blocking and asyncio, beside
raw Python sockets moving the same bytes, measured in one run.

Each figure sends one frame from a node on 127.0.0.1 to a node on 127.0.0.2
and receives it, one frame at a time, in one process: through
nimbet.Socket, through nimbet.open (asyncio), and through plain
socket.socket (blocking, and with loop.sock_recv). The frame is the library's
own: a packet whose header fields are all set, so the library sends exactly
bytes(packet), and the raw sockets send those bytes. The process moves itself
into a private network namespace (only lo) before it opens a socket.

    PYTHONPATH=python LD_LIBRARY_PATH=build bench/bench_python.py [--reps N] [--frames N]
"""

from __future__ import annotations

import argparse
import asyncio
import socket
import statistics
import sys
import time
from collections.abc import Awaitable, Callable
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "python" / "tests"))
from netns import enter_private_netns  # noqa: E402

RAW_PORT, FACE_PORT = 47600, 47601
A, B = "127.0.0.1", "127.0.0.2"


def raw_pair(port: int) -> tuple[socket.socket, socket.socket]:
    a, b = socket.socket(socket.AF_INET, socket.SOCK_DGRAM), socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    a.bind((A, port))
    b.bind((B, port))
    return a, b


def raw_blocking(frame: bytes, n: int) -> float:
    a, b = raw_pair(RAW_PORT)
    with a, b:
        to = (B, RAW_PORT)
        t0 = time.perf_counter()
        for _ in range(n):
            a.sendto(frame, to)
            assert len(b.recv(311)) == len(frame)
        return n / (time.perf_counter() - t0)


async def raw_asyncio(frame: bytes, n: int) -> float:
    loop = asyncio.get_running_loop()
    a, b = raw_pair(RAW_PORT)
    with a, b:
        a.setblocking(False)
        b.setblocking(False)
        to = (B, RAW_PORT)
        t0 = time.perf_counter()
        for _ in range(n):
            a.sendto(frame, to)
            assert len(await loop.sock_recv(b, 311)) == len(frame)
        return n / (time.perf_counter() - t0)


def face_blocking(packet: nimbet.Packet, n: int) -> float:
    with nimbet.Socket(FACE_PORT, A, B, node_id="10.0.0.1") as a, \
         nimbet.Socket(FACE_PORT, B, A, node_id="10.0.0.2") as b:
        t0 = time.perf_counter()
        for _ in range(n):
            a.send(packet)
            assert b.recv(1.0)[0][0] == "msg"  # type: ignore[index]
        return n / (time.perf_counter() - t0)


async def face_asyncio(packet: nimbet.Packet, n: int) -> float:
    async with nimbet.open(FACE_PORT, A, B, node_id="10.0.0.1") as a, \
               nimbet.open(FACE_PORT, B, A, node_id="10.0.0.2") as b:
        t0 = time.perf_counter()
        for _ in range(n):
            a.send(packet)
            assert (await b.recv(1.0))[0][0] == "msg"  # type: ignore[index]
        return n / (time.perf_counter() - t0)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--reps", type=int, default=5)
    parser.add_argument("--frames", type=int, default=20000)
    args = parser.parse_args()

    text = "the quick brown fox jumps over the lazy dog, twice"  # fills the 64 tuple bytes
    packet = nimbet.Packet([("msg", text)], src="10.0.0.1", seq=7, location=nimbet.Location.build(x=1))
    frame = bytes(packet)
    figures: dict[str, tuple[Callable[[], float | Awaitable[float]], list[float]]] = {
        "raw socket, blocking": (lambda: raw_blocking(frame, args.frames), []),
        "nimbet.Socket": (lambda: face_blocking(packet, args.frames), []),
        "raw socket, asyncio (loop.sock_recv)": (lambda: raw_asyncio(frame, args.frames), []),
        "nimbet.open (asyncio)": (lambda: face_asyncio(packet, args.frames), []),
    }
    for rep in range(args.reps):
        for run, samples in figures.values():
            result = run()
            samples.append(asyncio.run(result) if asyncio.iscoroutine(result) else result)  # type: ignore[arg-type]
        print(f"repetition {rep + 1} of {args.reps} done", file=sys.stderr, flush=True)

    median = {name: statistics.median(samples) for name, (_, samples) in figures.items()}
    raw, raw_async = median["raw socket, blocking"], median["raw socket, asyncio (loop.sock_recv)"]
    print(f"\nPython {sys.version.split()[0]}, {len(frame)}-byte frames sent and received one at a time, "
          f"medians of {args.reps} repetitions of {args.frames} frames:")
    print(f"  {'':38} {'frames/s':>10}  ratio")
    for name, value in median.items():
        ratio = ""
        if name == "nimbet.Socket":
            ratio = f"{value / raw:.2f}x raw blocking"
        elif name == "nimbet.open (asyncio)":
            ratio = f"{value / raw_async:.2f}x raw asyncio, {value / raw:.2f}x raw blocking"
        elif name != "raw socket, blocking":
            ratio = f"{value / raw:.2f}x raw blocking"
        print(f"  {name:38} {value:10.0f}  {ratio}")


if __name__ == "__main__":
    enter_private_netns()
    import nimbet

    main()
