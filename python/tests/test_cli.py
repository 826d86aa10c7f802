"""python3 -m nimbet: the tool's commands and JSON lines, from Python."""

import json
import subprocess
import sys
import time

import jsonschema
import pytest

import nimbet
from conftest import ROOT

SCHEMA = json.loads((ROOT / "packaging" / "schemas" / "tool-events.schema.json").read_text())
LOOP = ["--local", "127.0.0.1", "--dest", "127.255.255.255"]


def cli(*args, wait=True):
    process = subprocess.Popen([sys.executable, "-m", "nimbet", *args], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                               text=True)
    return finish(process) if wait else process


def finish(process):
    out, err = process.communicate(timeout=30)
    lines = [json.loads(line) for line in out.splitlines()]
    for line in lines:
        jsonschema.validate(line, SCHEMA)
    return process.returncode, lines, err


def wait_bound(port):
    deadline = time.monotonic() + 10
    while f":{port:04X} " not in open("/proc/net/udp").read():
        assert time.monotonic() < deadline
        time.sleep(0.02)


def test_listen_prints_the_frames_as_the_tool_does(port):
    listener = cli("listen", str(port), *LOOP, "--id", "10.0.0.1", "--json", "--count", "1", "--seconds", "10",
                   wait=False)
    wait_bound(port)
    with nimbet.Socket(port, "127.0.0.2", "127.255.255.255", node_id="10.0.0.2") as node:
        node.send(nimbet.Packet([("msg", "hello"), ("tmp", b"\x15")]))
        status, lines, err = finish(listener)
    assert status == 0, err
    frame, summary = lines
    assert frame["event"] == "frame" and frame["src"] == "1.1.1.1.10.0.0.2"
    assert frame["tuples"] == [{"type": "msg", "len": 5, "text": "hello"}, {"type": "tmp", "len": 1, "hex": "15"}]
    assert summary["event"] == "summary" and summary["status"] == 0 and summary["frames"] == 1


def test_send_acked_says_what_became_of_the_frame(port):
    with nimbet.Socket(port, "127.0.0.2", "127.255.255.255", node_id="10.0.0.2", autoack=False):
        status, lines, _ = cli("send", str(port), "msg", "hi", *LOOP, "--id", "10.0.0.1", "--to", "10.0.0.2",
                               "--acked", "--retry", "2", "--timeout", "50", "--json")
    assert status == 3 and lines[0]["event"] == "not-acknowledged" and lines[0]["to"] == "1.1.1.1.10.0.0.2"
    assert cli("send", str(port), "msg", "hi", "--acked")[0] == 2  # --acked needs --to


def test_a_file_goes_from_send_file_to_recv_file(port, tmp_path):
    data = bytes(range(256)) * 40
    (tmp_path / "in.bin").write_bytes(data)
    receiver = cli("recv-file", str(port), str(tmp_path / "out.bin"), *LOOP, "--id", "10.0.0.2", "--json",
                   "--seconds", "20", wait=False)
    wait_bound(port)
    sent = cli("send-file", str(port), str(tmp_path / "in.bin"), *LOOP, "--id", "10.0.0.1", "--to", "10.0.0.2",
               "--json", "--seconds", "20")
    received = finish(receiver)
    for status, lines, err in (sent, received):
        assert status == 0, err
        assert [line["event"] for line in lines if line["event"] != "progress"] == ["done", "summary"]
    done = [[line for line in lines if line["event"] == "done"][0] for _, lines, _ in (sent, received)]
    assert done[1]["from"] == "1.1.1.1.10.0.0.1" and done[0]["to"] == "1.1.1.1.10.0.0.2"
    assert done[0]["bytes"] == done[1]["bytes"] == len(data)
    assert (tmp_path / "out.bin").read_bytes() == data


@pytest.mark.parametrize("args", [["listen", "x"], ["send", "47000", "toolong", "x"], ["frobnicate"]])
def test_mistakes_on_the_command_line_exit_with_2(args):
    assert cli(*args)[0] == 2
