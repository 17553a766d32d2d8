"""The kx29 module end to end on the simulated daemon, checked against kx29ctl."""
import gc
import json
import os
import signal
import subprocess
import threading
import time

import numpy as np
import pytest

import kx29
from kx29sim import BIN_DIR, Daemon, fresh_key

VIDEO, LONG_EXPOSURE = 0, 1  # channel 1 carries the long-exposure camera
CMD_ACQUIRE = 2
# What the FITS writer adds to the header's keywords.
WRITER_CARDS = {"SIMPLE", "BITPIX", "NAXIS", "NAXIS1", "NAXIS2", "EXTEND", "DATE", "CHECKSUM", "DATASUM"}


@pytest.fixture(scope="module")
def daemon():
    with Daemon() as d:
        yield d


@pytest.fixture
def board(daemon):
    return kx29.Board(daemon.key)


def read_fits(path):
    """Header cards and int16 data of a one-HDU FITS file, read by hand (astropy may be absent)."""
    with open(path, "rb") as f:
        raw = f.read()
    cards, pos = {}, 0
    while True:
        card = raw[pos:pos + 80].decode("ascii")
        pos += 80
        if card.startswith("END"):
            break
        if card[8:10] == "= ":
            cards[card[:8].strip()] = card[10:].split(" /")[0].strip()
    data_start = (pos + 2879) // 2880 * 2880
    shape = (int(cards["NAXIS2"]), int(cards["NAXIS1"]))
    return cards, np.frombuffer(raw, ">i2", shape[0] * shape[1], data_start).reshape(shape)


def cli_error(env, *args):
    """kx29ctl's message for a failing command, without its program prefix."""
    r = subprocess.run([os.path.join(BIN_DIR, "kx29ctl"), *args], env=env, capture_output=True, text=True,
                       timeout=60)
    assert r.returncode != 0, r.stdout
    return r.stderr.strip().splitlines()[-1].removeprefix("kx29ctl: ")


@pytest.mark.parametrize("channel, request_", [
    (VIDEO, dict(frames=3, window=(64, 32, 320, 200))),
    (LONG_EXPOSURE, dict(frames=2, exposure=0.3, window="full")),
])
def test_acquired_image_is_what_kx29ctl_saves(daemon, board, tmp_path, channel, request_):
    ch = board.channels[channel]
    reports = []
    img = ch.acquire(progress=reports.append, **request_)
    assert img.region == ch.state["window"] and img.data.shape == (img.height, img.width)
    assert img.data.dtype == np.int16 and not img.data.flags.writeable
    assert sum(1 for p in reports if p.new_frame) == request_["frames"]

    cli_file, py_file = tmp_path / "cli.fits", tmp_path / "py.fits"
    assert daemon.ctl("save", "-c", str(channel), "-o", str(cli_file)).returncode == 0
    img.save(str(py_file))
    cli_cards, cli_data = read_fits(cli_file)
    py_cards, py_data = read_fits(py_file)
    assert np.array_equal(cli_data, img.data) and np.array_equal(py_data, img.data)
    assert list(img.header) == [k for k in py_cards if k not in WRITER_CARDS]
    assert set(cli_cards) == set(py_cards)

    h = img.header
    assert h["NCOMBINE"] == request_["frames"] and h["CHANNEL"] == channel
    assert h["EXPTIME"] == pytest.approx(request_["frames"] * request_.get("exposure", 0.04))
    assert np.array_equal(img.sum, img.data.astype(np.int32) + h["ADDLEV"])
    assert np.allclose(img.mean, img.sum / h["NCOMBINE"]) and img.mean.dtype == np.float32
    with pytest.raises(kx29.Error, match="exists"):
        img.save(str(py_file))


def test_view_is_the_segment_read_only_and_keeps_it_attached(daemon):
    ch = kx29.Board(daemon.key).channels[VIDEO]
    view = ch.view()
    assert np.shares_memory(view, ch.view()) and not np.shares_memory(view, ch.image())
    with pytest.raises(ValueError):
        view[0, 0] = 1
    with pytest.raises(ValueError):
        view.flags.writeable = True
    del ch
    gc.collect()  # the board and channel are gone; the view still holds the segment
    before = view.copy()
    kx29.Board(daemon.key).channels[VIDEO].acquire(frames=1, window="full")
    assert np.array_equal(view, kx29.Board(daemon.key).channels[VIDEO].image())
    assert not np.array_equal(view, before)


def test_other_threads_run_while_acquire_waits(board):
    ticks, done = [], threading.Event()

    def tick():
        while not done.is_set():
            ticks.append(time.monotonic())
            time.sleep(0.002)

    t = threading.Thread(target=tick)
    t.start()
    try:
        t0 = time.monotonic()
        board.channels[LONG_EXPOSURE].acquire(exposure=2.0)
        t1 = time.monotonic()
    finally:
        done.set()
        t.join()
    during = [x for x in ticks if t0 < x < t1]
    assert len(during) > 50  # about 1 s of simulated exposure


@pytest.mark.parametrize("channel, request_", [
    (LONG_EXPOSURE, dict(exposure=20.0)),
    (VIDEO, dict(frames=5, images=1000)),
])
def test_keyboard_interrupt_withdraws_and_leaves_channel_idle(board, channel, request_):
    ch = board.channels[channel]
    timer = threading.Timer(0.5, os.kill, (os.getpid(), signal.SIGINT))
    t0 = time.monotonic()
    timer.start()
    with pytest.raises(KeyboardInterrupt):
        ch.acquire(**request_)
    assert time.monotonic() - t0 < 3
    s = ch.state
    assert s["nexp"] == 0 and s["command"] & CMD_ACQUIRE == 0
    assert board.status()["channels"][channel]["activity"] == "idle"
    # The frame under way is finished: none of it counts in the next request.
    assert len(ch.acquire(frames=2, images=3, exposure=request_.get("exposure") and 0.2)) == 3


def test_errors_carry_the_messages_of_kx29ctl(daemon, board):
    cases = [
        (kx29.UsageError, dict(frames=0), ["--frames", "0"]),
        (kx29.UsageError, dict(window=(700, 0, 200, 100)), ["--window", "700,0,200,100"]),
        (kx29.UsageError, dict(exposure=2.0), ["--exposure", "2"]),
    ]
    for error, kwargs, cli_args in cases:
        with pytest.raises(error) as e:
            board.channels[VIDEO].acquire(**kwargs)
        assert str(e.value) == cli_error(daemon.env, "acquire", "-c", "0", *cli_args)

    # Busy: another client's endless series holds the channel.
    series = subprocess.Popen([os.path.join(BIN_DIR, "kx29ctl"), "acquire", "-c", "0", "--images", "-1"],
                              env=daemon.env, stdout=subprocess.DEVNULL)
    try:
        time.sleep(0.5)
        with pytest.raises(kx29.FailedError) as e:
            board.channels[VIDEO].acquire()
        assert str(e.value) == cli_error(daemon.env, "acquire", "-c", "0")
    finally:
        series.send_signal(signal.SIGINT)
        series.wait(10)

    # No segment on a key, whether it comes from KX29_KEY or the argument.
    env = dict(daemon.env, KX29_KEY=fresh_key())
    with pytest.raises(kx29.DaemonError) as e:
        kx29.Board(env["KX29_KEY"])
    assert str(e.value) == cli_error(env, "status")


def test_no_video_and_no_daemon_fail_as_kx29ctl_says():
    with Daemon(sim="novideo=2") as d:
        ch = kx29.Board(d.key).channels[2]
        with pytest.raises(kx29.FailedError) as e:
            ch.acquire(timeout=5)
        assert str(e.value) == cli_error(d.env, "acquire", "-c", "2", "--timeout", "5")
        assert e.value.images == []
        d.stop()
        with pytest.raises(kx29.DaemonError) as e:
            ch.acquire()
        assert str(e.value) == cli_error(d.env, "acquire", "-c", "2")


def test_status_and_key_from_environment(daemon, monkeypatch):
    monkeypatch.setenv("KX29_KEY", daemon.key)
    board = kx29.Board()
    assert board.key == daemon.key and board.daemon["alive"]
    cli = json.loads(daemon.ctl("status", "--json").stdout)
    assert board.status()["daemon"] == cli["daemon"] and board.status().keys() == cli.keys()
    assert [c.state["num"] for c in board.channels] == [0, 1, 2, 3]


def test_to_hdu_holds_the_file(board):
    fits = pytest.importorskip("astropy.io.fits")
    img = board.channels[VIDEO].acquire(frames=2)
    hdu = img.to_hdu()
    assert isinstance(hdu, fits.PrimaryHDU) and np.array_equal(hdu.data, img.data)
    assert hdu.header["NCOMBINE"] == 2 and img._repr_png_().startswith(b"\x89PNG")
