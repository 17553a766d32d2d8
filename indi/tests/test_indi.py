"""indi_kx29_ccd end to end: the driver under a real indiserver, against kx29d-sim."""
import json
import os
import shutil
import socket
import subprocess
import tempfile
import time

import numpy as np
import pytest

from indi_client import IndiClient
from kx29sim import BIN_DIR, Daemon


def dev(ch):
    return "KX29 Channel %d" % ch


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Server:
    """indiserver running the driver on a socket and port of its own, HOME in a scratch directory."""

    def __init__(self, env):
        self.home = tempfile.mkdtemp(prefix="kx29-indi-")
        port = free_port()
        self.log = open(os.path.join(self.home, "server.log"), "w")
        self.proc = subprocess.Popen(["indiserver", "-r", "0", "-u", os.path.join(self.home, "indi.sock"), "-p",
                                      str(port), os.path.join(BIN_DIR, "indi_kx29_ccd")],
                                     env=dict(env, HOME=self.home), stdout=self.log, stderr=subprocess.STDOUT)
        deadline = time.monotonic() + 10
        while True:
            try:
                self.client = IndiClient(port)
                break
            except OSError:
                if time.monotonic() > deadline or self.proc.poll() is not None:
                    raise
                time.sleep(0.05)
        assert self.client.wait(lambda: all(self.client.state(dev(ch), "CONNECTION") for ch in range(4)))

    def close(self):
        self.client.close()
        self.proc.terminate()
        self.proc.wait(10)
        self.log.close()
        shutil.rmtree(self.home, ignore_errors=True)


@pytest.fixture
def rig(request):
    with Daemon(sim=getattr(request, "param", "")) as d:
        server = Server(d.env)
        try:
            yield d, server.client, server.home
        finally:
            server.close()


def connect(c, ch):
    c.set_switch(dev(ch), "CONNECTION", "CONNECT", off=["DISCONNECT"])
    return c.wait_state(dev(ch), "CONNECTION", ("Ok", "Alert"))


def expose(c, ch, seconds, timeout=30):
    c.set_number(dev(ch), "CCD_EXPOSURE", CCD_EXPOSURE_VALUE=seconds)
    return c.wait_state(dev(ch), "CCD_EXPOSURE", ("Ok", "Alert"), timeout)


def save_locally(c, ch, directory):
    c.set_switch(dev(ch), "UPLOAD_MODE", "UPLOAD_LOCAL", off=["UPLOAD_CLIENT", "UPLOAD_BOTH"])
    c.set_text(dev(ch), "UPLOAD_SETTINGS", UPLOAD_DIR=directory, UPLOAD_PREFIX="shot_XXX")
    assert c.wait_state(dev(ch), "UPLOAD_SETTINGS", ("Ok",)) == "Ok"


def read_fits(path):
    """Header values and the primary image of a FITS file, as float64."""
    raw = open(path, "rb").read()
    cards, pos = {}, 0
    while "END" not in cards:
        for i in range(36):
            card = raw[pos + 80 * i:pos + 80 * i + 80].decode("ascii")
            key = card[:8].strip()
            if key == "END" or card[8:10] == "= ":
                cards[key] = card[10:].split(" /")[0].strip().strip("'").strip()
            if key == "END":
                break
        pos += 2880
    w, h = int(cards["NAXIS1"]), int(cards["NAXIS2"])
    dtype = {8: "u1", 16: ">i2", 32: ">i4", -32: ">f4"}[int(cards["BITPIX"])]
    data = np.frombuffer(raw, dtype, w * h, pos).reshape(h, w).astype(np.float64)
    return cards, data * float(cards.get("BSCALE", 1)) + float(cards.get("BZERO", 0))


def record_sum(d, ch, directory):
    """The record's image as kx29ctl saves it: the true sum of its frames in the window."""
    path = os.path.join(directory, "record%d.fits" % ch)
    r = d.ctl("save", "-c", str(ch), "--sum", "--overwrite", "-o", path)
    assert r.returncode == 0, r.stderr
    return read_fits(path)[1]


def channel_status(d, ch):
    return json.loads(d.ctl("status", "--json").stdout)["channels"][ch]


def bin_sum(a, b):
    h, w = a.shape[0] // b, a.shape[1] // b
    return np.minimum(np.clip(a, 0, 65535)[:h * b, :w * b].reshape(h, b, w, b).sum(axis=(1, 3)), 65535)


def test_exposure_subframe_binning_and_bad_input(rig):
    d, c, home = rig
    assert [connect(c, ch) for ch in range(4)] == ["Ok"] * 4
    assert c.value(dev(0), "CCD_INFO", "CCD_MAX_X") == "768" and c.value(dev(0), "CCD_INFO", "CCD_MAX_Y") == "512"
    save_locally(c, 0, home)
    # (frame X, Y, W, H, binning, seconds, frames summed)
    for x, y, w, h, b, seconds, frames in [(0, 0, 768, 512, 1, 0.2, 5), (100, 50, 201, 101, 2, 0.04, 1)]:
        c.set_number(dev(0), "CCD_FRAME", X=x, Y=y, WIDTH=w, HEIGHT=h)
        c.set_number(dev(0), "CCD_BINNING", HOR_BIN=b, VER_BIN=b)
        assert c.wait_state(dev(0), "CCD_BINNING", ("Ok", "Alert")) == "Ok"
        assert expose(c, 0, seconds) == "Ok"
        assert c.wait(lambda: os.path.exists(c.value(dev(0), "CCD_FILE_PATH", "FILE_PATH")))
        path = c.value(dev(0), "CCD_FILE_PATH", "FILE_PATH")
        verify = subprocess.run(["fitsverify", "-q", "-e", path], capture_output=True, text=True)
        assert verify.returncode == 0, verify.stdout
        cards, image = read_fits(path)
        assert (int(cards["NCOMBINE"]), int(cards["CHANNEL"]), int(cards["XBINNING"])) == (frames, 0, b)
        assert abs(float(cards["EXPTIME"]) - frames * 0.04) < 1e-6
        record = record_sum(d, 0, home)
        assert record.shape == (h, w)
        expected = bin_sum(record, b)
        assert image.shape == (h // b, w // b) and np.array_equal(image, expected)

    before = channel_status(d, 0)
    bad = [("CCD_EXPOSURE", {"CCD_EXPOSURE_VALUE": 20}), ("CCD_EXPOSURE", {"CCD_EXPOSURE_VALUE": float("nan")}),
           ("CCD_FRAME", {"X": 700, "Y": 0, "WIDTH": 100, "HEIGHT": 10}), ("CCD_BINNING", {"HOR_BIN": 5, "VER_BIN": 1}),
           ("KX29_REF_LEV", {"REF_LEV": 64}), ("KX29_REF_LEV", {"REF_LEV": 10.5}), ("KX29_CCD_BIAS", {"BIAS": -1}),
           ("KX29_PIXEL_SIZE", {"PIXEL_X": 0})]
    for prop, values in bad:
        seen = len(c.messages)
        c.set_number(dev(0), prop, **values)
        assert c.wait_state(dev(0), prop, ("Alert",), 5) == "Alert", (prop, values)
        assert c.wait(lambda: len(c.messages) > seen, 5), (prop, values)
    after = channel_status(d, 0)
    assert {k: after[k] for k in before if k not in ("seqmsg", "msg", "tcurr")} == \
        {k: before[k] for k in before if k not in ("seqmsg", "msg", "tcurr")}


def test_long_exposure_counts_down_and_abort_leaves_channel_idle(rig):
    d, c, home = rig
    assert connect(c, 1) == "Ok"
    save_locally(c, 1, home)
    assert expose(c, 1, 2.0) == "Ok"
    left = [float(v["CCD_EXPOSURE_VALUE"]) for s, v in c.props[(dev(1), "CCD_EXPOSURE")]["history"] if s == "Busy"]
    assert any(0.2 < v < 1.9 for v in left), left
    assert left == sorted(left, reverse=True)
    cards, _ = read_fits(c.value(dev(1), "CCD_FILE_PATH", "FILE_PATH"))
    assert (int(cards["NCOMBINE"]), float(cards["EXPTIME"])) == (1, 2.0)

    c.set_number(dev(1), "CCD_EXPOSURE", CCD_EXPOSURE_VALUE=30)
    assert c.wait(lambda: channel_status(d, 1)["activity"] == "acquiring", 5)
    c.set_switch(dev(1), "CCD_ABORT_EXPOSURE", "ABORT")
    assert c.wait_state(dev(1), "CCD_EXPOSURE", ("Idle",), 2) == "Idle"
    assert c.wait(lambda: channel_status(d, 1)["activity"] == "idle", 5)


@pytest.mark.parametrize("rig", ["novideo=2"], indirect=True)
def test_no_video_is_an_alert(rig):
    d, c, home = rig
    assert connect(c, 2) == "Ok"
    assert expose(c, 2, 0.04) == "Alert"
    assert any(m[0] == dev(2) and "no video on channel 2" in m[1] for m in c.messages), c.messages


def test_streaming_delivers_every_frame_and_stops(rig):
    d, c, home = rig
    assert connect(c, 0) == "Ok"
    c.enable_blobs(dev(0))
    c.set_switch(dev(0), "CCD_VIDEO_STREAM", "STREAM_ON", off=["STREAM_OFF"])
    assert c.wait(lambda: len(c.blobs) >= 1, 10)
    first = len(c.blobs)
    c.wait(lambda: False, 3.0)
    frames = c.blobs[first - 1:]
    fps = (len(frames) - 1) / (frames[-1][1] - frames[0][1])
    c.set_switch(dev(0), "CCD_VIDEO_STREAM", "STREAM_OFF", off=["STREAM_ON"])
    print("streaming: %.2f frames/s" % fps)
    assert fps > 2 and all(len(b[3]) == 768 * 512 for b in frames if b[2] == ".stream")
    assert max(frames[-1][3]) > 0
    assert c.wait(lambda: channel_status(d, 0)["activity"] == "idle", 5)


def test_no_daemon_then_daemon_gone_then_reconnect():
    d = Daemon()
    server = Server(d.env)
    c = server.client
    try:
        assert connect(c, 0) == "Alert"
        assert any(m[0] == dev(0) and "daemon" in m[1] for m in c.messages), c.messages
        d.start()
        assert connect(c, 0) == "Ok"
        assert expose(c, 0, 0.04) == "Ok"
        c.set_number(dev(0), "CCD_EXPOSURE", CCD_EXPOSURE_VALUE=2.0)  # 50 frames, several seconds
        assert c.wait(lambda: len(c.props[(dev(0), "CCD_EXPOSURE")]["history"]) > 2, 5)
        seen = len(c.messages)
        d.stop()
        assert c.wait_state(dev(0), "CCD_EXPOSURE", ("Ok", "Alert")) == "Alert"
        assert any("daemon has ended" in m[1] for m in c.messages[seen:]), c.messages[seen:]
        d.start()
        c.set_switch(dev(0), "CONNECTION", "DISCONNECT", off=["CONNECT"])
        assert c.wait_state(dev(0), "CONNECTION", ("Idle",)) == "Idle"
        assert connect(c, 0) == "Ok"
        assert expose(c, 0, 0.04) == "Ok"
    finally:
        server.close()
        d.close()
