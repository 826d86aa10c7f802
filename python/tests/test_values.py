"""Identifiers, locations, tuple types, frames and error numbers, converted by Python and checked against the C functions."""

import ctypes
import dataclasses
import random
import re

import pytest

import nimbet
from nimbet import _native as native
from conftest import ROOT


def c_function(name, restype, *argtypes):
    fn = getattr(native.lib, name)
    fn.restype, fn.argtypes = restype, list(argtypes)
    return fn


set_srcid_str = c_function("n_pkt_set_srcid_str", ctypes.c_int, ctypes.c_void_p, ctypes.c_char_p)
get_srcid_str = c_function("n_pkt_get_srcid_str", ctypes.c_char_p, ctypes.c_void_p, ctypes.c_char_p, ctypes.c_size_t)
set_location_str = c_function("n_pkt_set_location_str", ctypes.c_int, ctypes.c_void_p, ctypes.c_char_p)
get_location_str = c_function("n_pkt_get_location_str", ctypes.c_char_p, ctypes.c_void_p, ctypes.c_char_p, ctypes.c_size_t)
get_srcid = c_function("n_pkt_get_srcid", ctypes.c_void_p, ctypes.c_void_p)
get_location = c_function("n_pkt_get_location", ctypes.c_void_p, ctypes.c_void_p)
crc16_check = c_function("n_util_crc16_check", ctypes.c_int, ctypes.c_char_p, ctypes.c_uint)
acl_add_str = c_function("n_acl_add_str", ctypes.c_int, ctypes.c_void_p, ctypes.c_char_p, ctypes.c_char_p, ctypes.c_uint16, ctypes.c_int)


@pytest.fixture
def record():
    pkt = native.lib.n_pkt_alloc()
    yield pkt
    native.lib.n_pkt_free(pkt)


IDS = ["1.2.3.4.5.6.7.8", "10.0.0.2", "0.0.0.0.0.0.0.0", "255.255.255.255.255.255.255.255", "1..2.3",
       "1.2.3", "1.2.3.4.5.6.7.8.9", "256.0.0.1", "a.b.c.d", "1.2.3.4.5.6.7.-8", ""]


@pytest.mark.parametrize("text", IDS)
def test_node_id_text_reads_as_the_c_setter_reads_it(record, text):
    accepted = set_srcid_str(record, text.encode()) >= 0
    if not accepted:
        with pytest.raises(nimbet.BadFrame):
            nimbet.NodeId(text)
        return
    node = nimbet.NodeId(text)
    assert bytes(node) == ctypes.string_at(get_srcid(record), 8)
    assert str(node) == get_srcid_str(record, None, 0).decode()
    assert nimbet.NodeId(str(node)) == node


@pytest.mark.parametrize("text", [".".join(str(i * 5) for i in range(44)), ".".join(["1"] * 43), ".".join(["7"] * 45),
                                  ".".join(["1"] * 43 + ["300"])])
def test_location_text_reads_as_the_c_setter_reads_it(record, text):
    if set_location_str(record, text.encode()) < 0:
        with pytest.raises(nimbet.BadFrame):
            nimbet.Location(text)
        return
    loc = nimbet.Location(text)
    assert bytes(loc) == ctypes.string_at(get_location(record), 44)
    assert str(loc) == get_location_str(record, None, 0).decode()


def test_location_parts_round_trip_with_coordinates_kept_to_two_digits():
    loc = nimbet.Location.build(root=bytes(range(16)), nodes=("hall", "room 3", "rack-9"), x=1234, y=63, z=63000,
                                deviation=9)
    assert (loc.root, loc.nodes, loc.x, loc.y, loc.z, loc.deviation) == (
        bytes(range(16)), ("hall", "room 3", "rack-9", ""), 1200, 63, 63000, 9)
    with pytest.raises(nimbet.InvalidArgument):
        nimbet.Location.build(nodes=("ten chars!",))


@pytest.mark.parametrize("parts", [{"x": 63001}, {"y": 70000}, {"z": -1}, {"deviation": 256}, {"deviation": -1}])
def test_location_parts_out_of_range_are_refused_not_clamped(parts):
    with pytest.raises(nimbet.InvalidArgumentError):
        nimbet.Location.build(**parts)


@pytest.mark.parametrize("text", ["10.0.0.1\x00junk", "1.2.3.4.5.6.7.8\x00", "10.0.0.1\u00e9"])
def test_identifier_text_with_a_nul_or_other_trailing_bytes_is_refused(text):
    with pytest.raises(nimbet.BadFrameError):
        nimbet.NodeId(text)


def test_tuple_types_are_the_codes_of_the_c_packer(record):
    packet = nimbet.Packet([("tmp", b"\x15"), ("MSG", b""), ("a-z", b"x")])
    for name in ("tmp", "MSG", "a-z"):
        assert acl_add_str(record, name.encode(), None, 0, 0) == 0
    frame = bytes(packet)
    parsed = nimbet.Packet.parse(frame)
    assert [kind for kind, _ in parsed] == ["tmp", "msg", "a-z"]
    assert native.lib.n_acl_add(record, b"\xff\xff", None, 0, 0) == 0  # a code no name gives
    with pytest.raises(nimbet.InvalidArgument):
        nimbet.Packet([("four", b"")])
    assert nimbet.Packet([(b"\xff\xff", b"z")])[0] == (b"\xff\xff", b"z")


def test_frame_bytes_parse_in_c_with_every_field():
    loc = nimbet.Location.build(x=5)
    packet = nimbet.Packet([("tmp", b"\x15\x05"), ("msg", "héllo")], src="10.0.0.7", seq=200, location=loc)
    frame = bytes(packet)
    assert crc16_check(frame, len(frame)) == 1
    assert len(frame) == 54 + 5 + 9 + 2
    back = nimbet.Packet.parse(frame)
    assert back == packet
    assert (back.src, back.seq, back.location) == (nimbet.NodeId("10.0.0.7"), 200, loc)
    damaged = frame[:-3] + bytes([frame[-3] ^ 1]) + frame[-2:]
    with pytest.raises(nimbet.BadFrame):
        nimbet.Packet.parse(damaged)


acl_first = c_function("n_acl_first", ctypes.c_void_p, ctypes.c_void_p)
acl_next = c_function("n_acl_next", ctypes.c_void_p, ctypes.c_void_p, ctypes.c_void_p)
acl_get_type = c_function("n_acl_get_type", ctypes.c_void_p, ctypes.c_void_p)
acl_get_data = c_function("n_acl_get_data", ctypes.c_uint8, ctypes.c_void_p, ctypes.POINTER(ctypes.c_void_p))


def test_frames_of_every_shape_read_as_the_c_parser_reads_them():
    """Frames of one tuple up to twenty, empty tuples and a full area, control
    tuples first, between and last: Python's reader keeps each tuple's type and
    data, data tuples and control tuples apart, in the order of the library's parse."""
    rng = random.Random(7)
    control = [b"\x6c\x80", b"\x66\x40", b"\xa5\x0e", b"\xd0\x80", b"\xc4\x00"]
    shapes = [[(b"\x12\x34", bytes(61))], [(b"\x12\x34", b"")] * 21, [(control[1], b"\x01\x07")]]
    for _ in range(300):
        tuples, room = [], 64
        while room >= 3 and (not tuples or rng.random() < 0.8):
            data = rng.randbytes(rng.randint(0, min(room - 3, 20)))
            code = rng.choice(control) if rng.random() < 0.3 else rng.randbytes(2)
            tuples.append((code, data))
            room -= 3 + len(data)
        shapes.append(tuples)
    for tuples in shapes:
        frame = bytes(nimbet.Packet([(code, data) for code, data in tuples], src="10.0.0.9", seq=3))
        record = native.lib.n_pkt_alloc()
        try:
            assert native.lib.n_pkt_parse(record, frame, len(frame)) == 0
            in_c, t = [], acl_first(record)
            while t:
                data = ctypes.c_void_p()
                length = acl_get_data(t, ctypes.byref(data))
                in_c.append((ctypes.string_at(acl_get_type(t), 2), ctypes.string_at(data, length) if length else b""))
                t = acl_next(record, t)
        finally:
            native.lib.n_pkt_free(record)
        parsed = nimbet.Packet.parse(frame)
        assert in_c == tuples
        assert [(nimbet.values.type_code(kind), data) for kind, data in parsed] == [t for t in in_c if t[0] not in control]
        assert [(nimbet.values.type_code(kind), data) for kind, data in parsed.control] == [t for t in in_c if t[0] in control]
        assert (parsed.src, parsed.seq) == (nimbet.NodeId("10.0.0.9"), 3)


def test_tuple_area_holds_64_bytes_as_the_c_packet_does(record):
    full = nimbet.Packet([("dat", bytes(30)), ("dat", bytes(28))])  # 33 + 31 bytes with the headers
    assert len(bytes(full)) == 54 + 64 + 2
    packet = nimbet.Packet()
    for size in (30, 26):  # 62 bytes: an empty tuple is one too many
        packet.append("dat", bytes(size))
        assert acl_add_str(record, b"dat", bytes(size), size, 0) == 0
    with pytest.raises(nimbet.PacketFull):
        packet.append("dat", b"")
    assert acl_add_str(record, b"dat", None, 0, 0) < 0
    assert len(packet) == 2
    del packet[0]
    packet.insert(0, ("one", b"1"))
    packet[1] = ("two", b"22")
    assert list(packet) == [("one", b"1"), ("two", b"22")]
    with pytest.raises(nimbet.PacketFull):
        packet[0] = ("one", bytes(60))
    assert list(packet) == [("one", b"1"), ("two", b"22")]


def test_every_error_number_of_the_header_has_its_class():
    header = (ROOT / "include" / "nimbet" / "nimbet.h").read_text()
    numbers = {name: int(value) for name, value in re.findall(r"#define (N_E[A-Z]+) +(\d+)", header)}
    assert len(numbers) == 12
    classes = set()
    for name, number in numbers.items():
        error = nimbet.errors.error_for(number, "context")
        assert type(error) is not nimbet.Error, name
        assert (error.errno, error.strerror) == (number, native.lib.n_util_strerr(number).decode())
        assert str(error) == f"[{number}] context: {error.strerror}"
        classes.add(type(error))
    assert len(classes) == len(numbers)
    assert type(nimbet.errors.error_for(224)) is nimbet.Error


def test_counters_are_those_of_the_header():
    header = (ROOT / "include" / "nimbet" / "nimbet.h").read_text()
    record = re.search(r"typedef struct n_socket_stats \{(.*?)\} n_socket_stats;", header, re.S).group(1)
    names = re.findall(r"uint64_t (\w+);", record)
    assert [f.name for f in dataclasses.fields(nimbet.Stats)] == names + ["queue_drops"]  # the face's own, last
    assert [name for name, _ in native.n_socket_stats._fields_] == names
