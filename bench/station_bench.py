#!/usr/bin/env python3
"""velko-station against paced simulated instruments (vyra-sim --pace).

  bench/station_bench.py [--build DIR] [--sizes "1 8 16 32"] [--soak BATCHES] [--soak-size N]

1. For each N of --sizes: N paced instruments, one station with a slot for each, one POST
   /api/runs of the full image to all of them; the wall time from the request to the last
   result event, it against one instrument's, the station's peak resident memory (VmHWM) and
   CPU seconds, and the instruments' CPU seconds each.
2. --soak BATCHES (default 20) batches of --soak-size (default 16) instruments back to back,
   the small image, each instrument with a fault drawn at random (or none): every run must be
   in the history with its result, a page connected all along must have seen every run's
   result, and the station's resident memory after each batch is printed (it must stay flat):
   all of it, its anonymous part (heap, arenas, thread stacks) and its file-backed part (the
   program's and libraries' pages, touched as code paths are first taken).

Uses the standard library only.  Figures need a quiet machine.
"""
import argparse
import json
import os
import random
import signal
import subprocess
import sys
import tempfile
import threading
import time
import urllib.request

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def rss_kib(pid, field):
    with open(f"/proc/{pid}/status") as status:
        for line in status:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    return 0


def cpu_seconds(pid):
    with open(f"/proc/{pid}/stat") as stat:
        fields = stat.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


class Instruments:
    """N vyra-sim processes; their ports."""

    def __init__(self, sim, count, work, options_for=lambda i: []):
        self.processes, self.ports = [], []
        for i in range(count):
            out = open(os.path.join(work, f"sim{i}.out"), "w+")
            process = subprocess.Popen([sim, "--pace"] + options_for(i), stdout=out,
                                       stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL)
            self.processes.append((process, out))
        for process, out in self.processes:
            deadline = time.monotonic() + 10
            while True:
                out.seek(0)
                line = out.readline().strip()
                if line:
                    self.ports.append(line)
                    break
                if time.monotonic() > deadline:
                    sys.exit("station_bench: vyra-sim did not start")
                time.sleep(0.02)

    def cpu_each(self):
        return [cpu_seconds(p.pid) for p, _ in self.processes]

    def stop(self):
        for process, out in self.processes:
            process.terminate()
            process.wait()
            out.close()


class Station:
    def __init__(self, program, ports, work, shelf, extra=()):
        self.log = open(os.path.join(work, "station.err"), "w")
        args = [program, "--shelf", shelf, "--db", os.path.join(work, "history.db"),
                "--listen", "127.0.0.1:0", *extra]
        for port in ports:
            args += ["--port", port]
        self.process = subprocess.Popen(args, stdout=subprocess.PIPE, stderr=self.log, text=True)
        line = self.process.stdout.readline()
        if "http://" not in line:
            sys.exit("station_bench: the station did not start")
        self.base = line.split("open ")[1].strip().rstrip("/")

    def post(self, path, body):
        request = urllib.request.Request(self.base + path, json.dumps(body).encode(),
                                         {"Content-Type": "application/json"})
        with urllib.request.urlopen(request) as answer:
            return json.load(answer)

    def get(self, path):
        with urllib.request.urlopen(self.base + path) as answer:
            return json.load(answer)

    def stop(self):
        """Ends the station (SIGTERM; killed if it is still there a minute later); again is
        harmless, so a benchmark that fails half-way leaves no station behind."""
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
            try:
                self.process.wait(timeout=60)
            except subprocess.TimeoutExpired:
                print("station_bench: the station did not stop within 60 s of SIGTERM",
                      file=sys.stderr)
                self.process.kill()
                self.process.wait()
        self.log.close()


class Page(threading.Thread):
    """A page's event stream: every result event, and when it came, by run id."""

    def __init__(self, base):
        super().__init__(daemon=True)
        self.stream = urllib.request.urlopen(base + "/api/events")
        self.results = {}
        self.ended = {}  # when each result came, by the clock's time
        self.changed = threading.Condition()
        self.start()

    def run(self):
        try:
            for raw in self.stream:
                line = raw.decode()
                if not line.startswith("data: "):
                    continue
                event = json.loads(line[6:])
                if event["event"] == "result":
                    with self.changed:
                        self.ended[event["run"]] = time.time()
                        self.results[event["run"]] = event
                        self.changed.notify_all()
        except (OSError, ValueError):
            pass

    def wait_for(self, ids, timeout):
        with self.changed:
            return self.changed.wait_for(lambda: all(i in self.results for i in ids), timeout)


def run_size(args, n, work):
    instruments = Instruments(args.sim, n, work)
    station = Station(args.station, instruments.ports, work, args.shelf)
    page = Page(station.base)
    started = time.monotonic()
    runs = station.post("/api/runs", {"file": "VYRA_FULL.A37", "ports": instruments.ports})["runs"]
    if not page.wait_for([r["id"] for r in runs], 300):
        sys.exit(f"station_bench: N = {n}: not every run ended")
    wall = time.monotonic() - started
    failed = [r for r in page.results.values() if not r["ok"]]
    peak = rss_kib(station.process.pid, "VmHWM") / 1024
    station_cpu = cpu_seconds(station.process.pid)
    sim_cpu = sum(instruments.cpu_each()) / n
    station.stop()
    instruments.stop()
    return wall, peak, station_cpu, sim_cpu, failed


FAULTS = [[], [], [], ["--identify-silent"], ["--erase-fault", "2"], ["--block-fault", "40"],
          ["--block-fault", "20:checksum"], ["--close-at-block", "30"], ["--stale-bytes"]]


def soak(args, work):
    print(f"\n== {args.soak} batches of {args.soak_size}, the small image, random faults")
    rng = random.Random(args.seed)
    station_slots = [os.path.join(work, f"slot{i}") for i in range(args.soak_size)]
    for slot in station_slots:
        os.symlink("/nonexistent", slot)
    station = Station(args.station, station_slots, work, args.shelf)
    page = Page(station.base)
    all_ids = []
    print(f"{'batch':>5} {'done':>5} {'failed':>7} {'RSS MiB':>8} {'anon MiB':>9} {'file MiB':>9}")
    for batch in range(1, args.soak + 1):
        # The instruments change between batches; the slots are links that follow them.
        faults = [rng.choice(FAULTS) for _ in range(args.soak_size)]
        fresh = Instruments(args.sim, args.soak_size, work, lambda i: faults[i])
        for slot, port in zip(station_slots, fresh.ports):
            os.remove(slot)
            os.symlink(port, slot)
        runs = station.post("/api/runs", {"file": "VYRA_SMALL.A37", "ports": station_slots})["runs"]
        ids = [r["id"] for r in runs]
        all_ids += ids
        if not page.wait_for(ids, 120):
            sys.exit(f"station_bench: batch {batch}: a page missed a result")
        done = sum(1 for i in ids if page.results[i]["ok"])
        fresh.stop()
        print(f"{batch:>5} {done:>5} {len(ids) - done:>7} "
              f"{rss_kib(station.process.pid, 'VmRSS') / 1024:>8.1f} "
              f"{rss_kib(station.process.pid, 'RssAnon') / 1024:>9.1f} "
              f"{rss_kib(station.process.pid, 'RssFile') / 1024:>9.1f}")
    history = {row["id"]: row for row in station.get(f"/api/history?limit={len(all_ids)}")["runs"]}
    missing = [i for i in all_ids if i not in history or history[i]["result"] not in ("done", "failed")]
    print(f"runs: {len(all_ids)}; in the history with a result: {len(all_ids) - len(missing)}; "
          f"seen by the page: {sum(1 for i in all_ids if i in page.results)}; "
          f"peak RSS {rss_kib(station.process.pid, 'VmHWM') / 1024:.1f} MiB")
    station.stop()
    return not missing


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--build", default=os.path.join(ROOT, "build/native"))
    parser.add_argument("--sizes", default="1 8 16 32")
    parser.add_argument("--soak", type=int, default=20)
    parser.add_argument("--soak-size", type=int, default=16)
    parser.add_argument("--seed", type=int, default=1)
    args = parser.parse_args()
    args.station = os.path.join(args.build, "station/velko-station")
    args.sim = os.path.join(args.build, "sim/vyra-sim")
    args.shelf = os.path.join(args.build, "samples")
    for path in (args.station, args.sim, args.shelf):
        if not os.path.exists(path):
            sys.exit(f"station_bench: {path} is missing (build the native preset)")

    with tempfile.TemporaryDirectory() as work:
        print("== N paced instruments at once, the full image each")
        print(f"{'N':>4} {'wall s':>8} {'÷ one':>7} {'peak RSS MiB':>13} {'station CPU s':>14} "
              f"{'sim CPU s each':>15} failed")
        one = None
        for n in [int(x) for x in args.sizes.split()]:
            wall, peak, station_cpu, sim_cpu, failed = run_size(args, n, work)
            one = one or wall
            print(f"{n:>4} {wall:>8.2f} {wall / one:>7.3f} {peak:>13.1f} {station_cpu:>14.2f} "
                  f"{sim_cpu:>15.2f} {len(failed)}"
                  + "".join(f"\n     {r['port']}: {r['error']}" for r in failed), flush=True)
        ok = True
        if args.soak > 0:
            ok = soak(args, work)
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
