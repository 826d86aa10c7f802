"""The Python examples of the README, run as written, each beside a node of this test."""

import re
import subprocess
import sys
import threading
import time

import nimbet
from conftest import ROOT

PEER = "10.77.0.2"


def examples():
    text = (ROOT / "README.md").read_text()
    section = text[text.index("\n## Python\n") :]
    section = section[: section.index("\n## ", 1)]
    return re.findall(r"```python\n(.*?)```", section, re.S)


def peer(port):
    """A node of this test on the namespace's veth network, where the examples' sockets broadcast."""
    return nimbet.Socket(port, "10.77.0.2", "10.77.0.255", node_id=PEER)


def wait_bound(process, *ports, timeout=20):
    """Waits until the example has bound the UDP ports (the only sockets of this namespace on them)."""
    deadline = time.monotonic() + timeout
    for port in ports:
        while f":{port:04X} " not in open("/proc/net/udp").read():
            assert process.poll() is None, process.communicate()[1]
            assert time.monotonic() < deadline, f"nothing bound port {port}"
            time.sleep(0.02)


def start(code, cwd):
    return subprocess.Popen([sys.executable, "-c", code], cwd=cwd, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                            text=True)


def finish(process):
    out, err = process.communicate(timeout=20)
    assert process.returncode == 0, err
    return out


def test_the_readme_has_the_three_examples():
    assert len(examples()) == 3


def test_examples_run_as_written(tmp_path):
    csv_example, send_example, async_example = examples()

    # Frames into a CSV file.
    process = start(csv_example, tmp_path)
    wait_bound(process, 47000)
    with peer(47000) as node:
        for i in range(3):
            node.send(nimbet.Packet([("tmp", bytes([20 + i]))]))
    finish(process)
    rows = (tmp_path / "frames.csv").read_text().splitlines()
    assert rows[0] == "time,node,type,data"
    assert [row.split(",")[1:] for row in rows[1:]] == [["1.1.1.1.10.77.0.2", "tmp", f"{20 + i:02x}"] for i in range(3)]

    # Sending: this node acknowledges and takes the file.
    with peer(47000) as node:
        got = []
        receiving = threading.Thread(target=lambda: got.append(node.recv_file(tmp_path / "received.csv", timeout=10)))
        receiving.start()
        out = finish(start(send_example, tmp_path))
        receiving.join()
        frames = [node.recv(timeout=0) for _ in range(2)]
    assert got == [nimbet.NodeId("10.77.0.1")]
    assert (tmp_path / "received.csv").read_bytes() == (tmp_path / "frames.csv").read_bytes()
    assert [f.get("tmp") or f.get("msg") for f in frames] == [b"\x15\x05", b"hello"]
    size = (tmp_path / "frames.csv").stat().st_size
    assert "no answer" not in out and out.splitlines()[-1] == f"{size} of {size} bytes"

    # Several sockets in one loop.
    process = start(async_example, tmp_path)
    wait_bound(process, 47000, 47001)
    with peer(47000) as first, peer(47001) as second:
        first.send(nimbet.Packet([("tmp", b"\x01")]))
        second.send(nimbet.Packet([("hum", b"\x02")]))
    lines = sorted(finish(process).splitlines())
    assert lines == ["47000 1.1.1.1.10.77.0.2 {'tmp': b'\\x01'}", "47001 1.1.1.1.10.77.0.2 {'hum': b'\\x02'}"]
