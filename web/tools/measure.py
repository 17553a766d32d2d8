#!/usr/bin/python3
"""Figures of the web console on the simulated daemon: event latency, server CPU with
four channels live and four viewers, /api/status time with every stream open.

    KX29_BIN_DIR=$PWD/build/bin PYTHONPATH=tests/py /usr/bin/python3 web/tools/measure.py [--ctl] [--realtime]

--ctl runs the four series in kx29ctl processes, so that the figure is the live
view's alone; without it the console follows them itself. --realtime runs the
simulated board at the hardware's pace (KX29_SIM=realtime) instead of ahead of it.
"""
import ctypes
import http.client
import multiprocessing
import os
import subprocess
import sys
import json
import statistics
import threading
import time

from kx29sim import BIN_DIR, Console, Daemon, segment_id

RECORD = 888004
SEQN = 20
libc = ctypes.CDLL("libc.so.6", use_errno=True)
libc.shmat.restype = ctypes.c_void_p


def seqn_watcher(key, changes, stop):
    """Polls the four records' seqn every 0.1 ms and notes when each (channel, value) appeared."""
    base = libc.shmat(libc.shmget(segment_id(key), 0, 0), None, 0o10000)  # SHM_RDONLY
    words = [ctypes.c_int.from_address(base + ch * RECORD + SEQN) for ch in range(4)]
    last = [w.value for w in words]
    while not stop.is_set():
        for ch, w in enumerate(words):
            if w.value != last[ch]:
                last[ch] = w.value
                changes[ch, last[ch]] = time.monotonic()
        time.sleep(0.0001)


def sse_events(base, on_event, stop):
    host, port = base.removeprefix("http://").split(":")
    conn = http.client.HTTPConnection(host, int(port))
    conn.request("GET", "/api/events")
    res = conn.getresponse()
    buf = b""
    while not stop.is_set():
        buf += res.read1(65536)
        while b"\n\n" in buf:
            block, buf = buf.split(b"\n\n", 1)
            fields = dict(line.split(b": ", 1) for line in block.split(b"\n") if b": " in line)
            if b"event" in fields:
                on_event(fields[b"event"].decode(), json.loads(fields[b"data"]), time.monotonic())
    conn.close()


def viewer(base, stop, fetched):
    """A browser's worth of work: the events, and each new picture fetched once."""
    host, port = base.removeprefix("http://").split(":")
    pictures = http.client.HTTPConnection(host, int(port))
    seen = {}

    def on_event(name, data, _):
        frame = data.get("frame") if name == "channel" else None
        if frame and seen.get(data["channel"]) != frame["id"]:
            seen[data["channel"]] = frame["id"]
            pictures.request("GET", "/api/channels/%d/live.jpg?f=%d" % (data["channel"], frame["id"]))
            fetched.append(len(pictures.getresponse().read()))

    sse_events(base, on_event, stop)


def viewer_process(base, stop, out):
    fetched = []
    t = threading.Thread(target=viewer, args=(base, threading.Event(), fetched), daemon=True)
    t.start()
    stop.wait()
    out.put(list(fetched))


def cpu_seconds(pid):
    fields = open("/proc/%d/stat" % pid).read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / 100.0


def pct(values, p):
    values = sorted(values)
    return values[min(len(values) - 1, int(p / 100 * len(values)))]


def main(seconds=30, by_ctl=False, realtime=False):
    """by_ctl: the series run in kx29ctl processes, so the console only watches."""
    with Daemon(sim="realtime" if realtime else "") as d, Console(d.env) as c:
        series = []
        for ch in range(4):
            if by_ctl:
                series.append(subprocess.Popen([os.path.join(BIN_DIR, "kx29ctl"), "acquire", "-c", str(ch),
                                                "--images", "-1"], env=d.env, stdout=subprocess.DEVNULL))
            else:
                assert c.json("POST", "/api/channels/%d/acquire" % ch, {"images": -1})[0] == 202
        stop = threading.Event()
        changes, arrivals, fetched = {}, {}, []
        # The viewers in processes of their own: the latency is timed in this one,
        # whose two threads would otherwise wait for the viewers' interpreter lock.
        viewers_stop, fetched_counts = multiprocessing.Event(), multiprocessing.Queue()
        viewers = [multiprocessing.Process(target=viewer_process, args=(c.base, viewers_stop, fetched_counts))
                   for _ in range(4)]
        for v in viewers:
            v.start()
        threads = [threading.Thread(target=seqn_watcher, args=(d.key, changes, stop))]

        def note(name, data, t):
            if name == "channel":
                arrivals.setdefault((data["channel"], data["seqn"]), t)

        threads.append(threading.Thread(target=sse_events, args=(c.base, note, stop)))
        for t in threads:
            t.daemon = True
            t.start()
        time.sleep(2)
        cpu0, t0 = cpu_seconds(c.proc.pid), time.monotonic()
        time.sleep(seconds)
        cpu = (cpu_seconds(c.proc.pid) - cpu0) / (time.monotonic() - t0)
        viewers_stop.set()
        for _ in viewers:
            fetched += fetched_counts.get()
        for v in viewers:
            v.join()
        lat = [1000 * (arrivals[s] - changes[s]) for s in changes if s in arrivals]
        print("frames: %d, matched events: %d, pictures per second: %.1f"
              % (len(changes), len(lat), len(fetched) / 4 / (time.monotonic() - t0 + 2)))
        print("event latency: median %.1f ms, 95th percentile %.1f ms" % (statistics.median(lat), pct(lat, 95)))
        print("server CPU, 4 channels live, 5 event streams, 4 viewers fetching pictures: %.1f %% of one core"
              % (100 * cpu))
        print("pictures fetched: %d, mean size %.0f bytes" % (len(fetched), statistics.mean(fetched)))
        # Every stream open (8 with the 3 more below): /api/status must still answer.
        host, port = c.base.removeprefix("http://").split(":")
        extra = []
        for _ in range(3):
            conn = http.client.HTTPConnection(host, int(port))
            conn.request("GET", "/api/events")
            assert conn.getresponse().status == 200
            extra.append(conn)
        times = []
        for _ in range(100):
            t = time.monotonic()
            assert c.request("GET", "/api/status")[0] == 200
            times.append(1000 * (time.monotonic() - t))
        print("/api/status with 8 streams open: median %.2f ms, 95th percentile %.2f ms, max %.2f ms"
              % (statistics.median(times), pct(times, 95), max(times)))
        stop.set()
        for conn in extra:
            conn.close()
        for p in series:
            p.terminate()
            p.wait()


if __name__ == "__main__":
    main(by_ctl="--ctl" in sys.argv, realtime="--realtime" in sys.argv)
