"""The web server under load, against batmond on batmon-sim (period 3 s, so a cycle's sixteen paced requests fit): GET /api/v1/latest
while 50 browsers hold event streams, a reading's way from its arrival to an open stream, the
poll pacing with and without the streams, batmond's memory per stream, and the page's first data
in headless Chromium. Prints RESULT lines for bench/run.
Usage: bench_web.py --batmond PATH --sim PATH [--seconds N]"""

import argparse
import multiprocessing
import os
import statistics
import sys
import threading
import time
from datetime import datetime

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "tests", "web"))
from webrig import EventStream, Rig, wait_until  # noqa: E402

parser = argparse.ArgumentParser()
parser.add_argument("--batmond", required=True)
parser.add_argument("--sim", required=True)
parser.add_argument("--seconds", type=int, default=30)
parser.add_argument("--streams", type=int, default=50)
args = parser.parse_args()


def rss_kib(pid):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


def p99(values):
    values = sorted(values)
    return values[min(len(values) - 1, int(len(values) * 0.99))]


def pacing_errors_ms(rig, since_us):
    """How far each request of a cycle went out from 150 ms after the one before it."""
    sent = [e["mono_us"] for e in rig.sim_log_entries()
            if e.get("dir") == "rx" and e["t_us"] >= since_us and e.get("function") == 4]
    errors = []
    for a, b in zip(sent, sent[1:]):
        gap_ms = (b - a) / 1000
        if gap_ms < 500:  # within a cycle (cycles are 3 s apart)
            errors.append(abs(gap_ms - 150))
    return errors


def latest_timings(rig, count):
    import http.client
    connection = http.client.HTTPConnection("127.0.0.1", rig.port)
    timings = []
    for _ in range(count):
        started = time.perf_counter()
        connection.request("GET", "/api/v1/latest")
        response = connection.getresponse()
        response.read()
        timings.append((time.perf_counter() - started) * 1000)
    connection.close()
    return timings


def to_ms(iso):
    return int(datetime.fromisoformat(iso.replace("Z", "+00:00")).timestamp() * 1000 + 0.5)


def watch_commits(path, committed, stop):
    """When each reading became visible in the store's file: polled every 2 ms."""
    import sqlite3
    db = sqlite3.connect(f"file:{path}?mode=ro", uri=True)
    last = int(time.time() * 1000)
    while not stop.is_set():
        rows = db.execute("SELECT t_ms, device, battery FROM readings WHERE t_ms > ? "
                          "AND device = 160 AND battery = 0", (last,)).fetchall()
        now = time.time()
        for t, device, battery in rows:
            committed[(t, device, battery)] = now
            last = max(last, t)
        time.sleep(0.002)
    db.close()


def listen(stream, delays, committed, stop):
    while not stop.is_set():
        try:
            message = stream.next()
        except (EOFError, OSError):
            return
        data = message["data"]
        if message["event"] == "reading" and data and data["device"] == "A0" and data["battery"] == 0:
            received = time.time()
            seen = committed.get((to_ms(data["time"]), 160, 0))
            if seen:
                delays.append((received - seen) * 1000)


def hold_streams(port, count, history, ready, finish, results):
    stop = threading.Event()
    delays = []
    committed = {}
    threading.Thread(target=watch_commits, args=(history, committed, stop), daemon=True).start()
    streams = [EventStream(port) for _ in range(count)]
    for s in streams:
        threading.Thread(target=listen, args=(s, delays, committed, stop), daemon=True).start()
    ready.set()
    finish.wait()
    stop.set()
    for s in streams:
        s.close()
    results.put(delays)


with Rig(args.batmond, args.sim, period_s=3) as rig:
    wait_until(lambda: all(b["time"] for b in rig.get_json("/api/v1/latest")["batteries"]), 30,
               "every battery")
    latest_timings(rig, 200)  # warm up
    quiet = latest_timings(rig, 1000)
    phase_us = int(time.time() * 1e6)
    time.sleep(args.seconds / 2)
    pacing_quiet = pacing_errors_ms(rig, phase_us)

    rss_before = rss_kib(rig.batmond.pid)
    # The streams are held by another process, so that their reading does not compete with the
    # timed requests for this interpreter's lock.
    ready, finish, results = multiprocessing.Event(), multiprocessing.Event(), multiprocessing.Queue()
    holder = multiprocessing.Process(target=hold_streams, args=(
        rig.port, args.streams, os.path.join(rig.path, "data", "history.sqlite"), ready, finish,
        results))
    holder.start()
    ready.wait(30)
    time.sleep(2)
    rss_streams = rss_kib(rig.batmond.pid)
    phase_us = int(time.time() * 1e6)
    loaded = latest_timings(rig, 1000)
    time.sleep(args.seconds / 2)
    pacing_loaded = pacing_errors_ms(rig, phase_us)
    finish.set()
    delays = results.get(timeout=30)
    holder.join(30)

    print(f"GET /api/v1/latest: p50 {statistics.median(quiet):.2f} ms, p99 {p99(quiet):.2f} ms "
          f"alone; p50 {statistics.median(loaded):.2f} ms, p99 {p99(loaded):.2f} ms with "
          f"{args.streams} event streams")
    print(f"commit to event received (battery A0-80) at {args.streams} streams: {len(delays)} events, p50 "
          f"{statistics.median(delays):.1f} ms, p99 {p99(delays):.1f} ms, max {max(delays):.1f} ms")
    print(f"pacing error: max {max(pacing_quiet):.2f} ms without streams ({len(pacing_quiet)} "
          f"gaps), max {max(pacing_loaded):.2f} ms with {args.streams} ({len(pacing_loaded)} gaps)")
    per_stream = (rss_streams - rss_before) / args.streams
    print(f"batmond resident memory {rss_before} KiB, {rss_streams} KiB with {args.streams} "
          f"streams: {per_stream:.0f} KiB per stream")
    print(f"RESULT web_latest_p99_ms {p99(loaded):.2f}")
    print(f"RESULT web_event_p99_ms {p99(delays):.1f}")
    print(f"RESULT web_pacing_max_error_ms {max(pacing_loaded):.2f}")
    print(f"RESULT web_pacing_max_error_quiet_ms {max(pacing_quiet):.2f}")
    print(f"RESULT web_stream_kib {per_stream:.0f}")

    try:
        from web_browser_test import browser  # noqa: E402
    except ImportError:
        browser = None
    if browser:
        driver = browser(1280, 900)
        firsts = []
        try:
            for _ in range(5):
                driver.get(rig.url())
                firsts.append(wait_until(
                    lambda: driver.execute_script("return window.batmonFirstDataMs;"), 10,
                    "the first data"))
        finally:
            driver.quit()
        print(f"page's first data on screen: {', '.join(f'{v:.0f}' for v in firsts)} ms "
              f"after navigation started")
        print(f"RESULT web_first_data_ms {max(firsts):.0f}")
