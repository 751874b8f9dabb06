#!/usr/bin/python3
# page_check.py URL CHANNEL - loads the gateway's page in headless Chromium
# (Selenium, chromium-driver), waits for the channel table, plays CHANNEL
# with its audio element and waits until its time advances (there is no
# sound device: the element's clock is what shows that it plays). Prints
# one JSON object: the rows shown, the time played, the browser console's
# errors, the page's width on a phone's screen. Exit status 0 when the
# table showed and the channel played, 1 otherwise.
import json
import os
import sys
import tempfile
import time

from selenium import webdriver
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By
from selenium.webdriver.common.keys import Keys


def browser(profile):
    o = webdriver.ChromeOptions()
    o.binary_location = "/usr/bin/chromium"
    for a in ("--headless=new", "--disable-gpu", "--no-first-run", "--disable-background-networking",
              "--disable-component-update", "--disable-sync", "--disable-quic",
              "--autoplay-policy=no-user-gesture-required", "--user-data-dir=" + profile,
              "--window-size=1024,768"):
        o.add_argument(a)
    if os.geteuid() == 0:
        o.add_argument("--no-sandbox")
    o.set_capability("goog:loggingPrefs", {"browser": "ALL"})
    return webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=o)


def wait(what, seconds):
    end = time.time() + seconds
    while time.time() < end:
        v = what()
        if v:
            return v
        time.sleep(0.2)
    return None


def rows_shown(d):
    rows = []
    for r in d.find_elements(By.CSS_SELECTOR, "#channels tr"):
        cells = [c.text for c in r.find_elements(By.TAG_NAME, "td")]
        rows.append(cells[:5])
    return rows


def main():
    url, channel = sys.argv[1], sys.argv[2]
    out = {"rows": [], "played_s": 0.0, "errors": [], "phone_overflow": None}
    with tempfile.TemporaryDirectory() as profile:
        d = browser(profile)
        try:
            d.get(url)
            wait(lambda: d.find_elements(By.ID, "channel-" + channel), 20)
            out["rows"] = rows_shown(d)
            audio = d.find_element(By.CSS_SELECTOR, "#channel-%s audio" % channel)
            # From the keyboard: the player takes the focus, and play starts it.
            audio.send_keys(Keys.TAB)
            d.execute_script("arguments[0].focus(); arguments[0].play();", audio)
            start = wait(lambda: d.execute_script("return arguments[0].currentTime;", audio), 20) or 0
            time.sleep(2)
            out["played_s"] = d.execute_script("return arguments[0].currentTime;", audio) - start
            out["focused"] = d.execute_script("return document.activeElement === arguments[0];", audio)
            d.set_window_size(390, 844)
            out["phone_overflow"] = d.execute_script(
                "return document.documentElement.scrollWidth > window.innerWidth;")
            if os.environ.get("PAGE_SHOT"):
                d.save_screenshot(os.environ["PAGE_SHOT"])
            out["errors"] = [e["message"] for e in d.get_log("browser") if e["level"] == "SEVERE"]
        finally:
            d.quit()
    print(json.dumps(out))
    ok = out["rows"] and out["played_s"] > 1 and not out["errors"] and not out["phone_overflow"]
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
