"""Filters joined with &, | and ~, evaluated by the library's chains, against the truth of each test."""

import itertools

import pytest

import nimbet
from nimbet import Filter, Packet

PACKETS = [
    Packet([("tmp", b"1")], src="10.0.0.1"),
    Packet([("hum", b"2"), ("tmp", b"3")], src="10.0.0.2"),
    Packet([("hum", b"4")], src="10.1.0.1"),
    Packet([("msg", b"5")], src="1.2.3.4.5.6.7.8"),
]
TESTS = {
    "tmp": (Filter.type("tmp"), lambda p: p.get("tmp") is not None),
    "hum@0": (Filter.type("hum", at=0), lambda p: p[0][0] == "hum"),
    "net 10.0": (Filter.node_id("1.1.1.1.10.0.*"), lambda p: str(p.src).startswith("1.1.1.1.10.0.")),
    "node 2": (Filter.node_id(nimbet.NodeId("10.0.0.2")), lambda p: p.src == nimbet.NodeId("10.0.0.2")),
    "?": (Filter.node_id("1.?.3"), lambda p: bytes(p.src)[0] == 1 and bytes(p.src)[2] == 3),
}


def truth(expr, packet):
    kind = expr[0]
    if kind == "test":
        return TESTS[expr[1]][1](packet)
    if kind == "not":
        return not truth(expr[1], packet)
    left, right = truth(expr[1], packet), truth(expr[2], packet)
    return left and right if kind == "and" else left or right


def build(expr):
    kind = expr[0]
    if kind == "test":
        return TESTS[expr[1]][0]
    if kind == "not":
        return ~build(expr[1])
    return build(expr[1]) & build(expr[2]) if kind == "and" else build(expr[1]) | build(expr[2])


def expressions():
    leaves = [("test", name) for name in TESTS]
    for a, b in itertools.combinations(leaves, 2):
        yield ("and", a, b)
        yield ("or", a, ("not", b))
        yield ("not", ("and", a, b))
        yield ("not", ("or", ("not", a), b))
    a, b, c = leaves[:3]
    yield ("and", ("or", a, b), ("not", ("or", b, c)))
    yield ("or", ("and", a, ("not", b)), ("not", ("and", ("not", b), c)))


@pytest.mark.parametrize("expr", list(expressions()), ids=repr)
def test_filter_holds_where_its_tests_say(expr):
    f = build(expr)
    assert [f.matches(p) for p in PACKETS] == [truth(expr, p) for p in PACKETS], f


def test_single_tests_hold_where_they_should():
    for name, (f, holds) in TESTS.items():
        assert [f.matches(p) for p in PACKETS] == [holds(p) for p in PACKETS], name
    assert [~TESTS["tmp"][0] for _ in range(1)][0].matches(PACKETS[2])


def test_bad_patterns_and_types_are_refused():
    with pytest.raises(nimbet.InvalidArgument):
        Filter.node_id("1.300.*").chain()
    with pytest.raises(TypeError):
        Filter.location(7)
    with pytest.raises(nimbet.InvalidArgument):
        Filter.type("toolong")
