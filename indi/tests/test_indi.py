"""indi_kx29_ccd end to end: the driver under a real indiserver, against kx29d-sim."""
import contextlib
import os
import socket
import subprocess

import numpy as np
import pytest

from indi_client import IndiClient
from kx29sim import BIN_DIR, Daemon, channel_status, ctl, read_fits, wait_for


def dev(ch):
    return "KX29 Channel %d" % ch


def listening(port):
    with socket.socket() as s:
        return s.connect_ex(("127.0.0.1", port)) == 0


@contextlib.contextmanager
def indiserver(env, home):
    """indiserver running the driver on a socket and port of its own, HOME in a scratch directory; a client."""
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        port = s.getsockname()[1]
    with open(home / "server.log", "w") as log:
        proc = subprocess.Popen(["indiserver", "-r", "0", "-u", str(home / "indi.sock"), "-p", str(port),
                                 os.path.join(BIN_DIR, "indi_kx29_ccd")], env=dict(env, HOME=str(home)), stdout=log,
                                stderr=subprocess.STDOUT)
    try:
        assert wait_for(lambda: listening(port) or proc.poll() is not None, 10) and proc.poll() is None
        c = IndiClient(port)
        with c.sock:
            assert c.wait(lambda: all(c.state(dev(ch), "CONNECTION") for ch in range(4)))
            yield c
    finally:
        proc.terminate()
        proc.wait(10)


def connect(c, ch):
    """Connects channel ch, its exposures saved in HOME; the connection's state."""
    c.switch(dev(ch), "CONNECTION", "CONNECT", off=["DISCONNECT"])
    if c.wait_state(dev(ch), "CONNECTION", ("Ok", "Alert")) == "Ok":
        c.switch(dev(ch), "UPLOAD_MODE", "UPLOAD_LOCAL", off=["UPLOAD_CLIENT", "UPLOAD_BOTH"])
        c.wait_state(dev(ch), "UPLOAD_MODE", ("Ok",))  # answered after the properties the connection defines
    return c.state(dev(ch), "CONNECTION")


def expose(c, ch, seconds, timeout=30):
    c.new("Number", dev(ch), "CCD_EXPOSURE", CCD_EXPOSURE_VALUE=seconds)
    return c.wait_state(dev(ch), "CCD_EXPOSURE", ("Ok", "Alert"), timeout)


def saved_file(c, ch):
    assert c.wait(lambda: os.path.exists(c.values[(dev(ch), "CCD_FILE_PATH", "FILE_PATH")]))
    return c.values[(dev(ch), "CCD_FILE_PATH", "FILE_PATH")]


# Refused with an alert and a message, the record left as it was: (property, values)
BAD_INPUT = [("CCD_EXPOSURE", {"CCD_EXPOSURE_VALUE": 20}), ("CCD_EXPOSURE", {"CCD_EXPOSURE_VALUE": "nan"}),
             ("CCD_FRAME", {"X": 700, "Y": 0, "WIDTH": 100, "HEIGHT": 10}), ("KX29_PIXEL_SIZE", {"PIXEL_X": 0}),
             ("CCD_BINNING", {"HOR_BIN": 5, "VER_BIN": 1}), ("KX29_REF_LEV", {"REF_LEV": 64}),
             ("KX29_REF_LEV", {"REF_LEV": 10.5}), ("KX29_CCD_BIAS", {"BIAS": -1})]


# A session: no daemon yet; exposures, bad input, a countdown, an abort, video; no video; the daemon gone mid-way.
def test_session_from_no_daemon_to_reconnect(tmp_path):
    with contextlib.closing(Daemon(sim="novideo=2")) as d, indiserver(d.env, tmp_path) as c:
        assert connect(c, 0) == "Alert" and any(m[0] == dev(0) and "daemon" in m[1] for m in c.messages), c.messages
        d.start()
        assert [connect(c, ch) for ch in range(4)] == ["Ok"] * 4
        assert [c.values[(dev(0), "CCD_INFO", "CCD_MAX_" + xy)] for xy in "XY"] == ["768", "512"]
        # (frame X, Y, W, H, binning, seconds, frames summed)
        for x, y, w, h, b, seconds, frames in [(0, 0, 768, 512, 1, 0.2, 5), (100, 50, 201, 101, 2, 0.04, 1)]:
            c.new("Number", dev(0), "CCD_FRAME", X=x, Y=y, WIDTH=w, HEIGHT=h)
            c.new("Number", dev(0), "CCD_BINNING", HOR_BIN=b, VER_BIN=b)
            assert c.wait_state(dev(0), "CCD_BINNING", ("Ok", "Alert")) == "Ok"
            assert expose(c, 0, seconds) == "Ok"
            verify = subprocess.run(["fitsverify", "-q", "-e", saved_file(c, 0)], capture_output=True, text=True)
            assert verify.returncode == 0, verify.stdout
            cards, image = read_fits(saved_file(c, 0))
            assert (int(cards["NCOMBINE"]), int(cards["CHANNEL"]), int(cards["XBINNING"])) == (frames, 0, b)
            assert float(cards["EXPTIME"]) == pytest.approx(frames * 0.04)
            # The record's image as kx29ctl saves it: the true sum of its frames in the window, binned.
            path = str(tmp_path / "record.fits")
            assert ctl(d.env, "save", "-c", "0", "--sum", "--overwrite", "-o", path).returncode == 0
            record = np.clip(read_fits(path)[1], 0, 65535)
            binned = record[:h // b * b, :w // b * b].reshape(h // b, b, w // b, b).sum(axis=(1, 3))
            assert record.shape == (h, w) and np.array_equal(image, np.minimum(binned, 65535))

        before = channel_status(d.env, 0)
        for prop, values in BAD_INPUT:
            seen = len(c.messages)
            c.new("Number", dev(0), prop, **values)
            assert c.wait_state(dev(0), prop, ("Alert",), 5) == "Alert", (prop, values)
            assert c.wait(lambda: len(c.messages) > seen, 5), (prop, values)
        after = channel_status(d.env, 0)
        assert [k for k in before if before[k] != after[k] and k not in ("seqmsg", "msg", "tcurr")] == []

        # A long exposure counts down, then an abort leaves the channel idle.
        assert expose(c, 1, 2.0) == "Ok"
        left = [float(v["CCD_EXPOSURE_VALUE"]) for s, v in c.props[(dev(1), "CCD_EXPOSURE")] if s == "Busy"]
        assert any(0.2 < v < 1.9 for v in left) and left == sorted(left, reverse=True), left
        cards, _ = read_fits(saved_file(c, 1))
        assert (int(cards["NCOMBINE"]), float(cards["EXPTIME"])) == (1, 2.0)
        c.new("Number", dev(1), "CCD_EXPOSURE", CCD_EXPOSURE_VALUE=30)
        assert c.wait(lambda: channel_status(d.env, 1)["activity"] == "acquiring", 5)
        c.switch(dev(1), "CCD_ABORT_EXPOSURE", "ABORT")
        assert c.wait_state(dev(1), "CCD_EXPOSURE", ("Idle",), 2) == "Idle"
        assert c.wait(lambda: channel_status(d.env, 1)["activity"] == "idle", 5)
        # Withdrawn by another client part-way through its 50 frames: Alert, and no image of the frames read.
        files = len(c.props.get((dev(0), "CCD_FILE_PATH"), []))
        c.new("Number", dev(0), "CCD_EXPOSURE", CCD_EXPOSURE_VALUE=2.0)
        assert c.wait(lambda: channel_status(d.env, 0)["nadded"] >= 3, 10)
        seen = len(c.messages)
        assert ctl(d.env, "abort", "-c", "0").returncode == 0
        assert c.wait_state(dev(0), "CCD_EXPOSURE", ("Ok", "Alert")) == "Alert"
        assert any("another client withdrew" in m[1] for m in c.messages[seen:]), c.messages[seen:]
        assert len(c.props.get((dev(0), "CCD_FILE_PATH"), [])) == files

        # Live video: more than 2 frames a second, 8-bit pictures of the frame and binning last set (201x101, 2x2);
        # the channel idle once it stops.
        c.sock.sendall(b"<enableBLOB device='KX29 Channel 0'>Also</enableBLOB>")
        c.switch(dev(0), "CCD_VIDEO_STREAM", "STREAM_ON", off=["STREAM_OFF"])
        assert c.wait(lambda: len(c.blobs) >= 1, 10) and c.wait(lambda: len(c.blobs) >= 8, 3.0)
        c.switch(dev(0), "CCD_VIDEO_STREAM", "STREAM_OFF", off=["STREAM_ON"])
        assert max(c.blobs[-1]) > 0 and all(len(b) == 100 * 50 for b in c.blobs)
        assert c.wait(lambda: channel_status(d.env, 0)["activity"] == "idle", 5)

        # A channel without video; then the daemon ends during an exposure, and runs again.
        assert expose(c, 2, 0.04) == "Alert"
        assert any(m[0] == dev(2) and "no video on channel 2" in m[1] for m in c.messages), c.messages
        c.new("Number", dev(0), "CCD_EXPOSURE", CCD_EXPOSURE_VALUE=2.0)  # 50 frames, several seconds
        assert c.wait(lambda: len(c.props[(dev(0), "CCD_EXPOSURE")]) > 2, 5)
        seen = len(c.messages)
        d.stop()
        assert c.wait_state(dev(0), "CCD_EXPOSURE", ("Ok", "Alert")) == "Alert"
        assert any("daemon has ended" in m[1] for m in c.messages[seen:]), c.messages[seen:]
        d.start()
        c.switch(dev(0), "CONNECTION", "DISCONNECT", off=["CONNECT"])
        assert c.wait_state(dev(0), "CONNECTION", ("Idle",)) == "Idle"
        assert connect(c, 0) == "Ok" and expose(c, 0, 0.04) == "Ok", c.messages[seen:]
