"""batmond on batmon-sim for the web tests: starts both in a temporary folder, finds the web
server's port in batmond's log, and stops both by their process ids."""

import argparse
import http.client
import json
import os
import re
import signal
import socket
import subprocess
import tempfile
import time


def wait_until(condition, timeout_s, what, step_s=0.05):
    """Polls `condition` until it returns something true; fails with `what` at the deadline."""
    deadline = time.monotonic() + timeout_s
    while True:
        result = condition()
        if result:
            return result
        if time.monotonic() > deadline:
            raise AssertionError(f"timed out after {timeout_s} s waiting for {what}")
        time.sleep(step_s)


def arguments():
    parser = argparse.ArgumentParser()
    parser.add_argument("--batmond", required=True)
    parser.add_argument("--sim", required=True)
    parser.add_argument("--shots", default=os.environ.get("BATMON_WEB_SHOTS", ""))
    known, _ = parser.parse_known_args()
    return known


def free_port():
    """A port nothing listens on now (for a listener whose port must be given)."""
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def make_hash(password):
    return subprocess.run(["mkpasswd", "--method=sha-512", password], check=True,
                          capture_output=True, text=True).stdout.strip()


class Rig:
    """One simulated bus and one batmond with a store, a web server and a /metrics listener."""

    def __init__(self, batmond, sim, sim_options=(), period_s=2, users=None, extra=()):
        self.dir = tempfile.TemporaryDirectory(prefix="batmon-web-")
        self.path = self.dir.name
        self.batmond_path = batmond
        self.sim_path = sim
        self.period_s = period_s
        self.sim_options = list(sim_options)
        self.extra = list(extra)
        self.users_file = None
        if users:
            self.users_file = os.path.join(self.path, "users")
            with open(self.users_file, "w") as f:
                for name, password in users.items():
                    f.write(f"{name}:{make_hash(password)}\n")
        self.sim = None
        self.batmond = None
        self.port = None
        self.log_offset = 0

    # ---- processes ----
    def start_sim(self):
        self.sim_log = os.path.join(self.path, "sim.jsonl")
        self.sim = subprocess.Popen(  # pylint: disable=consider-using-with
            [self.sim_path, "--link", os.path.join(self.path, "tty"), "--log", self.sim_log]
            + self.sim_options, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        line = self.sim.stdout.readline()
        assert line.startswith("PORT "), f"batmon-sim printed {line!r}"

    def start_batmond(self, http="127.0.0.1:0"):
        self.batmond_log = os.path.join(self.path, "batmond.log")
        arguments = [self.batmond_path, "--port", os.path.join(self.path, "tty"),
                     "--period", str(self.period_s), "--data-dir", os.path.join(self.path, "data"),
                     "--http", http, "--site", "机房1"] + self.extra
        if self.users_file:
            arguments += ["--http-users", self.users_file]
        self.log_offset = os.path.getsize(self.batmond_log) if os.path.exists(self.batmond_log) else 0
        with open(self.batmond_log, "a") as log:
            self.batmond = subprocess.Popen(arguments, stdout=log, stderr=log)

        def started():
            if self.batmond.poll() is not None:
                raise AssertionError(f"batmond exited with {self.batmond.returncode}: {self.log()}")
            return re.search(r"web server on https?://[^:]+:(\d+)/", self.log())
        found = wait_until(started, 20, "batmond's web server")
        self.port = int(found.group(1))

    def log(self):
        with open(self.batmond_log) as f:
            f.seek(self.log_offset)
            return f.read()

    def stop_batmond(self):
        if self.batmond and self.batmond.poll() is None:
            os.kill(self.batmond.pid, signal.SIGTERM)
            self.batmond.wait(30)
        self.batmond = None

    def stop(self):
        self.stop_batmond()
        if self.sim and self.sim.poll() is None:
            os.kill(self.sim.pid, signal.SIGTERM)
            self.sim.wait(10)
        self.dir.cleanup()

    def __enter__(self):
        self.start_sim()
        self.start_batmond()
        return self

    def __exit__(self, *exc):
        self.stop()

    # ---- what the simulator sent ----
    def sim_log_entries(self):
        """The simulator's log lines written so far (a line still being written is left out)."""
        with open(self.sim_log) as f:
            return [json.loads(line) for line in f if line.endswith("\n")]

    def sim_answers(self):
        """The battery readings the simulator sent, in order: dicts with device (160/161),
        battery, status, voltage (V) and temperature (℃)."""
        answers = []
        for e in self.sim_log_entries():
            if e.get("dir") != "tx" or e.get("voltage_raw", -1) < 0:
                continue
            answers.append({"device": e["device"], "battery": e["register"] - 0x80,
                            "status": e["status"], "voltage": e["voltage_raw"] / 10,
                            "temperature": e["temperature_raw"] / 10})
        return answers

    def sim_latest(self):
        """The last answer of every battery the program watches (A0's eight, A1's 0 to 5)."""
        latest = {}
        for a in self.sim_answers():
            if a["device"] == 0xA1 and a["battery"] > 5:
                continue
            latest[("A0" if a["device"] == 0xA0 else "A1", a["battery"])] = a
        return latest

    # ---- HTTP ----
    def request(self, method, path, body=None, headers=None):
        connection = http.client.HTTPConnection("127.0.0.1", self.port, timeout=30)
        connection.request(method, path, body=body, headers=headers or {})
        response = connection.getresponse()
        data = response.read()
        connection.close()
        return response.status, dict(response.getheaders()), data

    def get_json(self, path, headers=None):
        status, _, data = self.request("GET", path, headers=headers)
        assert status == 200, f"GET {path}: {status} {data[:200]!r}"
        return json.loads(data)

    def url(self, path="/"):
        return f"http://127.0.0.1:{self.port}{path}"


class EventStream:
    """A raw Server-Sent Events client: reads events as (id, event, data) until told to stop."""

    def __init__(self, port, last_event_id=None):
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=30)
        headers = "GET /api/v1/events HTTP/1.1\r\nHost: 127.0.0.1\r\nAccept: text/event-stream\r\n"
        if last_event_id:
            headers += f"Last-Event-ID: {last_event_id}\r\n"
        self.sock.sendall((headers + "\r\n").encode())
        self.buffer = b""
        self.last_id = None
        head = self._read_until(b"\r\n\r\n")
        assert head.startswith(b"HTTP/1.1 200"), head
        assert b"text/event-stream" in head, head
        self.chunked = b"chunked" in head.lower()
        self.body = b""

    def _read_until(self, marker):
        while marker not in self.buffer:
            data = self.sock.recv(65536)
            if not data:
                raise EOFError("stream closed")
            self.buffer += data
        head, self.buffer = self.buffer.split(marker, 1)
        return head

    def _fill_body(self):
        # Undo the chunked transfer coding into self.body.
        size = int(self._read_until(b"\r\n").split(b";")[0], 16)
        if size == 0:
            raise EOFError("stream ended")
        while len(self.buffer) < size + 2:
            data = self.sock.recv(65536)
            if not data:
                raise EOFError("stream closed")
            self.buffer += data
        self.body += self.buffer[:size]
        self.buffer = self.buffer[size + 2:]

    def next(self):
        """The next message: a dict with id, event and data (None for a message without data)."""
        while b"\n\n" not in self.body:
            self._fill_body()
        block, self.body = self.body.split(b"\n\n", 1)
        message = {"id": None, "event": "message", "data": None}
        for line in block.decode().split("\n"):
            if line.startswith(":"):
                continue
            field, _, value = line.partition(": ")
            if field == "id":
                message["id"] = value
                self.last_id = value
            elif field == "event":
                message["event"] = value
            elif field == "data":
                message["data"] = json.loads(value)
        return message

    def close(self):
        self.sock.close()
