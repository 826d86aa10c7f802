"""Every entry point given None or a value of the wrong kind raises, never reaches the library with it."""

import nimbet
from nimbet import Filter, Location, NodeId, Packet, Socket

WRONG = [None, 7, 1.5, object(), "x" * 300]


def calls(sock):
    packet = Packet([("msg", b"x")])
    return {
        "NodeId": lambda v: NodeId(v),
        "Location": lambda v: Location(v),
        "Packet": lambda v: Packet(v),
        "Packet.append type": lambda v: Packet().append(v, b""),
        "Packet.append data": lambda v: Packet().append("msg", 7 if v is None else v),  # None: no data
        "Packet.parse": lambda v: Packet.parse(v),
        "Packet.src": lambda v: setattr(Packet(), "src", v if v is not None else 7),
        "Filter.type": lambda v: Filter.type(v),
        "Filter.node_id": lambda v: Filter.node_id(v),
        "Filter.matches": lambda v: Filter.type("msg").matches(v),
        "send": lambda v: sock.send(v),
        "send to": lambda v: sock.send(packet, to=v if v is not None else 7),
        "send_acked": lambda v: sock.send_acked(v, to="10.0.0.9"),
        "send_buffer": lambda v: sock.send_buffer(v, to="10.0.0.9"),
        "send_file": lambda v: sock.send_file(v, to="10.0.0.9"),
        "recv_file": lambda v: sock.recv_file(v, timeout=0),
        "node_id": lambda v: setattr(sock, "node_id", v),
        "location": lambda v: setattr(sock, "location", v),
        "dest": lambda v: setattr(sock, "dest", v),
        "retries": lambda v: setattr(sock, "retries", -1 if isinstance(v, int) else v),
        "Socket port": lambda v: Socket(70000 if isinstance(v, int) else v),
        "Socket local": lambda v: Socket(sock.port, v if v is not None else 7, "127.0.0.1"),
    }


def test_wrong_arguments_raise(port):
    with Socket(port, "127.0.0.1", "127.255.255.255") as sock:
        accepted = []
        for name, call in calls(sock).items():
            for value in WRONG:
                try:
                    call(value)
                    accepted.append(f"{name}({value!r})")
                except (TypeError, ValueError, nimbet.Error, OSError):
                    pass
        assert [a[:60] for a in accepted] == []
        sock.send(Packet([("msg", b"still works")]))
        assert sock.recv(timeout=1).get("msg") == b"still works"
        sock.send(Packet([("msg", b"still works")]))
        assert sock.recv(timeout=1).get("msg") == b"still works"
