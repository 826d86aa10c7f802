"""The test session runs in a network namespace of its own: loopback, and a
veth pair with 10.77.0.1/24 on nimbet0 so that sockets opened with the
defaults broadcast on an interface, as on a real network. Nothing it sends
leaves the namespace; it refuses to run beside any interface it did not make."""

from __future__ import annotations

import itertools
import os
from pathlib import Path

import pytest

from netns import enter_private_netns, require_only_own_interfaces

ROOT = Path(__file__).resolve().parents[2]


# Before any test module imports nimbet, and while the process has one thread.
enter_private_netns(veth=True)


@pytest.fixture(autouse=True)
def only_own_interfaces() -> None:
    require_only_own_interfaces()


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
