"""Runs `kx29ctl serve` for the web tests on a free loopback port, against a daemon's key."""
import json
import os
import re
import signal
import subprocess
import urllib.error
import urllib.request

from kx29sim import BIN_DIR


class Console:
    """kx29ctl serve as a context manager; request() answers (status, headers, body)."""

    def __init__(self, env, *args, listen="127.0.0.1:0"):
        self.proc = subprocess.Popen([os.path.join(BIN_DIR, "kx29ctl"), "serve", "--listen", listen, *args],
                                     env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        line = self.proc.stdout.readline()
        found = re.search(r"http://(\S+?)/", line)
        if not found:
            self.proc.kill()
            raise RuntimeError("kx29ctl serve did not start: %r %s" % (line, self.proc.stderr.read()))
        self.base = "http://" + found.group(1)

    def request(self, method, path, body=None, headers=None, timeout=10):
        headers = dict(headers or {})
        if isinstance(body, (dict, list)):
            body = json.dumps(body).encode()
            headers.setdefault("Content-Type", "application/json")
        elif isinstance(body, str):
            body = body.encode()
        req = urllib.request.Request(self.base + path, data=body, method=method, headers=headers)
        try:
            with urllib.request.urlopen(req, timeout=timeout) as res:
                return res.status, res.headers, res.read()
        except urllib.error.HTTPError as e:
            return e.code, e.headers, e.read()

    def json(self, method, path, body=None, headers=None):
        status, _, data = self.request(method, path, body, headers)
        return status, json.loads(data)

    def close(self):
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGINT)
            self.proc.wait(15)
        self.proc.stdout.close()
        self.proc.stderr.close()
        return self.proc.returncode

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        assert self.close() == 0
