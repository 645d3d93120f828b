"""bench/run --fixture: a production line whose adapters stay in their fixtures,
its boards placed and taken off as an operator does.

One kep-update --watch (--timeout 2, serial numbers, its screen's tally on
standard error) over 8 kep-sim fixtures (--control) on ports that never go
away. A thread per slot places boards until --boards were placed; each board
is taken off 0.3-2.5 s after the station has shown its result (a failed one
once its time-out has run out), and the next follows 0.3-1.5 s after a
removal. The mix, drawn from --seed: good blank boards; boards that fail (a
wrong verify, a refused block); boards pulled at a random block, the next
placed within the time-out; boards that freeze after a block and stay on a
while; boards with one block slower than the time-out; and boards placed back
that already hold the image with a number of their own. Half the blank boards
run their application after the reset, half stay in their bootloader.

Each board leaves its whole flash in a file when it is taken off (kep-sim's
--dump-on-remove). With what the bench did (each placing's kind, slot, placed
and removed times) that is the ground truth the station's records are held
against: a record belongs to the placing on its port whose span covers its
start.
"""
import bisect
import datetime
import json
import os
import random
import re
import signal
import statistics
import subprocess
import threading
import time

SLOTS = 8
STATION_TIMEOUT_S = 2
SWAP_S = (0.3, 1.5)  # a removal to the next placing: a physical swap takes 0.3 s at least
RESULT_TO_REMOVAL_S = (0.3, 2.5)  # the operator sees the result, then takes the board off
SLOW_ACK_MS = 3000  # a block slower than the station's time-out
LOOK_S = 5.0  # how long an operator waits for a placed board to be taken up
HELD_NUMBERS_FROM = 900000  # boards placed back with a number of their own
FLASH_BASE = 0x08000800
BLOCK = 1024
# Twenty boards' kinds; each round of twenty is shuffled.
MIX = (["good"] * 13 + ["holds the image"] * 2 +
       ["wrong verify", "refused block", "pulled", "frozen", "slow block"])
KINDS = ("good", "holds the image", "wrong verify", "refused block", "pulled", "frozen",
         "slow block")
NEEDS_UPDATE = set(KINDS) - {"holds the image"}
GRACE_S = 0.05  # the report's millisecond stamps against the bench's clock
YIELD = re.compile(r"first-pass yield\s*([\d.]+)\s*%")


class Fixture:
    """One kep-sim with a --control file; its log lines stamped as they arrive."""

    def __init__(self, kep_sim, workdir, name):
        self.link = os.path.join(workdir, "rig", name)
        self.control = os.path.join(workdir, name + ".ctl")
        with open(self.control, "w") as control:
            control.write("remove\n")  # the fixture starts empty
        self.times, self.lines = [], []  # monotonic seconds, and the line then
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
                self.times.append(time.monotonic())
                self.lines.append(line)

    def between(self, start, end=float("inf")):
        with self.lock:
            first = bisect.bisect_left(self.times, start)
            last = bisect.bisect_right(self.times, end)
            return list(zip(self.times[first:last], self.lines[first:last]))

    def wait_for(self, start, text, limit_s, quiet_s=None):
        """The time of the first log line after `start` holding `text`; None
        after `limit_s`, or once no request has come for `quiet_s`."""
        deadline = time.monotonic() + limit_s
        with self.lock:
            at = bisect.bisect_left(self.times, start)
        last_request = start
        while time.monotonic() < deadline:
            with self.lock:
                new = list(zip(self.times[at:], self.lines[at:]))
            at += len(new)
            for t, line in new:
                if text in line:
                    return t
                if "request 0x" in line:
                    last_request = t
            if quiet_s is not None and time.monotonic() - last_request > quiet_s:
                return None
            time.sleep(0.01)
        return None

    def command(self, text, confirmed_by):
        """Appends a command; the time kep-sim said it took it (else of the write)."""
        written = time.monotonic()
        with open(self.control, "a") as control:
            control.write(text + "\n")
        return self.wait_for(written, confirmed_by, 2.0) or written

    def stop(self):
        self.proc.terminate()
        try:
            self.proc.wait(timeout=5)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()


def program_line(block):
    return "request 0xf2: program %#x," % (FLASH_BASE + (block - 1) * BLOCK)


def update_starts(lines):
    """Blocks 1 sent that are not a re-send of the block 1 just before."""
    starts, previous = [], ""
    for t, line in lines:
        if "request 0x" not in line:
            continue
        if program_line(1) in line and program_line(1) not in previous:
            starts.append(t)
        previous = line
    return starts


class Line:
    """What every slot shares: the image, the boards' kinds, the placings."""

    def __init__(self, args, workdir, numbering, tool):
        self.image = open(numbering[numbering.index("--image") + 1], "rb").read()
        self.field = int(numbering[numbering.index("--serial-number") + 1], 16) - FLASH_BASE
        self.blocks = -(-len(self.image) // BLOCK)
        self.dumps = os.path.join(workdir, "dumps")
        os.makedirs(self.dumps, exist_ok=True)
        self.workdir = workdir
        rounds = random.Random(args.seed)
        self.kinds = []
        while len(self.kinds) < args.boards:
            kinds = list(MIX)
            rounds.shuffle(kinds)
            self.kinds += kinds
        self.kinds = self.kinds[:args.boards]
        self.tool = tool
        self.lock = threading.Lock()
        self.placed = 0
        self.placings = []
        self.samples = []  # (board, (resident KiB, descriptors)) of kep-update

    def next_board(self):
        with self.lock:
            if self.placed >= len(self.kinds):
                return None
            self.placed += 1
            if self.placed in (10, len(self.kinds) // 2, len(self.kinds)) and self.tool.poll() is None:
                self.samples.append((self.placed, process_sample(self.tool.pid)))
            return self.placed, self.kinds[self.placed - 1]

    def held_image(self, number):
        """A --load file: the image as an update leaves it, this number in its field."""
        flash = bytearray(self.image + bytes(-len(self.image) % BLOCK))
        flash[self.field:self.field + 4] = number.to_bytes(4, "little")
        path = os.path.join(self.workdir, "held-%d.bin" % number)
        open(path, "wb").write(flash)
        return path

    def number_in(self, flash):
        """The number in a flash's field; None when it is blank or unknown."""
        field = flash[self.field:self.field + 4] if flash else b""
        return None if len(field) < 4 or field in (b"\xff" * 4, b"\0" * 4) else int.from_bytes(
            field, "little")

    def holds_image(self, flash):
        """Whether a flash holds the padded image with a number in its field."""
        padded = self.image + bytes(-len(self.image) % BLOCK)
        f = self.field
        return (flash is not None and self.number_in(flash) is not None and
                flash[:f] == padded[:f] and flash[f + 4:len(padded)] == padded[f + 4:])


def run_slot(fixture, rng, line):
    """Places boards on one fixture and takes them off as an operator does."""
    while True:
        taken = line.next_board()
        if taken is None:
            return
        board, kind = taken
        p = {"board": board, "kind": kind, "slot": fixture.link,
             "after_reset": rng.choice(["bootloader", "app"]), "first_block": None,
             "dump": os.path.join(line.dumps, "board%03d.bin" % board)}
        switches = ["--after-reset", p["after_reset"], "--dump-on-remove", p["dump"]]
        if kind == "wrong verify":
            switches.append("--wrong-verify")
        elif kind == "refused block":  # past block 1, which carries the number
            p["block"] = rng.randint(2, line.blocks)
            switches += ["--exception", str(p["block"])]
        elif kind == "pulled":
            p["block"] = rng.randint(1, line.blocks)
        elif kind == "frozen":
            p["block"] = rng.randint(1, line.blocks - 1)
            switches += ["--freeze-after", str(p["block"])]
        elif kind == "slow block":
            p["block"] = rng.randint(1, line.blocks)
            switches += ["--late-ack", "%d:%d" % (p["block"], SLOW_ACK_MS)]
        elif kind == "holds the image":
            p["number"] = HELD_NUMBERS_FROM + board
            switches += ["--load", line.held_image(p["number"])]
        placed = p["placed"] = fixture.command("insert " + " ".join(switches),
                                               "control: new board placed")
        tend_board(fixture, rng, p, placed)
        p["removed"] = fixture.command("remove", "control: board removed")
        with line.lock:
            line.placings.append(p)
        time.sleep(rng.uniform(*SWAP_S))


def tend_board(fixture, rng, p, placed):
    """Waits, as the operator at the fixture would, until the board comes off."""
    kind, quiet = p["kind"], STATION_TIMEOUT_S + 1.0
    reaction = rng.uniform(*RESULT_TO_REMOVAL_S)
    if kind == "holds the image":
        if fixture.wait_for(placed, "request 0xf3: verify", LOOK_S) is not None:
            time.sleep(reaction)
        return
    first = p["first_block"] = fixture.wait_for(placed, program_line(1), LOOK_S)
    if first is None:
        return  # never taken up: the operator gives up on it
    if kind == "pulled":
        fixture.wait_for(placed, program_line(p["block"]), 60, quiet)
        return
    if kind == "frozen":
        fixture.wait_for(first, "fault: answering nothing after", 60, quiet)
        time.sleep(STATION_TIMEOUT_S + reaction)  # it shows nothing until the time-out
        return
    if kind == "slow block":
        fixture.wait_for(placed, "fault: ack of block %d " % p["block"], 60, quiet)
        time.sleep(STATION_TIMEOUT_S + reaction)
        return
    result = "request 0xf4: reset" if kind == "good" else "request 0xf3: verify"
    fixture.wait_for(first, result, 60, quiet)
    time.sleep(reaction)


def process_sample(pid):
    with open("/proc/%d/status" % pid) as status:
        fields = dict(line.split(":", 1) for line in status)
    return int(fields["VmRSS"].split()[0]), len(os.listdir("/proc/%d/fd" % pid))


def run_fixture(args, workdir, native, tool_path, numbered_image):
    kep_sim = os.path.join(native, "kep-sim", "kep-sim")
    os.makedirs(os.path.join(workdir, "rig"), exist_ok=True)
    numbering = numbered_image(workdir)
    report = os.path.join(workdir, "fixture.jsonl")
    screen = os.path.join(workdir, "kep-update.err")
    fixtures, tool = [], None
    try:
        for i in range(SLOTS):
            fixtures.append(Fixture(kep_sim, workdir, "slot%d" % i))
        with open(screen, "w") as errors:
            tool = subprocess.Popen(
                [tool_path, "--watch", "--timeout", str(STATION_TIMEOUT_S),
                 "--port", os.path.join(workdir, "rig", "slot*"), "--report", report] + numbering,
                stdout=subprocess.DEVNULL, stderr=errors)
        time.sleep(0.5)
        line = Line(args, workdir, numbering, tool)
        started = time.monotonic()
        threads = [threading.Thread(target=run_slot,
                                    args=(f, random.Random(args.seed * 100 + i), line))
                   for i, f in enumerate(fixtures)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        elapsed = time.monotonic() - started
        time.sleep(1.5)
        if tool.poll() is None:
            line.samples.append(("end", process_sample(tool.pid)))
            tool.send_signal(signal.SIGINT)
        status = tool.wait(timeout=15)
    finally:
        if tool is not None and tool.poll() is None:
            tool.kill()
            tool.wait()
        for fixture in fixtures:
            fixture.stop()
    serial_file = numbering[numbering.index("--serial-file") + 1]
    show_figures(args, line, fixtures, elapsed, status, report, screen, tool_path, serial_file)


def wall_of(stamp):
    """A record's "2026-12-06T23:59:01.123Z" in seconds since the epoch."""
    moment = datetime.datetime.strptime(stamp, "%Y-%m-%dT%H:%M:%S.%fZ")
    return moment.replace(tzinfo=datetime.timezone.utc).timestamp()


def match_records(placings, records, to_wall):
    """Gives each record the placing on its port whose span covers its start,
    or else (r["early"]) the one its end falls in: a record stamped from a
    look that began before the board was placed. None: outside every placing."""
    by_port = {}
    for p in placings:
        by_port.setdefault(p["slot"], []).append(p)
    for r in records:
        started, ended = wall_of(r["started"]), wall_of(r["ended"])
        r["placing"], r["early"] = None, False
        spans = [(p, to_wall(p["placed"]) - GRACE_S, to_wall(p["removed"]) + GRACE_S)
                 for p in by_port.get(r["port"], [])]
        for p, placed, removed in spans:
            if placed <= started <= removed:
                r["placing"] = p
        for p, placed, removed in spans:
            if r["placing"] is None and started < placed <= ended <= removed:
                r["placing"], r["early"] = p, True
        if r["placing"] is not None:
            r["placing"]["records"].append(r)


def in_another_board(line, r):
    """Whether a record's number is not the one its placing's board left with
    (a board whose block 1 was never acknowledged cannot hold it)."""
    held = line.number_in(r["placing"]["flash"])
    return held != r["serial_number"] and not (held is None and r["blocks_acknowledged"] == 0)


def station_yield(screen):
    """The first-pass yield on the station's last "watch ended:" line."""
    ended = [l for l in open(screen, errors="replace") if "watch ended:" in l]
    found = YIELD.search(ended[-1]) if ended else None
    return (found.group(1) + " %") if found else "not shown"


def summarized_yield(tool_path, report, serial_file):
    for extra in (["--serial-file", serial_file], []):
        run = subprocess.run([tool_path, "--summarize", report] + extra, capture_output=True,
                             text=True)
        found = YIELD.search(run.stdout)
        if found:
            return found.group(1) + " %" + ("" if extra else " (without --serial-file)")
    return "not shown (status %d: %s)" % (run.returncode, run.stderr.strip()[:120])


def counts_text(counts):
    return ", ".join("%s %d" % item for item in counts.items()) or "none"


def show_figures(args, line, fixtures, elapsed, status, report, screen, tool_path, serial_file):
    placings = sorted(line.placings, key=lambda p: p["board"])
    offset = time.time() - time.monotonic()

    def to_wall(t):
        return t + offset

    by_slot = {f.link: f for f in fixtures}
    for p in placings:
        p["records"] = []
        p["flash"] = open(p["dump"], "rb").read() if os.path.exists(p["dump"]) else None
        p["starts"] = update_starts(by_slot[p["slot"]].between(p["placed"], p["removed"]))
    records = [json.loads(l) for l in open(report)] if os.path.exists(report) else []
    match_records(placings, records, to_wall)

    good = [p for p in placings if p["kind"] == "good"]
    missed = [p for p in good if not line.holds_image(p["flash"])]
    outside = [r for r in records if r["placing"] is None]
    strangers = [r for r in records if r["placing"] is not None and r.get("serial_number") is not None
                 and in_another_board(line, r)]
    no_record = [p for p in placings if not p["records"]]
    several = [p for p in placings if len(p["records"]) > 1]
    numbers = {}
    for r in records:
        if r.get("serial_number") is not None:
            numbers[r["serial_number"]] = numbers.get(r["serial_number"], 0) + 1
    twice = sorted(n for n, count in numbers.items() if count > 1)
    needing = [p for p in placings if p["kind"] in NEEDS_UPDATE]

    print("\nfixture: %d slots on ports that stay, %d boards placed (seed %d), kep-update --watch "
          "--timeout %d" % (SLOTS, len(placings), args.seed, STATION_TIMEOUT_S))
    print("  boards: " + counts_text({k: sum(p["kind"] == k for p in placings) for k in KINDS}))
    print("  good boards missed (removed without the image and a number)   %d of %d" %
          (len(missed), len(good)))
    print("  records given to the wrong board                               %d "
          "(number not in its board's flash %d, outside any placing %d)" %
          (len(strangers) + len(outside), len(strangers), len(outside)))
    print("  placings without exactly one record                            %d "
          "(none %d, two or more %d)" % (len(no_record) + len(several), len(no_record), len(several)))
    print("  records started before their board was placed                  %d" %
          sum(r["early"] for r in records))
    print("  serial numbers in two or more records                          %d%s" %
          (len(twice), (" (" + ", ".join(map(str, twice[:10])) + ")") if twice else ""))
    print("  boards updated twice in one placing (the fixtures' logs)       %d" %
          sum(len(p["starts"]) > 1 for p in placings))
    print("  first-pass yield: the station's screen %s; --summarize %s; ground truth %.1f %% "
          "(%d good of %d boards that needed an update)" %
          (station_yield(screen), summarized_yield(tool_path, report, serial_file),
           100.0 * len(good) / len(needing) if needing else 0.0, len(good), len(needing)))
    print("  records per kind of board (placings with no record as \"none\"):")
    for kind in KINDS:
        mine = [p for p in placings if p["kind"] == kind]
        if not mine:
            continue
        outcomes = {}
        for p in mine:
            for r in p["records"] or [None]:
                key = "none" if r is None else "%s %s" % (r["operation"], r["outcome"])
                outcomes[key] = outcomes.get(key, 0) + 1
        print("    %-16s %3d: %s" % (kind, len(mine), counts_text(outcomes)))
    if outside:
        print("    outside any placing: " + counts_text(
            {k: sum(r["operation"] + " " + r["outcome"] == k for r in outside)
             for k in sorted({r["operation"] + " " + r["outcome"] for r in outside})}))

    taken = int(open(serial_file).read()) - 1 if os.path.exists(serial_file) else 0
    print("  serial numbers taken %d (serial file), in records %d" % (taken, sum(numbers.values())))
    to_first = [p["first_block"] - p["placed"] for p in needing if p["first_block"] is not None]
    if to_first:
        print("  placing to first block: median %.3f s, slowest %.3f s (%d boards)" %
              (statistics.median(to_first), max(to_first), len(to_first)))
    passed = [r["seconds"] for r in records if r["operation"] == "update" and r["exit_status"] == 0]
    programmed = sum(line.holds_image(p["flash"]) for p in good)
    print("  per minute: %.1f boards placed, %.1f good boards programmed, over %.1f s%s" %
          (len(placings) / elapsed * 60, programmed / elapsed * 60, elapsed,
           "; one passed update median %.2f s" % statistics.median(passed) if passed else ""))
    print("  exit status %d; records %s" % (status, counts_text(
        {k: sum(r["operation"] + " " + r["outcome"] == k for r in records)
         for k in sorted({r["operation"] + " " + r["outcome"] for r in records})})))
    for when, (rss_kib, fds) in line.samples:
        print("  at board %s: resident memory %.1f MiB, %d open descriptors" %
              (when, rss_kib / 1024, fds))
    show_faults(line, placings, missed, strangers, outside, no_record, several, to_wall)


def show_faults(line, placings, missed, strangers, outside, no_record, several, to_wall):
    """The first placings the station got wrong, for whoever looks into it."""
    first = time.monotonic() if not placings else min(p["placed"] for p in placings)

    def clock(t):
        return "%6.2f" % (t - first)

    def record_text(r):
        return "%s %s%s at %s" % (r["operation"], r["outcome"],
                                  "" if r.get("serial_number") is None else
                                  " #%d" % r["serial_number"],
                                  clock(wall_of(r["started"]) - to_wall(0)))

    wrong = {id(p) for p in missed + no_record + several} | {id(r["placing"]) for r in strangers}
    shown = [p for p in placings if id(p) in wrong][:12]
    if not shown and not outside:
        return
    print("  first faulty placings (seconds from the first placing; records by their start):")
    for p in shown:
        what = p["kind"] + (" at block %d" % p["block"] if "block" in p else "")
        number = line.number_in(p["flash"])
        print("    board %3d %-6s %-24s %s-%s s, after reset %-10s left with %s, %s; records: %s" %
              (p["board"], os.path.basename(p["slot"]), what, clock(p["placed"]),
               clock(p["removed"]).strip(), p["after_reset"],
               "the image" if line.holds_image(p["flash"]) else "not the image",
               "number %d" % number if number else "no number",
               "; ".join(map(record_text, p["records"])) or "none"))
        before = [q for q in placings if q["slot"] == p["slot"] and q["removed"] <= p["placed"]]
        if before:
            q = max(before, key=lambda q: q["removed"])
            print("      %.2f s after board %d (%s; %s) was removed" %
                  (p["placed"] - q["removed"], q["board"], q["kind"],
                   ", ".join(r["outcome"] for r in q["records"]) or "no record"))
    for r in outside[:6]:
        print("    outside any placing on %s: %s" % (os.path.basename(r["port"]), record_text(r)))
