"""The web tests' console, serving a simulated daemon of its own."""
import pytest

from kx29sim import Console, Daemon


@pytest.fixture(scope="module")
def console():
    with Daemon(sim="seed=7") as d, Console(d.env) as c:
        yield c
