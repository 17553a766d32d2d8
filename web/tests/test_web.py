"""The console against kx29d-sim: its HTTP API, and its page in headless Chromium."""
import contextlib
import glob
import http.client
import json
import os
import re
import signal
import socket
import sys
import threading
import time

import pytest
from selenium import webdriver
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.action_chains import ActionChains
from selenium.webdriver.common.actions import interaction
from selenium.webdriver.common.actions.action_builder import ActionBuilder
from selenium.webdriver.common.actions.pointer_input import PointerInput
from selenium.webdriver.common.by import By
from selenium.webdriver.common.keys import Keys
from selenium.webdriver.support.ui import Select, WebDriverWait

import kx29sim
from kx29sim import Console, Daemon, channel_status, ctl, fresh_key, read_fits, remove_segment, wait_for

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "tools"))
import slow_probe  # noqa: E402


@pytest.fixture(scope="module")
def console(tmp_path_factory):
    saves = tmp_path_factory.mktemp("saves")
    # Stars bright enough for a 1 s long exposure to saturate the brightest.
    with Daemon(sim="seed=7,stars=5000") as d, Console(d.env, "--save-dir", str(saves)) as c:
        c.daemon, c.saves = d, saves
        yield c


ACQUIRE = "/api/channels/0/acquire"
# What a refused request's body must never become: a request of its own.
SMUGGLED = b"POST /api/channels/0/acquire HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: application/json\r\n" \
           b"Content-Length: 2\r\n\r\n{}"
LOCAL, JSON, LEN = b"Host: 127.0.0.1", b"Content-Type: application/json", b"Content-Length: %d" % len(SMUGGLED)


def raw(headers, body=SMUGGLED):
    """A POST as bytes, its header and body sent apart (rows whose path is None are sent so)."""
    return b"POST /api/channels/0/abort HTTP/1.1\r\n%s\r\n\r\n" % b"\r\n".join(headers), body


# name, path, body (none: a GET), headers, status, part of the error message (none: not checked)
REQUESTS = [
    ("broken JSON", ACQUIRE, '{"frames": ', None, 400, "the body is not valid JSON"),
    ("not an object", ACQUIRE, "[1]", None, 400, "the body must be a JSON object"),
    ("unknown field", ACQUIRE, {"frame": 2}, None, 400, 'unknown field "frame"'),
    ("wrong type", ACQUIRE, {"frames": "2"}, None, 400, '"frames" must be an integer'),
    ("too large", ACQUIRE, {"images": 2**40}, None, 400, '"images" is out of range'),
    # The library's own checks, with its messages.
    ("format 3", ACQUIRE, {"format": 3}, None, 400, "format 3 is not 1 or 2"),
    ("exposure without camera", ACQUIRE, {"exposure": 2}, None, 400, "channel 0 has no long-exposure camera"),
    ("exposure beyond the camera", "/api/channels/1/acquire", {"exposure": 1e308}, None, 400, "from 0 to 3600"),
    ("negative exposure", "/api/channels/1/acquire", {"exposure": -1}, None, 400, "from 0 to 3600"),
    ("channel 7", "/api/channels/7/acquire", {}, None, 400, "channel 7 is not 0..3"),
    ("form post", ACQUIRE, "frames=2", {"Content-Type": "application/x-www-form-urlencoded"}, 415, "JSON body"),
    ("body too large", ACQUIRE, json.dumps({"frames": 1, "pad": "x" * 5000}), None, 413, "too large"),
    ("abort with fields", "/api/channels/0/abort", {"now": True}, None, 400, 'unknown field "now"'),
    # Files go into the console's --save-dir and nowhere else.
    ("save elsewhere", ACQUIRE, {"save": {"name": "../m42.fits"}}, None, 400, "plain file name"),
    ("save absolute", ACQUIRE, {"save": {"name": "/tmp/m42.fits"}}, None, 400, "plain file name"),
    ("save with a directory", ACQUIRE, {"save": {"name": "m42.fits", "dir": "/"}}, None, 400, '"save.dir"'),
    ("stretch upside down", "/api/channels/0/live.jpg?stretch=200,100", None, None, 400, "BLACK below WHITE"),
    ("pixel outside", "/api/channels/0/pixel?x=768&y=0", None, None, 400, "x must be 0..767"),
    ("GET acquire", ACQUIRE, None, None, 404, None),
    # Without a token, a page that reached the loopback under another name is refused.
    ("other host", ACQUIRE, {}, {"Host": "attacker.example:8029"}, 403, None),
    ("rebinding name", "/api/status", None, {"Host": "127.attacker.example"}, 403, "loopback"),
    ("rebinding name, port", "/api/status", None, {"Host": "127.0.0.1.attacker.example:PORT"}, 403, "loopback"),
    ("loopback, other port", "/api/status", None, {"Host": "localhost:1"}, 403, "loopback"),
    ("loopback v4", "/api/status", None, {"Host": "127.1.2.3"}, 200, None),
    ("loopback v6", "/api/status", None, {"Host": "[::1]:PORT"}, 200, None),
    ("loopback name", "/api/status", None, {"Host": "LocalHost:PORT"}, 200, None),
    ("no ranges", "/api/channels/0/image.raw", None, {"Range": "bytes=0-1,4-5"}, 200, None),
    # Refused before its body was read, a request's connection is closed: its body is never read as another.
    ("smuggled after 415", None, raw([LOCAL, b"Content-Type: text/plain", LEN]), None, 415, "JSON body"),
    ("smuggled after 403", None, raw([b"Host: attacker.example", JSON, LEN]), None, 403, "loopback"),
    ("two lengths", None, raw([LOCAL, JSON, LEN, b"Content-Length: 2"]), None, 400, "Content-Length"),
    ("length and chunked", None, raw([LOCAL, JSON, LEN, b"Transfer-Encoding: chunked"]), None, 400, "Transfer-Enc"),
    ("other coding", None, raw([LOCAL, JSON, b"Transfer-Encoding: gzip"]), None, 400, "Transfer-Encoding"),
    ("chunked too large", None, raw([LOCAL, JSON, b"Transfer-Encoding: chunked"], b"1000\r\n%s\r\n10\r\n%s\r\n0\r\n\r\n"
                                    % (b" " * 4096, b" " * 16)), None, 413, "too large"),
    ("header too large", None, raw([LOCAL, JSON, LEN, b"X-Pad: " + b"a" * 9000]), None, 431, "too large"),
]


def address(console):
    host, port = console.base.removeprefix("http://").rsplit(":", 1)
    return host, int(port)


def raw_exchange(console, *parts):
    """All the console answers to raw bytes until it closes the connection (None: it did not in 5 s)."""
    with socket.create_connection(address(console), timeout=5) as s:
        for part in parts:
            s.sendall(part), time.sleep(0.05)
        try:
            return s.makefile("rb").read()
        except socket.timeout:
            return None


@pytest.mark.parametrize("name,path,body,headers,status,error", REQUESTS, ids=[c[0] for c in REQUESTS])
def test_refused_requests_change_nothing(console, name, path, body, headers, status, error):
    before = channel_status(console.env, 0)
    headers = {k: v.replace("PORT", str(address(console)[1])) for k, v in (headers or {}).items()}
    if path is None:  # one answer, then the end of the connection
        reply = raw_exchange(console, *body)
        assert reply is not None and reply.count(b"HTTP/1.1 ") == 1, reply
        got, reply = int(reply[9:12]), reply.split(b"\r\n\r\n", 1)[1]
    else:
        got, _, reply = console.request("GET" if body is None else "POST", path, body, headers)
    assert got == status, reply
    assert error is None or error in json.loads(reply)["error"]
    assert channel_status(console.env, 0) == before


def open_stream(console, query=""):
    conn = http.client.HTTPConnection(console.base.removeprefix("http://"), timeout=10)
    conn.request("GET", "/api/events" + query)
    return conn, conn.getresponse()


def first_event(res):
    """The first event line of a stream: its snapshot begins with the daemon's state."""
    return next((line.strip() for line in res if line.startswith(b"event: ")), None)


def event_data(console):
    """The data of the console's events as they come, the latest of each kind first."""
    yield from (json.loads(line[6:]) for line in open_stream(console)[1] if line.startswith(b"data: "))


def stream_ids(console, seconds):
    """The ids of the events one stream sends in that many seconds."""
    conn, res = open_stream(console)
    ids = []

    def read():
        with contextlib.suppress(OSError, ValueError, AttributeError):
            ids.extend(int(line[4:]) for line in res if line.startswith(b"id: "))

    reader = threading.Thread(target=read, daemon=True)
    reader.start(), time.sleep(seconds)
    found = list(ids)
    res.close(), conn.close()
    return found


def test_acquire_busy_abort_and_images(console, tmp_path):
    # A request that waits for the daemon (stopped for a while) waits on a worker: the console answers meanwhile.
    pid, answers = console.json("GET", "/api/status")[1]["daemon"]["pid"], []
    waiting = threading.Thread(target=lambda: answers.append(console.json("POST", ACQUIRE, {"images": -1})[0]))
    os.kill(pid, signal.SIGSTOP)
    waiting.start(), time.sleep(0.5)
    assert waiting.is_alive() and slow_probe.status_time(*address(console), 5) < 1  # 100 ms figure: web/tools
    os.kill(pid, signal.SIGCONT)
    waiting.join()
    assert answers == [202]
    assert wait_for(lambda: channel_status(console.env, 0)["activity"] == "acquiring")
    ids = stream_ids(console, 1.5)  # each event once, in order, while frames come
    assert len(ids) > 2 and all(a < b for a, b in zip(ids, ids[1:])), ids
    assert console.json("POST", ACQUIRE, {"images": 1}) == (409, {"error": "channel 0 is acquiring"})
    assert console.json("POST", "/api/channels/0/window", {"window": "full"})[0] == 409
    status, reply = console.json("POST", "/api/channels/0/abort", {})
    assert status == 200 and reply["was_acquiring"] and reply["idle"], reply
    assert reply["summary"].startswith("channel 0: withdrawn here"), reply
    # Withdrawn from outside, the run is not completed.
    assert console.json("POST", ACQUIRE, {"frames": 50})[0] == 202
    events = event_data(console)
    assert ctl(console.env, "abort", "-c", "0").returncode == 0
    end = next(e for e in events if e.get("channel") == 0 and e.get("running") is False)
    assert end["outcome"] == "withdrawn by another client", end

    body = {"frames": 2, "images": 1, "window": [96, 64, 320, 240], "format": 1, "ref_level": 5}
    assert console.json("POST", ACQUIRE, body)[0] == 202
    assert wait_for(lambda: channel_status(console.env, 0)["activity"] == "idle")
    s = channel_status(console.env, 0)
    assert (s["nadded"], s["ref_lev"], list(s["window"].values())) == (2, 5, body["window"]), s
    status, headers, png = console.request("GET", "/api/channels/0/image.png")
    assert ctl(console.env, "save", "-c", "0", "-o", str(tmp_path / "ctl.png")).returncode == 0
    assert (status, headers["Content-Type"], png) == (200, "image/png", (tmp_path / "ctl.png").read_bytes())
    # The page's large view sets the window; "full" is the whole image of the format, 768x512.
    assert console.json("POST", "/api/channels/0/window", {"window": "full"})[1]["window"] == [0, 0, 768, 512]


def latest(console, ch):
    """The channel's latest event, as a viewer that just arrived gets it."""
    conn, res = open_stream(console)
    try:
        return next(e for e in (json.loads(line[6:]) for line in res if line.startswith(b"data: "))
                    if e.get("channel") == ch and "frame" in e)
    finally:
        conn.close()


def picture(console, ch, query=""):
    """Status, bytes and colour components (1 grey, 3 colour: from the frame header) of a live picture."""
    status, _, jpeg = console.request("GET", "/api/channels/%d/live.jpg%s" % (ch, query))
    return status, jpeg, jpeg[jpeg.index(b"\xff\xc0") + 9]


def test_live_pictures_figures_and_saving(console):
    """Pictures only while fetched and stretched as asked; each frame's figures; an acquisition saved."""
    first = wait_for(lambda: latest(console, 0)["frame"] and latest(console, 0))  # the console's first picture
    assert console.json("POST", ACQUIRE, {"images": -1})[0] == 202
    assert wait_for(lambda: latest(console, 0)["seqn"] > first["seqn"] + 3)  # frames come, but nobody fetches a picture
    assert latest(console, 0)["frame"]["id"] == first["frame"]["id"]
    picture(console, 0)
    assert wait_for(lambda: latest(console, 0)["frame"]["id"] != first["frame"]["id"], 5)
    f = latest(console, 0)["frame"]
    assert f["fps"] > 1 and abs(f["time"] / 1000 - time.time()) < 5 and f["focus"]["star"] is None, f
    assert picture(console, 0)[2] == 1 and console.json("POST", "/api/channels/0/abort", {})[0] == 200
    # A long exposure saturates the camera's stars: counted, red in a colour picture, and saved as asked.
    body, before = {"exposure": 1, "save": {"name": "m42.fits", "type": "dark", "object": "42"}}, latest(console, 1)
    assert console.json("POST", "/api/channels/1/acquire", body)[0] == 202

    def ended():
        picture(console, 1)  # as a viewer does, so that the next picture is made
        e = latest(console, 1)
        return not e["acquiring"] and e["frame"]["seqn"] == e["seqn"] > before["seqn"] and e

    f = wait_for(ended, 20)["frame"]
    star = f["focus"]["star"]
    assert f["saturated"] > 0 and f["clipped"] == 0 and star["hfr"] > 0 and star["saturated"], f
    pictures = [picture(console, 1, q) for q in ("", "?stretch=minmax", "?stretch=60.5,120")]
    assert [(p[0], p[2]) for p in pictures] == [(200, 3)] * 3 and len({p[1] for p in pictures}) == 3
    # The pixel under the pointer is the record's: the star's top, at 255 in its one frame.
    x, y = round(star["x"]), round(star["y"])
    p = console.json("GET", "/api/channels/1/pixel?x=%d&y=%d" % (x, y))[1]
    raw = console.request("GET", "/api/channels/1/image.raw")[2]
    assert p["value"] == int.from_bytes(raw[2 * (y * 768 + x):][:2], "little", signed=True) and p["mean"] == 255, p
    cards, image = read_fits(str(console.saves / "m42.fits"))
    assert (cards["IMAGETYP"], cards["OBJECT"], image.shape) == ("DARK", "42", (576, 768))
    assert b"OBJECT  = '42" in (console.saves / "m42.fits").read_bytes()  # a name, even when it looks like a number


def test_statistics_are_the_records_in_grey_levels_of_a_frame(console):
    """Also for an image of no frames (as after start-up): its values are the record's plus ADDLEV."""
    for ch, frames in ((3, 0), (2, 3)):
        if frames:
            assert console.json("POST", "/api/channels/%d/acquire" % ch, {"frames": frames})[0] == 202
            assert wait_for(lambda: channel_status(console.env, ch)["activity"] == "idle")
        s = channel_status(console.env, ch)

        def current():
            picture(console, ch)
            e = latest(console, ch)
            return e["frame"] and e["frame"]["seqn"] == s["seqn"] and e["frame"]

        stats = wait_for(current, 10)["stats"]
        raw = console.request("GET", "/api/channels/%d/image.raw" % ch)[2]
        w, width = s["window"], s["image"]["width"]
        values = [int.from_bytes(raw[2 * (y * width + x):][:2], "little", signed=True)
                  for y in range(w["lin0"], w["lin0"] + w["height"]) for x in range(w["col0"], w["col0"] + w["width"])]
        grey = lambda v: (v + s["addlev"]) / max(1, s["nadded"])  # noqa: E731
        assert s["nadded"] == frames and stats["mean"] == pytest.approx(grey(sum(values) / len(values)), abs=1e-6)
        assert (stats["min"], stats["max"]) == (grey(min(values)), grey(max(values))), (stats, s)


def test_token_and_stream_limit(console, tmp_path):
    (token_file := tmp_path / "token").write_text("s3cret\n")
    token_file.chmod(0o640)
    for args in [("--listen", "0.0.0.0:0"), ("--listen", "127.attacker.example:0"), ("--listen", "127.1:0"),
                 ("--token-file", str(token_file))]:
        r = ctl(console.env, "serve", *args, timeout=10)
        assert r.returncode == 2 and "--token" in r.stderr, r.stderr
    token_file.chmod(0o600)
    with Console(dict(console.env, KX29_TOKEN="s3cret")) as c:
        # A viewer at once after the start finds the daemon's state first.
        assert first_event(open_stream(c, "?token=s3cret")[1]) == b"event: daemon"
        statuses = [c.request("GET", "/api/status", headers=h)[0] for h in ({}, {"Authorization": "BEARER s3cret"})]
        assert statuses == [401, 200]
        refused = c.json("POST", ACQUIRE, {"save": {"name": "m.fits"}}, {"Authorization": "Bearer s3cret"})
        assert refused == (400, {"error": "this console saves no files (start it with --save-dir DIR)"})
    with Console(console.env, "--token-file", str(token_file)) as c:  # which ends on Ctrl-C with its streams still open
        for auth, query, status in [(None, "", 401), ("Bearer s3cret", "", 200), ("bearer s3cret", "", 200),
                                    ("Bearer s3cre", "", 401), ("Basic s3cret", "?token=s3cret", 401),
                                    (None, "?token=s3cret", 200), (None, "?token=s3%63ret", 200),
                                    (None, "?token=s3cret-and-more", 401)]:
            assert c.request("GET", "/api/status" + query, headers={"Authorization": auth} if auth else {})[0] == status
        # The page opened with the token: redirected to a clean address, the token in a cookie no script reads.
        conn = http.client.HTTPConnection(c.base.removeprefix("http://"), timeout=10)
        conn.request("GET", "/?token=s3cret&x=1")
        res = conn.getresponse()
        cookie = res.getheader("Set-Cookie")
        assert (res.status, res.getheader("Location")) == (303, "/?x=1") and "HttpOnly; SameSite=Strict" in cookie
        statuses = [c.request("GET", "/", headers={"Cookie": k})[0] for k in (cookie.split(";")[0], "kx29_token=s3")]
        assert statuses == [200, 401]
        for _, h, _ in (c.request("GET", "/", headers={"Cookie": cookie}), c.request("GET", "/api/status")):
            policy = h["Content-Security-Policy"]
            assert (h["X-Frame-Options"], h["X-Content-Type-Options"], "frame-ancestors 'none'" in policy,
                    "unsafe" in policy) == ("DENY", "nosniff", True, False)

        streams = [open_stream(c, "?token=s3cret") for _ in range(8)]
        assert [(res.status, first_event(res)) for _, res in streams] == [(200, b"event: daemon")] * 8
        assert open_stream(c, "?token=s3cret")[1].status == 503
        t0 = time.monotonic()
        assert c.request("GET", "/api/status?token=s3cret")[0] == 200 and time.monotonic() - t0 < 2
        streams[0][1].close(), streams[0][0].close()  # a viewer that leaves frees its place at once
        assert wait_for(lambda: open_stream(c, "?token=s3cret")[1].status == 200, 5)
    assert c.stop_time < 1, c.stop_time  # Ctrl-C ends it at once, its streams open


def unanswered(sock):
    """The server closed the connection without a word."""
    try:
        return sock.recv(64) == b""
    except ConnectionResetError:
        return True


def test_slow_and_idle_connections(console):
    """200 connections, idle or trickling a header: answers come at once, the connections end at 10 s."""
    host, port = address(console)
    idle = slow_probe.open_connections(host, port, 100)
    slow = slow_probe.open_connections(host, port, 100, slow_probe.SLOW_HEADER[:1])
    t0, stop = time.monotonic(), threading.Event()
    threading.Thread(target=slow_probe.trickle, args=(slow, 1.0, stop), daemon=True).start()
    try:
        times = [slow_probe.status_time(host, port, 5) for _ in range(10)]
        # Answered while they wait (their figures, 100 ms for 200 and 1 s for 10 000: web/tools/slow_probe.py).
        assert all(t is not None and t < 1 for t in times), times
        assert slow_probe.closed_by_server(idle + slow) == 0
        assert wait_for(lambda: slow_probe.closed_by_server(idle + slow) == 200, 15)
        assert 9.5 < time.monotonic() - t0 < 20
        assert all(unanswered(s) for s in idle + slow)  # no request came: nothing to answer
    finally:
        stop.set(), [s.close() for s in idle + slow]


def test_connection_cap(console, tmp_path, monkeypatch):
    """100 descriptors leave room for 36 connections; one more is answered 503 and closed."""
    wrapper = tmp_path / "kx29ctl"
    wrapper.write_text('#!/bin/sh\nulimit -n 100 && exec %s "$@"\n' % kx29sim.KX29CTL)
    wrapper.chmod(0o755)
    monkeypatch.setattr(kx29sim, "KX29CTL", str(wrapper))
    with Console(console.env) as c:
        held = slow_probe.open_connections(*address(c), 36)
        reply = raw_exchange(c)
        assert reply.startswith(b"HTTP/1.1 503") and b"too many connections" in reply, reply
        for s in held:
            s.close()
        assert wait_for(lambda: c.request("GET", "/api/status")[0] == 200, 5)


def test_no_daemon_then_daemon():
    key = fresh_key()  # no segment under it yet
    with Console(dict(os.environ, KX29_KEY=key)) as c:
        assert c.json("GET", "/api/status")[0] == c.json("POST", ACQUIRE, {})[0] == 503
        with Daemon(key=key) as d:
            assert c.json("GET", "/api/status")[1]["daemon"]["alive"]
            d.stop()
            assert not c.json("GET", "/api/status")[1]["daemon"]["alive"]
            assert c.json("POST", ACQUIRE, {})[0] == 503
            d.start()
            assert c.json("POST", ACQUIRE, {})[0] == 202
            # Its segment removed, a new daemon makes another: the live view follows it (the snapshot starts with it).
            seen = lambda: next(event_data(c)) == {"alive": True, "pid": d.proc.pid, "segment": True}  # noqa: E731
            assert wait_for(seen, 10)
            d.stop()
            remove_segment(key)
            d.start()
            assert wait_for(seen, 10)


@pytest.fixture
def browser(tmp_path):
    opts = webdriver.ChromeOptions()
    opts.binary_location = "/usr/bin/chromium"
    for arg in ["--headless=new", "--no-sandbox", "--disable-gpu", "--no-first-run", "--window-size=1600,900",
                "--disable-background-networking", "--user-data-dir=" + str(tmp_path / "profile")]:
        opts.add_argument(arg)
    opts.set_capability("goog:loggingPrefs", {"browser": "ALL"})  # where a refusal by the page's policy shows
    driver = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=opts)
    driver.execute_cdp_cmd("Page.setDownloadBehavior", {"behavior": "allow", "downloadPath": str(tmp_path)})
    yield driver
    driver.quit()


def frame_ids(driver):
    return [t.get_attribute("data-frame") for t in driver.find_elements(By.CSS_SELECTOR, ".tile")]


def tile_text(tile, selector):
    """The text of an element within a tile (or the page)."""
    return tile.find_element(By.CSS_SELECTOR, selector).text


def all_pictures_loaded(d):
    return all(frame_ids(d)) and d.execute_script(
        "return [...document.querySelectorAll('.live')].every(i => i.complete && i.naturalWidth > 0)")


# Run on its own (ctest web_browser): it leaves three channels acquiring.
def test_page_live_acquire_download(console, browser, tmp_path):
    wait = WebDriverWait(browser, 30, poll_frequency=0.1)
    browser.get(console.base + "/")
    tiles = lambda: browser.find_elements(By.CSS_SELECTOR, ".tile")  # noqa: E731
    # An error met while the daemon was away goes when it comes back.
    wait.until(lambda d: "daemon running" in d.find_element(By.ID, "daemon").text)
    console.daemon.stop()
    wait.until(lambda d: "not running" in d.find_element(By.ID, "daemon").text)
    tiles()[0].find_element(By.CSS_SELECTOR, "button.acquire").click()
    wait.until(lambda d: tile_text(tiles()[0], ".error"))
    console.daemon.start()
    wait.until(lambda d: "daemon running" in tile_text(d, "#daemon") and not tile_text(tiles()[0], ".error"))
    # The night view and a tile's stretch are kept across a reload; the stretch is the server's.
    browser.find_element(By.ID, "night").click()
    Select(tiles()[0].find_element(By.NAME, "mode")).select_by_value("minmax")
    for ch in (0, 2, 3):
        assert console.json("POST", "/api/channels/%d/acquire" % ch, {"images": -1})[0] == 202
    browser.refresh()
    assert browser.execute_script("return document.documentElement.classList.contains('night')")
    wait.until(all_pictures_loaded)
    first, tile0 = frame_ids(browser), tiles()[0]
    assert "stretch=minmax" in tile0.find_element(By.CSS_SELECTOR, ".live").get_attribute("src")
    # The histogram marks the black and white points: in min-max, the window's minimum and maximum.
    points = browser.execute_script(
        "const [h, lo, hi] = ['.hist', '.min', '.max'].map(s => arguments[0].querySelector(s));"
        " return [h.dataset.points, lo.textContent, hi.textContent]", tile0)
    assert points[0] == "%s,%s" % tuple(points[1:]), points
    assert "sharpness" in tile_text(tile0, ".focus-text")
    assert "–" not in tile_text(tile0, ".fps") + tile_text(tile0, ".time")

    # The camera's channel: images of 3 long exposures, saved from the page.
    tile = tiles()[1]
    for name, value in (("frames", "3"), ("images", "2"), ("exposure", "1.5"), ("name", "page.fits")):
        tile.find_element(By.NAME, name).clear()
        tile.find_element(By.NAME, name).send_keys(value)
    tile.find_element(By.CSS_SELECTOR, "button.acquire").click()
    progress, bar = tile.find_element(By.CSS_SELECTOR, ".progress-text"), tile.find_element(By.CSS_SELECTOR, "progress")
    wait.until(lambda d: progress.text.startswith("image 1/2, frame ") and 0 < float(bar.get_attribute("value")) < 1)
    # A single frame of the sum (its first) saturates the brightest stars; the sum of moving stars does not.
    wait.until(lambda d: "saturated" in tile_text(tile, ".sat") and tile_text(tile, ".focus-text").startswith("HFR"))
    wait.until(lambda d: progress.text.startswith("channel 1: completed"))
    assert tile_text(tile, ".countdown") == "exposure: 0.0 s left" and float(bar.get_attribute("value")) == 1
    assert {"page_001.fits", "page_002.fits"} <= set(os.listdir(console.saves))
    # Every picture moves on: three endless series and the one just finished.
    wait.until(lambda d: all(a != b for a, b in zip(frame_ids(d), first)))

    # The large view: 1:1, the pixel under the pointer, a window dragged by a finger, Esc.
    tile.find_element(By.CSS_SELECTOR, ".picture").click()
    browser.find_element(By.CSS_SELECTOR, '#large [data-zoom="1"]').click()
    big = browser.find_element(By.CSS_SELECTOR, "#large .picture")
    assert big.find_element(By.TAG_NAME, "img").size["width"] == 768
    ActionChains(browser).move_to_element_with_offset(big, 10, 10).perform()
    wait.until(lambda d: re.match(r"x 39\d, y 29\d: sum \d+ of 3 frames = ", tile_text(d, "#large .pixel")))
    touch = ActionBuilder(browser, mouse=PointerInput(interaction.POINTER_TOUCH, "finger"))
    touch.pointer_action.move_to(big, -100, -100).pointer_down().move_to(big, 50, 40).pointer_up()
    touch.perform()
    window = lambda: list(channel_status(console.env, 1)["window"].values())  # noqa: E731
    assert wait_for(lambda: max(map(abs, map(int.__sub__, window(), [284, 188, 150, 140]))) <= 2, 5), window()
    ActionChains(browser).send_keys(Keys.ESCAPE).perform()
    wait.until(lambda d: not d.find_element(By.ID, "large").is_displayed())

    # Clicked from the page's script: the live tiles reflow as their messages change under the pointer.
    browser.execute_script("arguments[0].click()", tile0.find_element(By.CSS_SELECTOR, "a.fits"))
    assert wait_for(lambda: glob.glob(str(tmp_path / "*.fits")), 20)
    cards, image = read_fits(glob.glob(str(tmp_path / "*.fits"))[0])  # the whole file: header and pixels
    assert (cards["CHANNEL"], image.shape) == ("0", (512, 768))


def test_page_with_token_and_streams_taken(console, browser):
    """Opened with ?token=, the page lives on its cookie; refused a stream (all 8 taken), it tries again."""
    with Console(console.env, "--token", "s3cret") as c:
        streams = [open_stream(c, "?token=s3cret") for _ in range(8)]
        wait = WebDriverWait(browser, 30, poll_frequency=0.1)
        browser.get(c.base + "/?token=s3cret")
        assert browser.current_url == c.base + "/"
        wait.until(lambda d: "retrying" in d.find_element(By.ID, "daemon").text)
        [(res.close(), conn.close()) for conn, res in streams]
        wait.until(lambda d: "daemon running" in d.find_element(By.ID, "daemon").text)
        wait.until(all_pictures_loaded)
        assert not browser.find_element(By.CSS_SELECTOR, ".save").is_displayed()  # no --save-dir
        assert not [e for e in browser.get_log("browser") if "Content Security Policy" in e["message"]]
