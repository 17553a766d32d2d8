"""Shared fixtures of the web tests: the simulated daemon and a console serving it."""
import os
import sys

import pytest

sys.path.insert(0, os.path.dirname(__file__))
from console import Console  # noqa: E402
from kx29sim import Daemon  # noqa: E402


@pytest.fixture(scope="module")
def daemon():
    with Daemon(sim="seed=7") as d:
        yield d


@pytest.fixture(scope="module")
def console(daemon):
    with Console(daemon.env) as c:
        yield c
