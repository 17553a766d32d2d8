"""The console's HTTP API against kx29d-sim: status, acquisitions, bad bodies, tokens, limits, no daemon."""
import http.client
import json
import os
import time

import pytest

from kx29sim import Console, Daemon, channel_status, ctl, ctl_error, endless_series, fresh_key, wait_for


ACQUIRE = "/api/channels/0/acquire"
# name, path, body (none: a GET), headers, status, error (text, or kx29ctl's options giving the same message)
REQUESTS = [
    ("broken JSON", ACQUIRE, '{"frames": ', None, 400, "the body is not valid JSON"),
    ("not an object", ACQUIRE, "[1]", None, 400, "the body must be a JSON object"),
    ("unknown field", ACQUIRE, {"frame": 2}, None, 400, 'unknown field "frame"'),
    ("wrong type", ACQUIRE, {"frames": "2"}, None, 400, '"frames" must be an integer'),
    ("too large", ACQUIRE, {"images": 2**40}, None, 400, '"images" is out of range'),
    ("frames 0", ACQUIRE, {"frames": 0}, None, 400, ["--frames", "0"]),
    ("images 0", ACQUIRE, {"images": 0}, None, 400, ["--images", "0"]),
    ("reference level", ACQUIRE, {"ref_level": 64}, None, 400, ["--ref-lev", "64"]),
    ("format 3", ACQUIRE, {"format": 3}, None, 400, ["--format", "3"]),
    ("window outside", ACQUIRE, {"window": [700, 0, 100, 10]}, None, 400, ["--window", "700,0,100,10"]),
    ("exposure without camera", ACQUIRE, {"exposure": 2}, None, 400, ["--exposure", "2"]),
    ("negative exposure", "/api/channels/1/acquire", {"exposure": -1}, None, 400, ["--exposure", "-1"]),
    ("channel 7", "/api/channels/7/acquire", {}, None, 400, []),
    ("form post", ACQUIRE, "frames=2", {"Content-Type": "application/x-www-form-urlencoded"}, 415, "JSON body"),
    ("body too large", ACQUIRE, json.dumps({"frames": 1, "pad": "x" * 5000}), None, 413, "too large"),
    ("abort with fields", "/api/channels/0/abort", {"now": True}, None, 400, 'unknown field "now"'),
    ("window of text", "/api/channels/0/window", {"window": "1,2"}, None, 400, ["--window", "1,2"]),
    ("GET acquire", ACQUIRE, None, None, 404, None),
    ("GET abort", "/api/channels/0/abort", None, None, 404, None),
    # Without a token, a page that reached the loopback under another name is refused.
    ("other host", ACQUIRE, {}, {"Host": "attacker.example:8029"}, 403, None),
]


@pytest.mark.parametrize("name,path,body,headers,status,error", REQUESTS, ids=[c[0] for c in REQUESTS])
def test_refused_requests_change_nothing(console, name, path, body, headers, status, error):
    before = channel_status(console.env, 0)
    got, _, reply = console.request("GET" if body is None else "POST", path, body, headers)
    assert got == status, reply
    if isinstance(error, list):  # the same request to kx29ctl, on the same channel
        command = "set" if path.endswith("window") else "acquire"
        error = ctl_error(console.env, command, "-c", path.split("/")[3], *error)
    assert error is None or error in json.loads(reply)["error"]
    assert channel_status(console.env, 0) == before


def test_acquire_busy_abort_and_images(console, tmp_path):
    assert console.json("GET", "/api/status")[1] == json.loads(ctl(console.env, "status", "--json").stdout)
    assert console.json("POST", ACQUIRE, {"images": -1})[0] == 202
    assert wait_for(lambda: channel_status(console.env, 0)["activity"] == "acquiring")
    status, reply = console.json("POST", ACQUIRE, {"images": 1})
    assert status == 409 and "acquiring" in reply["error"]
    with endless_series(console.env, 2):  # another client's acquisition makes a channel just as busy
        assert console.json("POST", "/api/channels/2/acquire", {})[0] == 409
    status, reply = console.json("POST", "/api/channels/0/abort", {})
    assert status == 200 and reply["was_acquiring"] and reply["idle"], reply
    assert channel_status(console.env, 0)["activity"] == "idle"

    body = {"frames": 2, "images": 1, "window": [96, 64, 320, 240], "format": 1}
    assert console.json("POST", ACQUIRE, body)[0] == 202
    assert wait_for(lambda: channel_status(console.env, 0)["activity"] == "idle")
    status, headers, png = console.request("GET", "/api/channels/0/image.png")
    assert ctl(console.env, "save", "-c", "0", "-o", str(tmp_path / "ctl.png")).returncode == 0
    assert (status, headers["Content-Type"], png) == (200, "image/png", (tmp_path / "ctl.png").read_bytes())
    # The page's large view sets the window; "full" is the whole image of the format.
    status, reply = console.json("POST", "/api/channels/0/window", {"window": "full"})
    image = channel_status(console.env, 0)["image"]
    assert status == 200 and reply["window"] == [0, 0, image["width"], image["height"]]


def test_token_and_stream_limit(console):
    r = ctl(console.env, "serve", "--listen", "0.0.0.0:0", timeout=10)
    assert r.returncode == 2 and "--token" in r.stderr
    with Console(console.env, "--token", "s3cret") as c:
        for auth, query, status in [(None, "", 401), ("s3cret", "", 200), ("s3cre", "", 401),
                                    (None, "?token=s3cret", 200), (None, "?token=s3cret-and-more", 401)]:
            headers = {"Authorization": "Bearer " + auth} if auth else {}
            assert [c.request("GET", p + query, headers=headers)[0] for p in ("/api/status", "/")] == [status] * 2

        streams = [http.client.HTTPConnection(c.base.removeprefix("http://"), timeout=10) for _ in range(8)]
        try:
            for conn in streams:
                conn.request("GET", "/api/events?token=s3cret")
                res = conn.getresponse()
                assert res.status == 200 and b"event: daemon" in res.read1(65536)
            assert c.request("GET", "/api/events?token=s3cret")[0] == 503
            t0 = time.monotonic()
            assert c.request("GET", "/api/status?token=s3cret")[0] == 200 and time.monotonic() - t0 < 0.5
        finally:
            for conn in streams:
                conn.close()


def test_no_daemon_then_daemon():
    key = fresh_key()  # the daemon removes its segment when it closes
    with Console(dict(os.environ, KX29_KEY=key)) as c:
        for status, reply in [c.json("GET", "/api/status"), c.json("POST", ACQUIRE, {})]:
            assert status == 503 and reply["error"], reply
        with Daemon(key=key) as d:
            assert c.json("GET", "/api/status")[1]["daemon"]["alive"]
            d.stop()
            status, doc = c.json("GET", "/api/status")
            assert status == 200 and not doc["daemon"]["alive"]
            assert c.json("POST", ACQUIRE, {})[0] == 503
            d.start()
            assert c.json("POST", ACQUIRE, {})[0] == 202
