#!/usr/bin/env python3
"""velko-station and its site database: a PostgreSQL server of the benchmark's own.

  bench/site_bench.py [--build DIR] [--parts "catchup latency bench queries"] [--rows N]
                      [--site-rows N] [--runs N] [--rounds N] [--plans FILE]

1. catchup: a history of --rows (100,000) runs made before the station had a site, then the
   station started with --site: rows per second from its start to nothing pending.
2. latency: --runs (200) runs of the small image on 8 instruments with the site up: from each
   run's result event on a page to its final row's arrival in the site (a trigger notes the
   server's clock), p50 and p95.
3. bench: 16 paced instruments (vyra-sim --pace), the full image: the wall time of the batch
   with no site, with the site up, and with the site stopped for the whole batch, --rounds
   (3) rounds of the three interleaved, and each one's median against no site's.
4. queries: --site-rows (10,000,000) rows from 20 stations made in SQL (generate_series),
   then a unit's record, the recall list of a file and the site history's first page through
   the station's API, each asked 20 times (median and slowest), and their plans (EXPLAIN
   ANALYZE) in site-plans.txt beside this script's output folder.

Uses the standard library and psql.  Figures need a quiet machine.
"""
import argparse
import json
import os
import statistics
import subprocess
import sys
import tempfile
import time
import urllib.request

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tests", "support"))
sys.path.insert(0, os.path.join(ROOT, "bench"))
import postgres_server  # noqa: E402
from station_bench import Instruments, Page  # noqa: E402

SERVER_SETTINGS = [
    "fsync = off", "synchronous_commit = off", "shared_buffers = 512MB",
    "maintenance_work_mem = 512MB", "max_wal_size = 8GB", "checkpoint_timeout = 30min",
    "work_mem = 32MB",
]


class Station:
    def __init__(self, program, shelf, work, name, ports=(), extra=()):
        self.log = open(os.path.join(work, f"{name}.err"), "w")
        args = [program, "--shelf", shelf, "--db", os.path.join(work, f"{name}.db"),
                "--listen", "127.0.0.1:0", *extra]
        for port in ports:
            args += ["--port", port]
        self.started = time.monotonic()
        self.process = subprocess.Popen(args, stdout=subprocess.PIPE, stderr=self.log, text=True)
        line = self.process.stdout.readline()
        if "http://" not in line:
            sys.exit(f"site_bench: the station {name} did not start")
        self.base = line.split("open ")[1].strip().rstrip("/")

    def get(self, path):
        with urllib.request.urlopen(self.base + path, timeout=120) as answer:
            return json.load(answer)

    def post(self, path, body):
        request = urllib.request.Request(self.base + path, json.dumps(body).encode(),
                                         {"Content-Type": "application/json"})
        with urllib.request.urlopen(request, timeout=120) as answer:
            return json.load(answer)

    def wait_sent(self, timeout=600):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            site = self.get("/api/site")
            if site["state"] == "connected" and site["pending"] == 0:
                return time.monotonic()
            time.sleep(0.02)
        sys.exit(f"site_bench: the station did not send everything: {site}")

    def stop(self):
        self.process.terminate()
        self.process.wait(timeout=60)
        self.log.close()


def fresh_database(server, name):
    server.sql(f"CREATE DATABASE {name}")
    return server.admin(name)


def catchup(args, server, work):
    site = fresh_database(server, "catchup")
    first = Station(args.station, args.shelf, work, "catchup")  # makes the history file
    first.stop()
    import sqlite3
    db = sqlite3.connect(os.path.join(work, "catchup.db"))
    db.execute(
        "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < ?)"
        " INSERT INTO runs (started, ended, port, file, file_sha256, image_crc, start, \"end\","
        " identify, result, error, bytes, seconds, block_ms, station, version, instrument,"
        " \"operator\") SELECT strftime('%Y-%m-%dT%H:%M:%SZ', 1700000000 + i * 40, 'unixepoch'),"
        " strftime('%Y-%m-%dT%H:%M:%SZ', 1700000033 + i * 40, 'unixepoch'), '/dev/serial/by-id/"
        "usb-FTDI_FT232R_' || (i % 16) || '-if00-port0', 'VYRA_FULL.A37', hex(randomblob(32)),"
        " 50892, 4325632, 4587519, '5659524100010005', CASE WHEN i % 10 = 0 THEN 'failed'"
        " ELSE 'done' END, CASE WHEN i % 10 = 0 THEN 'Can''t Load Application' END, 262144,"
        " 33.0 + (i % 100) / 100.0, 0.07, 'bench', '1.0.5', 'SN' || i, 'operator ' || (i % 7)"
        " FROM n", (args.rows,))
    db.commit()
    db.close()
    station = Station(args.station, args.shelf, work, "catchup", extra=["--site", site])
    done = station.wait_sent()
    seconds = done - station.started
    station.stop()
    rows = int(server.sql("SELECT count(*) FROM velko.runs", "catchup"))
    print(f"catch-up: {rows} rows in {seconds:.2f} s from the station's start: "
          f"{rows / seconds:,.0f} rows/s (target 5,000)", flush=True)


def latency(args, server, work):
    site = fresh_database(server, "latency")
    subprocess.run([args.station, "site-init", site], check=True, stdout=subprocess.DEVNULL)
    server.sql("CREATE TABLE arrivals (run_id bigint PRIMARY KEY, at double precision);"
               "CREATE FUNCTION noted() RETURNS trigger LANGUAGE plpgsql AS $$ BEGIN"
               " INSERT INTO arrivals VALUES (NEW.run_id, extract(epoch FROM clock_timestamp()))"
               " ON CONFLICT DO NOTHING; RETURN NEW; END $$;"
               "CREATE TRIGGER noted AFTER INSERT OR UPDATE ON velko.runs FOR EACH ROW"
               " WHEN (NEW.result <> 'running') EXECUTE FUNCTION noted()", "latency")
    instruments = Instruments(args.sim, 8, work)
    station = Station(args.station, args.shelf, work, "latency", instruments.ports,
                      ["--site", site])
    station.wait_sent()
    page = Page(station.base)
    ended = {}
    while len(ended) < args.runs:
        runs = station.post("/api/runs", {"file": "VYRA_SMALL.A37",
                                          "ports": instruments.ports})["runs"]
        ids = [r["id"] for r in runs]
        if not page.wait_for(ids, 120):
            sys.exit("site_bench: a run did not end")
        for i in ids:
            ended[i] = page.ended[i]
    station.wait_sent()
    arrivals = dict(tuple(float(x) for x in line.split("|")) for line in server.sql(
        "SELECT run_id, at FROM arrivals", "latency").splitlines())
    delays = sorted(arrivals[i] - ended[i] for i in list(ended)[:args.runs])
    p50 = statistics.median(delays)
    p95 = delays[int(0.95 * (len(delays) - 1))]
    print(f"latency over {len(delays)} runs, from the result event to the row in the site: "
          f"p50 {p50 * 1000:.1f} ms, p95 {p95 * 1000:.1f} ms, slowest {delays[-1] * 1000:.1f} ms "
          f"(target p95 < 1 s)", flush=True)
    station.stop()
    instruments.stop()


def paced_batch(args, work, name, extra):
    instruments = Instruments(args.sim, 16, work)
    station = Station(args.station, args.shelf, work, name, instruments.ports, extra)
    page = Page(station.base)
    started = time.monotonic()
    runs = station.post("/api/runs", {"file": "VYRA_FULL.A37", "ports": instruments.ports})["runs"]
    if not page.wait_for([r["id"] for r in runs], 300):
        sys.exit("site_bench: not every run ended")
    wall = time.monotonic() - started
    failed = sum(1 for r in page.results.values() if not r["ok"])
    site = station.get("/api/site")
    station.stop()
    instruments.stop()
    return wall, failed, site


def bench(args, server, work):
    site = fresh_database(server, "bench")
    subprocess.run([args.station, "site-init", site], check=True, stdout=subprocess.DEVNULL)
    # Interleaved rounds, so that what else the machine does falls on all three alike.
    walls = {"no site": [], "site up": [], "site stopped": []}
    print(f"16 paced instruments, the full image, {args.rounds} rounds:", flush=True)
    for round_ in range(1, args.rounds + 1):
        for what in walls:
            if what == "site stopped":
                server.stop()
            wall, failed, state = paced_batch(args, work, what.replace(" ", ""),
                                              [] if what == "no site" else ["--site", site])
            if what == "site stopped":
                server.start()
            walls[what].append(wall)
            print(f"  round {round_}, {what}: {wall:.2f} s ({failed} failed; site "
                  f"{state['state']}, {state['pending']} pending at the end)", flush=True)
    base = statistics.median(walls["no site"])
    for what, times in walls.items():
        median = statistics.median(times)
        print(f"  {what}: median {median:.2f} s = {median / base:.3f} x the batch with no site"
              f" (target 1.02 x)", flush=True)


def queries(args, server, work):
    site = fresh_database(server, "big")
    subprocess.run([args.station, "site-init", site], check=True, stdout=subprocess.DEVNULL)
    started = time.monotonic()
    # The table's own indexes, made again once the rows are in (faster than row by row).
    indexes = [line.split("|", 1) for line in server.sql(
        "SELECT indexname, indexdef FROM pg_indexes WHERE schemaname = 'velko' AND"
        " tablename = 'runs' AND indexname <> 'runs_pkey'", "big").splitlines()]
    # 20 stations over a year; 2,000,000 units of about 5 runs each, spread over the year;
    # 5,000 files, each in use for a stretch of 2,000 runs; 90 % done, 8 % failed.
    server.sql(
        "INSERT INTO velko.stations (id, name, host, version) SELECT md5('station' || s)::uuid,"
        " 'bench-' || s, 'pc-' || s, '1.0.5' FROM generate_series(1, 20) s;"
        f"DROP INDEX {', '.join('velko.' + name for name, _ in indexes)};"
        "ALTER TABLE velko.runs DROP CONSTRAINT runs_pkey;"
        f"INSERT INTO velko.runs SELECT md5('station' || (i % 20 + 1))::uuid, i / 20 + 1,"
        f" timestamptz '2026-01-01Z' + i * (interval '365 days' / {args.site_rows}),"
        f" timestamptz '2026-01-01Z' + i * (interval '365 days' / {args.site_rows}) +"
        " interval '33 s', '/dev/serial/by-id/usb-FTDI_FT232R_' || (i % 16) || '-if00-port0',"
        " 'VYRA_' || (i / 2000) || '.A37', md5((i / 2000)::text) || md5((i / 2000)::text),"
        " 50892, 4325632, 4587519, '5659524100010005',"
        " CASE WHEN i % 50 < 45 THEN 'done' WHEN i % 50 < 49 THEN 'failed' ELSE 'cancelled' END,"
        " CASE WHEN i % 50 BETWEEN 45 AND 48 THEN 'Can''t Load Application' END, 262144,"
        " 33.0, 0.07, 'bench-' || (i % 20 + 1), '1.0.5', 1, 115200,"
        " 'SN' || lpad(((i::bigint * 7919) % 2000000)::text, 7, '0'), 'operator ' || (i % 30), 2"
        f" FROM generate_series(0, {args.site_rows - 1}) i;"
        "ALTER TABLE velko.runs ADD PRIMARY KEY (station_id, run_id);", "big")
    for _, index in indexes:
        server.sql(index, "big")
    server.sql("VACUUM ANALYZE velko.runs", "big")
    print(f"queries: {args.site_rows:,} rows from 20 stations made in "
          f"{time.monotonic() - started:.0f} s", flush=True)
    station = Station(args.station, args.shelf, work, "queries", extra=["--site", site])
    station.wait_sent()
    middle = args.site_rows // 2
    unit = "SN" + str((middle * 7919) % 2000000).zfill(7)

    def sha_of(row):
        return server.sql(f"SELECT md5(({row} / 2000)::text) || md5(({row} / 2000)::text)")

    # A file of the middle of the year (its units have moved on since) and the newest one.
    sha, newest = sha_of(middle), sha_of(args.site_rows - 1)
    asks = [
        ("a unit's record", f"/api/site/instruments/{unit}", 50),
        ("the recall list of a file of mid-year", f"/api/site/instruments?file_sha256={sha}",
         50),
        ("the recall list of the newest file", f"/api/site/instruments?file_sha256={newest}",
         50),
        ("the site history's first page", "/api/site/history", 200),
        ("  ... of one station", "/api/site/history?station=bench-7", 200),
        ("  ... failed runs only", "/api/site/history?result=failed", 200),
    ]
    for what, path, target in asks:
        times = []
        for _ in range(20):
            begun = time.monotonic()
            answer = station.get(path)
            times.append((time.monotonic() - begun) * 1000)
        size = len(answer.get("runs", answer.get("instruments", [])))
        print(f"  {what}: median {statistics.median(times):.1f} ms, slowest {max(times):.1f} ms"
              f" ({size} rows; target {target} ms)", flush=True)
    station.stop()
    columns = "run_id, started, result, instrument, file_sha256, station_id"
    plans = [
        f"SELECT {columns} FROM velko.runs WHERE instrument = '{unit}'"
        " ORDER BY started DESC, station_id DESC, run_id DESC LIMIT 1000",
        f"SELECT c.{columns.replace(', ', ', c.')} FROM (SELECT DISTINCT instrument FROM"
        f" velko.runs WHERE file_sha256 = '{newest}' AND result = 'done' AND instrument IS NOT"
        " NULL) u CROSS JOIN LATERAL (SELECT r.station_id, r.run_id, r.file_sha256 FROM"
        " velko.runs r WHERE r.instrument = u.instrument AND r.result = 'done' ORDER BY"
        " r.started DESC, r.station_id DESC, r.run_id DESC LIMIT 1) n JOIN velko.runs c ON"
        " c.station_id = n.station_id AND c.run_id = n.run_id"
        f" WHERE n.file_sha256 = '{newest}' ORDER BY c.instrument",
        f"SELECT {columns} FROM velko.runs ORDER BY started DESC, station_id DESC, run_id DESC"
        " LIMIT 50",
    ]
    with open(args.plans, "w") as out:
        for sql in plans:
            out.write(sql + "\n" + server.sql("EXPLAIN (ANALYZE, BUFFERS) " + sql, "big") +
                      "\n\n")
    print(f"  plans: {args.plans}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--build", default=os.path.join(ROOT, "build/native"))
    parser.add_argument("--parts", default="catchup latency bench queries")
    parser.add_argument("--rows", type=int, default=100000)
    parser.add_argument("--runs", type=int, default=200)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--site-rows", type=int, default=10000000)
    parser.add_argument("--plans", default=os.path.join(tempfile.gettempdir(), "site-plans.txt"))
    args = parser.parse_args()
    args.station = os.path.join(args.build, "station/velko-station")
    args.sim = os.path.join(args.build, "sim/vyra-sim")
    args.shelf = os.path.join(args.build, "samples")
    for path in (args.station, args.sim, args.shelf):
        if not os.path.exists(path):
            sys.exit(f"site_bench: {path} is missing (build the native preset)")
    if postgres_server.bin_dir() is None:
        sys.exit("site_bench: the PostgreSQL server is not installed (scripts/setup.sh)")
    server = postgres_server.PostgresServer(SERVER_SETTINGS)
    try:
        server.start()
        with tempfile.TemporaryDirectory() as work:
            for part in args.parts.split():
                {"catchup": catchup, "latency": latency, "bench": bench,
                 "queries": queries}[part](args, server, work)
    finally:
        server.close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
