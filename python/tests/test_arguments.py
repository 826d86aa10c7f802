"""Every entry point given None or a value of the wrong kind raises TypeError, never reaches the library with it."""

import nimbet
from nimbet import Filter, Location, NodeId, Packet, Socket

WRONG_TYPES = [None, 7, 1.5, object()]
LONG_TEXT = "x" * 300
# Calls that turn an int into a value of the right type but out of range: a ValueError there.
OUT_OF_RANGE_FOR_INT = {"retries", "Socket port", "Location.build", "Packet.seq", "send_acked retries",
                        "set_frag_limits", "Socket queue"}


def int_out_of_range(v, none_as):
    """-1 for an int (the right type, a wrong value), none_as for None, else the value itself."""
    return -1 if isinstance(v, int) else none_as if v is None else v


def calls(sock):
    packet = Packet([("msg", b"x")])
    return {
        "NodeId": lambda v: NodeId(v),
        "Location": lambda v: Location(v),
        "Location.build": lambda v: Location.build(x=int_out_of_range(v, "1")),
        "Packet": lambda v: Packet(v),
        "Packet.append type": lambda v: Packet().append(v, b""),
        "Packet.append data": lambda v: Packet().append("msg", 7 if v is None else v),  # None: no data
        "Packet.parse": lambda v: Packet.parse(v),
        "Packet.src": lambda v: setattr(Packet(), "src", v if v is not None else 7),
        "Packet.seq": lambda v: setattr(Packet(), "seq", int_out_of_range(v, "7")),
        "Filter.type": lambda v: Filter.type(v),
        "Filter.node_id": lambda v: Filter.node_id(v),
        "Filter.matches": lambda v: Filter.type("msg").matches(v),
        "Filter.passes": lambda v: Filter.type("msg").passes(v),
        "Filter &": lambda v: Filter.type("msg") & v,
        "send": lambda v: sock.send(v),
        "send to": lambda v: sock.send(packet, to=v if v is not None else 7),
        "send_acked": lambda v: sock.send_acked(v, to="10.0.0.9"),
        "send_acked retries": lambda v: sock.send_acked(packet, to="10.0.0.9", retries=int_out_of_range(v, "1")),
        "send_buffer": lambda v: sock.send_buffer(v, to="10.0.0.9"),
        "send_file": lambda v: sock.send_file(v, to="10.0.0.9"),
        "recv_file": lambda v: sock.recv_file(v, timeout=0),
        "recv_buffer progress": lambda v: sock.recv_buffer(progress=v if v is not None else 7, timeout=0),
        "node_id": lambda v: setattr(sock, "node_id", v),
        "location": lambda v: setattr(sock, "location", v),
        "dest": lambda v: setattr(sock, "dest", v),
        "filter": lambda v: setattr(sock, "filter", v if v is not None else 7),
        "retries": lambda v: setattr(sock, "retries", -1 if isinstance(v, int) else v),
        "set_frag_limits": lambda v: sock.set_frag_limits(int_out_of_range(v, "1")),
        "Socket port": lambda v: Socket(70000 if isinstance(v, int) else v),
        "Socket local": lambda v: Socket(sock.port, v if v is not None else 7, "127.0.0.1"),
        "Socket queue": lambda v: Socket(sock.port, queue=int_out_of_range(v, "1")),
    }


def outcome(call, value):
    try:
        call(value)
    except Exception as e:  # noqa: BLE001 -- which one is the point
        return type(e)
    return None


def test_wrong_types_raise_type_error_and_bad_values_value_error(port):
    with Socket(port, "127.0.0.1", "127.255.255.255") as sock:
        wrong = []
        for name, call in calls(sock).items():
            for value in WRONG_TYPES:
                expected = ValueError if value == 7 and name in OUT_OF_RANGE_FOR_INT else TypeError
                got = outcome(call, value)
                if got is None or not issubclass(got, expected):
                    wrong.append(f"{name}({value!r}): {got and got.__name__}, not {expected.__name__}")
            got = outcome(call, LONG_TEXT)
            if got is None or not issubclass(got, (TypeError, ValueError, nimbet.Error, OSError)):
                wrong.append(f"{name}(300 x's): {got and got.__name__}")
        assert wrong == []
        sock.send(Packet([("msg", b"still works")]))
        assert sock.recv(timeout=1).get("msg") == b"still works"


def test_exceptions_keep_their_earlier_names_and_types():
    assert nimbet.NotAcknowledged is nimbet.NotAcknowledgedError
    assert nimbet.TimedOut is nimbet.TimedOutError and issubclass(nimbet.TimedOutError, TimeoutError)
    assert issubclass(nimbet.InvalidArgumentError, ValueError)
    assert all(name.endswith("Error") for name in nimbet.__all__ if isinstance(getattr(nimbet, name), type)
               and issubclass(getattr(nimbet, name), Exception) and getattr(nimbet, name).__name__ == name)
