#!/usr/bin/python3
"""The Python face beside the C interface and the nimbet tool, measured in one run.

Frames: one frame at a time sent by a node on 127.0.0.1 and received by a
node on 127.0.0.2 in one process, through nimbet.Socket and through
nimbet.open (asyncio), beside the C interface doing the same
(n_socket_send -> n_socket_recv_timeout, the "one frame" figure of
bench_table, unpinned) and plain socket.socket moving the same bytes. The
frame is the library's own: a packet whose header fields are all set.

Acknowledged sends: one frame at a time from a node on 127.0.0.1 to the
tool's listening node in another process, which acknowledges it, through
nimbet.Socket and nimbet.open, beside the C interface doing the same
(n_socket_send_acked to a C node, bench_table's "acknowledged send" figure,
unpinned).

Transfers: 1 MiB sent as a fragmented transfer between two processes on
loopback broadcast, by `nimbet send-file` to `nimbet recv-file` (timed from
the sender's start to its exit), and by a Python sender to a Python receiver
in another process, blocking and asyncio (timed from the send call to its
return: the interpreter's start is not counted). The received file must be
identical.

The process moves itself into a private network namespace (only lo) before
it opens a socket or starts a program; every program it starts runs in there.

    PYTHONPATH=python LD_LIBRARY_PATH=build bench/bench_python.py --bench-table build/bench/bench_table \\
        --tool build/tools/nimbet [--reps N] [--frames N]
"""

from __future__ import annotations

import argparse
import asyncio
import os
import re
import socket
import statistics
import subprocess
import sys
import tempfile
import time
from collections.abc import Awaitable, Callable
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "python" / "tests"))
from netns import enter_private_netns  # noqa: E402

RAW_PORT, FACE_PORT, TOOL_PORT, PY_TRANSFER_PORT, ACKED_PORT = 47600, 47601, 47602, 47603, 47604
A, B = "127.0.0.1", "127.0.0.2"
BROADCAST = "127.255.255.255"
TRANSFER_BYTES = 1 << 20
TRANSFER_SECONDS = 60  # no transfer is waited for longer

# The receiving process of a Python transfer: says "waiting" once it waits,
# "received" once the file is there.
RECEIVER = """
import asyncio, sys, nimbet
port, path, mode = int(sys.argv[1]), sys.argv[2], sys.argv[3]
if mode == "blocking":
    with nimbet.Socket(port, "127.0.0.1", "127.255.255.255", node_id="127.0.0.2") as sock:
        print("waiting", flush=True)
        sock.recv_file(path, from_="127.0.0.1", timeout=60)
else:
    async def main():
        async with nimbet.open(port, "127.0.0.1", "127.255.255.255", node_id="127.0.0.2") as sock:
            print("waiting", flush=True)
            await sock.recv_file(path, from_="127.0.0.1", timeout=60)
    asyncio.run(main())
print("received", flush=True)
"""


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


def c_interface(bench_table: str) -> tuple[float, float]:
    """Frames per second of bench_table's one-frame figure and microseconds of
    its acknowledged send (unpinned, as the Python figures are)."""
    out = subprocess.run([bench_table, "--reps", "1", "--only", "frame,acked"], capture_output=True, text=True,
                         check=True).stdout

    def us(row: str) -> float:
        rows = [line for line in out.splitlines() if line.startswith(row)]
        return float(re.split(r"\s*\|\s*", rows[-1])[4].split()[0])

    return 1e6 / us("| one frame n_socket_send"), us("| acknowledged send")


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


def face_acked(mode: str, tool: str, n: int) -> float:
    """Microseconds per send_acked of one frame to the tool's node in another process."""
    peer = subprocess.Popen([tool, "listen", str(ACKED_PORT), "--local", A, "--id", B, "--dest", BROADCAST,
                             "--seconds", str(TRANSFER_SECONDS)], stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                            text=True)
    packet = nimbet.Packet([("msg", "the quick brown fox jumps over it")])
    try:
        await_line(peer, "listening on port", "stderr")
        if mode == "blocking":
            with nimbet.Socket(ACKED_PORT, A, BROADCAST, node_id=A) as sock:
                for _ in range(50):
                    sock.send_acked(packet, to=B)
                t0 = time.perf_counter()
                for _ in range(n):
                    sock.send_acked(packet, to=B)
                return (time.perf_counter() - t0) * 1e6 / n

        async def send() -> float:
            async with nimbet.open(ACKED_PORT, A, BROADCAST, node_id=A) as sock:
                for _ in range(50):
                    await sock.send_acked(packet, to=B)
                t0 = time.perf_counter()
                for _ in range(n):
                    await sock.send_acked(packet, to=B)
                return (time.perf_counter() - t0) * 1e6 / n

        return asyncio.run(send())
    finally:
        peer.terminate()
        peer.wait(5)


def await_line(process: subprocess.Popen[str], text: str, stream: str = "stdout") -> None:
    """Reads the program's lines (on `stream`) until one holds `text`."""
    lines = getattr(process, stream)
    while text not in (line := lines.readline()):
        if not line:
            process.kill()
            raise RuntimeError(f"expected {text!r}: {process.communicate()}")


def tool_transfer(tool: str, work: Path) -> float:
    """Seconds of `nimbet send-file` to `nimbet recv-file`, from the sender's start to its exit."""
    out = work / "tool.out"
    out.unlink(missing_ok=True)
    receiver = subprocess.Popen([tool, "recv-file", str(TOOL_PORT), str(out), "--local", A, "--id", B, "--dest",
                                 BROADCAST, "--from", A, "--seconds", str(TRANSFER_SECONDS)],
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        await_line(receiver, "waiting for a file", "stderr")
        t0 = time.perf_counter()
        subprocess.run([tool, "send-file", str(TOOL_PORT), str(work / "data.bin"), "--to", B, "--local", A, "--id", A,
                        "--dest", BROADCAST, "--seconds", str(TRANSFER_SECONDS)], check=True, stdout=subprocess.DEVNULL)
        seconds = time.perf_counter() - t0
        await_line(receiver, "received")
    finally:
        receiver.terminate()
        receiver.wait(5)
    check_same(out, work)
    return seconds


def python_transfer(mode: str, work: Path) -> float:
    """Seconds of a Python send_file to a Python recv_file in another process, from the call to its return."""
    out = work / f"python-{mode}.out"
    out.unlink(missing_ok=True)
    receiver = subprocess.Popen([sys.executable, "-c", RECEIVER, str(PY_TRANSFER_PORT), str(out), mode],
                                stdout=subprocess.PIPE, text=True)
    try:
        await_line(receiver, "waiting")
        if mode == "blocking":
            with nimbet.Socket(PY_TRANSFER_PORT, A, BROADCAST, node_id=A) as sock:
                t0 = time.perf_counter()
                sock.send_file(work / "data.bin", to=B, timeout=TRANSFER_SECONDS)
                seconds = time.perf_counter() - t0
        else:
            async def send() -> float:
                async with nimbet.open(PY_TRANSFER_PORT, A, BROADCAST, node_id=A) as sock:
                    t0 = time.perf_counter()
                    await sock.send_file(work / "data.bin", to=B, timeout=TRANSFER_SECONDS)
                    return time.perf_counter() - t0

            seconds = asyncio.run(send())
        await_line(receiver, "received")
    finally:
        receiver.wait(10)
    check_same(out, work)
    return seconds


def keep_second(pair: tuple[float, float], into: list[float]) -> float:
    """The first of two figures measured together; the second goes to `into`."""
    into.append(pair[1])
    return pair[0]


def check_same(out: Path, work: Path) -> None:
    if out.read_bytes() != (work / "data.bin").read_bytes():
        raise RuntimeError(f"{out.name} differs from what was sent")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--reps", type=int, default=5)
    parser.add_argument("--frames", type=int, default=20000)
    parser.add_argument("--acked", type=int, default=5000, help="acknowledged sends per figure")
    parser.add_argument("--bench-table", help="bench_table of an optimised build (the C interface's figure)")
    parser.add_argument("--tool", help="the nimbet tool (the transfers' baseline)")
    args = parser.parse_args()

    text = "the quick brown fox jumps over the lazy dog, twice"  # fills the 64 tuple bytes
    packet = nimbet.Packet([("msg", text)], src="10.0.0.1", seq=7, location=nimbet.Location.build(x=1))
    frame = bytes(packet)
    work = Path(tempfile.mkdtemp(prefix="nimbet-bench-python-"))
    (work / "data.bin").write_bytes(os.urandom(TRANSFER_BYTES))
    figures: dict[str, tuple[Callable[[], float | Awaitable[float]], list[float]]] = {
        "raw socket.socket": (lambda: raw_blocking(frame, args.frames), []),
        "nimbet.Socket": (lambda: face_blocking(packet, args.frames), []),
        "nimbet.open (asyncio)": (lambda: face_asyncio(packet, args.frames), []),
        "Python send_file, blocking": (lambda: python_transfer("blocking", work), []),
        "Python send_file, asyncio": (lambda: python_transfer("asyncio", work), []),
    }
    if args.bench_table:
        c_figures: list[float] = []  # acknowledged sends, µs, measured with the frames
        figures["C interface"] = (lambda: keep_second(c_interface(args.bench_table), c_figures), [])
    if args.tool:
        figures["nimbet send-file"] = (lambda: tool_transfer(args.tool, work), [])
        figures["send_acked, nimbet.Socket"] = (lambda: face_acked("blocking", args.tool, args.acked), [])
        figures["send_acked, nimbet.open (asyncio)"] = (lambda: face_acked("asyncio", args.tool, args.acked), [])
    for rep in range(args.reps):
        for run, samples in figures.values():
            result = run()
            samples.append(asyncio.run(result) if asyncio.iscoroutine(result) else result)  # type: ignore[arg-type]
        print(f"repetition {rep + 1} of {args.reps} done", file=sys.stderr, flush=True)
    for f in work.iterdir():
        f.unlink()
    work.rmdir()

    m = {name: statistics.median(samples) for name, (_, samples) in figures.items()}
    c, tool = m.get("C interface"), m.get("nimbet send-file")
    c_acked = statistics.median(c_figures) if args.bench_table else None
    print(f"\nPython {sys.version.split()[0]}, medians of {args.reps} repetitions, unpinned.")
    print(f"\n| {len(frame)}-byte frames sent and received one at a time, per second | frames/s | ratio | goal |")
    print("|---|---|---|---|")
    if c is not None:
        print(f"| C interface (n_socket_send → n_socket_recv_timeout) | {c:,.0f} | | |")
    raw = m["raw socket.socket"]
    print(f"| raw `socket.socket` (sendto + recv of the same bytes) | {raw:,.0f} | | |")
    for name in ("nimbet.Socket", "nimbet.open (asyncio)"):
        ratio = f"{m[name] / c:.2f}x C" if c else f"{m[name] / raw:.2f}x raw"
        print(f"| `{name}` | {m[name]:,.0f} | {ratio} | ≥ 0.6x C |")
    if tool is not None:
        print("\n| acknowledged send of one frame to a node in another process, µs | µs | ratio |")
        print("|---|---|---|")
        if c_acked is not None:
            print(f"| C interface (n_socket_send_acked) | {c_acked:.1f} | |")
        for name, label in (("send_acked, nimbet.Socket", "`Socket.send_acked`"),
                            ("send_acked, nimbet.open (asyncio)", "`AsyncSocket.send_acked` (asyncio)")):
            ratio = f"{m[name] / c_acked:.2f}x C" if c_acked else ""
            print(f"| {label} | {m[name]:.1f} | {ratio} |")
    print("\n| 1 MiB transfer (23,302 parts of 45 bytes), two processes | seconds | ratio | goal |")
    print("|---|---|---|---|")
    if tool is not None:
        print(f"| `nimbet send-file` → `nimbet recv-file` | {tool:.3f} | | |")
    for name in ("Python send_file, blocking", "Python send_file, asyncio"):
        ratio = f"{m[name] / tool:.2f}x tool" if tool else ""
        print(f"| {name} (receiver alike) | {m[name]:.3f} | {ratio} | ≤ 2x tool |")


if __name__ == "__main__":
    enter_private_netns()
    import nimbet

    main()
