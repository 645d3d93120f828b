"""bench/run --line: a line of 8 stations sharing one database server.

Eight kep-update --watch processes, each with its own --station name, its own
--outbox and one or two kep-sim fixtures (12 slots), number every board from
one pool on one throwaway PostgreSQL server that the bench starts and always
stops. Operators swap boards as in the fixture run (the result seen, the board
off 0.3-2.5 s later, the next on 0.3-1.5 s after that) until --boards were
placed. At 30 % of them the server is stopped fast, stays down for 1 s and is
started again; at 60 % one station is killed (SIGKILL) at block 8 of a board
and started again with the same --outbox.

The database's added time per board is measured on the target's side: kep-sim
logs the gap from its last reply before block 1 (the answer to the station's
look at the board) to block 1, and the number is taken in between. That gap
less its median in two short baseline runs of the same stations (no numbers;
a --serial-file each) is the time the database adds. Apart from the rest are
the boards whose gap spans the server's outage, and each station's first take
after the restart when it was idle through it (its lost connection found only
then); the first round, every slot placed at once, is named.

Ground truth is what was placed and each board's flash when it came off
(--dump-on-remove): a board holding a number or the image must have a record
in kep_board_record, no number may be in two boards, and a ledger number no
update record holds must be in no board's flash.
"""
import json
import os
import random
import signal
import statistics
import subprocess
import threading
import time

from fixture_runs import Fixture, RESULT_TO_REMOVAL_S, SWAP_S, match_records, program_line

SLOTS_PER_STATION = (2, 1, 2, 1, 2, 1, 2, 1)
FIELD = "0x08000864"  # offset 100 of the image, made blank
POOL_START = 1000
KILLED = 3  # the station killed mid-board: one slot, so its board is unambiguous
QUIET_S = 15.0  # an operator gives up on a board that saw no request this long
BASELINE_BOARDS_PER_SLOT = 2
AIM_S = 0.020  # the database's added time a board should stay under


def numbered_image(root, workdir):
    """The built-in image with a blank field for the number."""
    image = bytearray(open(os.path.join(root, "resources", "firmware.bin"), "rb").read())
    image[100:104] = b"\xff" * 4
    path = os.path.join(workdir, "line.bin")
    open(path, "wb").write(image)
    return path, bytes(image)


def end(proc, sig, limit_s):
    """Ends a child with `sig`, or SIGKILL after `limit_s`."""
    if proc.poll() is None:
        proc.send_signal(sig)
        try:
            proc.wait(timeout=limit_s)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()


class Server:
    """The throwaway server: started, stopped fast, started again, always ended."""

    def __init__(self, root, workdir):
        self.script = os.path.join(root, "scripts", "throwaway-postgres")
        self.dir = os.path.join(workdir, "pg")
        self.log = open(os.path.join(workdir, "pg.log"), "a")
        self.proc = None
        self.start()
        self.connection = "@" + os.path.join(self.dir, "connection")

    def start(self):
        self.proc = subprocess.Popen([self.script, self.dir], stdout=self.log, stderr=self.log)
        if subprocess.run([self.script, "--wait", self.dir, "30"]).returncode != 0:
            raise SystemExit("the throwaway server did not start; see pg.log")

    def stop(self):
        if self.proc is not None:
            end(self.proc, signal.SIGINT, 20)  # a fast stop: sessions ended, no recovery at start

    def sql(self, query):
        run = subprocess.run([self.script, "--psql", self.dir, query], capture_output=True,
                             text=True, check=True)
        return [row for row in run.stdout.splitlines() if row]


class Station:
    def __init__(self, tool, workdir, index, image, numbering):
        self.name, self.dir = "st%d" % index, workdir
        self.outbox = os.path.join(workdir, self.name + ".outbox")
        self.command = [tool, "--watch", "--quiet", "--timeout", "20", "--station", self.name,
                        "--port", os.path.join(workdir, "rig", self.name + "-*"),
                        "--image", image] + numbering(self)
        self.err = open(os.path.join(workdir, self.name + ".err"), "a")
        self.start()

    def start(self):
        self.proc = subprocess.Popen(self.command, stdout=subprocess.DEVNULL, stderr=self.err)

    def stop(self):
        end(self.proc, signal.SIGINT, 30)  # --watch lets the running boards finish


class Line:
    """The placings, shared by the operators' threads."""

    def __init__(self, rundir, boards):
        self.dumps = os.path.join(rundir, "dumps")
        os.makedirs(self.dumps)
        self.boards, self.placed, self.placings, self.lock = boards, 0, [], threading.Lock()

    def next_board(self):
        with self.lock:
            if self.placed == self.boards:
                return None
            self.placed += 1
            return self.placed


def operate(fixture, station, rng, line):
    """Places boards on one fixture and takes each off once its result is in."""
    while (board := line.next_board()) is not None:
        p = {"board": board, "slot": fixture.link, "station": station.name,
             "dump": os.path.join(line.dumps, "board%03d.bin" % board)}
        p["placed"] = fixture.command("insert --dump-on-remove " + p["dump"],
                                      "control: new board placed")
        if fixture.wait_for(p["placed"], "request 0xf4: reset", 90, QUIET_S) is not None:
            time.sleep(rng.uniform(*RESULT_TO_REMOVAL_S))
        p["removed"] = fixture.command("remove", "control: board removed")
        with line.lock:
            line.placings.append(p)
        time.sleep(rng.uniform(*SWAP_S))


def block1_gap(fixture, p):
    """(time of block 1, kep-sim's gap before it in seconds) of a placing's first update."""
    gap = None
    for t, text in fixture.between(p["placed"], p["removed"]):
        if "ms from the last reply" in text:
            gap = float(text.split("gap ")[1].split(" ms")[0]) / 1000
        elif program_line(1) in text:
            return t, gap
    return None, None


def run_stations(tool, rundir, kep_sim, image, numbering, boards, seed, events=None):
    """Runs the line until `boards` were placed; `events` acts on it meanwhile."""
    os.makedirs(os.path.join(rundir, "rig"))
    fixtures, stations = [], []
    line = Line(rundir, boards)
    try:
        for s, slots in enumerate(SLOTS_PER_STATION):
            fixtures += [(s, Fixture(kep_sim, rundir, "st%d-%s" % (s, "ab"[k])))
                         for k in range(slots)]
        stations = [Station(tool, rundir, s, image, numbering)
                    for s in range(len(SLOTS_PER_STATION))]
        time.sleep(2.0)  # each station connects and checks the tables before its slots look
        started = time.monotonic()
        # Daemons: an interrupted bench must not wait for its operators.
        threads = [threading.Thread(target=operate, daemon=True,
                                    args=(f, stations[s], random.Random(seed * 100 + i), line))
                   for i, (s, f) in enumerate(fixtures)]
        for thread in threads:
            thread.start()
        if events:
            events(line, stations, {f.link: f for _, f in fixtures})
        for thread in threads:
            thread.join()
        elapsed = time.monotonic() - started
    finally:
        for station in stations:
            station.stop()
        for _, f in fixtures:
            f.stop()
    by_link = {f.link: f for _, f in fixtures}
    for p in line.placings:
        p["block1_at"], p["gap"] = block1_gap(by_link[p["slot"]], p)
    return line, stations, elapsed


def wait_removed(line, count):
    """Counts boards taken off: the first round is placed all at once."""
    while len(line.placings) < min(count, line.boards):
        time.sleep(0.05)


def disturb(server, boards, said):
    """The server restarted at 30 % of the boards, a station killed at 60 %."""
    def events(line, stations, fixtures):
        wait_removed(line, boards * 3 // 10)
        said["stop"] = time.monotonic()
        server.stop()
        time.sleep(1.0)
        server.start()
        said["ready"] = time.monotonic()
        wait_removed(line, boards * 6 // 10)
        victim = stations[KILLED]
        slot = next(link for link in fixtures if os.path.basename(link).startswith(victim.name))
        if fixtures[slot].wait_for(time.monotonic(), program_line(8), 30) is None:
            return
        victim.proc.kill()  # SIGKILL: no record of this board, its number burnt
        victim.proc.wait()
        said["kill"], said["slot"] = time.time(), slot
        victim.start()
    return events


def flash_number(flash, field):
    value = flash[field:field + 4] if flash else b""
    return int.from_bytes(value, "little") if value not in (b"", b"\xff" * 4, b"\0" * 4) else None


def holds_image(flash, image, field):
    padded = image + bytes(-len(image) % 1024)
    return (flash is not None and flash[:field] == padded[:field] and
            flash[field + 4:len(padded)] == padded[field + 4:])


def spread(values):
    return "median %.1f ms, slowest %.1f ms (%d boards)" % (
        statistics.median(values) * 1000, max(values) * 1000, len(values)) if values else "none"


def ended(*_):
    raise SystemExit(143)


def run_line(args, workdir, native, tool, root):
    signal.signal(signal.SIGTERM, ended)  # so that the finally clauses stop what was started
    kep_sim = os.path.join(native, "kep-sim", "kep-sim")
    image_path, image = numbered_image(root, workdir)
    bases = {}
    for kind in ("no numbers", "--serial-file"):
        base_dir = os.path.join(workdir, "baseline-" + kind.strip("-").replace(" ", "-"))
        numbering = ((lambda st: ["--serial-number", FIELD, "--serial-start", "1", "--serial-file",
                                  os.path.join(st.dir, st.name + ".serial")])
                     if kind != "no numbers" else lambda st: [])
        base, _, _ = run_stations(tool, base_dir, kep_sim, image_path, numbering,
                                  BASELINE_BOARDS_PER_SLOT * sum(SLOTS_PER_STATION), args.seed)
        bases[kind] = [p["gap"] for p in base.placings if p["gap"] is not None]
    server, said = None, {}
    try:
        server = Server(root, workdir)
        init = subprocess.run([tool, "--database", server.connection, "--init-database",
                               "--serial-start", str(POOL_START)], capture_output=True, text=True)
        if init.returncode != 0:
            raise SystemExit("--init-database failed: " + init.stderr)
        line_dir = os.path.join(workdir, "line")
        line, stations, elapsed = run_stations(
            tool, line_dir, kep_sim, image_path,
            lambda st: ["--serial-number", FIELD, "--database", server.connection,
                        "--outbox", st.outbox],
            args.boards, args.seed, disturb(server, args.boards, said))
        show_line(args, server, tool, line, stations, elapsed, image, bases, said)
    finally:
        if server is not None:
            server.stop()


def show_line(args, server, tool, line, stations, elapsed, image, bases, said):
    field = int(FIELD, 16) - 0x08000800
    offset = time.time() - time.monotonic()
    placings = sorted(line.placings, key=lambda p: p["board"])
    for p in placings:
        p["records"] = []
        p["flash"] = open(p["dump"], "rb").read() if os.path.exists(p["dump"]) else None
        p["number"] = flash_number(p["flash"], field)
    records = [json.loads(r) for r in server.sql("SELECT record_json FROM kep_board_record")]
    match_records(placings, records, lambda t: t + offset)
    ledger = [row.split("|") for row in server.sql(
        "SELECT serial_number, extract(epoch FROM issued_at) FROM kep_serial_issued")]
    burnt = [row.split("|") for row in server.sql(
        "SELECT i.serial_number, i.station, i.port, extract(epoch FROM i.issued_at) "
        "FROM kep_serial_issued i WHERE NOT EXISTS (SELECT 1 FROM kep_board_record r WHERE "
        "r.record_id = i.record_id AND r.serial_number = i.serial_number AND "
        "r.operation = 'update')")]
    in_flash = [p["number"] for p in placings if p["number"] is not None]
    ledger_numbers = {int(row[0]) for row in ledger}
    issued = sorted(float(row[1]) for row in ledger)

    print("\nline: %d stations, %d kep-sim fixtures, one PostgreSQL server; %d boards placed "
          "(seed %d) over %.1f s" % (len(stations), sum(SLOTS_PER_STATION), len(placings),
                                     args.seed, elapsed))
    print("  server stopped fast at %.1f s, answering again %.1f s later; station %s killed "
          "at block 8 %s" % (said.get("stop", 0) - placings[0]["placed"],
                             said.get("ready", 0) - said.get("stop", 0), stations[KILLED].name,
                             "and started again" if "kill" in said else "(never reached)"))
    if len(issued) > 1:
        print("  numbers per second across the line: %.2f (ledger: %d over %.1f s from the first "
              "to the last); boards' flash: %d numbers over %.1f s, %.2f/s" %
              ((len(issued) - 1) / (issued[-1] - issued[0]), len(issued), issued[-1] - issued[0],
               len(in_flash), elapsed, len(in_flash) / elapsed))
    show_added(placings, bases, said)
    lost = [p for p in placings if not p["records"] and
            (p["number"] is not None or holds_image(p["flash"], image, field))]
    wrong = [p for p in placings if p["number"] is not None and p["number"] not in
             [r.get("serial_number") for r in p["records"] if r["outcome"] == "updated"]]
    print("  records lost (boards numbered or updated without a record): %d of %d placings; "
          "placings whose updated record lacks their flash's number %d, without exactly one "
          "record %d; records outside any placing %d of %d" %
          (len(lost), len(placings), len(wrong), sum(len(p["records"]) != 1 for p in placings),
           sum(r["placing"] is None for r in records), len(records)))
    twice_db = server.sql("SELECT serial_number FROM kep_board_record WHERE outcome = 'updated' "
                          "GROUP BY serial_number HAVING count(*) > 1")
    print("  numbers twice: %d in the boards' flash, %d in updated records; flash numbers not in "
          "the ledger: %d" % (len(in_flash) - len(set(in_flash)), len(twice_db),
                              len(set(in_flash) - ledger_numbers)))
    show_burnt(burnt, ledger_numbers - set(in_flash), said, stations[KILLED].name)
    left = sum(sum(1 for _ in open(s.outbox)) for s in stations if os.path.exists(s.outbox))
    print("  outbox lines left at the end: %d" % left)
    summary = subprocess.run([tool, "--summarize", "--database", server.connection],
                             capture_output=True, text=True)
    for text in summary.stdout.splitlines():
        if text.strip().startswith(("ledger:", "burnt ")):
            print("  --summarize: " + text.strip())


def split_by_server(placings, said):
    """The boards that waited through the outage; each station's first take
    after it when idle through it (its lost connection found only then); the rest."""
    waited, stale, steady, seen = [], [], [], set()
    for p in sorted((p for p in placings if p["gap"] is not None), key=lambda p: p["block1_at"]):
        contact = p["block1_at"] - p["gap"]
        if said["stop"] <= p["block1_at"] and contact <= said["ready"]:
            waited.append(p)
            seen.add(p["station"])
        elif p["block1_at"] > said["ready"] and p["station"] not in seen:
            stale.append(p)
            seen.add(p["station"])
        else:
            steady.append(p)
    return waited, stale, steady


def show_added(placings, bases, said):
    """Contact to block 1 less the baselines' medians."""
    waited, stale, steady = split_by_server(placings, said)
    print("  contact to block 1: %s" % "; ".join(
        "%s %s" % (kind, spread(gaps)) for kind, gaps in bases.items()))
    print("  contact to block 1 with --database: %s" % spread([p["gap"] for p in steady]))
    zero = statistics.median(bases["no numbers"])
    for kind, gaps in bases.items():
        print("  added time per board due to the database, against %s: %s" %
              (kind, spread([p["gap"] - statistics.median(gaps) for p in steady])))
    # The first round is every slot placed at once: its takes queue for the pool's row.
    later = [p["gap"] - zero for p in steady if p["board"] > sum(SLOTS_PER_STATION)]
    print("    over %d ms: %d boards, %d of them in the first round (all slots placed at once); "
          "after it: %s" % (AIM_S * 1000, sum(p["gap"] - zero > AIM_S for p in steady),
                            sum(p["gap"] - zero > AIM_S for p in steady
                                if p["board"] <= sum(SLOTS_PER_STATION)), spread(later)))
    if stale:
        added = sorted((p["gap"] - zero) * 1000 for p in stale)
        print("  first take of each station idle through the restart (apart): %d boards, added "
              "%.0f-%.0f ms against no numbers" % (len(stale), added[0], added[-1]))
    print("  boards that waited for the restarted server: %d, the longest %.2f s" %
          (len(waited), max([p["gap"] for p in waited], default=0)))


def show_burnt(burnt, by_flash, said, killed):
    explained = 0
    for number, station, port, issued in burnt:
        why = ("the board on %s when %s was killed" % (os.path.basename(port), killed)
               if station == killed and port == said.get("slot") and
               0 <= said.get("kill", 0) - float(issued) < 10 else "unexplained")
        explained += why != "unexplained"
        print("    burnt %s: station %s, port %s: %s" %
              (number, station, os.path.basename(port), why))
    print("  numbers burnt (ledger rows without an update record): %d, %d explained by the kill; "
          "ledger numbers in no board's flash: %d%s" %
          (len(burnt), explained, len(by_flash),
           "" if by_flash == {int(b[0]) for b in burnt} else " (not the same numbers)"))
