#!/usr/bin/env python3
"""The HTTP API of the real tidewell (headless, as a child process) with clients nobody here wrote:
Python's http.client and urllib, pymodbus for Modbus reads, tidewell-netsim as the network server,
openssl for the HTTPS certificate. Every wait ends on what it waits for, capped at a minute.

Usage: webapi_process.py TIDEWELL NETSIM SOURCE_DIR"""
import base64
import http.client
import json
import os
import re
import resource
import shutil
import signal
import socket
import ssl
import subprocess
import sys
import tempfile
import threading
import time
import unittest

try:
    from pymodbus.client import ModbusTcpClient
except ImportError as error:
    sys.exit(f"FAIL: python3 cannot import pymodbus ({error}); scripts/deps installs python3-pymodbus")
if shutil.which("openssl") is None:
    sys.exit("FAIL: openssl is missing; scripts/deps installs it")

TIDEWELL, NETSIM, SOURCE = sys.argv[1:4]
WAIT = 60
PASSWORD = "pass word ü"
BOILER = "0011223344550001"   # TH sensor: Temperature at offset 0
COLD = "0011223344550002"
GAS = "0011223344550004"
# Temperatures the simulator's Boiler room payloads carry (int16, little endian after the type byte)
BOILER_TEMPERATURES = {0x0859, 0x0868, 0x0884, 0x0874}


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def wait_for(condition, what, timeout=WAIT):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        value = condition()
        if value:
            return value
        time.sleep(0.05)
    raise AssertionError(f"waited {timeout} s for {what}")


class Gateway:
    """tidewell --headless in its own working directory; its standard error is collected."""

    def __init__(self, workdir, window=False):
        env = dict(os.environ)
        args = [TIDEWELL, "--workdir", workdir]
        if window:
            env["QT_QPA_PLATFORM"] = "offscreen"
        else:
            args.insert(1, "--headless")
            for name in ("DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"):
                env.pop(name, None)
        self.workdir = workdir
        self.process = subprocess.Popen(args, stderr=subprocess.PIPE, stdout=subprocess.DEVNULL, env=env)
        self.lines = []
        self.reader = threading.Thread(target=self._read, daemon=True)
        self.reader.start()

    def _read(self):
        for line in self.process.stderr:
            self.lines.append(line.decode(errors="replace"))

    def log(self):
        try:
            with open(os.path.join(self.workdir, "history.log"), encoding="utf-8", errors="replace") as f:
                return f.read()
        except FileNotFoundError:
            return ""

    def url(self, scheme="http", after=0):
        """The port of the URL the log names, from its `after`-th line on."""
        pattern = re.compile(r"Web console and API on " + scheme + r"://127\.0\.0\.1:(\d+)/")

        def found():
            for line in self.log().splitlines()[after:]:
                match = pattern.search(line)
                if match:
                    return int(match.group(1))
            return None
        return wait_for(found, f"the gateway to name its {scheme} URL")

    def log_lines(self):
        return len(self.log().splitlines())

    def stop(self):
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
            self.process.wait(WAIT)
        self.reader.join(WAIT)
        self.process.stderr.close()
        return self.process.returncode


def prepare_workdir(directory, server_port, web="port=0\n"):
    os.makedirs(os.path.join(directory, "deviceFolder"))
    templates = os.path.join(SOURCE, "resources", "templates")
    for name in os.listdir(templates):
        if name.endswith(".json") and "scenario" not in name:
            shutil.copy(os.path.join(templates, name), os.path.join(directory, "deviceFolder"))
    with open(os.path.join(directory, "settings.conf"), "w") as f:
        f.write(f"[server]\nip=127.0.0.1\nport={server_port}\nlogin=demo\npassword=demo\n\n[web]\n{web}")


def set_password(directory, password):
    return subprocess.run([TIDEWELL, "--set-web-password", "--workdir", directory], input=(password + "\n").encode(),
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=WAIT)


class Client:
    def __init__(self, port, https_context=None):
        self.port = port
        self.context = https_context
        self.cookie = None
        self.basic = None

    def connection(self):
        if self.context:
            return http.client.HTTPSConnection("127.0.0.1", self.port, timeout=WAIT, context=self.context)
        return http.client.HTTPConnection("127.0.0.1", self.port, timeout=WAIT)

    def request(self, method, path, body=None, headers=None, raw=None):
        headers = dict(headers or {})
        if self.cookie:
            headers.setdefault("Cookie", self.cookie)
        if self.basic:
            headers.setdefault("Authorization", "Basic " + base64.b64encode(self.basic.encode()).decode())
        data = raw
        if body is not None:
            data = json.dumps(body).encode()
            headers.setdefault("Content-Type", "application/json")
        connection = self.connection()
        connection.request(method, path, body=data, headers=headers)
        response = connection.getresponse()
        payload = response.read()
        connection.close()
        return response, payload

    def json(self, method, path, body=None, headers=None, raw=None):
        response, payload = self.request(method, path, body, headers, raw)
        try:
            parsed = json.loads(payload) if payload else None
        except ValueError:
            parsed = payload
        return response.status, parsed, response

    def login(self, password=PASSWORD):
        status, body, response = self.json("POST", "/api/login", {"password": password})
        if status == 200:
            self.cookie = response.getheader("Set-Cookie").split(";")[0]
        return status, body, response


def modbus_read(port, address, count=1):
    client = ModbusTcpClient("127.0.0.1", port=port, timeout=5)
    try:
        if not client.connect():
            return None
        result = client.read_holding_registers(address, count)
        return None if result.isError() else list(result.registers)
    finally:
        client.close()


class EventStream:
    """GET /api/events read on a thread of its own, as a browser's EventSource would."""

    def __init__(self, client):
        self.events = []
        self.connection = client.connection()
        headers = {"Cookie": client.cookie, "Accept": "text/event-stream"}
        self.connection.request("GET", "/api/events", headers=headers)
        self.response = self.connection.getresponse()
        assert self.response.status == 200, self.response.status
        assert self.response.getheader("Content-Type").startswith("text/event-stream")
        self.thread = threading.Thread(target=self._read, daemon=True)
        self.thread.start()

    def _read(self):
        event, data = None, []
        try:
            for raw in self.response:
                line = raw.decode().rstrip("\n")
                if line.startswith("event: "):
                    event = line[7:]
                elif line.startswith("data: "):
                    data.append(line[6:])
                elif line == "" and event:
                    self.events.append((time.monotonic(), event, json.loads("\n".join(data))))
                    event, data = None, []
        except (OSError, ValueError, AttributeError, http.client.HTTPException):
            pass  # closed under the reader (close() from the test)

    def find(self, name, test=lambda data: True):
        return [data for _, event, data in list(self.events) if event == name and test(data)]

    def close(self):
        try:
            self.connection.sock.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass
        self.connection.close()


class WebApiProcessTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        resource.setrlimit(resource.RLIMIT_NOFILE, (resource.getrlimit(resource.RLIMIT_NOFILE)[1],) * 2)
        cls.tmp = tempfile.TemporaryDirectory()
        cls.dir = cls.tmp.name
        cls.sim_port = free_port()
        cls.modbus_port = free_port()
        prepare_workdir(cls.dir, cls.sim_port, "port=0\nmetrics_per_device=true\n")
        settings = os.path.join(cls.dir, "settings.conf")
        os.chmod(settings, 0o640)
        before = os.stat(settings)
        done = set_password(cls.dir, PASSWORD)
        assert done.returncode == 0, done.stderr
        after = os.stat(settings)
        cls.settings_kept = (before.st_mode & 0o7777, before.st_uid) == (after.st_mode & 0o7777, after.st_uid)
        with open(settings) as f:
            cls.settings_text = f.read()
        # The gateway starts first: no server yet, so it is not logged in.
        cls.gateway = Gateway(cls.dir)
        cls.port = cls.gateway.url()
        cls.sim = None

    @classmethod
    def tearDownClass(cls):
        code = cls.gateway.stop()
        if cls.sim:
            cls.sim.send_signal(signal.SIGTERM)
            cls.sim.wait(WAIT)
        cls.tmp.cleanup()
        assert code == 0, f"tidewell exited with {code}:\n" + "".join(cls.gateway.lines[-20:])

    @classmethod
    def start_simulator(cls):
        if cls.sim:
            return
        scenario = os.path.join(SOURCE, "resources", "templates", "demo-scenario.json")
        cls.sim = subprocess.Popen([NETSIM, "--scenario", scenario, "--port", str(cls.sim_port), "--period", "300",
                                    "--quiet"], stdout=subprocess.DEVNULL)

    def client(self, login=True):
        client = Client(self.port)
        if login:
            status, body, _ = client.login()
            self.assertEqual(status, 200, body)
        return client

    def device_count(self, client):
        return client.json("GET", "/api/devices")[1]["total"]

    def test_1_password_command_and_health_at_login(self):
        self.assertTrue(self.settings_kept, "owner and mode of settings.conf changed")
        self.assertNotIn(PASSWORD, self.settings_text)
        self.assertRegex(self.settings_text, r"password_hash=\"?pbkdf2-sha256\$(\d+)\$")
        self.assertGreaterEqual(int(re.search(r"pbkdf2-sha256\$(\d+)\$", self.settings_text).group(1)), 600000)

        anonymous = Client(self.port)
        status, body, _ = anonymous.json("GET", "/healthz")
        self.assertEqual(status, 503, body)
        self.assertIn(b"not logged in", body)
        self.start_simulator()
        wait_for(lambda: anonymous.json("GET", "/healthz")[0] == 200, "health to turn 200 at login", timeout=120)
        _, text, response = anonymous.json("GET", "/healthz")
        self.assertEqual(text, b"ok\n")

    def test_2_login_status_and_server_devices(self):
        self.start_simulator()
        client = Client(self.port)
        status, body, response = client.login("wrong")
        self.assertEqual((status, body), (401, {"error": "wrong password"}))
        self.assertIsNone(response.getheader("WWW-Authenticate"))
        status, body, response = client.login()
        self.assertEqual(status, 200)
        cookie = response.getheader("Set-Cookie")
        self.assertRegex(cookie, r"^tidewell_session=[A-Za-z0-9_-]{22,};")
        self.assertIn("HttpOnly", cookie)
        self.assertIn("SameSite=Strict", cookie)
        self.assertNotIn("Secure", cookie)
        for header, value in (("X-Content-Type-Options", "nosniff"), ("Cache-Control", "no-store"),
                              ("Content-Security-Policy", "default-src 'self'; frame-ancestors 'none'")):
            self.assertEqual(response.getheader(header), value)

        wait_for(lambda: client.json("GET", "/api/status")[1]["server"]["status"] == "SUCCESS", "the login")
        status, state, _ = client.json("GET", "/api/status")
        self.assertEqual(status, 200)
        self.assertEqual(state["server"]["statusText"], "SUCCESS")
        self.assertEqual(state["server"]["address"], f"ws://127.0.0.1:{self.sim_port}")
        self.assertEqual(state["server"]["login"], "demo")
        self.assertRegex(state["server"]["since"], r"^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ$")
        self.assertEqual(state["version"], "1.0.2")
        self.assertGreater(state["databaseBytes"], 0)

        status, types, _ = client.json("GET", "/api/device-types")
        self.assertEqual(status, 200)
        th = [t for t in types if t["appEui"] == "A1B2C3D400000001"][0]
        self.assertEqual((th["devType"], th["color"], th["registerSpan"]), ("TH-Sense 20", "#3f92d2", th["registerSpan"]))
        self.assertGreaterEqual(th["registerSpan"], 4)

        status, listed, _ = client.json("GET", "/api/server-devices")
        self.assertEqual(status, 200, listed)
        euis = {d["devEui"] for d in listed}
        self.assertTrue({BOILER, COLD, GAS} <= euis, euis)
        self.assertNotIn("0011223344550006", euis)  # of a type nobody knows

        # Basic authentication for scripts; a logged-out cookie is refused.
        basic = Client(self.port)
        basic.basic = "admin:" + PASSWORD
        self.assertEqual(basic.json("GET", "/api/status")[0], 200)
        self.assertEqual(client.json("POST", "/api/logout")[0], 200)
        self.assertEqual(client.json("GET", "/api/status")[0], 401)

    def test_3_add_read_edit_export_delete(self):
        self.start_simulator()
        client = self.client()
        wait_for(lambda: client.json("GET", "/api/status")[1]["server"]["status"] == "SUCCESS", "the login")
        stream = EventStream(client)
        try:
            status, dry, _ = client.json("POST", "/api/devices?dryRun=true", [
                {"devEui": BOILER, "port": self.modbus_port, "startRegister": 10},
                {"devEui": COLD, "port": self.modbus_port, "startRegister": 65534}])
            self.assertEqual(status, 200, dry)
            self.assertEqual(dry["rows"][0], {"index": 0, "problems": []})
            self.assertEqual([p["field"] for p in dry["rows"][1]["problems"]], ["startRegister"])
            self.assertEqual(self.device_count(client), 0)

            status, added, _ = client.json("POST", "/api/devices", [
                {"devEui": BOILER, "port": self.modbus_port, "startRegister": 10, "name": "Boiler A"},
                {"devEui": COLD, "port": self.modbus_port, "startRegister": 20, "unitId": 2}])
            self.assertEqual((status, added), (201, {"added": [BOILER, COLD]}))
            self.assertEqual(client.json("GET", f"/api/devices/{COLD}")[1]["unitId"], 2)
            self.assertIsNone(client.json("GET", f"/api/devices/{BOILER}")[1]["unitId"])
            status, again, _ = client.json("POST", "/api/devices",
                                           {"devEui": BOILER, "port": self.modbus_port, "startRegister": 30})
            self.assertEqual(status, 409, again)
            self.assertEqual(again["field"], "devEui")

            # An uplink from the simulator, read by a Modbus client.
            value = wait_for(lambda: (modbus_read(self.modbus_port, 10) or [0])[0], "Boiler A's temperature")
            self.assertIn(value, BOILER_TEMPERATURES)
            status, device, _ = client.json("GET", f"/api/devices/{BOILER}")
            self.assertEqual(status, 200)
            self.assertEqual((device["name"], device["port"], device["startRegister"], device["devType"]),
                             ("Boiler A", self.modbus_port, 10, "TH-Sense 20"))
            temperature = [r for r in device["registers"] if r["name"] == "Temperature"][0]
            self.assertEqual((temperature["address"], temperature["editable"]), (10, True))
            self.assertRegex(temperature["raw"], r"^[0-9a-f]{4}$")
            listing = client.json("GET", f"/api/devices?q=boiler&port={self.modbus_port}&sort=devEui&order=desc")[1]
            self.assertEqual([d["devEui"] for d in listing["devices"]], [BOILER])

            # Scaling: the next uplink uses it.
            status, edited, _ = client.json("PATCH", f"/api/devices/{BOILER}/registers",
                                            [{"address": 10, "unit": "dC", "multiplier": 1, "extraValue": 1000}])
            self.assertEqual(status, 200, edited)
            temperature = [r for r in edited["registers"] if r["address"] == 10][0]
            self.assertEqual((temperature["unit"], temperature["extraValue"]), ("dC", 1000))
            wait_for(lambda: (modbus_read(self.modbus_port, 10) or [0])[0] in {t + 1000 for t in BOILER_TEMPERATURES},
                     "an uplink scaled by the new extra value")
            self.assertIn(f"[{BOILER}]", client.json("GET", "/api/log?lines=50")[1]["lines"][-1] + "".join(
                client.json("GET", "/api/log?lines=50")[1]["lines"]))

            # Events: the device's registers, at most 4 a second for it.
            wait_for(lambda: stream.find("registers", lambda d: d["devEui"] == BOILER), "a registers event")
            self.assertTrue(stream.find("device-added", lambda d: d["devEui"] == COLD))

            # The export, CSV and JSON.
            response, csv = client.request("GET", f"/api/register-map.csv?port={self.modbus_port}")
            self.assertEqual(response.status, 200)
            lines = csv.decode().splitlines()
            self.assertEqual(lines[0], "port,address,device,devEui,field,dataType,bitSize,wordOrder,unit,multiplier,extraValue,unitId")
            self.assertIn(f"{self.modbus_port},10,Boiler A,{BOILER},Temperature,integer,16,high_first,dC,1,1000,", lines)
            status, rows, _ = client.json("GET", "/api/register-map")
            self.assertEqual(len(rows), len(lines) - 1)
            self.assertEqual(rows[0]["port"], self.modbus_port)

            # Metrics, line by line.
            response, text = client.request("GET", "/metrics")
            self.assertEqual(response.getheader("Content-Type"), "text/plain; version=0.0.4; charset=utf-8")
            samples = {}
            for line in text.decode().splitlines():
                if line.startswith("#"):
                    self.assertRegex(line, r"^# (HELP|TYPE) tidewell_\w+ ")
                    continue
                match = re.fullmatch(r'(tidewell_\w+)(\{[^}]*\})? (-?[0-9.e+]+)', line)
                self.assertTrue(match, line)
                samples[match.group(1) + (match.group(2) or "")] = float(match.group(3))
            self.assertEqual(samples['tidewell_build_info{version="1.0.2"}'], 1)
            self.assertEqual(samples["tidewell_server_connected"], 1)
            self.assertGreater(samples['tidewell_uplinks_total{result="decoded"}'], 0)
            self.assertGreater(samples['tidewell_modbus_requests_total{function="3"}'], 0)
            for series in ('tidewell_modbus_requests_total{function="4"}', 'tidewell_modbus_requests_total{function="other"}',
                           'tidewell_modbus_exceptions_total{code="10"}', 'tidewell_modbus_exceptions_total{code="11"}',
                           "tidewell_modbus_connections_rejected_total", "tidewell_server_reconnects_total",
                           'tidewell_devices{state="silent"}', 'tidewell_uplinks_total{result="rejected"}'):
                self.assertIn(series, samples)
            self.assertEqual(samples['tidewell_devices{state="active"}'], 2)
            self.assertIn(f'tidewell_device_last_uplink_timestamp_seconds{{dev_eui="{BOILER}"}}', samples)

            # Delete: gone from the API and from Modbus.
            self.assertEqual(client.json("DELETE", f"/api/devices/{COLD}")[:2], (200, {"ok": True}))
            self.assertEqual(client.json("GET", f"/api/devices/{COLD}")[0], 404)
            wait_for(lambda: stream.find("device-removed", lambda d: d["devEui"] == COLD), "a device-removed event")
            log = self.gateway.log()
            self.assertRegex(log, r"Device \[" + COLD + r"\] deleted \(web client \[127\.0\.0\.1\]\)")
            self.assertRegex(log, r"Added 2 device\(s\) \[" + BOILER + ", " + COLD + r"\] \(web client \[127\.0\.0\.1\]\)")
        finally:
            stream.close()
        # Coalescing: no two registers events of one device within 250 ms.
        times = [t for t, event, data in stream.events if event == "registers" and data["devEui"] == BOILER]
        self.assertTrue(all(b - a >= 0.2 for a, b in zip(times, times[1:])), times)

    def test_4_refusals_change_nothing(self):
        client = self.client()
        before = self.device_count(client)
        big = b"[" + b" " * (1024 * 1024 + 10) + b"]"
        cases = [
            # (what, method, path, body as bytes, headers, status)
            ("unknown route", "GET", "/api/nothing", None, {}, 404),
            ("wrong method", "PUT", "/api/devices", b"{}", {"Content-Type": "application/json"}, 405),
            ("body over 1 MB", "POST", "/api/devices", big, {"Content-Type": "application/json"}, 413),
            ("headers too large", "GET", "/api/status", None, {"X-Filler": "x" * 40000}, 431),
            ("malformed JSON", "POST", "/api/devices", b"{\"devEui\":", {"Content-Type": "application/json"}, 400),
            ("wrong type", "POST", "/api/devices", json.dumps({"devEui": GAS, "port": "502", "startRegister": 0}).encode(),
             {"Content-Type": "application/json"}, 400),
            ("unknown DevEUI", "POST", "/api/devices", json.dumps({"devEui": "00112233445500FF", "port": self.modbus_port,
                                                                 "startRegister": 0}).encode(), {"Content-Type": "application/json"}, 400),
            ("port 0", "POST", "/api/devices", json.dumps({"devEui": GAS, "port": 0, "startRegister": 0}).encode(),
             {"Content-Type": "application/json"}, 400),
            ("port above 65535", "POST", "/api/devices", json.dumps({"devEui": GAS, "port": 70000, "startRegister": 0}).encode(),
             {"Content-Type": "application/json"}, 400),
            ("registers past 65535", "POST", "/api/devices", json.dumps({"devEui": GAS, "port": self.modbus_port,
                                                                        "startRegister": 65533}).encode(), {"Content-Type": "application/json"}, 400),
            ("registers taken", "POST", "/api/devices", json.dumps({"devEui": GAS, "port": self.modbus_port,
                                                                   "startRegister": 12}).encode(), {"Content-Type": "application/json"}, 409),
            ("unit id out of range", "POST", "/api/devices", json.dumps({"devEui": GAS, "port": self.modbus_port,
                                                                        "startRegister": 0, "unitId": 248}).encode(),
             {"Content-Type": "application/json"}, 400),
            ("scaling not an integer", "PATCH", f"/api/devices/{BOILER}/registers",
             json.dumps([{"address": 10, "multiplier": 1.5}]).encode(), {"Content-Type": "application/json"}, 400),
            ("scaling out of range", "PATCH", f"/api/devices/{BOILER}/registers",
             json.dumps([{"address": 10, "extraValue": 2 ** 31}]).encode(), {"Content-Type": "application/json"}, 400),
            ("not a field's first register", "PATCH", f"/api/devices/{BOILER}/registers",
             json.dumps([{"address": 9, "multiplier": 2}]).encode(), {"Content-Type": "application/json"}, 400),
            ("not JSON", "POST", "/api/devices", b"devEui=1", {"Content-Type": "application/x-www-form-urlencoded"}, 415),
            ("foreign origin", "DELETE", f"/api/devices/{BOILER}", None, {"Origin": "http://evil.example"}, 403),
            ("dot dot", "GET", "/../server.db", None, {}, 404),
            ("encoded slash", "GET", "/..%2fserver.db", None, {}, 404),
            ("NUL", "GET", "/index.html%00", None, {}, 404),
            ("unknown device", "DELETE", "/api/devices/00112233445500FF", None, {}, 404),
        ]
        for what, method, path, body, headers, status in cases:
            with self.subTest(what):
                if body is big:
                    # Refused on its Content-Length, before the body is read.
                    response, payload = self.refused_upload(client, path, len(body))
                else:
                    response, payload = client.request(method, path, raw=body, headers=headers)
                self.assertEqual(response.status, status, payload[:200])
                if status != 431:
                    self.assertIn("error", json.loads(payload))
                if what in ("wrong type", "port 0", "port above 65535"):
                    self.assertEqual(json.loads(payload)["field"], "port")
                if what in ("registers past 65535", "registers taken"):
                    self.assertEqual(json.loads(payload)["field"], "startRegister")
                if what == "unknown DevEUI":
                    self.assertEqual(json.loads(payload)["field"], "devEui")
                if what == "unit id out of range":
                    self.assertEqual(json.loads(payload)["field"], "unitId")
                if what.startswith("scaling") or what.startswith("not a field"):
                    self.assertIn(json.loads(payload)["field"], ("multiplier", "extraValue", "address"))
        self.assertEqual(self.device_count(client), before)
        boiler = client.json("GET", f"/api/devices/{BOILER}")[1]
        if boiler and "registers" in boiler:
            self.assertEqual([r["multiplier"] for r in boiler["registers"] if r["address"] == 10], [1])

    def refused_upload(self, client, path, length):
        connection = client.connection()
        connection.putrequest("POST", path)
        connection.putheader("Cookie", client.cookie)
        connection.putheader("Content-Type", "application/json")
        connection.putheader("Content-Length", str(length))
        connection.endheaders()
        connection.send(b"[" + b" " * 1000)
        response = connection.getresponse()
        payload = response.read()
        connection.close()
        return response, payload

    def test_5_connection_flood_leaves_modbus_and_server_link(self):
        self.start_simulator()
        client = self.client()
        wait_for(lambda: client.json("GET", "/api/status")[1]["server"]["status"] == "SUCCESS", "the login")
        if not client.json("GET", f"/api/devices/{BOILER}")[0] == 200:
            client.json("POST", "/api/devices", {"devEui": BOILER, "port": self.modbus_port, "startRegister": 10})
        flood = []
        try:
            for _ in range(1000):
                s = socket.socket()
                s.setblocking(False)
                s.connect_ex(("127.0.0.1", self.port))
                flood.append(s)
            self.assertIsNotNone(wait_for(lambda: modbus_read(self.modbus_port, 10), "a Modbus read beside the flood"))
        finally:
            for s in flood:
                s.close()
        def status_after():
            try:
                return client.json("GET", "/api/status")[1]
            except OSError:
                return None
        status = wait_for(status_after, "the API after the flood")
        self.assertEqual(status["server"]["status"], "SUCCESS")

    def test_6_https_after_sighup_and_failed_login_limit(self):
        cert = os.path.join(self.dir, "web.crt")
        key = os.path.join(self.dir, "web.key")
        subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-subj", "/CN=127.0.0.1",
                        "-addext", "subjectAltName=IP:127.0.0.1", "-keyout", key, "-out", cert],
                       check=True, capture_output=True, timeout=WAIT)
        with open(os.path.join(self.dir, "settings.conf"), "a") as f:
            f.write(f"cert_file={cert}\nkey_file={key}\n")
        seen = self.gateway.log_lines()
        self.gateway.process.send_signal(signal.SIGHUP)
        port = self.gateway.url("https", after=seen)
        context = ssl.create_default_context(cafile=cert)
        client = Client(port, context)
        status, _, response = client.login()
        self.assertEqual(status, 200)
        self.assertIn("Secure", response.getheader("Set-Cookie"))
        self.assertEqual(client.json("GET", "/api/status")[0], 200)
        with self.assertRaises(ssl.SSLError):
            Client(port, ssl.create_default_context()).json("GET", "/healthz")

        guesser = Client(port, context)
        guesser.basic = "admin:guess"
        # The wrong password of the login test counts too: at most 5 in a minute.
        for attempt in range(6):
            status, body, response = guesser.json("GET", "/api/status")
            if status != 401:
                break
        self.assertEqual(status, 429)
        self.assertGreaterEqual(attempt, 4)
        self.assertEqual(body["error"], "too many failed logins")
        self.assertEqual(int(response.getheader("Retry-After")), body["retryAfter"])
        self.assertRegex(self.gateway.log(), r"Failed web login from \[127\.0\.0\.1\]")


class PasswordAtATerminalTest(unittest.TestCase):
    """--set-web-password typed at a terminal: asked twice, never echoed."""

    def type_password(self, directory, first, second):
        master, slave = os.openpty()
        try:
            process = subprocess.Popen([TIDEWELL, "--set-web-password", "--workdir", directory], stdin=slave,
                                       stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
            os.close(slave)
            slave = None
            shown = b""
            for prompt, line in ((b"Web console password: ", first), (b"Once more: ", second)):
                # the prompt comes once echo is off: what is typed now is read, unseen
                while not shown.endswith(prompt):
                    chunk = process.stderr.read1(1024)
                    self.assertTrue(chunk, f"no prompt {prompt!r}; got {shown!r}")
                    shown += chunk
                os.write(master, line.encode() + b"\n")
            shown += process.stderr.read()
            process.stderr.close()
            code = process.wait(WAIT)
            os.set_blocking(master, False)
            try:
                echoed = os.read(master, 4096)
            except (BlockingIOError, OSError):
                echoed = b""
            return code, shown.decode(), echoed
        finally:
            if slave is not None:
                os.close(slave)
            os.close(master)

    def test_asked_twice_without_echo(self):
        with tempfile.TemporaryDirectory() as directory:
            prepare_workdir(directory, free_port())
            settings = os.path.join(directory, "settings.conf")
            with open(settings) as f:
                before = f.read()

            code, shown, echoed = self.type_password(directory, "typed secret", "typed secrex")
            self.assertEqual(code, 1, shown)
            self.assertIn("the two passwords differ; nothing changed", shown)
            with open(settings) as f:
                self.assertEqual(f.read(), before)

            code, shown, echoed = self.type_password(directory, "typed secret", "typed secret")
            self.assertEqual(code, 0, shown)
            self.assertNotIn(b"typed secret", echoed)
            with open(settings) as f:
                text = f.read()
            self.assertNotIn("typed secret", text)
            self.assertRegex(text, r"password_hash=\"?pbkdf2-sha256\$")
            gateway = Gateway(directory)
            try:
                self.assertEqual(Client(gateway.url()).login("typed secret")[0], 200)
            finally:
                self.assertEqual(gateway.stop(), 0)


class WindowModeTest(unittest.TestCase):
    def test_window_serves_the_api(self):
        with tempfile.TemporaryDirectory() as directory:
            prepare_workdir(directory, free_port())
            self.assertEqual(set_password(directory, "pw").returncode, 0)
            gateway = Gateway(directory, window=True)
            try:
                client = Client(gateway.url())
                self.assertEqual(client.login("pw")[0], 200)
                self.assertEqual(client.json("GET", "/api/device-types")[0], 200)
            finally:
                self.assertEqual(gateway.stop(), 0)

    def test_port_without_password_serves_nothing(self):
        with tempfile.TemporaryDirectory() as directory:
            prepare_workdir(directory, free_port())
            gateway = Gateway(directory)
            try:
                wait_for(lambda: "--set-web-password" in gateway.log(), "the log naming the command")
                self.assertNotIn("Web console and API on", gateway.log())
            finally:
                self.assertEqual(gateway.stop(), 0)


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1], verbosity=2)
