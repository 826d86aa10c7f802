"""The socket's events reach the operations waiting for them, whichever thread took them, in whatever order they come."""

import nimbet._native as n
from nimbet._ops import AckedSend, Events, Transfer

A, C = bytes(range(1, 9)), bytes(range(11, 19))


def event(kind, request=0, peer=b"\0" * 8, receiving=1):
    ev = n.n_event(kind=kind, request=request, receiving=receiving)
    ev.peer[:] = list(peer)
    return ev


def receive(events, peer):
    op = Transfer(events, peer, True, None, lambda p: p, None)
    events.transfers.append(op)
    return op


def test_outcomes_go_to_their_send_even_before_it_is_registered():
    events = Events()
    events._send_ended(event(n.N_EVENT_ACKED, request=5))  # another thread read the reply first
    early = AckedSend(events, 5, A, None)
    events.add_send(early)
    assert early.done and early.outcome() is None
    waiting = AckedSend(events, 6, A, 1.0)
    events.add_send(waiting)
    abandoned = AckedSend(events, 7, A, 1.0)
    events.add_send(abandoned)
    abandoned.expire()
    events._send_ended(event(n.N_EVENT_ACKED, request=7))
    assert not waiting.done and not events._early and not events._abandoned  # the late outcome is dropped
    events._send_ended(event(n.N_EVENT_NOT_ACKED, request=6))
    assert waiting.done and not events.sends


def test_a_started_transfer_goes_to_the_receive_that_names_its_sender_first():
    events = Events()
    anyone, named = receive(events, None), receive(events, A)
    events._transfer_started(A)
    assert anyone.peer is None
    events._transfer_started(C)
    assert anyone.peer == C and named.peer == A
