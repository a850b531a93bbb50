#!/usr/bin/env python3
"""The soak run behind tools/soak.sh (which builds, lays out the installation and cleans up).

Starts the installed service, follows a seeded random plan of faults for the companion and the
scripts, samples brenlow.exe every 10 s, stops the service and sums everything up in one table.
Exit code 0 when every limit held, 1 when one did not, 2 when the run itself broke.

The plan: the first minute exercises every script fault at once with a healthy companion (so the
heap reaches what the largest outputs need); the second minute is calm and gives the baseline;
then come random phases of companion and script faults; the last minute is calm again and is
compared with the baseline.
"""

import argparse
import collections
import os
import random
import re
import statistics
import subprocess
import sys
import time

SERVICE = "TevrinInternalSvc"
SAMPLE_EVERY = 10.0
CALM = 60.0  # length of the warm-up, the baseline and the final calm phase
COMPANION_FAULTS = ["healthy", "reply0", "silent", "noread", "nopipe", "killed"]
# Scripts and periods as the service runs them.
PERIODS = {
    "task.upstream.sync": 3, "task.listener.scan": 60, "task.reach.probe": 3,
    "task.host.inventory": 60, "task.unix.facts": 60, "task.signin.audit": 300,
    "task.web.uptime": 60, "task.directory.accounts": 600, "task.web.names": 3600,
    "task.rule.actions": 60, "task.integrity.scan": 60, "task.netdev.poll": 60,
}
# The script faults: which script, and the stand-in's words for it.
SCRIPT_FAULTS = {
    "chatty": ("task.upstream.sync", "stdout=2097152 stderr=262144"),
    "slow": ("task.reach.probe", "sleep=4500"),  # runs longer than its 3 s period
    "failing": ("task.rule.actions", "stderr=1024 exit=3"),
}
LIMIT_SC_QUERY_S = 2.0
LIMIT_STOP_S = 5.0
LIMIT_RSS_GROWTH_KIB = 1024
LIMIT_RUN_SHARE = 0.9


def now_us():
    # The stand-ins stamp their logs with the performance counter, which Wine takes from this.
    return time.clock_gettime_ns(time.CLOCK_MONOTONIC_RAW) // 1000


def wine(*args, timeout=30):
    """Runs a Windows program in the bed; returns (exit code, stdout, seconds) or raises."""
    began = time.monotonic()
    done = subprocess.run(["wine", *args], stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                          stderr=subprocess.DEVNULL, timeout=timeout)
    return done.returncode, done.stdout.decode("latin-1"), time.monotonic() - began


def service_state():
    code, out, seconds = wine("sc", "query", SERVICE)
    match = re.search(r"STATE\s*:\s*\d+\s+(\w+)", out)
    return (match.group(1) if code == 0 and match else None), seconds


def linux_pid(prefix):
    """The Linux process of brenlow.exe in this bed's prefix (others run it in theirs)."""
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open(f"/proc/{entry}/cmdline", "rb") as f:
                # Wine writes the Windows command line over the program's name.
                program = f.read().split(b"\0")[0].lower()
            if b"\\brenlow.exe" not in program:
                continue
            with open(f"/proc/{entry}/environ", "rb") as f:
                if ("WINEPREFIX=" + prefix).encode() in f.read().split(b"\0"):
                    return int(entry)
        except OSError:
            continue
    return None


def running(pid):
    """Whether the Linux process still runs (an ended one may linger as a zombie)."""
    try:
        with open(f"/proc/{pid}/stat") as f:
            return f.read().rsplit(")", 1)[1].split()[0] != "Z"
    except OSError:
        return False


def rss_kib(pid):
    try:
        with open(f"/proc/{pid}/status") as f:
            for line in f:
                if line.startswith("VmRSS:"):
                    return int(line.split()[1])
    except OSError:
        pass
    return None


def process_stats(proc_stats):
    code, out, _ = wine(proc_stats, "brenlow.exe")
    match = re.search(r"pid=(\d+) handles=(\d+) threads=(\d+) working_set_kib=(\d+)", out)
    if code != 0 or not match:
        return None
    return {k: int(v) for k, v in zip(("pid", "handles", "threads", "ws"), match.groups())}


def make_plan(rng, seconds):
    """Phases (start, end, companion fault, set of script faults) covering the whole run."""
    all_scripts = frozenset(SCRIPT_FAULTS)
    plan = [(0.0, CALM, "healthy", all_scripts), (CALM, 2 * CALM, "healthy", frozenset())]
    t, last = 2 * CALM, seconds - CALM
    # The companion's faults come in shuffled rounds, so a long enough run meets each of them.
    order = []
    while t < last:
        end = min(last, t + rng.uniform(40, 100))
        if last - end < 30:
            end = last
        if not order:
            order = rng.sample(COMPANION_FAULTS, len(COMPANION_FAULTS))
        faults = frozenset(s for s in sorted(SCRIPT_FAULTS) if rng.random() < 0.5)
        plan.append((t, end, order.pop(), faults))
        t = end
    plan.append((max(last, 2 * CALM), max(seconds, 3 * CALM), "healthy", frozenset()))
    return plan


class Soak:
    def __init__(self, args):
        self.args = args
        self.install = args.install_dir
        self.scripts = os.path.join(args.web_dir, "scripts")
        self.samples = []
        self.sc_failures = []
        self.outside_kills = []  # times (us) of kills from outside

    def set_companion(self, fault):
        mode = {"healthy": "reply1", "killed": "reply1"}.get(fault, fault)
        with open(os.path.join(self.install, "qrx_proxy.mode"), "w") as f:
            f.write(mode + "\n")

    def set_scripts(self, faults):
        for name in PERIODS:
            words = ""
            for fault in faults:
                script, fault_words = SCRIPT_FAULTS[fault]
                if script == name:
                    words = f"\n// standin: {fault_words}"
            with open(os.path.join(self.scripts, name + ".php"), "w") as f:
                f.write(f"<?php // {name}{words}\n")

    def sample(self, t):
        stats = process_stats(self.args.proc_stats)
        try:
            state, seconds = service_state()
        except subprocess.TimeoutExpired:
            state, seconds = None, 30.0
        if state != "RUNNING" or seconds > LIMIT_SC_QUERY_S:
            self.sc_failures.append((round(t), state, round(seconds, 2)))
        row = {"t": t, "rss": rss_kib(self.pid), "sc": seconds, "state": state}
        row.update(stats or {"handles": None, "threads": None, "ws": None})
        self.samples.append(row)
        print(f"  {t:6.0f} s  handles {row['handles']}  threads {row['threads']}  "
              f"working set {row['ws']} KiB  resident {row['rss']} KiB  "
              f"sc query {seconds:.2f} s {state}", flush=True)

    def run(self):
        rng = random.Random(self.args.seed)
        seconds = self.args.minutes * 60.0
        plan = self.plan = make_plan(rng, seconds)
        print(f"soak: seed {self.args.seed} (replay with SOAK_SEED={self.args.seed}), "
              f"{self.args.minutes} min; plan:")
        for start, end, fault, scripts in plan:
            print(f"  {start:5.0f}-{end:4.0f} s  companion {fault:8s} scripts "
                  f"{', '.join(sorted(scripts)) or 'normal'}")

        self.trace_offset = os.path.getsize(self.args.trace)
        self.set_companion("healthy")
        self.set_scripts(plan[0][3])
        code, _, _ = wine(self.args.exe, "--install")
        if code != 0:
            raise RuntimeError(f"--install failed with {code}")
        self.started_us = now_us()
        began = time.monotonic()
        code, _, _ = wine("sc", "start", SERVICE)
        if code != 0:
            raise RuntimeError(f"sc start failed with {code}")
        for _ in range(100):
            self.pid = linux_pid(self.args.prefix)
            if self.pid:
                break
            time.sleep(0.1)
        if not self.pid:
            raise RuntimeError("brenlow.exe does not run in this prefix")

        phase = -1
        next_sample = began + SAMPLE_EVERY
        next_kill = None
        while True:
            t = time.monotonic() - began
            if t >= seconds:
                break
            current = max(i for i, p in enumerate(plan) if p[0] <= t)
            if current != phase:
                phase = current
                _, _, fault, scripts = plan[phase]
                self.set_companion(fault)
                self.set_scripts(scripts)
                next_kill = time.monotonic() + rng.uniform(5, 15) if fault == "killed" else None
            if next_kill is not None and time.monotonic() >= next_kill:
                self.outside_kills.append(now_us())
                wine("taskkill", "/f", "/im", "qrx_proxy.exe")
                next_kill = time.monotonic() + rng.uniform(15, 25)
            if time.monotonic() >= next_sample:
                self.sample(time.monotonic() - began)
                next_sample += SAMPLE_EVERY
            time.sleep(0.2)

        self.set_companion("healthy")
        self.stop_us = now_us()
        stop_began = time.monotonic()
        wine("sc", "stop", SERVICE)
        while running(self.pid) and time.monotonic() - stop_began < 60:
            time.sleep(0.02)
        self.stop_seconds = time.monotonic() - stop_began
        state, _ = service_state()
        self.stopped_state = state
        return self.report(seconds)

    def events(self):
        with open(self.args.trace, "rb") as f:
            f.seek(self.trace_offset)
            text = f.read().decode("latin-1")
        counts = collections.Counter()
        for level, message in re.findall(
                r':(trace|warn|err):eventlog:ReportEventW L"(.*)"', text):
            counts[({"trace": "Information", "warn": "Warning", "err": "Error"}[level],
                    message)] += 1
        return counts

    def script_runs(self):
        """Per script: runs started in the window and what period and run time predict."""
        path = os.path.join(self.args.php_dir, "standin-runs.log")
        runs = collections.defaultdict(list)
        running = {}  # pid -> the run it started; process ids are reused, so match in order
        with open(path, encoding="latin-1") as f:
            for line in f:
                fields = line.rstrip("\n").split("\t")
                if len(fields) < 4:
                    continue
                kind, pid, us = fields[0], fields[1], int(fields[3])
                if kind == "start":
                    match = re.search(r"(task\.[a-z.]+)\.php", fields[4] if len(fields) > 4 else "")
                    running.pop(pid, None)
                    if match and self.started_us <= us <= self.stop_us:
                        run = [us, None]
                        runs[match.group(1)].append(run)
                        running[pid] = run
                elif kind == "end" and pid in running:
                    running.pop(pid)[1] = us
        window = (self.stop_us - self.started_us) / 1e6
        table = {}
        for name, period in PERIODS.items():
            mine = sorted(runs.get(name, []))
            durations = [(e - s) / 1e6 for s, e in mine if e]
            run_time = statistics.mean(durations) if durations else 0.0
            # The first run comes after a random delay of at most a tenth of the period; then
            # each cycle is one run and one period.
            first = (mine[0][0] - self.started_us) / 1e6 if mine else period / 10
            predicted = 0 if first > window else 1 + int((window - first - run_time) //
                                                         (period + run_time))
            gaps = [(b[0] - a[1]) / 1e6 for a, b in zip(mine, mine[1:]) if a[1]]
            pause = statistics.mean(gaps) if gaps else None
            table[name] = (len(mine), max(predicted, 0), run_time, pause)
        return table

    def report(self, seconds):
        ok = True
        rows = []

        def row(what, value, limit, good):
            nonlocal ok
            ok = ok and good
            rows.append((what, value, limit, "ok" if good else "FAIL"))

        base = [s for s in self.samples if CALM <= s["t"] < 2 * CALM]
        last = [s for s in self.samples if s["t"] >= seconds - CALM]
        valid = base and last and all(s["handles"] is not None and s["rss"] is not None
                                      for s in base + last)
        if not valid:
            row("samples", f"{len(self.samples)} (incomplete)", "all readable", False)
        else:
            for key, label in (("handles", "handles"), ("threads", "threads")):
                b, l = [s[key] for s in base], [s[key] for s in last]
                row(f"{label} (2nd min -> last min)", f"{min(b)}-{max(b)} -> {min(l)}-{max(l)}",
                    "last min <= 2nd max", min(l) <= max(b))
            b, l = statistics.median(s["rss"] for s in base), statistics.median(
                s["rss"] for s in last)
            row("resident KiB (medians)", f"{b:.0f} -> {l:.0f} ({l - b:+.0f})",
                f"<= +{LIMIT_RSS_GROWTH_KIB}", l - b <= LIMIT_RSS_GROWTH_KIB)
            wb, wl = statistics.median(s["ws"] for s in base), statistics.median(
                s["ws"] for s in last)
            row("working set KiB (medians)", f"{wb:.0f} -> {wl:.0f}", "(shown)", True)
        slowest = max((s["sc"] for s in self.samples), default=0.0)
        row("sc query (slowest, failures)", f"{slowest:.2f} s, {len(self.sc_failures)}",
            f"RUNNING, <= {LIMIT_SC_QUERY_S:.0f} s", not self.sc_failures)
        row("stop", f"{self.stop_seconds:.2f} s, {self.stopped_state}",
            f"STOPPED, <= {LIMIT_STOP_S:.0f} s",
            self.stop_seconds <= LIMIT_STOP_S and self.stopped_state == "STOPPED")

        for name, (actual, predicted, run_time, pause) in self.script_runs().items():
            pause_text = f", pause {pause:.2f} s" if pause is not None else ""
            row(f"runs {name} ({PERIODS[name]} s)", f"{actual} (run {run_time:.2f} s{pause_text})",
                f">= 90% of {predicted}", actual >= LIMIT_RUN_SHARE * predicted)

        events = self.events()
        # Kills whose Warning the service left out for repeating are in the count it wrote later.
        monitor_kills = 0
        for (lvl, msg), n in events.items():
            left_out = re.match(r'(\d+) entries like \\"(.*)\\" were left out', msg)
            if left_out:
                if "Drop qrx_proxy" in left_out.group(2):
                    monitor_kills += int(left_out.group(1)) * n
            elif "Drop qrx_proxy" in msg:
                monitor_kills += n
        starts = []
        with open(os.path.join(self.install, "qrx_proxy.log"), encoding="latin-1") as f:
            for line in f:
                parts = line.split()
                if len(parts) >= 3 and parts[0] == "start" and parts[2].isdigit():
                    if self.started_us <= int(parts[2]) <= self.stop_us:
                        starts.append(int(parts[2]))
        delays = []
        for kill in self.outside_kills:
            after = [s for s in starts if s > kill]
            if after:
                delays.append((min(after) - kill) / 1e6)
        row("companion kills (monitor, outside)", f"{monitor_kills}, {len(self.outside_kills)}",
            "(shown)", True)
        restart = (f"{min(delays):.1f}-{max(delays):.1f} s after an outside kill"
                   if delays else "")
        row("companion starts", f"{len(starts)} {restart}".strip(),
            "every outside kill restarted", len(delays) == len(self.outside_kills))

        # Companion starts in each kind of phase (a start belongs to the phase it falls in).
        per_fault = collections.Counter()
        for start, end, fault, _ in self.plan[1:]:
            per_fault[fault] += sum(1 for s in starts if self.started_us + start * 1e6 <= s <
                                    self.started_us + end * 1e6)
        row("companion starts per phase kind",
            ", ".join(f"{fault} {per_fault[fault]}" for fault in COMPANION_FAULTS
                      if any(p[2] == fault for p in self.plan[1:])), "(shown)", True)

        width = max(len(r[0]) for r in rows)
        vwidth = max(len(r[1]) for r in rows)
        lwidth = max(len(r[2]) for r in rows)
        print(f"\nsoak summary (seed {self.args.seed}, {self.args.minutes} min, "
              f"{len(self.samples)} samples)")
        print(f"  {'measure':{width}}  {'value':{vwidth}}  {'limit':{lwidth}}  verdict")
        for what, value, limit, verdict in rows:
            print(f"  {what:{width}}  {value:{vwidth}}  {limit:{lwidth}}  {verdict}")
        print("\nevent-log entries during the run, by text:")
        for (level, message), n in sorted(events.items(), key=lambda e: -e[1]):
            print(f"  {n:5d}  {level}: {message}")
        print(f"\nsoak {'PASSED' if ok else 'FAILED'} (seed {self.args.seed})")
        return 0 if ok else 1


def main():
    parser = argparse.ArgumentParser()
    for name in ("install_dir", "php_dir", "web_dir", "trace", "exe", "proc_stats", "prefix"):
        parser.add_argument("--" + name.replace("_", "-"), dest=name, required=True)
    parser.add_argument("--minutes", type=float, default=10)
    parser.add_argument("--seed", type=int, required=True)
    args = parser.parse_args()
    if args.minutes < 3:
        parser.error("a soak needs at least 3 minutes (warm-up, baseline, final calm)")
    try:
        return Soak(args).run()
    except (RuntimeError, subprocess.TimeoutExpired, OSError) as error:
        print(f"soak: the run broke: {error}", file=sys.stderr)
        return 2


if __name__ == "__main__":
    sys.exit(main())
