#!/usr/bin/python3
"""Live video through the INDI driver: pictures per second and the driver's own
figure for them, on the simulated daemon (at the board's pace with --realtime).

    KX29_BIN_DIR=$PWD/build/bin PYTHONPATH=tests/py:indi/tests /usr/bin/python3 bench/indi_video_rate.py [--realtime]
"""
import pathlib
import sys
import tempfile
import time

from test_indi import connect, dev, indiserver
from kx29sim import Daemon


def main(seconds=10, realtime=False):
    with tempfile.TemporaryDirectory() as home, Daemon(sim="realtime" if realtime else "") as d, \
            indiserver(d.env, pathlib.Path(home)) as c:
        assert connect(c, 0) == "Ok"
        c.new("Number", dev(0), "CCD_FRAME", X=100, Y=50, WIDTH=201, HEIGHT=101)
        c.sock.sendall(b"<enableBLOB device='KX29 Channel 0'>Also</enableBLOB>")
        c.switch(dev(0), "CCD_VIDEO_STREAM", "STREAM_ON", off=["STREAM_OFF"])
        assert c.wait(lambda: len(c.blobs) >= 1, 10)
        first, t0 = len(c.blobs), time.monotonic()
        c.wait(lambda: False, seconds)
        rate = (len(c.blobs) - first) / (time.monotonic() - t0)
        c.switch(dev(0), "CCD_VIDEO_STREAM", "STREAM_OFF", off=["STREAM_ON"])
        per_frame = float(c.values[(dev(0), "STREAMING_EXPOSURE", "STREAMING_EXPOSURE_VALUE")])
        print("pictures received: %.2f per second; STREAMING_EXPOSURE %.3f s (%.2f frames per second)"
              % (rate, per_frame, 1 / per_frame if per_frame > 0 else 0))


if __name__ == "__main__":
    main(realtime="--realtime" in sys.argv)
