"""The harness of the Python, INDI and web tests: kx29d-sim in a scratch directory, kx29ctl and its console, FITS."""
import itertools
import json
import os
import re
import shutil
import signal
import subprocess
import tempfile
import time
import urllib.error
import urllib.request

import numpy as np

SOURCE_DIR = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
BIN_DIR = os.environ.get("KX29_BIN_DIR", os.path.join(SOURCE_DIR, "build", "bin"))
KX29CTL = os.path.join(BIN_DIR, "kx29ctl")

# Stand-in FPGA images matching the example configuration (size 3854, checksum).
IMAGES = {"fmta.spe": 7302, "fmtb.spe": 8977, "lexpa.spe": 8109, "lexpb.spe": 10593}
_serial = itertools.count()


def fresh_key():
    """The letter p and three base-36 digits, unique per process and call."""
    return "p" + np.base_repr((os.getpid() * 64 + next(_serial)) % 36 ** 3, 36).lower().zfill(3)


def segment_id(key):
    return int.from_bytes(key.encode("ascii"), "little")


def remove_segment(key):
    subprocess.run(["ipcrm", "-M", str(segment_id(key))], stderr=subprocess.DEVNULL, check=False)


def wait_for(cond, timeout=15.0):
    deadline = time.monotonic() + timeout
    while not cond() and time.monotonic() < deadline:
        time.sleep(0.05)
    return cond()


def ctl(env, *args, timeout=60):
    """Runs kx29ctl; a CompletedProcess with text output."""
    return subprocess.run([KX29CTL, *args], env=env, capture_output=True, text=True, timeout=timeout)


def ctl_error(env, *args):
    """kx29ctl's message for a failing command, without its program prefix."""
    r = ctl(env, *args)
    assert r.returncode != 0, r.stdout
    return r.stderr.strip().splitlines()[-1].removeprefix("kx29ctl: ")


def channel_status(env, ch):
    return json.loads(ctl(env, "status", "--json").stdout)["channels"][ch]


def read_fits(path):
    """Header values (text) and the primary image, scaled by BSCALE and BZERO."""
    raw = open(path, "rb").read()
    cards, pos = {}, 0
    while "END" not in cards:
        card = raw[pos:pos + 80].decode("ascii")
        pos += 80
        if card[8:10] == "= " or card.startswith("END "):
            cards[card[:8].strip()] = card[10:].split(" /")[0].strip().strip("'").strip()
    w, h = int(cards["NAXIS1"]), int(cards["NAXIS2"])
    dtype = {8: "u1", 16: ">i2", 32: ">i4", -32: ">f4"}[int(cards["BITPIX"])]
    data = np.frombuffer(raw, dtype, w * h, (pos + 2879) // 2880 * 2880).reshape(h, w)
    return cards, data * float(cards.get("BSCALE", 1)) + float(cards.get("BZERO", 0))


class Daemon:
    """kx29d-sim in a scratch directory on a key of its own; a context manager."""

    def __init__(self, sim="", key=None):
        self.key, self.sim, self.proc = key or fresh_key(), sim, None
        self.dir = tempfile.mkdtemp(prefix="kx29-py-")
        self.env = dict(os.environ, KX29_KEY=self.key)
        os.makedirs(os.path.join(self.dir, "spe"))
        shutil.copy(os.path.join(SOURCE_DIR, "examples", "kx29.conf"), self.dir)
        for name, checksum in IMAGES.items():
            subprocess.run([os.path.join(BIN_DIR, "kx29-mkspe"), os.path.join(self.dir, "spe", name),
                            "3854", str(checksum)], check=True, stdout=subprocess.DEVNULL)

    def start(self):
        with open(os.path.join(self.dir, "daemon.out"), "a") as out:
            self.proc = subprocess.Popen([os.path.join(BIN_DIR, "kx29d-sim")], cwd=self.dir, stdout=out,
                                         stderr=subprocess.STDOUT, env=dict(self.env, KX29_SIM=self.sim))
        up = wait_for(lambda: self.proc.poll() is not None or ctl(self.env, "status").returncode == 0, 10)
        assert up and self.proc.poll() is None, "kx29d-sim did not start: see " + self.dir
        return self

    def stop(self):
        if self.proc:
            self.proc.terminate()
            self.proc.wait(10)
        self.proc = None

    def close(self):
        if self.proc:
            self.proc.kill()
            self.proc.wait()
        remove_segment(self.key)
        shutil.rmtree(self.dir, ignore_errors=True)

    def __enter__(self):
        try:
            return self.start()
        except BaseException:
            self.close()
            raise

    def __exit__(self, *exc):
        self.close()


class Console:
    """`kx29ctl serve` on a free loopback port; request() answers (status, headers, body)."""

    def __init__(self, env, *args):
        self.env = env  # the environment of the console's own clients: the same daemon
        self.proc = subprocess.Popen([KX29CTL, "serve", "--listen", "127.0.0.1:0", *args], env=env,
                                     stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        found = re.search(r"http://(\S+?)/", self.proc.stdout.readline())
        if not found:
            self.proc.kill()
            raise RuntimeError("kx29ctl serve did not start: " + self.proc.stderr.read())
        self.base = "http://" + found.group(1)

    def request(self, method, path, body=None, headers=None, timeout=10):
        if body is not None:  # JSON unless the headers say otherwise
            headers = {"Content-Type": "application/json", **(headers or {})}
            body = (body if isinstance(body, str) else json.dumps(body)).encode()
        req = urllib.request.Request(self.base + path, body, headers or {}, method=method)
        try:
            with urllib.request.urlopen(req, timeout=timeout) as res:
                return res.status, res.headers, res.read()
        except urllib.error.HTTPError as e:
            return e.code, e.headers, e.read()

    def json(self, method, path, body=None, headers=None):
        status, _, data = self.request(method, path, body, headers)
        return status, json.loads(data)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        t0 = time.monotonic()
        self.proc.send_signal(signal.SIGINT)  # nothing if it has ended
        self.proc.communicate(timeout=15)  # and the pipes closed
        self.stop_time = time.monotonic() - t0
        assert self.proc.returncode == 0
