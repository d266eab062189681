#!/usr/bin/env python3
"""velko-station's history on years of runs: a file of --rows rows (default 1,000,000) made
directly with sqlite3, then the real station asked over HTTP.

  bench/history_bench.py [--build DIR] [--rows N] [--repeat K] [--keep FILE]

The history: 100,000 instruments ("VY-000001"...), the oldest fifth of the rows from before
serials were scanned (no instrument), 20 releases of the firmware one after the other, and one
release pulled after 500 runs (the recall case); 90 % done, 8 % failed, 2 % cancelled; 12
operators, 16 ports.  For each request: the median and the slowest of K answers (after one to
warm up), measured from the request to the last byte of the answer.  Then the whole CSV from a
station just started: its time, its size, and the station's resident memory above idle while it
streams (the peak of VmRSS, sampled every 20 ms, and VmHWM).  Prints SQLite's query plans of
the same queries.  Uses the standard library only; figures need a quiet machine.
"""
import argparse
import hashlib
import os
import random
import signal
import sqlite3
import statistics
import subprocess
import sys
import tempfile
import threading
import time
import urllib.request

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
UNITS = 100000
RELEASES = 20
PULLED_RUNS = 500


def kib(pid, field):
    with open(f"/proc/{pid}/status") as status:
        for line in status:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    return 0


class Station:
    def __init__(self, program, db, shelf, work):
        self.log = open(os.path.join(work, "station.err"), "a")
        self.process = subprocess.Popen(
            [program, "--db", db, "--shelf", shelf, "--listen", "127.0.0.1:0", "--port", "p01"],
            stdout=subprocess.PIPE, stderr=self.log, text=True)
        line = self.process.stdout.readline()
        if "http://" not in line:
            sys.exit("history_bench: the station did not start")
        self.base = line.split("open ")[1].strip().rstrip("/")

    def fetch(self, path):
        """Seconds to the answer's last byte, and the answer's size."""
        started = time.perf_counter()
        with urllib.request.urlopen(self.base + path) as answer:
            size = len(answer.read())
        return time.perf_counter() - started, size

    def stop(self):
        self.process.send_signal(signal.SIGTERM)
        self.process.wait(timeout=60)
        self.log.close()


def sha(name):
    return hashlib.sha256(name.encode()).hexdigest()


def build(db, rows, seed=28):
    """The rows, in id order, oldest first: three years of a busy service centre."""
    rng = random.Random(seed)
    files = [f"VYRA_{1 + k // 4}_{k % 4}.A37" for k in range(RELEASES)]
    pulled = "VYRA_PULLED.A37"
    operators = [f"op{k:02d}" for k in range(12)]
    start = time.mktime((2024, 1, 1, 0, 0, 0, 0, 0, 0)) - time.timezone
    step = 3 * 365 * 86400 / rows
    pulled_from = int(rows * 0.7)

    def row(i):
        if pulled_from <= i < pulled_from + PULLED_RUNS:
            file = pulled
        else:
            file = files[min(RELEASES - 1, i * RELEASES // rows)]
        when = time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime(start + i * step))
        ended = time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime(start + i * step + 33))
        draw = rng.random()
        result = "done" if draw < 0.90 else "failed" if draw < 0.98 else "cancelled"
        error = None if result == "done" else (
            "Can't Load Application" if result == "failed" else "cancelled")
        scanned = i >= rows // 5
        instrument = f"VY-{rng.randrange(1, UNITS + 1):06d}" if scanned else None
        operator = rng.choice(operators) if scanned else None
        return (when, ended, f"p{1 + i % 16:02d}", file, sha(file), 50892, 4325632, 4587775,
                "5659524100010005", result, error, 262144 if result == "done" else 70000, 33.0,
                7.1, "bench-pc", "1.2.0", 1, 115200, instrument, operator)

    connection = sqlite3.connect(db)
    connection.execute("PRAGMA journal_mode=WAL")
    with connection:
        connection.executemany(
            "INSERT INTO runs (started, ended, port, file, file_sha256, image_crc, start, \"end\","
            " identify, result, error, bytes, seconds, block_ms, station, version, attempt,"
            " block_rate, instrument, \"operator\") VALUES"
            " (?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?)", (row(i) for i in range(rows)))
    connection.execute("PRAGMA wal_checkpoint(TRUNCATE)")
    unit = connection.execute(
        "SELECT instrument FROM runs WHERE instrument IS NOT NULL GROUP BY instrument"
        " ORDER BY count(*) DESC LIMIT 1").fetchone()[0]
    connection.close()
    return unit, files[-1], pulled, operators[0]


def plans(db, unit, latest):
    connection = sqlite3.connect(db)
    columns = "*"
    queries = {
        "a unit's record": (f"SELECT {columns} FROM runs WHERE 1 AND instrument = ?1"
                            " ORDER BY id DESC", (unit,)),
        "the page's history": (f"SELECT {columns} FROM runs WHERE 1 ORDER BY id DESC LIMIT 50",
                               ()),
        "the recall list": ("SELECT * FROM runs WHERE id IN (SELECT (SELECT c.id FROM runs AS c"
                            " WHERE c.instrument = u.instrument AND c.result = 'done'"
                            " ORDER BY c.id DESC LIMIT 1) FROM (SELECT DISTINCT instrument"
                            " FROM runs WHERE file_sha256 = ?1 AND result = 'done'"
                            " AND instrument IS NOT NULL) AS u) AND file_sha256 = ?1"
                            " ORDER BY instrument", (sha(latest),)),
        "a search": ("SELECT * FROM (SELECT * FROM (SELECT * FROM runs WHERE instrument = ?1"
                     " ORDER BY id DESC LIMIT 50) UNION SELECT * FROM (SELECT * FROM runs"
                     " WHERE \"operator\" = ?1 ORDER BY id DESC LIMIT 50)) ORDER BY id DESC"
                     " LIMIT 50", (unit,)),
    }
    for name, (sql, values) in queries.items():
        print(f"  {name}:")
        for step in connection.execute("EXPLAIN QUERY PLAN " + sql, values):
            print(f"    {step[-1]}")
    connection.close()


def timed(station, path, repeat):
    station.fetch(path)
    times, size = [], 0
    for _ in range(repeat):
        seconds, size = station.fetch(path)
        times.append(seconds * 1000)
    return statistics.median(times), max(times), size


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--build", default=os.path.join(ROOT, "build", "native"))
    parser.add_argument("--rows", type=int, default=1000000)
    parser.add_argument("--repeat", type=int, default=20)
    parser.add_argument("--keep", help="keep the history in this file (made when missing)")
    args = parser.parse_args()
    program = os.path.join(args.build, "station", "velko-station")
    shelf = os.path.join(args.build, "samples")

    work = tempfile.mkdtemp(prefix="history-bench-")
    db = args.keep or os.path.join(work, "history.db")
    fresh = not os.path.exists(db)
    if fresh:
        Station(program, db, shelf, work).stop()  # the schema, as the station makes it
        started = time.monotonic()
        unit, latest, pulled, operator = build(db, args.rows)
        print(f"built {args.rows} rows in {time.monotonic() - started:.1f} s "
              f"({os.path.getsize(db) / 2**20:.0f} MiB)")
    else:
        connection = sqlite3.connect(db)
        unit = connection.execute(
            "SELECT instrument FROM runs WHERE instrument IS NOT NULL GROUP BY instrument"
            " ORDER BY count(*) DESC LIMIT 1").fetchone()[0]
        connection.close()
        latest, pulled, operator = f"VYRA_5_3.A37", "VYRA_PULLED.A37", "op00"
    print("query plans:")
    plans(db, unit, latest)

    station = Station(program, db, shelf, work)
    print(f"\n{'request':<62} {'median ms':>9} {'max ms':>8} {'bytes':>10}")
    for name, path in [
        (f"a unit's record ({unit})", f"/api/instruments/{unit}"),
        ("the recall list, a pulled release (500 runs)", f"/api/instruments?file_sha256={sha(pulled)}"),
        ("the recall list, ever, the pulled release",
         f"/api/instruments?file_sha256={sha(pulled)}&ever=true"),
        ("the recall list, the latest release (50,000 runs)",
         f"/api/instruments?file_sha256={sha(latest)}"),
        ("the page's history (latest 50)", "/api/history?limit=50"),
        ("the page's history, failed only", "/api/history?limit=50&result=failed"),
        (f"the page's search, a serial", f"/api/history?limit=50&search={unit}"),
        (f"the page's search, an operator", f"/api/history?limit=50&search={operator}"),
        (f"the page's search, the pulled file", f"/api/history?limit=50&search={pulled}"),
        ("a unit's runs in 2025", f"/api/history?limit=50&instrument={unit}"
                                  "&since=2025-01-01&until=2026-01-01"),
    ]:
        median, slowest, size = timed(station, path, args.repeat)
        print(f"{name:<62} {median:9.1f} {slowest:8.1f} {size:10d}")
    station.stop()

    # The whole CSV from a station just started, its memory sampled while it streams.
    station = Station(program, db, shelf, work)
    time.sleep(1)  # the idle figure once the start's pages are touched
    pid = station.process.pid
    idle = kib(pid, "VmRSS")
    peak = [idle]
    done = threading.Event()

    def sample():
        while not done.is_set():
            peak[0] = max(peak[0], kib(pid, "VmRSS"))
            time.sleep(0.02)

    sampler = threading.Thread(target=sample)
    sampler.start()
    started = time.perf_counter()
    size = lines = 0
    with urllib.request.urlopen(station.base + "/api/history.csv") as answer:
        while True:
            chunk = answer.read(1 << 16)
            if not chunk:
                break
            size += len(chunk)
            lines += chunk.count(b"\n")
    seconds = time.perf_counter() - started
    done.set()
    sampler.join()
    hwm = kib(pid, "VmHWM")
    station.stop()
    print(f"\nthe whole CSV: {lines - 1} rows, {size / 2**20:.0f} MiB in {seconds:.2f} s "
          f"({size / 2**20 / seconds:.0f} MiB/s)")
    print(f"station resident memory: idle {idle / 1024:.1f} MiB, peak while streaming "
          f"{peak[0] / 1024:.1f} MiB (VmHWM {hwm / 1024:.1f} MiB): "
          f"{(max(peak[0], hwm) - idle) / 1024:.1f} MiB above idle (target 16 MiB)")
    if lines - 1 != args.rows and fresh:
        sys.exit(f"history_bench: the CSV holds {lines - 1} rows of {args.rows}")


if __name__ == "__main__":
    main()
