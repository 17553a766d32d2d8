"""The kx29 module end to end on the simulated daemon, checked against kx29ctl."""
import gc
import json
import os
import re
import signal
import threading
import time

import numpy as np
import pytest

import kx29
from kx29sim import Daemon, ctl, ctl_error, fresh_key, read_fits, wait_for

VIDEO, LONG_EXPOSURE, NO_VIDEO, SPARE = 0, 1, 2, 3  # channel 1 carries the long-exposure camera


@pytest.fixture(scope="module")
def daemon():
    with Daemon(sim="novideo=2,stars=5000") as d:  # stars bright enough for exposures under a second
        yield d


@pytest.fixture
def board(daemon):
    return kx29.Board(daemon.key)


@pytest.mark.parametrize("channel, request_", [
    (VIDEO, dict(frames=3, window=(64, 32, 320, 200))),
    (LONG_EXPOSURE, dict(frames=2, exposure=0.32, window="full")),
])
def test_acquired_image_is_what_kx29ctl_saves(daemon, board, tmp_path, channel, request_):
    ch, reports = board.channels[channel], []
    img = ch.acquire(progress=reports.append, **request_)
    assert img.region == ch.state["window"] and not img.data.flags.writeable
    assert np.shares_memory(a := np.asarray(img), img.data) and not a.flags.writeable and a.dtype == np.int16
    done = [p.frames_done for p in reports if p.new_frame]  # frames seen together on a loaded machine come in one
    assert done == sorted(set(done)) and done[-1] == request_["frames"], done
    assert all(f", image 1/1, " in repr(p) for p in reports)  # the image under way, from the first report on

    assert ctl(daemon.env, "save", "-c", str(channel), "-o", str(tmp_path / "cli.fits")).returncode == 0
    img.save(str(tmp_path / "py.fits"))
    (cli_cards, cli_data), (py_cards, py_data) = read_fits(tmp_path / "cli.fits"), read_fits(tmp_path / "py.fits")
    assert cli_cards["BITPIX"] == py_cards["BITPIX"] == "16" and img.data.dtype == np.int16
    assert np.array_equal(cli_data, img.sum) and np.array_equal(py_data, img.sum)  # BZERO is ADDLEV
    assert set(img.header) < set(py_cards) and set(cli_cards) == set(py_cards)
    h = img.header
    assert (h["NCOMBINE"], h["CHANNEL"]) == (request_["frames"], channel)
    assert h["EXPTIME"] == pytest.approx(request_["frames"] * request_.get("exposure", 0.04))
    assert np.array_equal(img.sum, img.data.astype(np.int32) + h["ADDLEV"])
    focus = img.focus()  # the star field has stars, the bars none
    assert focus["sharpness"] > 0 and (focus["star"] is not None and focus["star"]["hfr"] > 0) == (channel == LONG_EXPOSURE)


def test_view_is_the_segment_read_only_and_keeps_it_attached(daemon):
    view = (ch := kx29.Board(daemon.key).channels[VIDEO]).view()
    assert np.shares_memory(view, ch.view()) and not np.shares_memory(view, ch.image())
    with pytest.raises(ValueError):  # read-only down to the memory it views
        view.flags.writeable = True
    del ch
    gc.collect()  # the board and channel are gone; the view still holds the segment
    before = view.copy()
    kx29.Board(daemon.key).channels[VIDEO].acquire(frames=1, window="full")
    assert np.array_equal(view, kx29.Board(daemon.key).channels[VIDEO].image()) and not np.array_equal(view, before)


def ctrl_c(env=None, channel=None):
    os.kill(os.getpid(), signal.SIGINT)


def abort_elsewhere(env, channel):
    ctl(env, "abort", "-c", str(channel))


@pytest.mark.parametrize("channel, request_, after, end, error, text", [
    (LONG_EXPOSURE, dict(exposure=20.0), 0, ctrl_c, KeyboardInterrupt, "withdrawn here"),
    (VIDEO, dict(frames=5, images=1000), 2, ctrl_c, KeyboardInterrupt, "withdrawn here"),
    (VIDEO, dict(frames=5, images=3), 1, abort_elsewhere, kx29.FailedError, "withdrawn by another client"),
])
def test_an_acquisition_ended_early_raises_with_its_finished_images(daemon, board, channel, request_, after, end,
                                                                     error, text):
    ch, enders = board.channels[channel], []

    def progress(p):
        # From another thread: Ctrl-C then runs only if acquire lets go of the interpreter while it waits.
        if p.images_done == after and not enders:
            enders.extend([time.monotonic(), threading.Thread(target=end, args=(daemon.env, channel))])
            enders[1].start()

    with pytest.raises(error) as e:
        ch.acquire(progress=progress, **request_)
    assert time.monotonic() - enders[0] < 10  # at the end of the frame under way, not of the request
    enders[1].join()
    assert str(e.value).startswith(f"channel {channel}: {text} after ") and f" frames, {after} images" in str(e.value)
    assert [img.header["NCOMBINE"] for img in e.value.images] == [request_.get("frames", 1)] * after
    assert ch.state["nexp"] == 0 and board.status()["channels"][channel]["activity"] == "idle"
    # The frame under way is finished: none of it counts in the next request.
    assert len(ch.acquire(frames=2, images=3, exposure=request_.get("exposure") and 0.2)) == 3


def test_another_channels_long_exposure_delays_but_does_not_stall(board):
    # A fresh image waits for the daemon to clear it, which the long exposure of the other channel delays; its
    # countdown is a sign of life, so a request waits for it (about 13 s here) longer than the stall time (10 s).
    with board.channels[LONG_EXPOSURE].acquire_iter(exposure=25.0):
        assert wait_for(lambda: board.channels[LONG_EXPOSURE].state["msg"].startswith("Tandem Exposure"))
        threading.Timer(0.5, ctrl_c).start()
        with pytest.raises(KeyboardInterrupt, match="^channel 0: interrupted before the daemon took") as e:
            board.channels[VIDEO].acquire()
        assert e.value.images == [] and board.channels[VIDEO].state["command"] == 0
        assert board.channels[VIDEO].acquire(frames=2).header["NCOMBINE"] == 2


def test_acquire_iter_yields_each_image_as_it_finishes(daemon, board):
    ch = board.channels[VIDEO]
    # Image k comes while the daemon works on image k + 1 (nexp counts the images left).
    assert [ch.state["nexp"] for _ in ch.acquire_iter(frames=3, images=3)] == [2, 1, 0]

    endless = ch.acquire_iter(frames=5, images=-1)
    images = [next(endless), next(endless)]
    abort_elsewhere(daemon.env, VIDEO)
    with pytest.raises(kx29.FailedError) as e:
        next(endless)
    assert e.value.images == images and next(endless, None) is None

    with ch.acquire_iter(frames=3, images=-1) as stream:
        next(stream)
    assert ch.state["nexp"] == 0 and board.status()["channels"][VIDEO]["activity"] == "idle"


def test_wrong_arguments_are_usage_errors_naming_the_parameter(board):
    img = (ch := board.channels[VIDEO]).acquire()
    for call, name in [(lambda: ch.acquire(frames=1.5), "frames"), (lambda: ch.acquire(add=1), "add"),
                       (lambda: ch.acquire(window=(1, 2)), "window"), (lambda: ch.acquire_iter(progress=3), "progress"),
                       (lambda: ch.abort(timeout="5"), "timeout"), (lambda: img.save(3), "path"),
                       (lambda: img.to_bytes(keys=["OBJECT"]), "keys"), (lambda: kx29.Board(1234), "key")]:
        with pytest.raises(kx29.UsageError, match=f"^{name} must be "):
            call()
    with pytest.raises(kx29.UsageError, match="must not be 0"):  # the library's check, as kx29ctl's
        ch.acquire(images=0)


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


def test_board_closes_and_knows_its_version(daemon):
    with kx29.Board(daemon.key) as board:
        view = (ch := board.channels[VIDEO]).view()
    for use in (board.status, lambda: board.channels, ch.image, ch.acquire):
        with pytest.raises(kx29.UsageError, match=f"board of key {daemon.key} is closed"):
            use()
    assert np.array_equal(view, kx29.Board(daemon.key).channels[VIDEO].view())  # the view keeps the segment
    assert kx29.__version__ == ctl(daemon.env, "--version").stdout.split()[1]


def test_delivered_images_warn_of_clipping_and_saturation(daemon, board, tmp_path):
    # Column 0's flat entry far below column 1's: the correction offsets them by about +-39000 a frame.
    (tmp_path / "flat.txt").write_text("1" + " 20000000" * 767)
    assert ctl(daemon.env, "set", "-c", str(SPARE), "--flat", str(tmp_path / "flat.txt")).returncode == 0
    with pytest.warns(kx29.ImageWarning) as w:
        images = board.channels[SPARE].acquire(frames=3, images=2, ccd=True, window=(0, 0, 2, 4))
        board.channels[LONG_EXPOSURE].acquire(exposure=1.0)
    assert [img.clipped for img in images] == [8, 8] and np.isnan(images[1].mean).all()
    assert [re.sub(r":.*(clipped|saturated).*", r" \1", str(x.message)) for x in w] == [
        "channel 3, image 1 clipped", "channel 3, image 2 clipped", "channel 1, image 1 saturated"]


@pytest.mark.parametrize("with_progress", [False, True])
def test_a_forecast_of_clipping_warns_once(board, with_progress):
    reports, ch, seqn = [], board.channels[VIDEO], board.channels[VIDEO].state["seqn"]

    def after_frames():  # the forecast comes with the second frame: Ctrl-C after a few, however slow they come
        wait_for(lambda: ch.state["seqn"] - seqn >= 5, 120)
        ctrl_c()

    threading.Thread(target=after_frames, daemon=True).start()
    with pytest.warns(kx29.ImageWarning) as w, pytest.raises(KeyboardInterrupt):
        ch.acquire(frames=20000, window=(0, 0, 768, 1), progress=with_progress and reports.append or None)
    [forecast] = [str(x.message) for x in w]
    after = int(re.fullmatch(r"channel 0: images of 20000 frames .*clip.* (\d+) frames", forecast)[1])
    assert after < 20000 and {p.clip_expected_after for p in reports} == ({None, after} if with_progress else set())


def test_to_bytes_and_to_hdu_write_what_save_writes(board, tmp_path):
    img, options = board.channels[VIDEO].acquire(frames=2), dict(form="sum", type="dark", keys={"OBJECT": "M42"})
    img.save(tmp_path / "saved.fits", **options)
    (tmp_path / "bytes.fits").write_bytes(img.to_bytes(**options))
    for cards, data in (read_fits(tmp_path / "saved.fits"), read_fits(tmp_path / "bytes.fits")):
        assert (cards["IMAGETYP"], cards["OBJECT"], cards["BITPIX"]) == ("DARK", "M42", "32")
        assert np.array_equal(data, img.sum)
    assert img._repr_png_().startswith(b"\x89PNG")
    fits = pytest.importorskip("astropy.io.fits")
    hdu = img.to_hdu(**options)
    assert isinstance(hdu, fits.PrimaryHDU) and hdu.header["IMAGETYP"] == "DARK" and np.array_equal(hdu.data, img.sum)


def test_calibrated_image_is_the_mean_frame_less_the_masters(board, tmp_path):
    ch = board.channels[VIDEO]
    biases = ch.acquire(frames=2, images=3, ref_level=50)
    for k, b in enumerate(biases):
        b.save(tmp_path / f"b{k}.fits", type="bias", form=("record", "sum", "mean")[k])
    master = kx29.Master.combine("bias", [tmp_path / f"b{k}.fits" for k in range(3)])
    master.save(tmp_path / "mb.fits")
    assert np.allclose(master.data, np.median([b.mean for b in biases], axis=0))
    assert kx29.Master.open(tmp_path / "mb.fits", kind="bias").header["IMAGETYP"] == "MASTER BIAS"
    img = ch.acquire(frames=2)
    cal = img.calibrated(bias=tmp_path / "mb.fits")
    assert np.allclose(cal.data, img.mean - master.data, atol=1e-4) and cal.data.dtype == np.float32 and cal.header["PIXFORM"] == "MEAN"
    assert any(line.startswith("minus master bias") for line in cal.history)
    with pytest.raises(kx29.UsageError, match="REFLEV is 50, not 40"):
        ch.acquire(frames=1, ref_level=40).calibrated(bias=master)
