"""The web server's JSON API, its event stream and its limits, against batmond on batmon-sim."""

import http.client
import json
import os
import re
import signal
import socket
import ssl
import subprocess
import sys
import tempfile
import time
import unittest

import webrig
from webrig import EventStream, Rig, wait_until

ARGS = webrig.arguments()
PERIOD_S = 2
READING_KEYS = {"device", "battery", "label", "time", "voltage", "temperature", "status",
                "status_key", "status_text"}


def key_of(reading):
    return (reading["time"], reading["device"], reading["battery"])


class ApiTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.rig = Rig(ARGS.batmond, ARGS.sim, sim_options=["--status", "A0:2=0x71"],
                      period_s=PERIOD_S, users={"zhang": "s3cret"},
                      extra=["--metrics", f"127.0.0.1:{webrig.free_port()}"])
        cls.rig.start_sim()
        cls.rig.start_batmond()
        wait_until(lambda: all(b["time"] for b in cls.rig.get_json("/api/v1/latest")["batteries"]),
                   30, "a reading of every battery")

    @classmethod
    def tearDownClass(cls):
        cls.rig.stop()

    def test_latest_has_every_battery_with_the_mqtt_keys(self):
        latest = self.rig.get_json("/api/v1/latest")
        self.assertEqual(latest["site"], "机房1")
        self.assertRegex(latest["time"], r"^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z$")
        self.assertEqual(set(latest["bus"]), {"port", "open", "last_cycle", "period_s"})
        self.assertTrue(latest["bus"]["open"])
        self.assertTrue(latest["bus"]["port"].endswith("/tty"))
        self.assertEqual(latest["bus"]["period_s"], PERIOD_S)
        labels = [b["label"] for b in latest["batteries"]]
        self.assertEqual(labels, [f"A0-8{i}" for i in range(8)] + [f"{i}#" for i in range(1, 7)])
        for b in latest["batteries"]:
            self.assertEqual(set(b), READING_KEYS | {"stale", "alarms"})
            self.assertIsInstance(b["voltage"], (int, float))
            self.assertIsInstance(b["temperature"], (int, float))
            self.assertFalse(b["stale"])
        a02 = latest["batteries"][2]
        self.assertEqual((a02["status"], a02["status_key"], a02["status_text"]),
                         (0x71, "voltage", "电压异常"))
        self.assertEqual([a["id"] for a in a02["alarms"]], ["A0.2.status_voltage"])
        self.assertEqual(set(a02["alarms"][0]),
                         {"id", "device", "battery", "label", "kind", "kind_text", "level", "since",
                          "value", "value_text", "acknowledged", "acknowledged_by", "shelved"})

    def test_readings_raw_reduced_csv_and_bad_requests(self):
        wait_until(lambda: len(self.rig.get_json(
            "/api/v1/readings?device=A0&battery=3&from=0&points=10000")["readings"]) >= 3,
            30, "three stored readings")
        raw = self.rig.get_json("/api/v1/readings?device=A0&battery=3&from=0&points=10000")
        self.assertFalse(raw["reduced"])
        self.assertEqual((raw["device"], raw["battery"], raw["label"]), ("A0", 3, "A0-83"))
        times = [r["time"] for r in raw["readings"]]
        self.assertEqual(times, sorted(times))
        for r in raw["readings"]:
            self.assertEqual(set(r), {"time", "voltage", "temperature", "status", "status_key"})
        # Fewer points than readings: buckets with min, max and last, the extremes kept.
        # Over the same readings: one stored after the first request must not move the extremes.
        reduced = self.rig.get_json(
            f"/api/v1/readings?device=A0&battery=3&from={raw['readings'][0]['time']}"
            f"&to={raw['readings'][-1]['time']}&points=1")
        self.assertTrue(reduced["reduced"])
        self.assertEqual(len(reduced["points"]), 1)
        bucket = reduced["points"][0]
        volts = [r["voltage"] for r in raw["readings"]]
        self.assertEqual(bucket["voltage"]["min"], min(volts))
        self.assertEqual(bucket["voltage"]["max"], max(volts))
        self.assertEqual(set(bucket["temperature"]), {"min", "max", "last"})
        # The CSV batmon-export writes.
        status, headers, body = self.rig.request(
            "GET", "/api/v1/readings?device=A0&battery=3&from=0&format=csv")
        self.assertEqual(status, 200)
        self.assertTrue(headers["Content-Type"].startswith("text/csv"))
        lines = body.decode().splitlines()
        self.assertEqual(lines[0], "time,device,battery,voltage_v,temperature_c,status,status_text")
        self.assertTrue(all(line.split(",")[1:3] == ["A0", "3"] for line in lines[1:]))
        self.assertGreaterEqual(len(lines) - 1, len(raw["readings"]))
        for bad in ["device=A2&battery=0", "device=A0&battery=8", "device=A0&battery=1&from=yesterday",
                    "device=A0&battery=1&from=2&to=1", "device=A0&battery=1&points=0"]:
            status, _, body = self.rig.request("GET", f"/api/v1/readings?{bad}")
            self.assertEqual(status, 400, bad)
            self.assertIn("error", json.loads(body))

    def test_alarms_active_and_past(self):
        active = self.rig.get_json("/api/v1/alarms?active=1")
        self.assertEqual(active["unacknowledged"],
                         len([a for a in active["alarms"] if not a["acknowledged"]]))
        self.assertIn("A0.2.status_voltage", [a["id"] for a in active["alarms"]])
        # The history store writes the event on its own thread, a moment after the board shows it.
        raised = wait_until(
            lambda: [e for e in self.rig.get_json("/api/v1/alarms?from=0")["events"]
                     if e["alarm"] == "A0.2.status_voltage"], 30, "the raised alarm in the history")
        self.assertEqual(set(raised[0]), {"id", "alarm", "time", "device", "battery", "label",
                                          "kind", "kind_text", "state", "state_text", "level",
                                          "value", "value_text", "user"})
        self.assertEqual((raised[0]["state"], raised[0]["value"]), ("raised", 0x71))

    def sign_in(self, password):
        return self.rig.request("POST", "/api/v1/session",
                                body=json.dumps({"user": "zhang", "password": password}),
                                headers={"Content-Type": "application/json"})

    def test_acknowledging_needs_sign_in_and_the_csrf_token(self):
        path = "/api/v1/alarms/A0.2.status_voltage/acknowledge"
        status, _, _ = self.rig.request("POST", path, body=b"")
        self.assertEqual(status, 401)
        failed_at = time.monotonic()
        status, _, body = self.sign_in("wrong")
        self.assertEqual(status, 403)
        # For a second after a failure the next attempt waits, even with the right password.
        # On a loaded machine that second may already be over when the next request arrives.
        status, headers, body = self.sign_in("s3cret")
        if status == 429:
            self.assertGreaterEqual(int(headers["Retry-After"]), 1)
            status, headers, body = wait_until(
                lambda: (lambda a: a if a[0] != 429 else None)(self.sign_in("s3cret")), 10,
                "the sign-in wait to pass", step_s=0.5)
        else:
            self.assertGreaterEqual(time.monotonic() - failed_at, 1.0)
        self.assertEqual(status, 200)
        cookie = headers["Set-Cookie"]
        self.assertIn("HttpOnly", cookie)
        self.assertIn("SameSite=Strict", cookie)
        self.assertNotIn("Secure", cookie)  # plain http here
        session = cookie.split(";")[0]
        csrf = json.loads(body)["csrf"]
        who = self.rig.get_json("/api/v1/session", headers={"Cookie": session})
        self.assertEqual((who["user"], who["csrf"]), ("zhang", csrf))

        status, _, _ = self.rig.request("POST", path, body=b"", headers={"Cookie": session})
        self.assertEqual(status, 403)  # no CSRF token
        status, _, _ = self.rig.request("POST", "/api/v1/alarms/A0.5.status_voltage/acknowledge",
                                        body=b"", headers={"Cookie": session, "X-CSRF-Token": csrf})
        self.assertEqual(status, 404)  # not active
        status, _, body = self.rig.request("POST", path, body=b"",
                                           headers={"Cookie": session, "X-CSRF-Token": csrf})
        self.assertEqual(status, 202, body)

        def acknowledged():
            alarms = self.rig.get_json("/api/v1/alarms?active=1")["alarms"]
            return [a for a in alarms if a["id"] == "A0.2.status_voltage" and a["acknowledged"]]
        alarm = wait_until(acknowledged, 30, "the acknowledgement")[0]
        self.assertEqual(alarm["acknowledged_by"], "zhang")
        # The alarm board changes at once; the history store writes the event on its own thread.
        def acknowledgement_stored():
            events = self.rig.get_json("/api/v1/alarms?from=0")["events"]
            return ("acknowledged", "zhang") in [(e["state"], e["user"]) for e in events
                                                 if e["alarm"] == alarm["id"]]
        wait_until(acknowledgement_stored, 30, "the acknowledgement in the history")
        # Form posts from other sites are refused: only JSON signs in.
        status, _, _ = self.rig.request("POST", "/api/v1/session", body="user=zhang&password=x",
                                        headers={"Content-Type": "application/x-www-form-urlencoded"})
        self.assertIn(status, (415, 429))

    def test_metrics_on_both_listeners(self):
        status, headers, body = self.rig.request("GET", "/metrics")
        self.assertEqual(status, 200)
        self.assertEqual(headers["Content-Type"], "text/plain; version=0.0.4; charset=utf-8")
        self.assertIn(b'batmon_battery_voltage_volts{device="A0",battery="3"}', body)
        metrics_port = int(wait_until(
            lambda: re.search(r"metrics on http://127\.0\.0\.1:(\d+)/metrics", self.rig.log()), 5,
            "the metrics address in the log").group(1))
        connection = http.client.HTTPConnection("127.0.0.1", metrics_port)
        connection.request("GET", "/metrics")
        answer = connection.getresponse()
        self.assertEqual(answer.status, 200)
        self.assertIn(b"batmon_up 1", answer.read())
        connection.request("GET", "/api/v1/latest")
        answer = connection.getresponse()
        answer.read()
        self.assertEqual(answer.status, 404)  # the metrics listener serves /metrics only

    def test_limits_on_requests(self):
        status, _, _ = self.rig.request("GET", "/api/v1/latest", headers={"X-Big": "x" * 9000})
        self.assertIn(status, (400, 413, 431))
        status, _, _ = self.rig.request("POST", "/api/v1/session", body="x" * 20000,
                                        headers={"Content-Type": "application/json"})
        self.assertEqual(status, 413)
        # A request head that never completes is dropped after the read time-out.
        sock = socket.create_connection(("127.0.0.1", self.rig.port))
        sock.sendall(b"GET /api/v1/latest HTTP/1.1\r\nHost: x\r\n")
        sock.settimeout(15)
        started = time.monotonic()
        answer = b""
        while chunk := sock.recv(1000):
            answer += chunk
        # Answered 400 (or just closed) once the read time-out passed, well before a slow client
        # could hold the thread for long.
        self.assertTrue(answer == b"" or answer.startswith(b"HTTP/1.1 400"), answer)
        self.assertLess(time.monotonic() - started, 12)
        sock.close()
        status, _, _ = self.rig.request("GET", "/../../etc/passwd")
        self.assertEqual(status, 404)


class EventStreamTest(unittest.TestCase):
    def test_resume_after_reconnect_and_restart_misses_nothing_and_repeats_nothing(self):
        with Rig(ARGS.batmond, ARGS.sim, sim_options=["--status", "A1:4=0x72"],
                 period_s=PERIOD_S) as rig:
            stream = EventStream(rig.port)
            first = stream.next()
            self.assertIsNone(first["data"])  # the position the stream starts from
            self.assertRegex(first["id"], r"^\d+_\d+_\d_\d+$")
            seen = []
            while len([e for e in seen if e["event"] == "reading"]) < 20:
                message = stream.next()
                if message["data"] is not None:
                    seen.append(message)
            for message in seen:
                if message["event"] == "reading":
                    self.assertEqual(set(message["data"]), READING_KEYS)
            stream.close()
            resume_id = seen[-1]["id"]
            # Away for more than a cycle, then back with the last id it saw.
            time.sleep(PERIOD_S * 1.5)
            again = EventStream(rig.port, last_event_id=resume_id)
            while len([e for e in seen if e["event"] == "reading"]) < 60:
                message = again.next()
                if message["data"] is not None:
                    seen.append(message)
            again.close()
            # And once more across a restart of batmond on the same store.
            rig.stop_batmond()
            rig.start_batmond()
            resume_id = seen[-1]["id"]
            time.sleep(PERIOD_S)
            third = EventStream(rig.port, last_event_id=resume_id)
            while len([e for e in seen if e["event"] == "reading"]) < 90:
                message = third.next()
                if message["data"] is not None:
                    seen.append(message)
            third.close()

            readings = [m["data"] for m in seen if m["event"] == "reading"]
            keys = [key_of(r) for r in readings]
            self.assertEqual(len(keys), len(set(keys)), "a reading came twice")
            # Every stored reading between the first and the last one streamed came, in order.
            first_time, last_time = readings[0]["time"], readings[-1]["time"]
            stored = []
            for b in rig.get_json("/api/v1/latest")["batteries"]:
                answer = rig.get_json(f"/api/v1/readings?device={b['device']}&battery={b['battery']}"
                                      f"&from={first_time}&to={last_time}&points=10000")
                stored += [(r["time"], b["device"], b["battery"]) for r in answer["readings"]]
            self.assertEqual(sorted(keys), sorted(stored))
            ids = [m["id"] for m in seen]
            self.assertEqual(len(ids), len(set(ids)))
            alarms = [m["data"] for m in seen if m["event"] == "alarm"]
            for a in alarms:
                self.assertIn("state", a)


class ReloadTest(unittest.TestCase):
    def test_streams_work_on_the_server_a_reload_makes(self):
        rig = Rig(ARGS.batmond, ARGS.sim, period_s=PERIOD_S)
        conf = os.path.join(rig.path, "batmond.conf")
        address = f"127.0.0.1:{webrig.free_port()}"
        with open(conf, "w") as f:
            f.write(f"http = {address}\nhttp_read_auth = false\n")
        rig.extra = ["--config", conf]
        try:
            rig.start_sim()
            rig.start_batmond(http=address)
            old = EventStream(rig.port)
            old.next()
            with open(conf, "w") as f:
                f.write(f"http = {address}\nhttp_read_auth = true\n")
            os.kill(rig.batmond.pid, signal.SIGHUP)
            # The old server's stream ends; the new server refuses reading without sign-in.
            with self.assertRaises((EOFError, OSError)):
                while True:
                    old.next()
            old.close()
            def status():
                try:
                    return rig.request("GET", "/api/v1/latest")[0]
                except OSError:  # between the old server and the new one
                    return None
            wait_until(lambda: status() == 401, 10, "the new server's settings")
            with open(conf, "w") as f:
                f.write(f"http = {address}\nhttp_read_auth = false\n")
            os.kill(rig.batmond.pid, signal.SIGHUP)
            wait_until(lambda: status() == 200, 10, "reading open again")
            new = EventStream(rig.port)
            readings = 0
            while readings < 3:
                readings += new.next()["event"] == "reading"
            new.close()
        finally:
            rig.stop()


class TlsAndWindowTest(unittest.TestCase):
    def test_https_with_secure_cookie(self):
        rig = Rig(ARGS.batmond, ARGS.sim, period_s=PERIOD_S, users={"zhang": "s3cret"})
        cert, key = os.path.join(rig.path, "http.crt"), os.path.join(rig.path, "http.key")
        subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2",
                        "-subj", "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1", "-keyout", key, "-out", cert],
                       check=True, capture_output=True)
        rig.extra = ["--http-cert", cert, "--http-key", key]
        try:
            rig.start_sim()
            rig.start_batmond()
            self.assertIn("web server on https://127.0.0.1:", rig.log())
            context = ssl.create_default_context(cafile=cert)
            connection = http.client.HTTPSConnection("127.0.0.1", rig.port, context=context)
            connection.request("POST", "/api/v1/session",
                               body=json.dumps({"user": "zhang", "password": "s3cret"}),
                               headers={"Content-Type": "application/json"})
            answer = connection.getresponse()
            answer.read()
            self.assertEqual(answer.status, 200)
            self.assertIn("; Secure", answer.getheader("Set-Cookie"))
            # Plain http on the same port is not served.
            status = None
            try:
                status = rig.request("GET", "/api/v1/latest")[0]
            except (http.client.HTTPException, ConnectionError):
                pass
            self.assertNotEqual(status, 200)
        finally:
            rig.stop()

    def test_window_serves_the_page_when_its_configuration_names_http(self):
        window = os.path.join(os.path.dirname(ARGS.batmond), "..", "app", "batmon")
        with tempfile.TemporaryDirectory() as folder:
            conf = os.path.join(folder, "batmond.conf")
            with open(conf, "w") as f:
                f.write(f"site = 窗口机房\nhttp = 127.0.0.1:{webrig.free_port()}\n")
            log_path = os.path.join(folder, "batmon.log")
            with open(log_path, "w") as log:
                process = subprocess.Popen(
                    [window, "--config", conf, "--data-dir", os.path.join(folder, "data")],
                    stdout=log, stderr=log, env=dict(os.environ, QT_QPA_PLATFORM="offscreen"))
            try:
                def port():
                    if process.poll() is not None:
                        raise AssertionError(open(log_path).read())
                    found = re.search(r"web server on http://127\.0\.0\.1:(\d+)/",
                                      open(log_path).read())
                    return found and int(found.group(1))
                served = wait_until(port, 30, "the window's web server")
                connection = http.client.HTTPConnection("127.0.0.1", served)
                connection.request("GET", "/api/v1/latest")
                latest = json.loads(connection.getresponse().read())
                self.assertEqual(latest["site"], "窗口机房")
                self.assertFalse(latest["bus"]["open"])  # nobody opened the port yet
                self.assertEqual(len(latest["batteries"]), 14)
                connection.request("GET", "/")
                page = connection.getresponse()
                self.assertEqual(page.status, 200)
                self.assertIn("实时数据", page.read().decode())
            finally:
                os.kill(process.pid, signal.SIGTERM)
                process.wait(30)


if __name__ == "__main__":
    unittest.main(argv=[sys.argv[0]], verbosity=2)
