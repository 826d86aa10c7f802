"""The test session runs in a network namespace of its own: loopback, and a
veth pair with 10.77.0.1/24 on nimbet0 so that sockets opened with the
defaults broadcast on an interface, as on a real network. Nothing it sends
leaves the namespace; it refuses to run beside any interface it did not make."""

from __future__ import annotations

import faulthandler
import itertools
import os
from collections.abc import Iterator
from pathlib import Path

import pytest

from netns import enter_private_netns, require_only_own_interfaces

ROOT = Path(__file__).resolve().parents[2]


# Before any test module imports nimbet, and while the process has one thread.
enter_private_netns(veth=True)


TEST_SECONDS = 60  # no test may take longer: a wait that never ends ends the session, with every thread's stack


@pytest.fixture(autouse=True)
def bounded_and_isolated() -> Iterator[None]:
    require_only_own_interfaces()
    faulthandler.dump_traceback_later(TEST_SECONDS, exit=True)
    yield
    faulthandler.cancel_dump_traceback_later()


def pytest_report_header() -> str:
    import nimbet
    import nimbet._native as native

    return f"nimbet {nimbet.__version__} from {Path(nimbet.__file__).parent}, module {native.lib._name}"


_ports = itertools.count(47100)


@pytest.fixture
def port() -> int:
    """A port of its own for each test, so that a test never hears another's frames."""
    return next(_ports)


@pytest.fixture
def tool() -> str:
    """The nimbet tool of this checkout's build (NIMBET_TOOL to name another)."""
    path = os.environ.get("NIMBET_TOOL") or str(ROOT / "build" / "tools" / "nimbet")
    if not os.access(path, os.X_OK):
        pytest.skip(f"no nimbet tool at {path} (set NIMBET_TOOL)")
    return path
