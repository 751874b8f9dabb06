#!/usr/bin/python3
# page_check.py URL CHANNEL [--player STEP_FILE] - loads the gateway's page
# in headless Chromium (Selenium, chromium-driver), waits for the channel
# table, plays CHANNEL from the keyboard (Tab to the channel buttons, arrow
# keys, Enter) and waits until the player's time advances (there is no
# sound device: the element's clock is what shows that it plays), after
# playing the element with no channel chosen. Prints one JSON object: the
# rows shown, the time played, the browser console's errors, the page's
# width on a phone's screen, the stream it chose (src, via), what did not
# hold ("failed"). Exit status 0 when the table showed, the channel
# played and nothing failed, 1 otherwise.
import json
import os
import pathlib
import sys
import tempfile
import time
import urllib.request

from selenium import webdriver
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By
from selenium.webdriver.common.keys import Keys

CLOCK = "document.getElementById('audio').currentTime"
SETTLED = """(a => document.getElementById('said').textContent === 'Choose a channel to play.' &&
             a.paused && !a.getAttribute('src'))(document.getElementById('audio'))"""


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
    return [[r.find_element(By.CLASS_NAME, c).text for c in ("num", "desc", "air", "np", "count")]
            for r in d.find_elements(By.CSS_SELECTOR, "#channels tr")]


def js(d, script):
    return d.execute_script("return " + script)


def press_channel(d, channel):
    for k, done in ((Keys.TAB, "document.activeElement.classList.contains('play')"),
                    (Keys.ARROW_DOWN, "document.activeElement.dataset.n === '%s'" % channel)):
        for _ in range(64):  # the channel buttons are one Tab stop
            if js(d, done):
                break
            d.switch_to.active_element.send_keys(k)
    d.switch_to.active_element.send_keys(Keys.ENTER)


# Whether the page scrolls sideways at this width; the controls under 44 px.
def layout(d, width):
    d.set_window_size(width, 900)
    time.sleep(0.5)
    return [js(d, "document.documentElement.scrollWidth > window.innerWidth"),
            js(d, """[...document.querySelectorAll('button, a, input')].filter(e => {
                const r = e.getBoundingClientRect(); return r.width > 0 && (r.width < 44 || r.height < 44);
            }).map(e => e.outerHTML.slice(0, 80))""")]


# The audio element played before any choice (as a media key or a script
# plays it), then given a stream by a script: each time the page says to
# choose a channel, the element paused with no stream (errors: later).
def unchosen(d, channel, out):
    for given in ("", "a.src = 'channels/%s'; " % channel):
        d.execute_script("const a = document.getElementById('audio'); %sa.play().catch(() => {})" % given)
        if not wait(lambda: js(d, SETTLED), 3):
            out["failed"].append({"played unchosen " + given: js(d, "document.getElementById('said').textContent")})


def listeners(url):
    with urllib.request.urlopen(url + "status.json", timeout=5) as r:
        return json.load(r)["listeners"]


# --player: with CHANNEL playing, its title and media session; the layout;
# the next channel (its connection replaces the first one's); stop (the
# count back to 0 within 2 s); play again (a fresh stream: the live edge).
# Then STEP_FILE says "stop-gateway", "start-gateway" once the page is
# reconnecting, and "stop-server", for the test to do so. "failed": what
# did not hold.
def player(d, url, channel, step_file, out):
    def check(name, ok, seen):
        if not ok:
            out["failed"].append({name: seen})

    said = lambda: js(d, "document.getElementById('said').textContent")
    out["title_playing"] = js(d, "document.title")
    out["metadata"] = js(d, "(m => m && [m.title, m.artist, m.album])(navigator.mediaSession.metadata)")
    out["heading"] = js(d, "document.getElementById('name').textContent")
    for w in (360, 1280):
        check("no overflow, controls of 44 px at %d px" % w, layout(d, w) == [False, []], layout(d, w))
    check("one tab stop", js(d, "document.querySelectorAll('button.play[tabindex=\"0\"]').length") == 1, 0)
    d.switch_to.active_element.send_keys(Keys.ARROW_DOWN)
    d.switch_to.active_element.send_keys(Keys.ENTER)
    row = wait(lambda: said().startswith("Playing") and js(d, "document.querySelector('[aria-current]').id"), 20)
    check("one player", row == "channel-%d" % (int(channel) + 1) and wait(lambda: listeners(url) == 1, 5) and
          js(d, "document.querySelectorAll('audio').length") == 1, [row, listeners(url)])
    wait(lambda: js(d, CLOCK) > 2, 10)  # so that a stream resumed would show
    d.switch_to.active_element.send_keys(Keys.ENTER)
    t0 = time.time()
    zero = wait(lambda: listeners(url) == 0, 10)
    check("stop drops the connection within 2 s", zero and time.time() - t0 < 2.5, time.time() - t0)
    out["title_stopped"] = js(d, "document.title")
    time.sleep(3)
    d.switch_to.active_element.send_keys(Keys.ENTER)
    wait(lambda: said().startswith("Playing"), 20)
    check("play after stop starts live", js(d, CLOCK) < 1.5 and listeners(url) == 1, js(d, CLOCK))
    if os.environ.get("PAGE_SHOT"):
        d.save_screenshot(os.environ["PAGE_SHOT"])
    out["errors"] = [e["message"] for e in d.get_log("browser") if e["level"] == "SEVERE"]
    pathlib.Path(step_file).write_text("stop-gateway\n")
    lost = wait(lambda: said().startswith("Connection lost; reconnecting"), 20)
    pathlib.Path(step_file).write_text("start-gateway\n")
    check("reconnects", lost and wait(lambda: said().startswith("Playing"), 20), said())
    pathlib.Path(step_file).write_text("stop-server\n")
    # The channels fall silent within a few milliseconds of each other, so
    # one poll of the status may find some still on the air: wait for all.
    rows_js = """[...document.querySelectorAll('#channels tr')].map(r =>
        [r.querySelector('.air').textContent, r.querySelector('.np').textContent, r.querySelector('button').disabled])"""
    gone = wait(lambda: "went off the air" in said()
                and all(r == ["off the air", "", True] for r in js(d, rows_js)), 20)
    check("off the air", gone, [said(), js(d, rows_js)[:2]])


def main():
    url, channel = sys.argv[1], sys.argv[2]
    out = {"rows": [], "played_s": 0.0, "errors": [], "phone_overflow": None, "failed": []}
    with tempfile.TemporaryDirectory() as profile:
        d = browser(profile)
        try:
            d.get(url)
            wait(lambda: js(d, "document.querySelector('#channel-%s button:enabled')" % channel), 20)
            out["rows"] = rows_shown(d)
            unchosen(d, channel, out)
            audio = d.find_element(By.ID, "audio")
            press_channel(d, channel)
            # Which stream the page chose: the progressive one, or HLS
            # (?hls=1, or a browser without Media Source that plays HLS).
            out["src"] = wait(lambda: js(d, "document.getElementById('audio').getAttribute('src')"), 5)
            out["via"] = js(d, "document.getElementById('player').dataset.via")
            start = wait(lambda: d.execute_script("return arguments[0].currentTime;", audio), 20) or 0
            time.sleep(2)
            out["played_s"] = d.execute_script("return arguments[0].currentTime;", audio) - start
            out["focused"] = js(d, "document.activeElement.dataset.n") == channel
            out["hls_type"] = js(d, "document.getElementById('audio').canPlayType('application/vnd.apple.mpegurl')")
            if sys.argv[3:4] == ["--player"]:
                player(d, url, channel, sys.argv[4], out)
            else:
                out["errors"] = [e["message"] for e in d.get_log("browser") if e["level"] == "SEVERE"]
            d.set_window_size(390, 844)
            out["phone_overflow"] = d.execute_script(
                "return document.documentElement.scrollWidth > window.innerWidth;")
        finally:
            d.quit()
    print(json.dumps(out))
    ok = out["rows"] and out["played_s"] > 1 and not out["errors"] and not out["phone_overflow"]
    return 0 if ok and not out["failed"] else 1


if __name__ == "__main__":
    sys.exit(main())
