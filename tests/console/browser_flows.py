#!/usr/bin/env python3
"""The web console in a real browser: headless Chromium (driven by Selenium
through /usr/bin/chromedriver, never a downloaded driver) against the built
tidewell, run as a child process beside the simulated network server. Each
flow is checked on the page and then from outside: the HTTP API read with
urllib, the registers read with pymodbus.

    browser_flows.py <tidewell> <tidewell-netsim> <templates-dir>
"""
import base64
import json
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import unittest
import urllib.error
import urllib.request

MISSING = []
for path, package in (("/usr/bin/chromium", "chromium"), ("/usr/bin/chromedriver", "chromium-driver")):
    if not os.path.exists(path):
        MISSING.append(f"{path} (Debian package {package})")
try:
    from selenium import webdriver
    from selenium.common.exceptions import StaleElementReferenceException, TimeoutException
    from selenium.webdriver.chrome.service import Service
    from selenium.webdriver.common.by import By
    from selenium.webdriver.support.ui import WebDriverWait
except ImportError as error:
    MISSING.append(f"python3 module selenium ({error}; Debian package python3-selenium)")
try:
    from pymodbus.client import ModbusTcpClient
except ImportError as error:
    MISSING.append(f"python3 module pymodbus ({error}; Debian package python3-pymodbus)")

PASSWORD = "console test password"
WAIT_S = 60
BOILER_UNIT = 7              # the Modbus unit id the add form gives it
BOILER = "0011223344550001"   # Boiler room, TH-Sense 20
COLD = "0011223344550002"     # Cold store, TH-Sense 20
WATER = "0011223344550003"    # Water meter, Pulse Meter 3
BEACON = "0011223344550005"   # Dock beacon, Label Beacon
NOT_ON_SERVER = "00112233445500AA"
# Boiler room's temperatures in the scenario's payloads (little-endian int16 at offset 1).
BOILER_TEMPERATURES = [0x0859, 0x0868, 0x0884, 0x0874]


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def read_registers(port, address, count, unit=1):
    """The registers as a Modbus client nobody here wrote reads them; None when the
    port does not answer them (closed, or an exception answer)."""
    client = ModbusTcpClient("127.0.0.1", port=port, timeout=3, retries=0)
    try:
        if not client.connect():
            return None
        answer = client.read_holding_registers(address, count, slave=unit)
        if answer.isError():
            return None
        return list(answer.registers)
    except Exception:  # pymodbus raises for a connection dropped mid-request
        return None
    finally:
        client.close()


class Gateway:
    """Simulator, settings with [web] on port 0 and a password, and the gateway headless."""

    def __init__(self, tidewell, netsim, templates):
        self.dir = tempfile.mkdtemp(prefix="tidewell-web-")
        os.mkdir(os.path.join(self.dir, "deviceFolder"))
        for name in os.listdir(templates):
            if name.endswith(".json") and "scenario" not in name:
                shutil.copy(os.path.join(templates, name), os.path.join(self.dir, "deviceFolder"))
        # Every device sends each second, so a change shows within a few.
        self.netsim = subprocess.Popen(
            [netsim, "--scenario", os.path.join(templates, "demo-scenario.json"), "--port", "0",
             "--period", "1000", "--quiet"], stdout=subprocess.PIPE, text=True)
        line = self.netsim.stdout.readline().strip()
        if not line.startswith("listening on ws://"):
            raise RuntimeError(f"the simulator did not start: {line!r}")
        sim_port = line.rsplit(":", 1)[1]
        with open(os.path.join(self.dir, "settings.conf"), "w") as f:
            f.write(f"[server]\nip=127.0.0.1\nport={sim_port}\nlogin=demo\npassword=demo\n\n"
                    "[web]\nport=0\nbind=127.0.0.1\n")
        setter = subprocess.run([tidewell, "--set-web-password", "--workdir", self.dir],
                                input=PASSWORD + "\n", text=True, capture_output=True, timeout=120)
        if setter.returncode != 0:
            raise RuntimeError(f"--set-web-password failed: {setter.stderr}")
        with open(os.path.join(self.dir, "settings.conf")) as f:
            if PASSWORD in f.read():
                raise RuntimeError("settings.conf holds the password itself")
        self.process = subprocess.Popen([tidewell, "--headless", "--workdir", self.dir],
                                        stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
        self.url = self._wait_for_url()

    def log(self):
        try:
            with open(os.path.join(self.dir, "history.log"), encoding="utf-8", errors="replace") as f:
                return f.read()
        except FileNotFoundError:
            return ""

    def _wait_for_url(self):
        deadline = time.monotonic() + WAIT_S
        while time.monotonic() < deadline:
            found = re.search(r"Web console and API on (http://[0-9.]+:[0-9]+)/", self.log())
            if found:
                return found.group(1)
            if self.process.poll() is not None:
                raise RuntimeError(f"tidewell exited ({self.process.returncode}): {self.process.stderr.read()}")
            time.sleep(0.05)
        raise RuntimeError("tidewell never logged the console's address:\n" + self.log())

    def api(self, method, path, body=None):
        """The API from outside the browser, with HTTP Basic authentication."""
        data = None if body is None else json.dumps(body).encode()
        request = urllib.request.Request(self.url + path, data=data, method=method)
        token = base64.b64encode(f"admin:{PASSWORD}".encode()).decode()
        request.add_header("Authorization", f"Basic {token}")
        if data is not None:
            request.add_header("Content-Type", "application/json")
        try:
            with urllib.request.urlopen(request, timeout=30) as answer:
                return answer.status, json.loads(answer.read() or b"null")
        except urllib.error.HTTPError as error:
            return error.code, json.loads(error.read() or b"null")

    def stop(self):
        """Stops both programs; the gateway's exit status (sanitizer reports included)."""
        status = None
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
            try:
                status = self.process.wait(timeout=60)
            except subprocess.TimeoutExpired:
                self.process.kill()
                status = "did not stop on SIGTERM"
        else:
            status = self.process.returncode
        stderr = self.process.stderr.read()
        self.netsim.terminate()
        self.netsim.wait(timeout=30)
        shutil.rmtree(self.dir, ignore_errors=True)
        return status, stderr


class ConsoleFlows(unittest.TestCase):
    """Flows in the order an integrator meets them; each builds on the one before."""

    @classmethod
    def setUpClass(cls):
        tidewell, netsim, templates = sys.argv[1:4]
        cls.gateway = Gateway(tidewell, netsim, templates)
        cls.modbus_port = free_port()
        cls.import_port = free_port()
        options = webdriver.ChromeOptions()
        options.binary_location = "/usr/bin/chromium"
        cls.profile = tempfile.mkdtemp(prefix="tidewell-chromium-")
        for arg in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
                    f"--user-data-dir={cls.profile}", "--window-size=1280,800", "--no-first-run"):
            options.add_argument(arg)
        options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
        cls.browser = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)

    @classmethod
    def tearDownClass(cls):
        problems = []
        if hasattr(cls, "browser"):
            # Script errors and content security policy refusals fail the run.
            for entry in cls.browser.get_log("browser"):
                text = entry["message"]
                if entry["level"] == "SEVERE" and "Failed to load resource" not in text:
                    problems.append(text)
                if "Content Security Policy" in text:
                    problems.append(text)
            cls.browser.quit()
            shutil.rmtree(cls.profile, ignore_errors=True)
        status, stderr = cls.gateway.stop()
        if status != 0:
            problems.append(f"tidewell exited with {status}: {stderr[-4000:]}")
        if problems:
            raise AssertionError("\n".join(problems))

    # ---- helpers -------------------------------------------------------------
    def wait(self, condition, what, timeout=WAIT_S):
        def safe(driver):
            try:
                return condition(driver)
            except StaleElementReferenceException:
                return False
        try:
            return WebDriverWait(self.browser, timeout, poll_frequency=0.1).until(safe)
        except TimeoutException:
            self.fail(f"timed out waiting for {what}")

    def el(self, element_id):
        return self.browser.find_element(By.ID, element_id)

    def text(self, element_id):
        return self.el(element_id).text

    def fill(self, element_id, value):
        field = self.el(element_id)
        field.clear()
        field.send_keys(value)

    def go(self, fragment):
        self.browser.execute_script("location.hash = arguments[0]", fragment)

    def page_registers(self):
        """address -> raw hex, from the registers view."""
        rows = {}
        for tr in self.browser.find_elements(By.CSS_SELECTOR, "#reg-rows tr[data-address]"):
            raw = tr.find_element(By.CSS_SELECTOR, "td.raw").text
            if raw:
                rows[int(tr.get_attribute("data-address"))] = raw
        return rows

    def modbus_matches_page(self, port, unit=1):
        """The registers view and a Modbus read agree on every register (read again
        while an uplink lands between the two)."""
        page = self.page_registers()
        if not page:
            return False
        low = min(page)
        high = max(a + len(raw) // 4 for a, raw in page.items())
        values = read_registers(port, low, high - low, unit)
        if values is None:
            return False
        served = {a: "".join(f"{v:04x}" for v in values[a - low:a - low + len(raw) // 4]) for a, raw in page.items()}
        return all(served[a] == raw.lower() for a, raw in page.items())

    def device_eui_list(self):
        status, answer = self.gateway.api("GET", "/api/devices?limit=1000")
        self.assertEqual(status, 200, answer)
        return {d["devEui"] for d in answer["devices"]}

    # ---- flows ---------------------------------------------------------------
    def test_1_sign_in(self):
        b = self.browser
        b.get(self.gateway.url + "/")
        self.wait(lambda d: self.el("login-password").is_displayed(), "the sign-in form")
        self.fill("login-password", "not the password")
        self.el("login-submit").click()
        self.wait(lambda d: self.text("login-error") == "Wrong password", "the wrong-password message")
        self.assertFalse(self.el("app").is_displayed())
        self.fill("login-password", PASSWORD)
        self.el("login-submit").click()
        self.wait(lambda d: self.el("view-status").is_displayed(), "the status page")
        self.wait(lambda d: self.text("st-link") == "SUCCESS" and self.text("link-chip-text") == "SUCCESS",
                  "the logged-in link state")
        self.assertEqual(self.text("st-version"), self.gateway.api("GET", "/api/status")[1]["version"])
        status, answer = self.gateway.api("GET", "/api/status")
        self.assertEqual((status, answer["server"]["status"]), (200, "SUCCESS"))

    def test_2_add_device_and_read_it_over_modbus(self):
        self.go("#add")
        box = f'#add-rows input[value="{BOILER}"]'
        self.wait(lambda d: d.find_elements(By.CSS_SELECTOR, box), "Boiler room in the server's list")
        self.browser.find_element(By.CSS_SELECTOR, box).click()
        self.fill("add-port", str(self.modbus_port))
        self.fill("add-start", "10")
        row = f'#add-rows tr[data-dev-eui="{BOILER}"]'
        unit = self.browser.find_element(By.CSS_SELECTOR, row + " input.unit-input")
        self.assertIn("Boiler room", unit.get_attribute("aria-label"))
        unit.send_keys("248")
        self.wait(lambda d: "between 1 and 247" in d.find_element(By.CSS_SELECTOR, row + " .field-error").text
                  and not self.el("add-submit").is_enabled(), "the unit id's range message")
        unit.clear()
        unit.send_keys(str(BOILER_UNIT))
        span = self.gateway.api("GET", "/api/server-devices")[1]
        span = next(d["registerSpan"] for d in span if d["devEui"] == BOILER)
        self.wait(lambda d: f"10..{10 + span - 1}" in d.find_element(By.CSS_SELECTOR, row).text,
                  "the planned register range")
        self.wait(lambda d: self.el("add-submit").is_enabled(), "the add button after the dry run")
        self.el("add-submit").click()
        self.wait(lambda d: self.text("add-status").startswith("Added 1 device"), "the added message")
        self.assertIn(BOILER, self.device_eui_list())
        self.assertEqual(self.gateway.api("GET", f"/api/devices/{BOILER}")[1]["unitId"], BOILER_UNIT)
        self.go("#devices")
        listed = f'#dev-rows tr[data-dev-eui="{BOILER}"] td:nth-child(6)'
        self.wait(lambda d: [c.text for c in d.find_elements(By.CSS_SELECTOR, listed)] == [str(BOILER_UNIT)], "the unit id listed")

        self.go(f"#devices/{BOILER}")
        self.wait(lambda d: self.text("device-name") == "Boiler room", "the registers view")
        self.assertEqual(self.text("device-unit"), str(BOILER_UNIT))
        first = self.wait(lambda d: self.page_registers().get(10), "a first uplink's registers")
        self.wait(lambda d: self.page_registers().get(10) not in (None, first), "the next uplink changing a register")
        self.wait(lambda d: self.modbus_matches_page(self.modbus_port, BOILER_UNIT), "Modbus serving what the page shows")

    def test_3_edit_scaling_then_delete(self):
        self.go(f"#devices/{BOILER}")
        self.wait(lambda d: d.find_elements(By.CSS_SELECTOR, '#reg-rows tr[data-address="10"] button'),
                  "the temperature's edit button")
        self.browser.find_element(By.CSS_SELECTOR, '#reg-rows tr[data-address="10"] button').click()
        # The edit dialog's rule: outside the signed 32-bit range is refused on the page.
        self.fill("edit-10-multiplier", "2147483648")
        self.browser.find_element(By.XPATH, '//tr[@data-address="10"]//button[text()="Save"]').click()
        self.wait(lambda d: "between" in self.text("edit-10-multiplier-error"), "the range message")
        self.fill("edit-10-multiplier", "10")
        self.fill("edit-10-extraValue", "5")
        self.browser.find_element(By.XPATH, '//tr[@data-address="10"]//button[text()="Save"]').click()
        self.wait(lambda d: not d.find_elements(By.ID, "edit-10-multiplier"), "the saved scaling")
        scaled = {f"{(t * 10 + 5) & 0xFFFF:04x}" for t in BOILER_TEMPERATURES}
        self.wait(lambda d: self.page_registers().get(10) in scaled, "the next uplink scaled on the page")
        values = self.wait(lambda d: read_registers(self.modbus_port, 10, 1, BOILER_UNIT), "a Modbus read")
        self.assertIn(f"{values[0]:04x}", scaled)
        register = next(r for r in self.gateway.api("GET", f"/api/devices/{BOILER}")[1]["registers"]
                        if r["address"] == 10)
        self.assertEqual((register["multiplier"], register["extraValue"]), (10, 5))

        self.el("device-delete").click()
        self.wait(lambda d: self.el("confirm").is_displayed(), "the confirmation")
        self.assertIn("Boiler room", self.text("confirm-text"))
        self.el("confirm-ok").click()
        self.wait(lambda d: d.execute_script("return location.hash") == "#devices", "the device list")
        self.assertNotIn(BOILER, self.device_eui_list())
        self.wait(lambda d: read_registers(self.modbus_port, 10, 1, BOILER_UNIT) is None, "the port to stop answering")

    def test_4_import_csv_all_or_nothing(self):
        self.go("#import")
        self.wait(lambda d: self.el("import-text").is_displayed(), "the import view")
        p = self.import_port
        good = [f"{COLD},{p},0,Cold store,12", f"{WATER},{p},20,Water meter"]
        text = "devEui,port,startRegister,name\n" + "\n".join(good + [f"{NOT_ON_SERVER},{p},40,Nobody"]) + "\n"
        self.fill("import-text", text)
        self.el("import-check").click()
        bad = f'#import-rows tr[data-line="4"]'
        self.wait(lambda d: "bad-row" in d.find_element(By.CSS_SELECTOR, bad).get_attribute("class")
                  and d.find_element(By.CSS_SELECTOR, bad + " td.problem").text, "the bad row marked")
        for line in (2, 3):
            row = self.browser.find_element(By.CSS_SELECTOR, f'#import-rows tr[data-line="{line}"]')
            self.assertNotIn("bad-row", row.get_attribute("class") or "")
        self.assertFalse(self.el("import-submit").is_enabled())
        self.assertFalse({COLD, WATER} & self.device_eui_list(), "the preview added devices")

        self.fill("import-text", "\n".join(good + [f"{BEACON},{p},40,Dock beacon"]) + "\n")
        self.el("import-check").click()
        self.wait(lambda d: self.el("import-submit").is_enabled(), "the import button for a clean file")
        self.el("import-submit").click()
        self.wait(lambda d: self.text("import-status") == "Added 3 devices", "the import's result")
        self.assertTrue({COLD, WATER, BEACON} <= self.device_eui_list())
        units = {d["devEui"]: d["unitId"] for d in self.gateway.api("GET", "/api/devices?limit=1000")[1]["devices"]}
        self.assertEqual((units[COLD], units[WATER]), (12, None))
        self.wait(lambda d: read_registers(p, 0, 1, unit=12) is not None, "the imported unit id to answer")


if __name__ == "__main__":
    if MISSING:
        sys.exit("FAIL: the browser tests need " + "; ".join(MISSING) + " (scripts/deps installs them)")
    if len(sys.argv) < 4:
        sys.exit(__doc__)
    unittest.main(argv=sys.argv[:1], verbosity=2)
