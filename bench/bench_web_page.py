#!/usr/bin/python3
"""How smoothly the oxl web page draws while 12 simulated actuators stream at 1 kHz.

  bench_web_page.py OXL [actuators=12] [window_s=10]

Starts `oxl --sim-actuators ... web`, opens the page in headless Chromium (Debian's chromium,
driven over the DevTools pipe like the browser test), lets the page scan and stream its default
items at 1 kHz, and then, over the window, measures in the page: the animation frames it gets
(rate, 99th percentile and longest gap between frames, frames later than 1.5 display periods),
the time its draw function takes per frame, the main thread's busy time (DevTools' TaskDuration
and ScriptDuration), and the feedback frames received and lost to the view.
"""
import os
import re
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "web"))
from web_test import Browser, find_browser, wait_for  # noqa: E402

# Wraps the page's draw function to time it and counts every animation frame the page gets.
INSTRUMENT = """(() => {
  const b = window.__bench = { frames: [], draws: [] };
  const original = window.draw;
  window.draw = function (ts) { const s = performance.now(); original(ts);
                                b.draws.push(performance.now() - s); };
  (function tick(ts) { b.frames.push(ts); requestAnimationFrame(tick); })(performance.now());
})()"""


def metrics(browser):
    return {m["name"]: m["value"] for m in browser.call("Performance.getMetrics")["metrics"]}


def percentile(values, p):
    values = sorted(values)
    return values[min(len(values) - 1, int(p / 100.0 * len(values)))] if values else float("nan")


def main():
    if len(sys.argv) < 2:
        print(__doc__)
        return 2
    oxl = sys.argv[1]
    count = int(sys.argv[2]) if len(sys.argv) > 2 else 12
    window = float(sys.argv[3]) if len(sys.argv) > 3 else 10.0
    path = find_browser()
    if not path:
        print("bench_web_page needs Debian's chromium")
        return 2
    ids = ",".join("0x%x" % (0x20 + i) for i in range(count))
    server = subprocess.Popen([oxl, "--sim-actuators", ids, "web", "--http-port", "0"],
                              stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    browser = None
    try:
        match = re.search(r"http://\S+/", server.stdout.readline())
        if not match:
            print("oxl web printed no address")
            return 1
        browser = Browser(path)
        browser.open(match.group(0))
        browser.call("Page.bringToFront")
        browser.call("Performance.enable")
        wait_for("the scan", lambda: browser.js(
            "document.querySelectorAll('.device').length") == count, timeout=30)
        wait_for("streamed data", lambda: browser.js("window.oxlView.framesReceived") > count * 1000,
                 timeout=30)
        time.sleep(2.0)  # the plots fill their window once before the measurement
        browser.js(INSTRUMENT)
        received = browser.js("window.oxlView.framesReceived")
        before, start = metrics(browser), time.monotonic()
        time.sleep(window)
        after, elapsed = metrics(browser), time.monotonic() - start
        b = browser.js("({frames: window.__bench.frames, draws: window.__bench.draws,"
                       " received: window.oxlView.framesReceived, lost: window.oxlView.framesLost})")
    finally:
        if browser:
            browser.quit()
        server.terminate()
        server.wait(timeout=10)

    frames = b["frames"]
    gaps = [later - earlier for earlier, later in zip(frames, frames[1:])]
    span_s = (frames[-1] - frames[0]) / 1000.0 if len(frames) > 1 else 0
    period = 1000.0 / 60
    print("%d actuators at 1 kHz, %.1f s window, Chromium %s" % (count, elapsed, path))
    print("animation frames: %.1f per second, gap p50 %.1f ms, p99 %.1f ms, longest %.1f ms, "
          "%d of %d later than 1.5 periods" % (
              len(gaps) / span_s if span_s else 0, percentile(gaps, 50), percentile(gaps, 99),
              max(gaps or [0]), sum(1 for g in gaps if g > 1.5 * period), len(gaps)))
    print("draw: %d calls, p50 %.2f ms, p99 %.2f ms, longest %.2f ms" % (
        len(b["draws"]), percentile(b["draws"], 50), percentile(b["draws"], 99),
        max(b["draws"] or [0])))
    print("page main thread busy %.1f %% (script %.1f %%)" % (
        100 * (after["TaskDuration"] - before["TaskDuration"]) / elapsed,
        100 * (after["ScriptDuration"] - before["ScriptDuration"]) / elapsed))
    print("feedback frames to the page: %.0f per second, lost %d" % (
        (b["received"] - received) / elapsed, b["lost"]))
    return 0 if b["lost"] == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
