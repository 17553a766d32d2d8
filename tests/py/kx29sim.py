"""Runs the simulated daemon for the Python, INDI and web tests: a scratch
directory with the example configuration and generated FPGA images, a segment
key of its own, and clean removal of process and segment afterwards."""
import itertools
import os
import shutil
import signal
import subprocess
import tempfile
import time

SOURCE_DIR = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
BIN_DIR = os.environ.get("KX29_BIN_DIR", os.path.join(SOURCE_DIR, "build", "bin"))

# Stand-in FPGA images matching the example configuration (size 3854, checksum).
IMAGES = {"fmta.spe": 7302, "fmtb.spe": 8977, "lexpa.spe": 8109, "lexpb.spe": 10593}
_serial = itertools.count()


def fresh_key():
    """Four printable characters, unique per process and call."""
    n = (os.getpid() * 64 + next(_serial)) % (36 ** 3)
    digits = "0123456789abcdefghijklmnopqrstuvwxyz"
    return "p" + digits[n // 1296] + digits[n // 36 % 36] + digits[n % 36]


def segment_id(key):
    return int.from_bytes(key.encode("ascii"), "little")


def remove_segment(key):
    subprocess.run(["ipcrm", "-M", str(segment_id(key))], stderr=subprocess.DEVNULL, check=False)


class Daemon:
    """kx29d-sim in a scratch directory; a context manager."""

    def __init__(self, sim="", key=None):
        self.key = key or fresh_key()
        self.sim = sim
        self.dir = tempfile.mkdtemp(prefix="kx29-py-")
        self.proc = None
        os.makedirs(os.path.join(self.dir, "spe"))
        shutil.copy(os.path.join(SOURCE_DIR, "examples", "kx29.conf"), self.dir)
        for name, checksum in IMAGES.items():
            subprocess.run([os.path.join(BIN_DIR, "kx29-mkspe"), os.path.join(self.dir, "spe", name),
                            "3854", str(checksum)], check=True, stdout=subprocess.DEVNULL)

    @property
    def env(self):
        """The environment a client of this daemon runs in."""
        env = dict(os.environ, KX29_KEY=self.key)
        env.pop("KX29_SIM", None)
        return env

    def start(self, timeout=10.0):
        env = self.env
        if self.sim:
            env["KX29_SIM"] = self.sim
        self.out = open(os.path.join(self.dir, "daemon.out"), "w")
        self.proc = subprocess.Popen([os.path.join(BIN_DIR, "kx29d-sim")], cwd=self.dir, env=env,
                                     stdout=self.out, stderr=subprocess.STDOUT)
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if self.proc.poll() is not None:
                raise RuntimeError("kx29d-sim ended with status %d" % self.proc.returncode)
            if self.ctl("status").returncode == 0:
                return self
            time.sleep(0.05)
        raise RuntimeError("kx29d-sim did not start within %g s" % timeout)

    def ctl(self, *args, timeout=60):
        """Runs kx29ctl against this daemon; a CompletedProcess with text output."""
        return subprocess.run([os.path.join(BIN_DIR, "kx29ctl"), *args], env=self.env, capture_output=True,
                              text=True, timeout=timeout)

    def stop(self, sig=signal.SIGTERM):
        if self.proc and self.proc.poll() is None:
            self.proc.send_signal(sig)
            try:
                self.proc.wait(10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        if self.proc:
            self.out.close()
        self.proc = None

    def close(self):
        self.stop()
        remove_segment(self.key)
        shutil.rmtree(self.dir, ignore_errors=True)

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.close()
