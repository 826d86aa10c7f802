"""The asyncio socket: exchanges, acknowledged sends and transfers served by the event loop, timeouts and cancellation."""

import asyncio
import gc
import os
import resource
import time

import pytest

import nimbet
from nimbet import Packet

A, B = "10.0.0.1", "10.0.0.2"


@pytest.fixture
async def pair(port):
    async with nimbet.open(port, "127.0.0.1", "127.255.255.255", node_id=A) as a, \
               nimbet.open(port, "127.0.0.2", "127.255.255.255", node_id=B) as b:
        yield a, b


def cpu_seconds():
    usage = resource.getrusage(resource.RUSAGE_SELF)
    return usage.ru_utime + usage.ru_stime


async def test_frames_flow_both_ways_and_async_for_reads_them(pair):
    a, b = pair
    for i in range(3):
        a.send(Packet([("seq", bytes([i]))]))
    got = []
    async for frame in b:
        got.append(frame.get("seq"))
        if len(got) == 3:
            break
    assert got == [b"\0", b"\1", b"\2"]
    b.send(Packet([("msg", b"back")]))
    assert (await a.recv(timeout=1)).get("seq") == b"\0"  # a hears its own broadcasts first
    assert (await asyncio.wait_for(b.recv(), 1)).get("msg") == b"back"


async def test_acknowledged_send_completes_while_the_peer_only_serves(pair):
    a, b = pair
    await a.send_acked(Packet([("msg", b"please")]), to=B)  # b's loop answers; nobody awaits b
    frame = await b.recv(timeout=1)
    assert frame.get("msg") == b"please" and frame.acked
    b.autoack = False
    with pytest.raises(nimbet.NotAcknowledged):
        await a.send_acked(Packet([("msg", b"?")]), to=B, retries=2, ack_timeout=0.05)


async def test_transfers_run_concurrently_with_progress(pair, tmp_path):
    a, b = pair
    data = os.urandom(30000)
    seen = []
    receiving = asyncio.create_task(b.recv_file(tmp_path / "out.bin", progress=lambda d, t: seen.append((d, t))))
    await asyncio.sleep(0)
    sending = asyncio.create_task(a.send_buffer(data, to=B))
    a.send(Packet([("msg", b"meanwhile")]))
    assert (await b.recv(timeout=2)).get("msg") == b"meanwhile"  # frames pass during the transfer
    assert await sending == len(data)
    assert await receiving == nimbet.NodeId(A)
    assert (tmp_path / "out.bin").read_bytes() == data
    assert seen[-1] == (len(data), len(data))


async def test_cancelling_leaves_the_socket_usable(pair):
    a, b = pair
    waiting = asyncio.create_task(b.recv())
    await asyncio.sleep(0.02)
    waiting.cancel()
    with pytest.raises(asyncio.CancelledError):
        await waiting
    b.autoack = False
    acked = asyncio.create_task(a.send_acked(Packet([("msg", b"x")]), to=B))
    transfer = asyncio.create_task(a.send_buffer(os.urandom(5000), to="10.9.9.9"))
    await asyncio.sleep(0.05)
    with pytest.raises(nimbet.TransferBusy):
        await a.send_buffer(b"z", to="10.9.9.9")
    acked.cancel()
    transfer.cancel()
    for task in (acked, transfer):
        with pytest.raises(asyncio.CancelledError):
            await task
    b.autoack = True
    assert not a._events.sends and not a._events.transfers and not a._ops
    a.send(Packet([("msg", b"after")]))
    frames = [await b.recv(timeout=1) for _ in range(2)]
    assert frames[-1].get("msg") == b"after"
    await a.send_acked(Packet([("msg", b"again")]), to=B)
    received = asyncio.create_task(b.recv_buffer(from_=A))
    await asyncio.sleep(0)
    with pytest.raises(nimbet.TimedOut):  # not TransferBusy: the cancelled transfer is gone
        await a.send_buffer(b"y", to="10.9.9.9", timeout=0.05)
    assert await a.send_buffer(b"y" * 100, to=B) == 100
    assert await received == (nimbet.NodeId(A), b"y" * 100)


async def test_waits_cost_no_processor_time(pair):
    a, b = pair
    b.autoack = False
    a.retries, a.ack_timeout = 2, 0.3
    before = cpu_seconds()
    t0 = time.monotonic()
    assert await b.recv(timeout=0.3) is None
    with pytest.raises(nimbet.NotAcknowledged):
        await a.send_buffer(b"z" * 1000, to=B)  # a's timers resend the first part; b never answers
    assert time.monotonic() - t0 >= 0.6
    assert cpu_seconds() - before < 0.15
    with pytest.raises(nimbet.TimedOut):
        await a.recv_buffer(timeout=0.1)


async def test_close_ends_what_waits(pair, tmp_path):
    a, _ = pair
    waiting = asyncio.create_task(a.recv())
    receiving = asyncio.create_task(a.recv_file(tmp_path / "never"))
    await asyncio.sleep(0.02)
    a.close()
    with pytest.raises(nimbet.SocketClosed):
        await waiting
    with pytest.raises(nimbet.SocketClosed):
        await receiving
    assert [f async for f in a] == []


async def test_a_full_queue_stops_the_reading_and_loses_nothing(port):
    async with nimbet.open(port, "127.0.0.1", "127.255.255.255", node_id=A, queue=10) as a, \
               nimbet.open(port, "127.0.0.2", "127.255.255.255", node_id=B) as b:
        for i in range(100):
            b.send(Packet([("seq", i.to_bytes(2, "big"))]))
        before = cpu_seconds()
        await asyncio.sleep(0.2)  # the loop reads until the queue is full, then leaves the rest to the kernel
        assert len(a._pending) == 10
        assert cpu_seconds() - before < 0.1  # and does not spin on a socket it may not read
        got = [(await a.recv(timeout=1)).get("seq") for _ in range(100)]
        assert got == [i.to_bytes(2, "big") for i in range(100)]
        assert a.stats().queue_drops == 0


async def test_unclosed_sockets_are_collected_and_stop_answering(port):
    """The loop keeps no socket alive: one dropped unclosed is closed (with a ResourceWarning) and answers no more."""
    before = len(os.listdir("/proc/self/fd"))
    with pytest.warns(ResourceWarning, match="unclosed AsyncSocket"):
        for _ in range(20):
            nimbet.open(port, "127.0.0.2", "127.255.255.255", node_id=B)
        gc.collect()
    assert len(os.listdir("/proc/self/fd")) == before
    async with nimbet.open(port, "127.0.0.1", "127.255.255.255", node_id=A) as a:
        with pytest.raises(nimbet.NotAcknowledgedError):
            await a.send_acked(Packet([("msg", b"anyone?")]), to=B, retries=2, ack_timeout=0.05)


async def test_open_is_awaited_or_entered_and_stays_out_of_star_imports(port):
    sock = await nimbet.open(port, "127.0.0.1", "127.255.255.255")
    try:
        assert isinstance(sock, nimbet.AsyncSocket) and not sock.closed
    finally:
        sock.close()
    names: dict[str, object] = {}
    exec("from nimbet import *", names)
    assert "open" not in names and "Socket" in names and "NotAcknowledgedError" in names


async def test_the_loop_acknowledges_only_what_the_filter_lets_through(pair):
    a, b = pair
    b.filter = nimbet.Filter.type("tmp")
    with pytest.raises(nimbet.NotAcknowledgedError):
        await a.send_acked(Packet([("msg", b"dropped")]), to=B, retries=2, ack_timeout=0.05)
    await a.send_acked(Packet([("tmp", b"taken")]), to=B)
    frame = await b.recv(timeout=1)
    assert dict(frame) == {"tmp": b"taken"} and frame.acked
    assert await b.recv(timeout=0.05) is None
