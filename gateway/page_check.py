#!/usr/bin/python3
# page_check.py URL CHANNEL [--player STEP_FILE] - loads the gateway's page
# in headless Chromium (Selenium, chromium-driver), waits for the channel
# table, and from the keyboard (Tab to the channel buttons, the arrow keys,
# Enter) plays CHANNEL with the page's one player until its time advances
# (there is no sound device: the element's clock shows that it plays).
# Prints one JSON object: the rows shown, the time played, the console's
# errors, the page's width on a phone's screen, what has the focus.
#
# With --player it goes on as a listener does, with the gateway's
# status.json as the witness: the layout at 1280 and 360 px, the next
# channel (one player: the first one's connection goes), stop (the
# listener count back to 0 within 2 s), play again (a fresh stream from
# the live edge), the title and the media session while it plays. Then it
# writes "restart" to STEP_FILE and sees the page reconnect once the test
# has restarted the gateway, writes "off-air" and sees the page say that
# the channel went off the air once the test has stopped the server.
# "failed" lists the checks that did not hold. PAGE_SHOT names a file for
# a screenshot with the channel playing. Exit status 0 when all held.
import json
import os
import sys
import tempfile
import time
import urllib.request

from selenium import webdriver
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By
from selenium.webdriver.common.keys import Keys


CLOCK = "document.getElementById('audio').currentTime"


def browser(profile):
    o = webdriver.ChromeOptions()
    o.binary_location = "/usr/bin/chromium"
    for a in ("--headless=new", "--disable-gpu", "--no-first-run", "--disable-background-networking",
              "--disable-component-update", "--disable-sync", "--disable-quic",
              "--autoplay-policy=no-user-gesture-required", "--user-data-dir=" + profile,
              "--window-size=1280,900"):
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
        time.sleep(0.1)
    return None


def rows_shown(d):
    return [[r.find_element(By.CLASS_NAME, c).text for c in ("num", "desc", "air", "np", "count")]
            for r in d.find_elements(By.CSS_SELECTOR, "#channels tr")]


def js(d, script):
    return d.execute_script("return " + script)


# Tab into the channel buttons (one stop), arrow to channel, Enter.
def press_channel(d, channel):
    for _ in range(6):
        if js(d, "document.activeElement.classList.contains('play')"):
            break
        d.switch_to.active_element.send_keys(Keys.TAB)
    for _ in range(64):
        if js(d, "document.activeElement.dataset.n") == channel:
            break
        d.switch_to.active_element.send_keys(Keys.ARROW_DOWN)
    d.switch_to.active_element.send_keys(Keys.ENTER)


# Whether the page scrolls sideways at this width, and the controls
# smaller than 44 px either way.
def layout(d, width):
    d.set_window_size(width, 900)
    time.sleep(0.5)
    small = js(d, """[...document.querySelectorAll('button, a, input')].filter(e => {
        const r = e.getBoundingClientRect();
        return r.width > 0 && (r.width < 44 || r.height < 44); }).map(e => e.outerHTML.slice(0, 80))""")
    return [js(d, "document.documentElement.scrollWidth > window.innerWidth"), small]


def listeners(url):
    with urllib.request.urlopen(url + "status.json", timeout=5) as r:
        s = json.load(r)
    return [s["listeners"]] + [c["listeners"] for c in s["channels"]]


def said(d):
    return js(d, "document.getElementById('said').textContent")


def key(d, k):
    d.switch_to.active_element.send_keys(k)


def step(path, word):
    with open(path, "w") as f:
        f.write(word + "\n")


def player(d, url, step_file, out):
    def check(name, ok, seen):
        if not ok:
            out["failed"].append({name: seen})

    out["title_playing"] = js(d, "document.title")
    out["metadata"] = js(d, "(m => m && [m.title, m.artist, m.album])(navigator.mediaSession.metadata)")
    out["heading"] = js(d, "document.getElementById('name').textContent")
    for w in (1280, 360):
        got = layout(d, w)
        check("no overflow, controls of 44 px at %d px" % w, got == [False, []], got)
    d.set_window_size(1280, 900)
    check("one tab stop", js(d, "document.querySelectorAll('button.play[tabindex=\"0\"]').length") == 1, "")
    key(d, Keys.ARROW_DOWN)
    key(d, Keys.ENTER)
    other = wait(lambda: said(d).startswith("Playing") and js(d, "document.querySelector('[aria-current]').id"), 20)
    one = wait(lambda: listeners(url)[0] == 1, 5)
    check("one player", other and one and js(d, "document.querySelectorAll('audio').length") == 1,
          [other, listeners(url)])
    wait(lambda: js(d, CLOCK) > 2, 10)  # so that a stream resumed would show
    key(d, Keys.ENTER)
    t0 = time.time()
    zero = wait(lambda: listeners(url)[0] == 0, 10)
    check("stop drops the connection within 2 s", zero and time.time() - t0 < 2.5, time.time() - t0)
    out["title_stopped"] = js(d, "document.title")
    time.sleep(3)
    key(d, Keys.ENTER)
    wait(lambda: said(d).startswith("Playing"), 20)
    fresh = js(d, CLOCK)
    check("play after stop starts live", fresh < 1.5 and listeners(url)[0] == 1, fresh)
    if os.environ.get("PAGE_SHOT"):
        d.save_screenshot(os.environ["PAGE_SHOT"])
    out["errors"] = [e["message"] for e in d.get_log("browser") if e["level"] == "SEVERE"]
    step(step_file, "restart")
    lost = wait(lambda: said(d).startswith("Connection lost; reconnecting"), 20)
    check("reconnects", lost and wait(lambda: said(d).startswith("Playing"), 20), said(d))
    step(step_file, "off-air")
    gone = wait(lambda: "went off the air" in said(d), 20)
    rows = js(d, """[...document.querySelectorAll('#channels tr')].map(r => [r.querySelector('.air').textContent,
        r.querySelector('.np').textContent, r.querySelector('button').disabled])""")
    check("off the air", gone and all(r == ["off the air", "", True] for r in rows), [said(d), rows[:2]])
    check("off the air: dropped", wait(lambda: listeners(url)[0] == 0, 5), listeners(url))


def main():
    url, channel = sys.argv[1], sys.argv[2]
    out = {"rows": [], "played_s": 0.0, "errors": [], "phone_overflow": None, "failed": []}
    with tempfile.TemporaryDirectory() as profile:
        d = browser(profile)
        try:
            d.get(url)
            wait(lambda: js(d, "document.querySelector('#channel-%s button:enabled')" % channel), 20)
            out["rows"] = rows_shown(d)
            press_channel(d, channel)
            start = wait(lambda: js(d, CLOCK), 20) or 0
            time.sleep(2)
            out["played_s"] = js(d, CLOCK) - start
            out["focused"] = js(d, "document.activeElement.dataset.n") == channel
            if sys.argv[3:4] == ["--player"]:
                player(d, url, sys.argv[4], out)
            else:
                out["errors"] = [e["message"] for e in d.get_log("browser") if e["level"] == "SEVERE"]
            d.set_window_size(390, 844)
            out["phone_overflow"] = js(d, "document.documentElement.scrollWidth > window.innerWidth")
        finally:
            d.quit()
    print(json.dumps(out))
    ok = out["rows"] and out["played_s"] > 1 and not out["errors"] and not out["phone_overflow"]
    return 0 if ok and not out["failed"] else 1


if __name__ == "__main__":
    sys.exit(main())
