#!/usr/bin/env python3
"""Talks to tidewell-netsim with an independent WebSocket client (python3-websockets):
probe (and the lines the program prints for it), login, filtered device list, one uplink
and a clean exit on SIGTERM."""
import asyncio
import json
import sys

try:
    import websockets
except ImportError as error:
    sys.exit(f"FAIL: python3 cannot import websockets ({error}); scripts/deps installs python3-websockets")


async def main(netsim, scenario):
    proc = await asyncio.create_subprocess_exec(
        netsim, "--scenario", scenario, "--port", "0", "--period", "50", stdout=asyncio.subprocess.PIPE)
    drain = None
    try:
        line = (await asyncio.wait_for(proc.stdout.readline(), 30)).decode().strip()
        assert line.startswith("listening on ws://127.0.0.1:"), line
        async with websockets.connect(line.split(" ")[-1]) as ws:
            async def ask(message):
                await ws.send(json.dumps(message))
                while True:
                    reply = json.loads(await asyncio.wait_for(ws.recv(), 10))
                    if reply.get("cmd") != "rx":
                        return reply

            probe = await ask({"cmd": "cmd"})
            assert "err_string" in probe, probe
            # One printed line per message received and sent.
            printed = []
            while not any('-> {"cmd":"cmd"' in p for p in printed):
                printed.append((await asyncio.wait_for(proc.stdout.readline(), 10)).decode())
            assert any('<- {"cmd": "cmd"}' in p for p in printed), printed
            drain = asyncio.ensure_future(proc.stdout.read())

            refused = await ask({"cmd": "auth_req", "login": "demo", "password": "nope"})
            assert refused["cmd"] == "auth_resp" and refused["status"] is False, refused
            assert refused["err_string"], refused
            auth = await ask({"cmd": "auth_req", "login": "demo", "password": "demo"})
            assert auth["status"] is True and auth["token"], auth
            devices = await ask({"cmd": "get_devices_req",
                                 "select": {"appEui_list": ["A1B2C3D400000003", "A1B2C3D400000001"]}})
            names = [d["devName"] for d in devices["devices_list"]]
            assert names == ["Boiler room", "Cold store", "Dock beacon"], names
            assert all(d["OTAA"]["appEui"] for d in devices["devices_list"]), devices
            while True:
                rx = json.loads(await asyncio.wait_for(ws.recv(), 10))
                if rx.get("cmd") == "rx":
                    break
            assert rx["type"] in ("UNCONF_UP", "CONF_UP"), rx
            bytes.fromhex(rx["data"])
            assert "+" in rx["gatewayId"], rx
            for key in ("devEui", "ts", "fcnt", "rssi", "snr", "port", "freq", "dr", "ack"):
                assert key in rx, (key, rx)
        proc.terminate()
        assert await asyncio.wait_for(proc.wait(), 10) == 0, proc.returncode
    finally:
        if proc.returncode is None:
            proc.kill()
            await proc.wait()
        if drain:
            await drain
    print("ok")


if __name__ == "__main__":
    asyncio.run(main(sys.argv[1], sys.argv[2]))
