"""The kx29 module end to end on the simulated daemon, checked against kx29ctl."""
import gc
import json
import os
import signal
import threading
import time

import numpy as np
import pytest

import kx29
from kx29sim import Daemon, ctl, ctl_error, fresh_key, read_fits

VIDEO, LONG_EXPOSURE, NO_VIDEO = 0, 1, 2  # channel 1 carries the long-exposure camera


@pytest.fixture(scope="module")
def daemon():
    with Daemon(sim="novideo=2") as d:
        yield d


@pytest.fixture
def board(daemon):
    return kx29.Board(daemon.key)


@pytest.mark.parametrize("channel, request_", [
    (VIDEO, dict(frames=3, window=(64, 32, 320, 200))),
    (LONG_EXPOSURE, dict(frames=2, exposure=0.3, window="full")),
])
def test_acquired_image_is_what_kx29ctl_saves(daemon, board, tmp_path, channel, request_):
    ch = board.channels[channel]
    reports = []
    img = ch.acquire(progress=reports.append, **request_)
    assert img.region == ch.state["window"] and not img.data.flags.writeable
    assert sum(1 for p in reports if p.new_frame) == request_["frames"]

    assert ctl(daemon.env, "save", "-c", str(channel), "-o", str(tmp_path / "cli.fits")).returncode == 0
    img.save(str(tmp_path / "py.fits"))
    cli_cards, cli_data = read_fits(tmp_path / "cli.fits")
    py_cards, py_data = read_fits(tmp_path / "py.fits")
    assert cli_cards["BITPIX"] == py_cards["BITPIX"] == "16" and img.data.dtype == np.int16
    assert np.array_equal(cli_data, img.data) and np.array_equal(py_data, img.data)
    assert set(img.header) < set(py_cards) and set(cli_cards) == set(py_cards)

    h = img.header
    assert (h["NCOMBINE"], h["CHANNEL"]) == (request_["frames"], channel)
    assert h["EXPTIME"] == pytest.approx(request_["frames"] * request_.get("exposure", 0.04))
    assert np.array_equal(img.sum, img.data.astype(np.int32) + h["ADDLEV"])


def test_view_is_the_segment_read_only_and_keeps_it_attached(daemon):
    ch = kx29.Board(daemon.key).channels[VIDEO]
    view = ch.view()
    assert np.shares_memory(view, ch.view()) and not np.shares_memory(view, ch.image())
    with pytest.raises(ValueError):  # read-only down to the memory it views
        view.flags.writeable = True
    del ch
    gc.collect()  # the board and channel are gone; the view still holds the segment
    before = view.copy()
    kx29.Board(daemon.key).channels[VIDEO].acquire(frames=1, window="full")
    assert np.array_equal(view, kx29.Board(daemon.key).channels[VIDEO].image()) and not np.array_equal(view, before)


@pytest.mark.parametrize("channel, request_", [
    (LONG_EXPOSURE, dict(exposure=20.0)),
    (VIDEO, dict(frames=5, images=1000)),
])
def test_keyboard_interrupt_withdraws_and_leaves_channel_idle(board, channel, request_):
    ch = board.channels[channel]
    t0 = time.monotonic()
    # Ctrl-C from another thread, which runs only if acquire lets go of the interpreter while it waits.
    threading.Timer(0.5, os.kill, (os.getpid(), signal.SIGINT)).start()
    with pytest.raises(KeyboardInterrupt):
        ch.acquire(**request_)
    assert time.monotonic() - t0 < 3
    assert ch.state["nexp"] == 0 and board.status()["channels"][channel]["activity"] == "idle"
    # The frame under way is finished: none of it counts in the next request.
    assert len(ch.acquire(frames=2, images=3, exposure=request_.get("exposure") and 0.2)) == 3


def test_errors_carry_the_messages_of_kx29ctl(daemon, board, monkeypatch):
    for error, ch, kwargs, cli_args in [
            (kx29.UsageError, VIDEO, dict(window=(700, 0, 200, 100)), ["--window", "700,0,200,100"]),
            (kx29.FailedError, NO_VIDEO, dict(timeout=5), ["--timeout", "5"])]:
        with pytest.raises(error) as e:
            board.channels[ch].acquire(**kwargs)
        assert str(e.value) == ctl_error(daemon.env, "acquire", "-c", str(ch), *cli_args)

    # The key comes from KX29_KEY when the argument leaves it out.
    monkeypatch.setenv("KX29_KEY", daemon.key)
    assert kx29.Board().status()["daemon"] == json.loads(ctl(daemon.env, "status", "--json").stdout)["daemon"]
    monkeypatch.setenv("KX29_KEY", fresh_key())
    with pytest.raises(kx29.DaemonError) as e:
        kx29.Board()
    assert str(e.value) == ctl_error(os.environ, "status")


def test_to_hdu_and_png(board):
    fits = pytest.importorskip("astropy.io.fits")
    img = board.channels[VIDEO].acquire(frames=2)
    hdu = img.to_hdu()
    assert np.array_equal(hdu.data, img.data) and hdu.header["NCOMBINE"] == 2
    assert isinstance(hdu, fits.PrimaryHDU) and img._repr_png_().startswith(b"\x89PNG")
