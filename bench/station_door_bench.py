#!/usr/bin/env python3
"""velko-station's door under slow and greedy clients, beside a batch of paced instruments.

  bench/station_door_bench.py [--build DIR] [--instruments 16] [--slow 500] [--greedy 200]
                              [--per-address 16] [--load-seconds 30] [--rounds 3]
                              [--load-nice 19]

One station with a slot for each of N paced instruments (vyra-sim --pace), bound to 127.0.0.1
with --max-per-address; its clients come from bench/station_load.cpp (station-load):
--greedy connections (a thread each, kept alive) from 127.0.0.42 and up requesting the page's
GETs (/api/ports, /api/history, /api/stats, /api/shelf) as fast as the station answers;
--slow connections from 127.0.0.2 to 127.0.0.41 that send one header byte every 3 s (and
connect again whenever the station closes them); the probe, a fresh connection from
127.0.0.1 asking GET /api/station every 2 s.  The slow and greedy clients stand for other
machines: they run in a session (a scheduling group) of their own at --load-nice, so that on
this one they take only the time the station and the simulated instruments leave; the
probe, a person's page, runs at the usual priority.

1. The API's rate without a batch: all the clients for --load-seconds.
2. --rounds times: a quiet batch (one POST /api/runs of the full image to all N; the wall
   time from the request to the last result event on a connected page), then the same batch
   while all the clients run: its wall time against the quiet one's, the greedy rate during
   it, every probe's time, every run's result.
3. The station's peak resident memory (VmHWM) over all of it.

Targets: every probe answered in under 1 s, the loaded batch at most 1.03 x the quiet one
(the median of the rounds), every run done, the station under 64 MiB.  Uses the standard
library only; figures need a quiet machine.
"""
import argparse
import json
import os
import signal
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from station_bench import Instruments, Page, ROOT, Station, cpu_seconds, rss_kib  # noqa: E402


class Load:
    """station-load as a child: its per-second counts as they come, its summary at the end.
    The slow and greedy clients run in a session (a scheduling group) of their own at
    --load-nice; the probe, a person's page, in a second one at the usual priority."""

    def __init__(self, program, port, args, seconds=3600):
        common = [program, "--port", str(port), "--seconds", str(seconds)]
        self.process = subprocess.Popen(
            ["nice", "-n", str(args.load_nice), *common, "--slow", str(args.slow),
             "--slow-addresses", "40", "--greedy", str(args.greedy), "--greedy-addresses",
             str(args.greedy_addresses), "--probe-interval-ms", "0"],
            stdout=subprocess.PIPE, text=True, start_new_session=True)
        # At nice 19 in a group of their own the clients take only the time that the station
        # and the instruments leave, as clients on other machines would.
        try:
            with open(f"/proc/{self.process.pid}/autogroup", "w") as group:
                group.write(str(args.load_nice))
        except OSError:
            pass
        self.probe = subprocess.Popen([*common, "--slow", "0", "--greedy", "0",
                                       "--probe-interval-ms", "2000"],
                                      stdout=subprocess.PIPE, text=True, start_new_session=True)
        self.counts, self.summary, self.probes = [], None, None
        self.reader = threading.Thread(target=self.read, daemon=True)
        self.reader.start()

    def read(self):
        for line in self.process.stdout:
            record = json.loads(line)
            if "answered" in record and "t" in record:
                self.counts.append((time.monotonic(), record["answered"]))
            else:
                self.summary = record

    def answered_at(self, moment):
        """The greedy answers counted by the last report before the moment."""
        before = [count for at, count in self.counts if at <= moment]
        return before[-1] if before else 0

    def wait(self, timeout):
        """The clients' summary (with the probe's times) once they have run their time."""
        self.process.wait(timeout=timeout)
        return self.finish()

    def stop(self):
        self.process.send_signal(signal.SIGTERM)
        self.process.wait(timeout=60)
        return self.finish()

    def finish(self):
        self.probe.send_signal(signal.SIGTERM)
        out, _ = self.probe.communicate(timeout=60)
        self.reader.join(timeout=10)
        self.summary["probes"] = json.loads(out.strip().splitlines()[-1])["probes"]
        return self.summary


def batch(station, page, slots, args, work):
    """Fresh instruments behind the slots, one POST for all; (wall seconds, failed runs)."""
    instruments = Instruments(args.sim, args.instruments, work)
    for slot, port in zip(slots, instruments.ports):
        if os.path.lexists(slot):
            os.remove(slot)
        os.symlink(port, slot)
    started = time.monotonic()
    runs = station.post("/api/runs", {"file": "VYRA_FULL.A37", "ports": slots})["runs"]
    ids = [run["id"] for run in runs]
    if not page.wait_for(ids, 600):
        sys.exit("station_door_bench: not every run ended")
    wall = time.monotonic() - started
    failed = [page.results[i] for i in ids if not page.results[i]["ok"]]
    instruments.stop()
    return started, wall, failed


def describe_probes(probes):
    answered = [p for p in probes if p >= 0]
    return (f"{len(probes)} probes, {len(probes) - len(answered)} unanswered, "
            f"slowest {max(answered) * 1000:.0f} ms, median "
            f"{sorted(answered)[len(answered) // 2] * 1000:.0f} ms" if answered else "no probes")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--build", default=os.path.join(ROOT, "build/native"))
    parser.add_argument("--instruments", type=int, default=16)
    parser.add_argument("--slow", type=int, default=500)
    parser.add_argument("--greedy", type=int, default=200)
    parser.add_argument("--greedy-addresses", type=int, default=20)
    parser.add_argument("--per-address", type=int, default=16,
                        help="the station's --max-per-address (0: leave it out, for a station "
                             "without the option)")
    parser.add_argument("--load-seconds", type=float, default=30)
    parser.add_argument("--load-nice", type=int, default=19,
                        help="the clients' nice value: they stand for other machines, and "
                             "here yield to the simulated instruments")
    parser.add_argument("--rounds", type=int, default=3, help="quiet and loaded batches each")
    args = parser.parse_args()
    args.station = os.path.join(args.build, "station/velko-station")
    args.sim = os.path.join(args.build, "sim/vyra-sim")
    args.load = os.path.join(args.build, "bench/station-load")
    args.shelf = os.path.join(args.build, "samples")
    for path in (args.station, args.sim, args.load, args.shelf):
        if not os.path.exists(path):
            sys.exit(f"station_door_bench: {path} is missing (build the native preset)")

    with tempfile.TemporaryDirectory() as work:
        slots = [os.path.join(work, f"slot{i}") for i in range(args.instruments)]
        for slot in slots:
            os.symlink("/nonexistent", slot)
        station = Station(args.station, slots, work, args.shelf,
                          ["--max-per-address", str(args.per_address)] if args.per_address else [])
        try:
            ok = measure(station, slots, args, work)
        finally:
            station.stop()
    print("== all targets met" if ok else "== a target was missed")
    return 0 if ok else 1


def measure(station, slots, args, work):
    """The benchmark against the running station; true when every target is met."""
    ok = True
    pid = station.process.pid
    port = int(station.base.rsplit(":", 1)[1])
    page = Page(station.base)
    print(f"== {args.instruments} paced instruments, the full image each; station on "
          f"127.0.0.1:{port}, --max-per-address {args.per_address}; clients: {args.slow} "
          f"slow from 40 addresses, {args.greedy} greedy from {args.greedy_addresses}, "
          f"the probe from 127.0.0.1", flush=True)

    idle = Load(args.load, port, args, args.load_seconds).wait(args.load_seconds + 120)
    print(f"API without a batch: {idle['greedy_per_second']:.0f} requests/s "
          f"({idle['greedy_answered']} in {idle['seconds']:.1f} s, {idle['greedy_failed']} "
          f"failed); slow connections closed by the station: "
          f"{idle['slow_closed_by_station']} (lived {idle['slow_lifetime_s']['median']:.2f} "
          f"s each, at most {idle['slow_lifetime_s']['max']:.2f}); "
          f"{describe_probes(idle['probes'])}", flush=True)
    ok = ok and all(0 <= p < 1 for p in idle["probes"])

    # Quiet and loaded batches in turn: each loaded one is held against the quiet one just
    # before it, so that what else the machine does weighs on both alike.
    ratios, probes = [], []
    for round_ in range(1, args.rounds + 1):
        _, quiet, failed = batch(station, page, slots, args, work)
        print(f"round {round_}: quiet batch {quiet:.2f} s, {len(failed)} failed"
              + "".join(f"\n     {r['port']}: {r['error']}" for r in failed), flush=True)
        ok = ok and not failed
        load = Load(args.load, port, args)
        time.sleep(3)  # the clients at full strength before the batch starts
        cpu_before = cpu_seconds(pid)
        started, wall, failed = batch(station, page, slots, args, work)
        ended = time.monotonic()
        cpu = cpu_seconds(pid) - cpu_before
        rss_now = rss_kib(pid, "VmRSS") / 1024
        threads = rss_kib(pid, "Threads")
        summary = load.stop()
        rate = (load.answered_at(ended) - load.answered_at(started)) / wall
        ratios.append(wall / quiet)
        probes += summary["probes"]
        print(f"round {round_}: loaded batch {wall:.2f} s = {wall / quiet:.3f} x the quiet "
              f"one, {len(failed)} failed; API during it: {rate:.0f} requests/s "
              f"({summary['greedy_failed']} failed); station CPU {cpu:.1f} s, RSS "
              f"{rss_now:.1f} MiB, {threads} threads; slow connections closed by the "
              f"station: {summary['slow_closed_by_station']}; "
              f"{describe_probes(summary['probes'])}"
              + "".join(f"\n     {r['port']}: {r['error']}" for r in failed), flush=True)
        ok = ok and not failed and all(0 <= p < 1 for p in summary["probes"])
    ratio = sorted(ratios)[len(ratios) // 2]
    print(f"loaded / quiet, the median of {len(ratios)}: {ratio:.3f} (target 1.03); "
          f"every probe: {describe_probes(probes)}")
    ok = ok and ratio <= 1.03

    peak = rss_kib(pid, "VmHWM") / 1024
    print(f"station's peak resident memory: {peak:.1f} MiB (target 64)")
    ok = ok and peak < 64
    return ok


if __name__ == "__main__":
    sys.exit(main())
