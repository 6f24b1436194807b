#!/usr/bin/env python3
"""Web console under load, measured in headless Chromium with the browser's
Performance API: 10,000 stored devices, 500 uplinks a second from the
simulator, the real gateway as a child process.

    bench/bench_console.py [BUILD_DIR]      (default: build-bench, as scripts/bench builds it)

Prints:
- the devices page: from navigation start to its first hundred rows on screen,
  the long tasks (> 50 ms) until then, and a search answered (input to rows);
- the registers view of one device while 500 uplinks/s stream to the page:
  how late each of its uplinks shows (the register's time to the changed cell
  on screen), the long tasks and the main thread's worst delay over the run.
"""
import base64
import json
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import urllib.request

from selenium import webdriver
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By
from selenium.webdriver.support.ui import WebDriverWait

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BUILD = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else os.path.join(ROOT, "build-bench"))
DEVICES = 10000
RATE = 500                       # uplinks a second, all devices together
WATCHED_PERIOD_MS = 1000         # the device whose registers view is watched
RUN_S = 30
PASSWORD = "bench"
APP_EUI = "A1B2C3D400000001"     # TH-Sense 20 of the sample templates
PAYLOADS = ["0159082dc40b", "0168082ec30b", "0184082fc30b", "0174082ec20b"]


def eui(n):
    return f"00BE{n:012X}"


def main():
    work = tempfile.mkdtemp(prefix="tidewell-console-bench-")
    procs = []
    try:
        os.mkdir(os.path.join(work, "deviceFolder"))
        shutil.copy(os.path.join(ROOT, "resources/templates/th-sensor.json"), os.path.join(work, "deviceFolder"))
        period = DEVICES * 1000 // RATE
        scenario = {"accounts": [{"login": "bench", "password": "bench"}], "gatewayId": "00aa11bb22cc33dd+0",
                    "periodMs": period, "devices": [
                        {"devEui": eui(n), "devName": f"Sensor {n:05d}", "appEui": APP_EUI,
                         "periodMs": WATCHED_PERIOD_MS if n == 0 else period, "port": 2, "payloads": PAYLOADS}
                        for n in range(DEVICES)]}
        with open(os.path.join(work, "scenario.json"), "w") as f:
            json.dump(scenario, f)
        netsim = subprocess.Popen([os.path.join(BUILD, "tools/netsim/tidewell-netsim"), "--scenario",
                                   os.path.join(work, "scenario.json"), "--quiet"], stdout=subprocess.PIPE, text=True)
        procs.append(netsim)
        sim_port = netsim.stdout.readline().strip().rsplit(":", 1)[1]
        with open(os.path.join(work, "settings.conf"), "w") as f:
            f.write(f"[server]\nip=127.0.0.1\nport={sim_port}\nlogin=bench\npassword=bench\n\n[web]\nport=0\n")
        tidewell = os.path.join(BUILD, "tidewell")
        subprocess.run([tidewell, "--set-web-password", "--workdir", work], input=PASSWORD + "\n", text=True,
                       check=True, capture_output=True)
        gateway = subprocess.Popen([tidewell, "--headless", "--workdir", work], stdout=subprocess.DEVNULL,
                                   stderr=subprocess.DEVNULL)
        procs.append(gateway)
        url = wait_for(lambda: console_url(work), "the console's address")
        api = Api(url)
        wait_for(lambda: api.call("GET", "/api/status")["server"]["status"] == "SUCCESS", "the server login")
        # Register every device through the API, a thousand to a request, each
        # on its own 9 registers: 7 ports of up to 7,000 registers.
        rows = [{"devEui": eui(n), "port": 0, "startRegister": 0} for n in range(DEVICES)]
        ports = free_ports(2)
        for n, row in enumerate(rows):
            row["port"] = ports[n % 2]
            row["startRegister"] = (n // 2) * 10
        started = time.monotonic()
        for i in range(0, DEVICES, 1000):
            api.call("POST", "/api/devices", rows[i:i + 1000])
        print(f"registered {DEVICES} devices through the API in {time.monotonic() - started:.1f} s")

        browser = start_browser()
        try:
            measure(browser, url, api)
        finally:
            browser.quit()
    finally:
        for p in reversed(procs):
            p.send_signal(signal.SIGTERM)
            p.wait(timeout=60)
        shutil.rmtree(work, ignore_errors=True)


def measure(browser, url, api):
    browser.get(url + "/")
    wait = WebDriverWait(browser, 60, poll_frequency=0.05)
    wait.until(lambda d: d.find_element(By.ID, "login-password").is_displayed())
    browser.find_element(By.ID, "login-password").send_keys(PASSWORD)
    browser.find_element(By.ID, "login-submit").click()
    wait.until(lambda d: d.find_element(By.ID, "view-status").is_displayed())

    # The devices page as a fresh load (by way of another page: from "/" a
    # change of fragment alone would not load it again), signed in by the
    # session cookie: navigation start to a full page of rows.
    browser.get("about:blank")
    browser.get(url + "/#devices")
    browser.execute_script(OBSERVE_LONG_TASKS)
    ms = wait_js(browser, """
        const rows = document.querySelectorAll('#dev-rows tr[data-dev-eui]').length;
        return rows >= 100 ? performance.now() : null;""")
    long_tasks = browser.execute_script("return window.benchLongTasks.filter(t => t.start < arguments[0])", ms)
    print(f"devices page: {ms:.0f} ms from navigation start to 100 rows on screen "
          f"({len(long_tasks)} long tasks, longest {max([t['ms'] for t in long_tasks], default=0):.0f} ms)")
    # Where the time went: the page's own files, the status and the first page of devices.
    for name, start, req, end in browser.execute_script("""
        return performance.getEntriesByType('resource').concat(performance.getEntriesByType('navigation'))
          .map(e => [e.name.replace(/^https?:\\/\\/[^/]+/, ''), e.startTime, e.requestStart, e.responseEnd]);"""):
        print(f"  {name[:60]:60} {start:6.0f} {req:6.0f} .. {end:6.0f} ms")
    search_ms = search(browser)
    print(f"devices page: search answered {search_ms:.0f} ms after typing (250 ms of it the typing pause)")

    # The registers view of the device sending every second, while every
    # uplink of the 10,000 streams to the page.
    browser.execute_script("location.hash = arguments[0]", f"#devices/{eui(0)}")
    wait.until(lambda d: d.find_elements(By.CSS_SELECTOR, "#reg-rows td.raw"))
    browser.execute_script(WATCH_REGISTERS)
    decoded = api.call("GET", "/api/status")["uplinks"]["decoded"]
    started = time.monotonic()
    time.sleep(RUN_S)
    result = browser.execute_script("return window.benchResult()")
    rate = (api.call("GET", "/api/status")["uplinks"]["decoded"] - decoded) / (time.monotonic() - started)
    print(f"gateway: {rate:.0f} uplinks/s decoded during the run")
    lags = sorted(result["lags"])
    if lags:
        print(f"registers view over {RUN_S} s at {RATE} uplinks/s: {len(lags)} of the watched device's "
              f"~{RUN_S * 1000 // WATCHED_PERIOD_MS} uplinks shown, stored-to-screen at most "
              f"{lags[len(lags) // 2]:.0f} ms (median), {lags[-1]:.0f} ms (max)")
    else:
        print("registers view: no uplink of the watched device reached the screen")
    print(f"registers view: {result['longTasks']} long tasks ({result['longTaskMs']:.0f} ms in all), "
          f"main thread delayed at most {result['maxDelay']:.0f} ms")


def search(browser):
    browser.set_script_timeout(30)
    return browser.execute_async_script("""
        const done = arguments[arguments.length - 1];
        const t0 = performance.now();
        const box = document.getElementById('dev-search');
        box.value = 'Sensor 09999';
        box.dispatchEvent(new Event('input'));
        const check = () => {
          const rows = document.querySelectorAll('#dev-rows tr[data-dev-eui]');
          if (rows.length === 1) done(performance.now() - t0); else requestAnimationFrame(check);
        };
        check();""")


OBSERVE_LONG_TASKS = """
window.benchLongTasks = [];
new PerformanceObserver((list) => {
  for (const e of list.getEntries()) window.benchLongTasks.push({ start: e.startTime, ms: e.duration });
}).observe({ type: 'longtask', buffered: true });
"""

# Each change of the watched device's first register on screen, against the
# time its uplink was stored (the API gives whole seconds, so the lag printed
# is an upper bound, by up to a second).
WATCH_REGISTERS = """
const lags = [];
let longTasks = 0, longTaskMs = 0, maxDelay = 0;
new PerformanceObserver((list) => {
  for (const e of list.getEntries()) { longTasks += 1; longTaskMs += e.duration; }
}).observe({ type: 'longtask' });
let last = performance.now();
setInterval(() => {
  const now = performance.now();
  maxDelay = Math.max(maxDelay, now - last - 100);
  last = now;
}, 100);
const row = document.querySelector('#reg-rows tr[data-address]');
const cell = row.querySelector('td.raw');
new MutationObserver(() => {
  const t = Date.parse(row.querySelector('td.updated').dataset.time || '');
  if (!Number.isNaN(t)) lags.push(Date.now() - t);
}).observe(cell, { childList: true, characterData: true, subtree: true });
window.benchResult = () => ({ lags, longTasks, longTaskMs, maxDelay });
"""


def wait_js(browser, script, timeout=60):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        value = browser.execute_script(script)
        if value is not None:
            return value
        time.sleep(0.02)
    raise RuntimeError("timed out: " + script)


def wait_for(fn, what, timeout=120):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        try:
            value = fn()
            if value:
                return value
        except Exception:
            pass
        time.sleep(0.1)
    raise RuntimeError(f"timed out waiting for {what}")


def console_url(work):
    try:
        with open(os.path.join(work, "history.log"), encoding="utf-8", errors="replace") as f:
            for line in f:
                if "Web console and API on " in line:
                    return line.split("Web console and API on ", 1)[1].split()[0].rstrip("/")
    except FileNotFoundError:
        return None
    return None


def free_ports(count):
    import socket
    sockets = [socket.socket() for _ in range(count)]
    for s in sockets:
        s.bind(("127.0.0.1", 0))
    ports = [s.getsockname()[1] for s in sockets]
    for s in sockets:
        s.close()
    return ports


class Api:
    def __init__(self, url):
        self.url = url
        self.auth = "Basic " + base64.b64encode(f"admin:{PASSWORD}".encode()).decode()

    def call(self, method, path, body=None):
        data = None if body is None else json.dumps(body).encode()
        request = urllib.request.Request(self.url + path, data=data, method=method)
        request.add_header("Authorization", self.auth)
        if data is not None:
            request.add_header("Content-Type", "application/json")
        with urllib.request.urlopen(request, timeout=120) as answer:
            return json.loads(answer.read() or b"null")


def start_browser():
    options = webdriver.ChromeOptions()
    options.binary_location = "/usr/bin/chromium"
    for arg in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
                "--user-data-dir=" + tempfile.mkdtemp(prefix="tidewell-chromium-"), "--window-size=1280,800"):
        options.add_argument(arg)
    return webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)


if __name__ == "__main__":
    main()
