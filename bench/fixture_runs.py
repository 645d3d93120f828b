"""bench/run --fixture: a production line whose adapters stay in their fixtures.

One kep-update --watch over 8 kep-sim fixtures (--control), on ports that never
go away. A thread per slot places boards, lets them be updated, and takes them
off at random moments: a tenth of them fail (a wrong verify, a refused block,
or pulled mid-update) and their slot stays empty for a few seconds after them;
a passed board is sometimes left on a while and sometimes swapped for the next
within 50 ms. Half the boards start their application after the reset, half
stay in their bootloader. Every figure comes from what the fixtures saw (their
logs, stamped as the lines arrive) and from the report.
"""
import json
import os
import random
import signal
import statistics
import subprocess
import threading
import time

SLOTS = 8
BASE_BLOCK = "request 0xf2: program 0x8000800,"
# How long a slot waits for a board's first block before it counts it missed.
MISSED_AFTER_S = 5.0


class Fixture:
    """One kep-sim with a --control file; its log lines stamped as they arrive."""

    def __init__(self, kep_sim, workdir, name):
        self.link = os.path.join(workdir, "rig", name)
        self.control = os.path.join(workdir, name + ".ctl")
        with open(self.control, "w") as control:
            control.write("remove\n")  # the fixture starts empty
        self.lines = []  # (monotonic seconds, line)
        self.lock = threading.Lock()
        self.proc = subprocess.Popen(
            [kep_sim, "--link", self.link, "--baud", "115200", "--control", self.control],
            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        if not self.proc.stdout.readline().startswith("kep-sim: ready on"):
            raise SystemExit("kep-sim did not start: " + self.proc.stderr.read())
        threading.Thread(target=self._read_log, daemon=True).start()

    def _read_log(self):
        for line in self.proc.stderr:
            with self.lock:
                self.lines.append((time.monotonic(), line))

    def command(self, text):
        with open(self.control, "a") as control:
            control.write(text + "\n")
        return time.monotonic()

    def since(self, start):
        with self.lock:
            return [(t, line) for t, line in self.lines if t >= start]

    def wait_for(self, start, text, limit_s):
        """The time of the first log line after `start` holding `text`, or None."""
        deadline = time.monotonic() + limit_s
        while time.monotonic() < deadline:
            for t, line in self.since(start):
                if text in line:
                    return t
            time.sleep(0.01)
        return None

    def stop(self):
        self.proc.terminate()
        try:
            self.proc.wait(timeout=5)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()


def update_starts(lines):
    """Blocks 1 sent that are not a re-send of the block 1 just before."""
    starts, previous = [], ""
    for t, line in lines:
        if "request 0x" not in line:
            continue
        if BASE_BLOCK in line and BASE_BLOCK not in previous:
            starts.append(t)
        previous = line
    return starts


def run_slot(fixture, rng, next_board, placings):
    while True:
        board = next_board()
        if board is None:
            return
        kind = "pass"
        if board % 10 == 0:  # a tenth fail, each way in turn
            kind = ("wrong verify", "refused block", "pulled")[board // 10 % 3]
        switches = {"wrong verify": " --wrong-verify", "refused block": " --exception 7"}.get(kind, "")
        after_reset = rng.choice(["bootloader", "app"])
        placed = fixture.command("insert --after-reset %s%s" % (after_reset, switches))
        first = fixture.wait_for(placed, BASE_BLOCK, MISSED_AFTER_S)
        if first is not None and kind == "pulled":
            time.sleep(rng.uniform(0.2, 1.5))
        elif first is not None and kind == "pass":
            fixture.wait_for(placed, "request 0xf4: reset", 60)
            # Left on a while, or swapped for the next board at once.
            time.sleep(rng.choice([0.05, 0.05, 0.2, 0.5, 1.5, 3.0]))
        elif first is not None:
            fixture.wait_for(first, "verify", 60)
            time.sleep(rng.uniform(0.3, 2.0))
        removed = fixture.command("remove")
        placings.append({"slot": fixture.link, "kind": kind, "placed": placed, "removed": removed,
                         "first_block": first})
        if kind == "pass":
            time.sleep(rng.choice([0.05, 0.05, 0.1, 0.3, 0.8]))
        else:
            # A failed board is held until its slot has been empty for about a
            # second (the next one could not be told from it), and a pulled
            # one first runs into the time-out.
            time.sleep(rng.uniform(3.5, 5.0))


def process_sample(pid):
    with open("/proc/%d/status" % pid) as status:
        fields = dict(line.split(":", 1) for line in status)
    return int(fields["VmRSS"].split()[0]), len(os.listdir("/proc/%d/fd" % pid))


def run_fixture(args, workdir, native, numbered_image):
    kep_sim = os.path.join(native, "kep-sim", "kep-sim")
    os.makedirs(os.path.join(workdir, "rig"), exist_ok=True)
    numbering = numbered_image(workdir)
    report = os.path.join(workdir, "fixture.jsonl")
    fixtures, tool = [], None
    try:
        for i in range(SLOTS):
            fixtures.append(Fixture(kep_sim, workdir, "slot%d" % i))
        with open(os.path.join(workdir, "kep-update.err"), "w") as errors:
            tool = subprocess.Popen(
                [os.path.join(native, "kep-update", "kep-update"), "--watch", "--quiet",
                 "--timeout", "2", "--port", os.path.join(workdir, "rig", "slot*"), "--report",
                 report] + numbering, stdout=subprocess.DEVNULL, stderr=errors)
        time.sleep(0.5)
        placings, elapsed, samples = place_boards(args, fixtures, tool)
        time.sleep(1)
        if tool.poll() is None:
            samples.append(("end", process_sample(tool.pid)))
            tool.send_signal(signal.SIGINT)
        status = tool.wait(timeout=15)
    finally:
        if tool is not None and tool.poll() is None:
            tool.kill()
            tool.wait()
        for fixture in fixtures:
            fixture.stop()
    show_figures(args, report, numbering, fixtures, placings, elapsed, samples, status)


def place_boards(args, fixtures, tool):
    """A thread per slot places and removes boards until args.boards were
    placed. Returns the placings, the seconds it took and kep-update's memory
    and descriptors at three moments."""
    boards = {"placed": 0}
    lock = threading.Lock()
    samples = []

    def next_board():
        with lock:
            if boards["placed"] >= args.boards:
                return None
            boards["placed"] += 1
            if boards["placed"] in (10, args.boards // 2, args.boards) and tool.poll() is None:
                samples.append((boards["placed"], process_sample(tool.pid)))
            return boards["placed"]

    placings = []
    started = time.monotonic()
    threads = [threading.Thread(target=run_slot, args=(f, random.Random(args.seed * 100 + i),
                                                      next_board, placings))
               for i, f in enumerate(fixtures)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    return placings, time.monotonic() - started, samples


def show_figures(args, report, numbering, fixtures, placings, elapsed, samples, status):
    by_slot = {f.link: f for f in fixtures}
    missed = twice = updated = 0
    to_first = []
    for p in placings:
        lines = [(t, line) for t, line in by_slot[p["slot"]].since(p["placed"]) if t < p["removed"]]
        starts = update_starts(lines)
        missed += not starts
        twice += len(starts) > 1
        updated += bool(starts)
        if starts:
            to_first.append(starts[0] - p["placed"])
    records = [json.loads(line) for line in open(report)] if os.path.exists(report) else []
    outcomes = {}
    for r in records:
        key = r["operation"] + " " + r["outcome"]
        outcomes[key] = outcomes.get(key, 0) + 1
    numbered = sum(1 for r in records if r.get("serial_number") is not None)
    serial_file = numbering[numbering.index("--serial-file") + 1]
    taken = int(open(serial_file).read()) - 1 if os.path.exists(serial_file) else 0
    passed = [r["seconds"] for r in records if r["operation"] == "update" and r["exit_status"] == 0]
    one_board = statistics.median(passed) if passed else float("nan")

    print("\nfixture: %d slots on ports that stay, %d boards placed and removed (seed %d)" %
          (SLOTS, len(placings), args.seed))
    print("  failing on purpose: %d (%s)" % (
        sum(p["kind"] != "pass" for p in placings),
        ", ".join("%s %d" % (k, sum(p["kind"] == k for p in placings))
                  for k in ("wrong verify", "refused block", "pulled"))))
    print("  boards missed %d, updated twice in one placing %d, updated %d" % (missed, twice, updated))
    print("  serial numbers taken %d (serial file), in records %d; boards updated %d" %
          (taken, numbered, updated))
    if to_first:
        print("  placing to first block: median %.3f s, slowest %.3f s" %
              (statistics.median(to_first), max(to_first)))
    print("  %.1f boards per minute over %.1f s; 8 x one board (median %.2f s) would be %.1f" %
          (updated / elapsed * 60, elapsed, one_board, SLOTS * 60 / one_board))
    print("  exit status %d; records %s" % (status, outcomes))
    for when, (rss_kib, fds) in samples:
        print("  at board %s: resident memory %.1f MiB, %d open descriptors" %
              (when, rss_kib / 1024, fds))
