"""The blocking socket: two nodes on one host exchanging frames, acknowledged frames and transfers."""

import ctypes
import errno
import gc
import os
import threading
import time
from contextlib import contextmanager

import pytest

import nimbet
from nimbet import Packet, Socket

A, B = "10.0.0.1", "10.0.0.2"


@pytest.fixture
def pair(port):
    """Two nodes on the port, reaching each other (and themselves) through the loopback broadcast address."""
    with Socket(port, "127.0.0.1", "127.255.255.255", node_id=A) as a, \
         Socket(port, "127.0.0.2", "127.255.255.255", node_id=B) as b:
        yield a, b


@contextmanager
def serving(sock, **transfer):
    """Runs a node in a thread: receiving and keeping frames, or receiving one transfer."""
    got, stop = [], threading.Event()

    def run():
        if transfer:
            got.append(sock.recv_buffer(**transfer) if "path" not in transfer else sock.recv_file(**transfer))
            return
        while not stop.is_set():
            frame = sock.recv(timeout=0.05)
            if frame is not None:
                got.append(frame)

    thread = threading.Thread(target=run)
    thread.start()
    try:
        yield got
    finally:
        stop.set()
        thread.join(10)


def test_frame_travels_with_its_header_and_sender(pair):
    a, b = pair
    seq = a.send(Packet([("tmp", b"\x15\x05"), ("msg", "hi")]))
    frame = b.recv(timeout=1)
    assert list(frame) == [("tmp", b"\x15\x05"), ("msg", b"hi")]
    assert (frame.src, frame.seq, frame.sender, frame.to) == (nimbet.NodeId(A), seq, ("127.0.0.1", a.port), None)
    assert a.recv(timeout=1) == frame  # a broadcast reaches its sender too
    assert a.send(Packet([("msg", b"x")])) == (seq + 1) % 256
    assert b.stats().frames_received == 1 and a.stats().frames_sent == 2


def test_threads_receiving_at_once_each_take_whole_frames(pair):
    """Receives of three threads on one socket run at once (each in the library,
    without the interpreter's lock): every frame arrives once, whole, with its own header."""
    a, b = pair
    got, stop, count = [], threading.Event(), 4000

    def run():
        while not stop.is_set():
            frame = b.recv(timeout=0.05)
            if frame is not None:
                got.append(frame)

    def received(n):
        deadline = time.monotonic() + 5
        while len(got) < n and time.monotonic() < deadline:
            time.sleep(0.001)

    threads = [threading.Thread(target=run) for _ in range(3)]
    for thread in threads:
        thread.start()
    sent = {}
    try:
        for i in range(count):
            sent[i] = a.send(Packet([("msg", i.to_bytes(4, "big") * 15)]))
            if i % 100 == 99:  # no more in flight than the socket's buffer holds
                received(i - 20)
        received(count)
    finally:
        stop.set()
        for thread in threads:
            thread.join(5)
    numbers = [int.from_bytes(f.get("msg")[:4], "big") for f in got]
    assert sorted(numbers) == list(range(count))
    assert all(f.get("msg") == f.get("msg")[:4] * 15 and f.seq == sent[i] for f, i in zip(got, numbers))


def test_a_frame_no_destination_takes_raises_the_systems_error(port):
    """The only destination has no route (nothing leaves the namespace): the system's refusal is the error."""
    with Socket(port, "127.0.0.1", "10.99.0.1", node_id=A) as s:
        for to in (None, B):
            with pytest.raises(OSError) as e:
                s.send(Packet([("msg", b"x")]), to=to)
            assert type(e.value) is OSError and e.value.errno == errno.ENETUNREACH


def test_recv_gives_none_when_the_time_runs_out(pair):
    _, b = pair
    t0 = time.monotonic()
    assert b.recv(timeout=0.2) is None
    assert 0.19 <= time.monotonic() - t0 < 1
    assert b.recv(timeout=0) is None


def test_addressed_frame_reaches_only_its_node(pair, port):
    a, b = pair
    with Socket(port, "127.0.0.3", "127.255.255.255", node_id="10.0.0.3") as c:
        a.send(Packet([("msg", b"for b")]), to=B)
        frame = b.recv(timeout=1)
        assert frame.to == nimbet.NodeId(B) and frame.get("msg") == b"for b"
        assert c.recv(timeout=0.1) is None
        assert c.stats().not_for_us == 1


def test_acknowledged_frame_is_delivered_once_and_frames_meanwhile_are_kept(pair):
    a, b = pair
    b.send(Packet([("msg", b"early")]))  # waits in a's socket during the acknowledged send
    with serving(b) as got:
        a.send_acked(Packet([("msg", b"please")]), to=B)
        time.sleep(0.1)
    assert [f.get("msg") for f in got] == [b"early", b"please"]
    assert got[1].acked and got[1].to == nimbet.NodeId(B)
    assert a.recv(timeout=0).get("msg") == b"early"
    assert b.stats().acks_sent == 1 and a.stats().acks_received == 1


def test_unanswered_acknowledged_send_raises_after_its_retries(pair):
    a, b = pair
    b.autoack = False
    t0 = time.monotonic()
    with serving(b) as got:
        with pytest.raises(nimbet.NotAcknowledged) as e:
            a.send_acked(Packet([("msg", b"?")]), to=B, retries=3, ack_timeout=0.05)
    assert e.value.errno == 227
    assert 0.15 <= time.monotonic() - t0 < 1
    assert len(got) == 1  # repeats are recognised as such
    assert b.stats().duplicates == 2


def test_transfer_reports_progress_and_arrives_whole(pair, tmp_path):
    a, b = pair
    data = os.urandom(20000)
    source, target = tmp_path / "in.bin", tmp_path / "out.bin"
    source.write_bytes(data)
    seen = []
    with serving(b, path=target, progress=lambda done, total: seen.append((done, total)), timeout=10) as got:
        time.sleep(0.05)
        assert a.send_file(source, to=B, type="dat") == len(data)
    assert got == [nimbet.NodeId(A)]
    assert target.read_bytes() == data and not (tmp_path / "out.bin.part").exists()
    assert seen[-1] == (len(data), len(data))
    assert all(x[0] <= y[0] for x, y in zip(seen, seen[1:]))
    with serving(b, from_=A, timeout=10) as got:  # the next transfer, in memory, from a named node
        time.sleep(0.05)
        a.send_buffer(data[:100], to=B)
    assert got == [(nimbet.NodeId(A), data[:100])]


def test_transfer_window_is_a_setting_of_each_side(pair):
    a, b = pair
    assert a.transfer_window == 64
    with pytest.raises(TypeError):
        a.transfer_window = "8"
    with pytest.raises(ValueError):
        a.transfer_window = 129
    data = os.urandom(5000)
    for window in (1, 128):  # one part at a time, and the widest window
        a.transfer_window = b.transfer_window = window
        assert a.transfer_window == window
        with serving(b, from_=A, timeout=10) as got:
            time.sleep(0.05)
            assert a.send_buffer(data, to=B) == len(data)
        assert got == [(nimbet.NodeId(A), data)]
    a.transfer_window = 0
    assert a.transfer_window == 1


def test_transfer_to_a_silent_node_is_not_acknowledged(pair, tmp_path):
    a, _ = pair
    a.retries, a.ack_timeout = 2, 0.05
    with pytest.raises(nimbet.NotAcknowledged):
        a.send_buffer(b"x" * 500, to="10.9.9.9")
    with pytest.raises(nimbet.TimedOut):
        a.recv_file(tmp_path / "never", timeout=0.1)
    a.close()  # which ends the arrangement for the file
    assert list(tmp_path.iterdir()) == []


def test_closing_wakes_a_waiting_receive(pair):
    a, _ = pair
    errors = []
    thread = threading.Thread(target=lambda: errors.append(pytest.raises(nimbet.SocketClosed, a.recv)))
    thread.start()
    time.sleep(0.1)
    a.close()
    thread.join(2)
    assert not thread.is_alive() and errors
    with pytest.raises(nimbet.SocketClosed):
        a.send(Packet([("msg", b"")]))


def test_filter_drops_what_it_refuses(pair):
    a, b = pair
    b.filter = nimbet.Filter.type("tmp") & ~nimbet.Filter.node_id(nimbet.NodeId(B))
    b.send(Packet([("tmp", b"own")]))
    a.send(Packet([("hum", b"no")]))
    a.send(Packet([("tmp", b"yes")]))
    assert b.recv(timeout=1).get("tmp") == b"yes"
    assert b.recv(timeout=0.05) is None


def test_options_and_settings_reach_the_socket(port):
    with Socket(port, node_id="10.77.0.9", autoack=False, frag=True) as s:
        assert (s.node_id, s.port, s.autoack, s.frag, s.recv_all) == (nimbet.NodeId("10.77.0.9"), port, False, True, False)
        assert s.dest == ["10.77.0.255", "127.0.0.1"] and s.local == "0.0.0.0"
        s.retries, s.ack_timeout = 3, 0.5
        assert (s.retries, s.ack_timeout) == (3, 0.5)
        s.dest = "127.255.255.255"
        assert s.dest == ["127.255.255.255"]
        loc = nimbet.Location.build(nodes=("lab",))
        s.location = loc
        assert s.location == loc
    with pytest.raises(nimbet.InvalidArgument):
        Socket(70000)
    with pytest.raises(nimbet.BadFrame):
        Socket(port, "127.0.0.1", "1.2.3")


def test_recv_waits_its_timeout_once_not_twice(pair, monkeypatch):
    """The library's waits of one recv add up to its timeout (a clock moved by those waits, not by the host)."""
    _, b = pair
    now = [1000.0]
    waited = []
    real = nimbet._node._recv_frame

    def recv_counting(fd, ack_fd, ms, *rest):
        waited.append(ms)
        now[0] += ms / 1000
        return real(fd, ack_fd, 0, *rest)

    monkeypatch.setattr(nimbet._node, "_recv_frame", recv_counting)
    monkeypatch.setattr(nimbet.socket, "time", type("Clock", (), {"monotonic": staticmethod(lambda: now[0])}))
    for timeout in (0.1, 0.2, 0.3, 1.0):
        waited.clear()
        assert b.recv(timeout=timeout) is None
        assert sum(waited) == round(timeout * 1000), (timeout, waited)


def test_a_full_queue_drops_only_frames_nobody_acknowledged(port, caplog):
    """During a call that waits (here for a transfer), a burst of broadcast frames beyond
    the queue is dropped and counted; the frames this node acknowledged all stay."""
    with Socket(port, "127.0.0.1", "127.255.255.255", node_id=A, queue=10) as a, \
         Socket(port, "127.0.0.2", "127.255.255.255", node_id=B) as b:
        def peer():
            for i in range(5):
                b.send_acked(Packet([("ack", bytes([i]))]), to=A)
            for i in range(30):
                b.send(Packet([("brd", bytes([i]))]))
            for i in range(5, 10):  # these come with the queue full
                b.send_acked(Packet([("ack", bytes([i]))]), to=A)
            b.send_buffer(b"end", to=A)

        thread = threading.Thread(target=peer)
        with caplog.at_level("INFO", logger="nimbet"):
            thread.start()
            assert a.recv_buffer(from_=B, timeout=10) == (nimbet.NodeId(B), b"end")
            thread.join(10)
            queued = [a.recv(timeout=0) for _ in range(15)]
        assert a.recv(timeout=0) is None
        acked = queued[:5] + queued[10:]
        assert [f.get("ack") for f in acked] == [bytes([i]) for i in range(10)] and all(f.acked for f in acked)
        assert [f.get("brd") for f in queued[5:10]] == [bytes([i]) for i in range(5)]
        assert a.stats().queue_drops == 25
        warnings = [r for r in caplog.records if r.name == "nimbet" and r.levelname == "WARNING"]
        assert len(warnings) == 1 and "full" in warnings[0].getMessage()  # the first drop of the burst only
        a.reset_stats()
        assert a.stats().queue_drops == 0


def test_a_socket_nobody_closed_warns_and_is_closed(port):
    before = len(os.listdir("/proc/self/fd"))
    with pytest.warns(ResourceWarning, match="unclosed Socket"):
        Socket(port, "127.0.0.1", "127.255.255.255")
        gc.collect()
    assert len(os.listdir("/proc/self/fd")) == before


def test_send_acked_timeout_bounds_the_whole_wait(pair):
    a, b = pair
    b.autoack = False
    with pytest.raises(nimbet.TimedOutError):
        a.send_acked(Packet([("msg", b"?")]), to=B, retries=10, ack_timeout=0.2, timeout=0.3)
    assert a.stats().frames_sent == 2  # at 0 and 0.2 s; the third would be past the whole wait
    with pytest.raises(nimbet.NotAcknowledgedError):
        a.send_acked(Packet([("msg", b"?")]), to=B, retries=2, ack_timeout=0.05, timeout=5)


def test_only_the_addressed_node_settles_an_acknowledged_send(pair, port):
    """Replies with the right sequence byte from another node, or from the right node to
    another node, leave the send unsettled; the addressed node's reply to us settles it."""
    a, b = pair
    a.recv_all = True  # replies to other nodes reach the face too
    b.autoack = False  # b hears the requests but never answers: c answers in its name or its own
    c_id = "10.0.0.3"
    with Socket(port, "127.0.0.3", "127.255.255.255", node_id=c_id, autoack=False, recv_all=True) as c:
        def forge(msg, replies):
            while (frame := c.recv(timeout=5)) is not None:
                control = dict(frame.control)
                if frame.get("msg") == msg and frame.to == nimbet.NodeId(B) and not control["cac"][0] & 1:
                    break
            q = control["cac"][1]
            for src, to in replies:
                c.send(Packet([("acm", b""), ("cac", bytes((1, q))), ("cad", bytes(nimbet.NodeId(to)))], src=src))

        thread = threading.Thread(target=forge, args=(b"1", [(c_id, A), (B, c_id)]))
        thread.start()
        with pytest.raises(nimbet.NotAcknowledgedError):
            a.send_acked(Packet([("msg", b"1")]), to=B, retries=2, ack_timeout=0.3)
        thread.join(5)
        thread = threading.Thread(target=forge, args=(b"2", [(B, A)]))
        thread.start()
        a.send_acked(Packet([("msg", b"2")]), to=B, retries=2, ack_timeout=0.3)
        thread.join(5)


def test_received_packets_keep_the_control_tuples_apart(pair):
    a, b = pair
    with serving(b) as got:
        a.send_acked(Packet([("msg", b"data")]), to=B)
    frame = got[0]
    assert list(frame) == [("msg", b"data")] and dict(frame) == {"msg": b"data"}
    assert [kind for kind, _ in frame.control] == ["cad", "cac"]
    assert frame.to == nimbet.NodeId(B) and frame.acked
    assert Packet.parse(bytes(frame)) == frame  # the frame of its data alone


def test_file_errors_are_the_os_errors_of_open(pair, tmp_path):
    a, _ = pair
    with pytest.raises(FileNotFoundError):
        a.recv_file(tmp_path / "no such folder" / "out.bin", timeout=0)
    with pytest.raises(FileNotFoundError):
        a.send_file(tmp_path / "no such file", to=B)
    with pytest.raises(IsADirectoryError):
        a.send_file(tmp_path, to=B)


def test_a_filter_refuses_requests_and_transfers_without_acknowledging_them(pair):
    """What the filter drops is never acknowledged: an acknowledgement still means the application has the frame."""
    a, b = pair
    b.filter = nimbet.Filter.type("tmp")
    a.retries, a.ack_timeout = 2, 0.05
    with serving(b) as got:
        with pytest.raises(nimbet.NotAcknowledgedError):
            a.send_acked(Packet([("msg", b"dropped")]), to=B)
        a.send_acked(Packet([("tmp", b"taken")]), to=B)
        time.sleep(0.1)
    assert [dict(f) for f in got] == [{"tmp": b"taken"}] and got[0].acked
    with serving(b, timeout=10) as got:
        time.sleep(0.05)
        with pytest.raises(nimbet.NotAcknowledgedError):
            a.send_buffer(b"x" * 100, to=B, type="fil")  # its first part carries no "tmp" tuple
        assert a.send_buffer(b"y" * 100, to=B, type="tmp") == 100
    assert got == [(nimbet.NodeId(A), b"y" * 100)]


def test_a_filtered_socket_still_resends_and_gives_up_on_time(pair):
    """A filtered socket's waits end when the library's timers are due, so its acknowledged sends advance."""
    a, b = pair
    a.filter = nimbet.Filter.type("tmp")
    with pytest.raises(nimbet.NotAcknowledgedError):  # given up after 40 ms, well before the whole wait ends
        a.send_acked(Packet([("tmp", b"?")]), to="10.9.9.9", retries=2, ack_timeout=0.02, timeout=0.25)
    assert a.stats().retransmissions == 1


def test_per_call_retry_settings_leave_the_socket_as_it_was(pair):
    a, b = pair
    b.autoack = False
    a.retries, a.ack_timeout = 4, 0.3
    with pytest.raises(nimbet.NotAcknowledgedError):
        a.send_acked(Packet([("msg", b"?")]), to=B, retries=2, ack_timeout=0.05)
    assert (a.retries, a.ack_timeout) == (4, 0.3)
    assert a.stats().frames_sent == 2


def test_the_late_reply_to_a_send_given_up_settles_no_other(pair):
    """A send whose wait ran out goes on in the library; its acknowledgement, when it comes, is that send's alone."""
    a, b = pair
    b.autoack = False
    with serving(b) as got:
        with pytest.raises(nimbet.TimedOutError):
            a.send_acked(Packet([("msg", b"1")]), to=B, retries=20, ack_timeout=0.1, timeout=0.15)
        b.autoack = True  # the library's next resend of "1" is acknowledged, during the next send
        with pytest.raises(nimbet.NotAcknowledgedError):
            a.send_acked(Packet([("msg", b"2")]), to="10.9.9.9", retries=4, ack_timeout=0.1)
    assert a.stats().acks_received == 1
    assert [f.get("msg") for f in got] == [b"1"]  # delivered once, its resends recognised


def test_an_application_trace_hook_stays_in_place(pair):
    """Receiving a transfer from any node leaves the process-wide trace hook alone."""
    a, b = pair
    hook_type = ctypes.CFUNCTYPE(None, ctypes.c_void_p, ctypes.c_void_p)
    seen = []
    hook = hook_type(lambda info, user: seen.append(1))
    set_trace = ctypes.CDLL(nimbet._native.lib._name).n_set_trace  # a prototype of this test's own
    set_trace.argtypes, set_trace.restype = [hook_type, ctypes.c_void_p], None
    set_trace(hook, None)
    try:
        with serving(b, timeout=10) as got:
            time.sleep(0.05)
            a.send_buffer(b"z" * 200, to=B)
        assert got == [(nimbet.NodeId(A), b"z" * 200)]
        before = len(seen)
        a.send(Packet([("msg", b"after")]))
        assert len(seen) > before
    finally:
        set_trace(hook_type(0), None)
