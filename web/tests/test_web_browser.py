"""The console's page in headless Chromium: four live pictures, an acquisition started by a click, a FITS download."""
import glob
import subprocess

import pytest
from selenium import webdriver
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By
from selenium.webdriver.support.ui import WebDriverWait

from kx29sim import wait_for


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
    verify = subprocess.run(["fitsverify", "-q", glob.glob(str(tmp_path / "*.fits"))[0]], capture_output=True,
                            text=True)
    assert verify.returncode == 0 and "OK" in verify.stdout, verify.stdout

    browser.execute_script("arguments[0].click()", tile.find_element(By.CSS_SELECTOR, "button.abort"))
    wait.until(lambda d: tile.find_element(By.CSS_SELECTOR, ".badge").text.startswith("idle"))
