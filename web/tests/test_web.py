"""The console against kx29d-sim: its HTTP API, and its page in headless Chromium."""
import glob
import http.client
import json
import os
import time

import pytest
from selenium import webdriver
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By
from selenium.webdriver.support.ui import WebDriverWait

from kx29sim import Console, Daemon, channel_status, ctl, fresh_key, read_fits, wait_for


@pytest.fixture(scope="module")
def console():
    with Daemon(sim="seed=7") as d, Console(d.env) as c:
        yield c


ACQUIRE = "/api/channels/0/acquire"
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
    ("channel 7", "/api/channels/7/acquire", {}, None, 400, "channel 7 is not 0..3"),
    ("form post", ACQUIRE, "frames=2", {"Content-Type": "application/x-www-form-urlencoded"}, 415, "JSON body"),
    ("body too large", ACQUIRE, json.dumps({"frames": 1, "pad": "x" * 5000}), None, 413, "too large"),
    ("abort with fields", "/api/channels/0/abort", {"now": True}, None, 400, 'unknown field "now"'),
    ("GET acquire", ACQUIRE, None, None, 404, None),
    # Without a token, a page that reached the loopback under another name is refused.
    ("other host", ACQUIRE, {}, {"Host": "attacker.example:8029"}, 403, None),
]


@pytest.mark.parametrize("name,path,body,headers,status,error", REQUESTS, ids=[c[0] for c in REQUESTS])
def test_refused_requests_change_nothing(console, name, path, body, headers, status, error):
    before = channel_status(console.env, 0)
    got, _, reply = console.request("GET" if body is None else "POST", path, body, headers)
    assert got == status, reply
    assert error is None or error in json.loads(reply)["error"]
    assert channel_status(console.env, 0) == before


def event_data(console):
    """The data of the console's events as they come, the latest of each kind first."""
    conn = http.client.HTTPConnection(console.base.removeprefix("http://"), timeout=10)
    conn.request("GET", "/api/events")
    yield from (json.loads(line[6:]) for line in conn.getresponse() if line.startswith(b"data: "))


def test_acquire_busy_abort_and_images(console, tmp_path):
    assert console.json("POST", ACQUIRE, {"images": -1})[0] == 202
    assert wait_for(lambda: channel_status(console.env, 0)["activity"] == "acquiring")
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


def test_token_and_stream_limit(console):
    r = ctl(console.env, "serve", "--listen", "0.0.0.0:0", timeout=10)
    assert r.returncode == 2 and "--token" in r.stderr
    with Console(console.env, "--token", "s3cret") as c:  # which ends on Ctrl-C with its streams still open
        for auth, query, status in [(None, "", 401), ("s3cret", "", 200), ("s3cre", "", 401),
                                    (None, "?token=s3cret", 200), (None, "?token=s3cret-and-more", 401)]:
            headers = {"Authorization": "Bearer " + auth} if auth else {}
            assert [c.request("GET", p + query, headers=headers)[0] for p in ("/api/status", "/")] == [status] * 2

        streams = [http.client.HTTPConnection(c.base.removeprefix("http://"), timeout=10) for _ in range(8)]
        for conn in streams:
            conn.request("GET", "/api/events?token=s3cret")
            res = conn.getresponse()
            assert res.status == 200 and b"event: daemon" in res.read1(65536)
        assert c.request("GET", "/api/events?token=s3cret")[0] == 503
        t0 = time.monotonic()
        assert c.request("GET", "/api/status?token=s3cret")[0] == 200 and time.monotonic() - t0 < 0.5


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


@pytest.fixture
def browser(tmp_path):
    opts = webdriver.ChromeOptions()
    opts.binary_location = "/usr/bin/chromium"
    for arg in ["--headless=new", "--no-sandbox", "--disable-gpu", "--no-first-run", "--window-size=1600,900",
                "--disable-background-networking", "--user-data-dir=" + str(tmp_path / "profile")]:
        opts.add_argument(arg)
    driver = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=opts)
    driver.execute_cdp_cmd("Page.setDownloadBehavior", {"behavior": "allow", "downloadPath": str(tmp_path)})
    yield driver
    driver.quit()


def frame_ids(driver):
    return [t.get_attribute("data-frame") for t in driver.find_elements(By.CSS_SELECTOR, ".tile")]


# Run on its own (ctest web_browser): it leaves three channels acquiring.
def test_page_live_acquire_download(console, browser, tmp_path):
    for ch in (0, 2, 3):
        assert console.json("POST", "/api/channels/%d/acquire" % ch, {"images": -1})[0] == 202
    wait = WebDriverWait(browser, 30, poll_frequency=0.1)
    browser.get(console.base + "/")
    wait.until(lambda d: "daemon running" in d.find_element(By.ID, "daemon").text)
    # A tile records a picture's id once the picture has loaded, but a newer one may be loading at any moment.
    wait.until(lambda d: all(frame_ids(d)) and d.execute_script(
        "return [...document.querySelectorAll('.live')].every(i => i.complete && i.naturalWidth > 0)"))
    first = frame_ids(browser)

    tile = browser.find_elements(By.CSS_SELECTOR, ".tile")[1]
    tile.find_element(By.NAME, "images").clear()
    tile.find_element(By.NAME, "images").send_keys("20")
    tile.find_element(By.CSS_SELECTOR, "button.acquire").click()
    progress = tile.find_element(By.CSS_SELECTOR, ".progress-text")
    wait.until(lambda d: progress.text.startswith("image ") and "/20" in progress.text)
    seen = progress.text
    wait.until(lambda d: progress.text != seen)
    # Every picture moves on: three endless series and the one just started.
    wait.until(lambda d: all(a != b for a, b in zip(frame_ids(d), first)))
    assert float(tile.find_element(By.CSS_SELECTOR, ".mean").text) > 0

    # Clicked from the page's script: the live tiles reflow as their messages change under the pointer.
    link = browser.find_elements(By.CSS_SELECTOR, ".tile")[0].find_element(By.CSS_SELECTOR, "a.fits")
    browser.execute_script("arguments[0].click()", link)
    assert wait_for(lambda: glob.glob(str(tmp_path / "*.fits")), 20)
    cards, image = read_fits(glob.glob(str(tmp_path / "*.fits"))[0])  # the whole file: header and pixels
    assert (cards["CHANNEL"], image.shape) == ("0", (512, 768))

    browser.execute_script("arguments[0].click()", tile.find_element(By.CSS_SELECTOR, "button.abort"))
    wait.until(lambda d: tile.find_element(By.CSS_SELECTOR, ".badge").text.startswith("idle"))
