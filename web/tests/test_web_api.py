"""The console's HTTP API against kx29d-sim: status, acquisitions, bad bodies, tokens, limits, no daemon."""
import http.client
import json
import os
import signal
import subprocess
import time

import pytest

from console import Console
from kx29sim import BIN_DIR, Daemon, fresh_key, remove_segment


def ctl_message(daemon, *args):
    """What kx29ctl says on standard error for the same mistake."""
    r = daemon.ctl(*args)
    assert r.returncode == 2, r
    return r.stderr.strip().removeprefix("kx29ctl: ")


def channel(console, ch):
    status, doc = console.json("GET", "/api/status")
    assert status == 200, doc
    return doc["channels"][ch]


def acquiring(ch):
    """The record has an acquisition with images left (CMD_ACQUIRE, nexp and nadd not 0)."""
    return bool(ch["command"] & 2) and ch["nexp"] != 0 and ch["nadd"] != 0


def wait_for(cond, timeout=15):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if cond():
            return True
        time.sleep(0.05)
    return False


JSON = {"Content-Type": "application/json"}
# name, path, body, headers, status, expected error (text, or kx29ctl arguments giving the same message)
BAD_REQUESTS = [
    ("broken JSON", "/api/channels/0/acquire", '{"frames": ', JSON, 400, "the body is not valid JSON"),
    ("not an object", "/api/channels/0/acquire", "[1]", JSON, 400, "the body must be a JSON object"),
    ("unknown field", "/api/channels/0/acquire", {"frame": 2}, None, 400, 'unknown field "frame"'),
    ("wrong type", "/api/channels/0/acquire", {"frames": "2"}, None, 400, '"frames" must be an integer'),
    ("too large", "/api/channels/0/acquire", {"images": 2**40}, None, 400, '"images" is out of range'),
    ("frames 0", "/api/channels/0/acquire", {"frames": 0}, None, 400, ["-c", "0", "--frames", "0"]),
    ("images 0", "/api/channels/0/acquire", {"images": 0}, None, 400, ["-c", "0", "--images", "0"]),
    ("reference level", "/api/channels/0/acquire", {"ref_level": 64}, None, 400, ["-c", "0", "--ref-lev", "64"]),
    ("format 3", "/api/channels/0/acquire", {"format": 3}, None, 400, ["-c", "0", "--format", "3"]),
    ("window outside", "/api/channels/0/acquire", {"window": [700, 0, 100, 10]}, None, 400,
     ["-c", "0", "--window", "700,0,100,10"]),
    ("exposure without camera", "/api/channels/0/acquire", {"exposure": 2}, None, 400,
     ["-c", "0", "--exposure", "2"]),
    ("negative exposure", "/api/channels/1/acquire", {"exposure": -1}, None, 400, ["-c", "1", "--exposure", "-1"]),
    ("channel 7", "/api/channels/7/acquire", {}, None, 400, ["-c", "7"]),
    ("form post", "/api/channels/0/acquire", "frames=2", {"Content-Type": "application/x-www-form-urlencoded"},
     415, "JSON body"),
    ("body too large", "/api/channels/0/acquire", json.dumps({"frames": 1, "pad": "x" * 5000}), JSON, 413,
     "too large"),
    ("abort with fields", "/api/channels/0/abort", {"now": True}, None, 400, 'unknown field "now"'),
    ("window of text", "/api/channels/0/window", {"window": "1,2"}, None, 400, ["-c", "0", "--window", "1,2"]),
]


@pytest.mark.parametrize("name,path,body,headers,status,error", BAD_REQUESTS, ids=[c[0] for c in BAD_REQUESTS])
def test_bad_requests_reach_nothing(daemon, console, name, path, body, headers, status, error):
    before = channel(console, 0)
    got, reply = console.json("POST", path, body, headers)
    assert got == status, reply
    if isinstance(error, list):
        error = ctl_message(daemon, *(["set"] if path.endswith("window") else ["acquire"]), *error)
    assert error in reply["error"]
    assert channel(console, 0) == before


def test_status_and_no_side_effects_of_get(daemon, console):
    status, doc = console.json("GET", "/api/status")
    assert status == 200
    assert doc == json.loads(daemon.ctl("status", "--json").stdout)
    assert console.request("GET", "/api/channels/0/acquire")[0] == 404
    assert console.request("GET", "/api/channels/0/abort")[0] == 404


def test_acquire_busy_abort_and_images(daemon, console, tmp_path):
    assert console.json("POST", "/api/channels/0/acquire", {"images": -1})[0] == 202
    assert wait_for(lambda: acquiring(channel(console, 0)))
    status, reply = console.json("POST", "/api/channels/0/acquire", {"images": 1})
    assert status == 409 and "acquiring" in reply["error"]

    # Another client's acquisition makes the channel just as busy.
    other = subprocess.Popen([os.path.join(BIN_DIR, "kx29ctl"), "acquire", "-c", "2", "--images", "-1"],
                             env=daemon.env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        assert wait_for(lambda: acquiring(channel(console, 2)))
        assert console.json("POST", "/api/channels/2/acquire", {})[0] == 409
    finally:
        other.send_signal(signal.SIGINT)
        other.wait(10)

    status, reply = console.json("POST", "/api/channels/0/abort", {})
    assert status == 200 and reply["was_acquiring"] and reply["idle"], reply
    assert not acquiring(channel(console, 0))

    body = {"frames": 2, "images": 1, "window": [96, 64, 320, 240], "format": 1}
    assert console.json("POST", "/api/channels/0/acquire", body)[0] == 202
    assert wait_for(lambda: not acquiring(channel(console, 0)))
    status, headers, png = console.request("GET", "/api/channels/0/image.png")
    assert status == 200 and headers["Content-Type"] == "image/png"
    assert daemon.ctl("save", "-c", "0", "-o", str(tmp_path / "ctl.png")).returncode == 0
    assert png == (tmp_path / "ctl.png").read_bytes()
    # The page's large view sets the window; "full" is the whole image of the format.
    status, reply = console.json("POST", "/api/channels/0/window", {"window": "full"})
    image = channel(console, 0)["image"]
    assert status == 200 and reply["window"] == [0, 0, image["width"], image["height"]]
    status, headers, fits = console.request("GET", "/api/channels/0/image.fits")
    assert status == 200 and fits.startswith(b"SIMPLE  =")
    (tmp_path / "web.fits").write_bytes(fits)
    verify = subprocess.run(["fitsverify", "-q", str(tmp_path / "web.fits")], capture_output=True, text=True)
    assert verify.returncode == 0 and "OK" in verify.stdout, verify.stdout


@pytest.mark.parametrize("headers,query,status", [
    ({}, "", 401),
    ({"Authorization": "Bearer s3cret"}, "", 200),
    ({"Authorization": "Bearer s3cre"}, "", 401),
    ({}, "?token=s3cret", 200),
    ({}, "?token=s3cret-and-more", 401),
])
def test_token(daemon, headers, query, status):
    with Console(daemon.env, "--token", "s3cret") as c:
        assert c.request("GET", "/api/status" + query, headers=headers)[0] == status
        assert c.request("GET", "/" + query, headers=headers)[0] == status


def test_refusals_at_the_door(daemon, console):
    r = subprocess.run([os.path.join(BIN_DIR, "kx29ctl"), "serve", "--listen", "0.0.0.0:0"], env=daemon.env,
                       capture_output=True, text=True, timeout=10)
    assert r.returncode == 2 and "--token" in r.stderr
    # Without a token, a page that reached the loopback under another name is refused.
    assert console.request("GET", "/api/status", headers={"Host": "attacker.example:8029"})[0] == 403


def test_stream_limit_leaves_status_answering(daemon):
    with Console(daemon.env) as c:
        host, port = c.base.removeprefix("http://").split(":")
        streams = []
        try:
            for _ in range(8):
                conn = http.client.HTTPConnection(host, int(port), timeout=10)
                conn.request("GET", "/api/events")
                res = conn.getresponse()
                assert res.status == 200 and b"event: daemon" in res.read1(65536)
                streams.append(conn)
            assert c.request("GET", "/api/events")[0] == 503
            t0 = time.monotonic()
            assert c.request("GET", "/api/status")[0] == 200
            assert time.monotonic() - t0 < 0.5
        finally:
            for conn in streams:
                conn.close()


def test_no_daemon_then_daemon(tmp_path):
    key = fresh_key()
    env = dict(os.environ, KX29_KEY=key)
    try:
        with Console(env) as c:
            for method, path, body in [("GET", "/api/status", None), ("POST", "/api/channels/0/acquire", {})]:
                status, reply = c.json(method, path, body)
                assert status == 503 and reply["error"], reply
            with Daemon(key=key) as d:
                assert c.json("GET", "/api/status")[1]["daemon"]["alive"]
                d.stop()
                status, doc = c.json("GET", "/api/status")
                assert status == 200 and not doc["daemon"]["alive"]
                assert c.json("POST", "/api/channels/0/acquire", {})[0] == 503
                d.start()
                assert c.json("POST", "/api/channels/0/acquire", {})[0] == 202
    finally:
        remove_segment(key)
