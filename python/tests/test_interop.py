"""Frames and transfers between this face and the C tool, in both directions."""

import json
import os
import subprocess
import time

import nimbet
from nimbet import Packet, Socket

PY_ID, TOOL_ID = "10.77.0.2", "10.77.0.1"


def node(port):
    """A Python node on the namespace's veth network, beside the tool's node (which takes every interface)."""
    return Socket(port, "10.77.0.2", "10.77.0.255", node_id=PY_ID)


def test_frame_built_here_is_read_by_the_tool(port, tool):
    with node(port) as sock:
        listener = subprocess.Popen([tool, "listen", str(port), "--json", "--count", "1", "--seconds", "5",
                                     "--id", TOOL_ID], stdout=subprocess.PIPE, text=True)
        packet = Packet([("tmp", b"\x15\x05"), ("msg", "from python")], location=nimbet.Location.build(x=40))
        deadline = time.monotonic() + 5
        while listener.poll() is None and time.monotonic() < deadline:  # until the tool has bound and heard one
            seq = sock.send(packet)
            time.sleep(0.05)
        out, _ = listener.communicate(timeout=5)
    frame = json.loads(out.splitlines()[0])
    assert frame["event"] == "frame" and frame["src"] == "1.1.1.1.10.77.0.2"
    assert [(t["type"], t.get("hex") or t.get("text")) for t in frame["tuples"]] == [("tmp", "1505"), ("msg", "from python")]
    assert frame["seq"] <= seq


def test_frames_and_a_file_from_the_tool_are_read_here(port, tool, tmp_path):
    data = os.urandom(3000)
    (tmp_path / "in.bin").write_bytes(data)
    with node(port) as sock:
        sender = subprocess.Popen([tool, "send", str(port), "msg", "hello", "--to", PY_ID, "--acked", "--id", TOOL_ID],
                                  stdout=subprocess.DEVNULL)
        frame = sock.recv(timeout=5)  # and acknowledged by this node's receive
        assert sender.wait(5) == 0
        assert (frame.get("msg"), frame.src, frame.acked) == (b"hello", nimbet.NodeId(TOOL_ID), True)
        sender = subprocess.Popen([tool, "send-file", str(port), str(tmp_path / "in.bin"), "--to", PY_ID,
                                   "--id", TOOL_ID, "--seconds", "10"], stdout=subprocess.DEVNULL)
        assert sock.recv_file(tmp_path / "out.bin", timeout=10) == nimbet.NodeId(TOOL_ID)
        assert sender.wait(10) == 0
    assert (tmp_path / "out.bin").read_bytes() == data
