#!/usr/bin/env python3
"""Fleet soak: kvtfleet end-of-day jobs over several registers, each register
an ecrsim --chaos, every register, step and attempt checked afterwards.

usage: fleet_soak.py BUILD_DIR RUNS SEED

Run i uses seed SEED + i for everything it draws: the number of registers, the
PLU table each holds, the order of the steps (a plain PLU table read and the
read-and-clear reports 233, 503 and 563), Parallel and Retries, and each
register's fault schedule (ecrsim --chaos with a seed made of the run's seed
and the register number). `scripts/fleet_soak.sh 1 <seed>` replays one run.

Every driver attempt gets the checks of the single-run soak (soak.py), applied
to the attempt's folder and to its part of the register's simulator log. Per
register and step the summary must agree with the attempt folders, the
simulator's log and its state: a read-and-clear step either completed with
its report on disk and cleared exactly once, or left the report untouched, or
says "clear unknown"; nothing else on the register changed.
"""
import csv
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import time

sys.dont_write_bytecode = True  # no __pycache__ beside the scripts
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import soak  # noqa: E402

HEADER = "register,step,command,file,attempts,outcome,exit_code,last_line,records,files,start,duration_s"
OUTCOMES = ("completed", "data errors", "failed", "clear unknown", "not run")
READ_CLEARS = ["233", "503", "563"]
FILES = {"207": "plu.txt", "233": "financial.txt", "503": "sales.txt", "563": "hourly.txt"}
JOB_TIMEOUT = 300  # seconds for one kvtfleet run; far beyond what the faults can cost


class FleetJob:
    """What a seed draws: the registers, their tables and faults, the job's steps and keys."""

    def __init__(self, seed):
        rng = soak.SplitMix64(seed)
        self.registers = 2 + rng.below(3)
        self.preloads = [[soak.plu_line(r) for r in soak.plu_records(rng, 2 + rng.below(8))]
                         for _ in range(self.registers)]
        commands = READ_CLEARS[:]
        for i in range(len(commands) - 1, 0, -1):
            j = rng.below(i + 1)
            commands[i], commands[j] = commands[j], commands[i]
        commands.insert(rng.below(len(commands) + 1), "207")
        self.steps = [(number, command) for number, command in enumerate(commands, 1)]
        self.parallel = 1 + rng.below(self.registers)
        self.retries = rng.below(3)
        self.chaos = [seed * 100 + n for n in range(1, self.registers + 1)]

    def text(self, archive):
        lines = ["[Job]", "Name = soak", "Registers = 1-%d" % self.registers, "Archive = " + archive,
                 "Parallel = %d" % self.parallel, "Retries = %d" % self.retries, "RetryDelay = 0", "", "[Steps]"]
        lines += ["%d = %s %s" % (number, command, FILES[command]) for number, command in self.steps]
        return "\r\n".join(lines) + "\r\n"


class Attempt(soak.DriverRun):
    """One driver run of kvtfleet, checked as the single-run soak checks a run."""

    def __init__(self, command, folder, log):
        super().__init__(soak.Job(command=command), folder)
        self.job.output = FILES[command]
        self.log = log
        exit_text = (self.read("exit_code") or "").split()
        self.code = int(exit_text[0]) if exit_text and re.fullmatch(r"-?\d+", exit_text[0]) else None
        self.console = self.read("console.txt") or ""
        self.errors = self.console  # the driver's standard error goes to the same file

    def expected_files(self):
        return {self.job.output, self.job.output + ".partial", "KVT5100.log", "dbgerror.log", "console.txt",
                "exit_code"}


def split_runs(log):
    """The simulator's log cut into driver runs. A run ends where the driver
    closed the line; what the simulator logs after that until the next status
    request (the last bytes the run wrote before it closed, a note on the
    transfer the close broke off) still belongs to it; a close with no status
    request before it is a run that sent nothing. A run the simulator
    did not outlive (a "drop") ends with the log."""
    runs, current, closed = [], [], False
    for line in log:
        if line == "NOTE driver closed the line":
            # Closed again without a status request: a run that sent nothing.
            runs.append(current if not closed else [])
            current, closed = runs[-1], True
        elif closed and line.startswith("IN  02 83"):
            current, closed = [line], False
        else:
            current.append(line)
    if not closed and any(line.startswith("IN ") for line in current):
        runs.append(current)
    return runs


def summary_rows(run_dir):
    """summary.csv as dictionaries; None when the header is not the agreed one."""
    with open(os.path.join(run_dir, "summary.csv"), newline="", encoding="utf-8") as f:
        rows = list(csv.reader(f))
    if not rows or ",".join(rows[0]) != HEADER:
        return None
    return [dict(zip(rows[0], row)) for row in rows[1:]]


class FleetRun:
    def __init__(self, build, seed, work):
        self.build, self.seed, self.dir = build, seed, work
        self.job = FleetJob(seed)
        self.violations = []
        self.attempts = []     # every Attempt checked
        self.outcomes = {}     # outcome -> steps
        self.repeated_clears = 0  # steps whose report the register cleared more than once

    def fail(self, text):
        self.violations.append(text)

    def path(self, *names):
        return os.path.join(self.dir, *names)

    def execute(self):
        shutil.rmtree(self.dir, ignore_errors=True)
        os.makedirs(self.dir)
        for program in ("KVT5100", "kvtfleet"):  # kvtfleet runs the driver beside it, with its INI
            try:
                os.link(os.path.join(self.build, program), self.path(program))
            except OSError:
                shutil.copy2(os.path.join(self.build, program), self.path(program))
        ini = soak.INI_COMMON
        sims = []
        for n in range(1, self.job.registers + 1):
            ini += soak.ini_section(n, self.path("ecr%d.tty" % n))
            with open(self.path("preload%d.txt" % n), "w") as f:
                f.write("\n".join(self.job.preloads[n - 1]) + "\n")
            sims.append(subprocess.Popen(
                [os.path.join(self.build, "ecrsim"), "--link", self.path("ecr%d.tty" % n),
                 "--chaos", "%d,%d" % (self.job.chaos[n - 1], soak.CHAOS_RATE),
                 "--state", self.path("state%d.txt" % n), "--preload", "0x51=" + self.path("preload%d.txt" % n),
                 "--log", self.path("sim%d.log" % n)],
                stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True))
        with open(self.path("KVT5100.ini"), "w", newline="") as f:
            f.write(ini)
        with open(self.path("job.ini"), "w", newline="") as f:
            f.write(self.job.text(self.path("archive")))
        try:
            for sim in sims:
                sim.stdout.readline()  # the slave's path: the pty is ready
            self.before = [self.state(n) for n in range(1, self.job.registers + 1)]
            self.drive()
        finally:
            for sim in sims:
                if sim.poll() is None:
                    sim.send_signal(signal.SIGTERM)
                sim.wait(timeout=30)
                sim.stdout.close()
        self.logs = [(self.read_text(self.path("sim%d.log" % n)) or "").splitlines()
                     for n in range(1, self.job.registers + 1)]
        self.after = [self.state(n) for n in range(1, self.job.registers + 1)]
        self.check()

    def state(self, n):
        return (self.read_text(self.path("state%d.txt" % n)) or "").splitlines()

    @staticmethod
    def read_text(path):
        try:
            with open(path, encoding="latin-1", newline="") as f:
                return f.read()
        except FileNotFoundError:
            return None

    def drive(self):
        env = dict(os.environ, ASAN_OPTIONS="detect_leaks=1:abort_on_error=0", UBSAN_OPTIONS="print_stacktrace=1")
        try:
            run = subprocess.run([self.path("kvtfleet"), "run", self.path("job.ini")], cwd=self.dir, env=env,
                                 capture_output=True, timeout=JOB_TIMEOUT)
            self.code, self.console = run.returncode, (run.stdout + run.stderr).decode("latin-1")
        except subprocess.TimeoutExpired as e:
            self.code, self.console = None, (e.stdout or b"").decode("latin-1")
        lines = [l for l in self.console.splitlines() if l.strip()]
        self.run_dir = lines[-1].strip() if lines and self.code is not None else ""

    # ------------------------------------------------------------ checks

    def check(self):
        if self.code not in (0, 1, 2):
            self.fail("kvtfleet crashed or hung: exit %s" % self.code)
            return
        if re.search(r"Sanitizer|runtime error", self.console):
            self.fail("sanitizer report from kvtfleet")
        if not os.path.isfile(os.path.join(self.run_dir, "summary.csv")):
            self.fail("last console line %r is not a run folder with summary.csv" % self.run_dir)
            return
        rows = summary_rows(self.run_dir)
        if rows is None:
            self.fail("summary.csv does not have the agreed header")
            return
        self.check_json(rows)
        outcomes = [row["outcome"] for row in rows]
        for outcome in outcomes:
            self.outcomes[outcome] = self.outcomes.get(outcome, 0) + 1
        want = 0 if all(o == "completed" for o in outcomes) else \
            2 if all(o in ("completed", "data errors") for o in outcomes) else 1
        if self.code != want:
            self.fail("kvtfleet exit %d, but the outcomes %s call for %d" % (self.code, sorted(set(outcomes)), want))
        for n in range(1, self.job.registers + 1):
            mine = {row["step"]: row for row in rows if row["register"] == str(n)}
            if sorted(mine) != sorted(str(number) for number, _ in self.job.steps):
                self.fail("ECR_%d: summary rows for steps %s" % (n, sorted(mine)))
                continue
            self.check_register(n, mine)

    def check_json(self, rows):
        try:
            with open(os.path.join(self.run_dir, "summary.json"), encoding="utf-8") as f:
                items = json.load(f)
        except (OSError, ValueError) as e:
            self.fail("summary.json unreadable: %s" % e)
            return
        as_text = lambda v: "" if v is None else ("%g" % v if isinstance(v, float) else str(v))
        if len(items) != len(rows):
            self.fail("summary.json holds %d rows, summary.csv %d" % (len(items), len(rows)))
            return
        for item, row in zip(items, rows):
            for key in ("register", "step", "command", "file", "attempts", "outcome", "exit_code", "last_line",
                        "records"):
                if as_text(item.get(key)) != row[key]:
                    self.fail("summary.json and summary.csv differ in %s: %r against %r"
                              % (key, item.get(key), row[key]))
                    return

    def check_register(self, n, rows):
        prefix = "ECR_%d " % n
        runs = split_runs(self.logs[n - 1])
        folders = []  # (step number, command, attempt folders in order)
        for number, command in self.job.steps:
            step_dir = os.path.join(self.run_dir, "ECR_%d" % n, "%d-%s" % (number, command))
            numbers = sorted(int(d) for d in os.listdir(step_dir) if d.isdigit()) if os.path.isdir(step_dir) else []
            folders.append((number, command, [os.path.join(step_dir, str(k)) for k in numbers]))
        # A driver that could not open the line never reached the register
        # (after a "drop" fault the simulator is gone): no run of its own.
        reached = lambda folder: "Unable to open serial port" not in (self.read_text(
            os.path.join(folder, "console.txt")) or "")
        attempts_reached = sum(1 for _, _, f in folders for folder in f if reached(folder))
        if attempts_reached != len(runs):
            self.fail(prefix + "the simulator saw %d driver runs, %d attempts reached it"
                      % (len(runs), attempts_reached))
            return
        cleared_by = []  # commands whose report reached a clear
        stopped = False
        for number, command, attempts in folders:
            row = rows[str(number)]
            step_runs = []
            for folder in attempts:
                step_runs.append(runs.pop(0) if reached(folder) else [])
            where = prefix + "step %d-%s: " % (number, command)
            checked = [Attempt(command, folder, log) for folder, log in zip(attempts, step_runs)]
            for attempt in checked:
                attempt.check()
                self.attempts.append(attempt)
                for v in attempt.violations:
                    self.fail(where + "attempt %s: %s" % (os.path.basename(attempt.dir), v))
            clears = sum(1 for log in step_runs for line in log if line.startswith("NOTE cleared "))
            if clears:
                cleared_by.append(command)
            self.check_step(where, command, row, checked, clears, stopped)
            stopped = stopped or row["outcome"] not in ("completed", "data errors")
        before, after = self.before[n - 1], self.after[n - 1]
        for command in READ_CLEARS:
            report = soak.CLEARED[command]
            if (report + " 1" in after) != (command in cleared_by) or report + " 1" in before:
                self.fail(prefix + "state says %r, the log %s a clear of it"
                          % ([l for l in after if l.startswith(report)], "has" if command in cleared_by else "has no"))
        if soak.changed_beyond(before, after, cleared_by):
            self.fail(prefix + "state changed beyond the reports cleared")

    def check_step(self, where, command, row, attempts, clears, after_stop):
        outcome, last = row["outcome"], attempts[-1] if attempts else None
        if outcome not in OUTCOMES:
            self.fail(where + "unknown outcome %r" % outcome)
        if row["attempts"] != str(len(attempts)):
            self.fail(where + "summary says %s attempts, the run folder holds %d" % (row["attempts"], len(attempts)))
        if after_stop and attempts:
            self.fail(where + "ran after an earlier step of the register did not complete")
        if not attempts:
            if outcome != "not run":
                self.fail(where + "no attempt, outcome %r" % outcome)
            return
        if any(a.code in (0, 2) for a in attempts[:-1]):
            self.fail(where + "an attempt that ended the step was followed by another")
        if row["exit_code"] != str(last.code):
            self.fail(where + "summary exit code %s, the last attempt's %s" % (row["exit_code"], last.code))
        want = {0: "completed", 2: "data errors"}.get(last.code)
        if want and outcome != want:
            self.fail(where + "exit %d but outcome %r" % (last.code, outcome))
        if not want and outcome not in ("failed", "clear unknown"):
            self.fail(where + "exit %s but outcome %r" % (last.code, outcome))
        data = last.read(last.job.output)
        lines = [l for l in (data or "").split("\r\n") if l]
        if outcome == "completed" and row["records"] != str(len(lines)):
            self.fail(where + "summary says %s records, the file holds %d" % (row["records"], len(lines)))
        self.check_consolidated(where, row, lines if outcome in ("completed", "data errors") else [])
        if command not in READ_CLEARS:
            return
        # The register's report: cleared exactly once after a complete read, or untouched,
        # or the summary says that no one can tell.
        # A clear command that got an answer the driver could not read is
        # sent again: the register may clear twice, and the step must say so.
        if clears > 1 and outcome != "clear unknown":
            self.fail(where + "report cleared %d times, outcome %r" % (clears, outcome))
        if clears > 1:
            self.repeated_clears += 1
        if outcome == "completed" and (clears != 1 or not any(l.startswith("NOTE cleared ") for l in last.log)):
            self.fail(where + "completed, but its last attempt did not clear the report once")
        if outcome in ("failed", "data errors") and clears:
            self.fail(where + "outcome %r, but the report was cleared" % outcome)
        if outcome == "clear unknown" and "Clearing data" not in last.console:
            self.fail(where + "clear unknown, but the driver never began the clear")

    def check_consolidated(self, where, row, lines):
        name = "%s-%s-%s" % (row["step"], row["command"], row["file"])
        text = self.read_text(os.path.join(self.run_dir, name))
        if text is None:
            self.fail(where + "no consolidated file " + name)
            return
        mine = [l for l in text.split("\r\n") if l.startswith(row["register"] + ",")]
        if mine != [row["register"] + "," + l for l in lines]:
            self.fail(where + "%s holds %d lines of the register, its data file %d" % (name, len(mine), len(lines)))

    def faults(self):
        return sum(len(a.faults()) for a in self.attempts)


def main():
    build, runs, seed = os.path.abspath(sys.argv[1]), int(sys.argv[2]), int(sys.argv[3])
    work = os.path.join(build, "fleet-soak")
    totals = {"runs": 0, "registers": 0, "attempts": 0, "faults": 0, "violations": 0, "repeated": 0}
    outcomes = {}
    failing = []
    started = time.monotonic()
    for i in range(runs):
        run = FleetRun(build, seed + i, os.path.join(work, "run-%d" % os.getpid()))
        run.execute()
        totals["runs"] += 1
        totals["registers"] += run.job.registers
        totals["attempts"] += len(run.attempts)
        totals["faults"] += run.faults()
        totals["repeated"] += run.repeated_clears
        for outcome, count in run.outcomes.items():
            outcomes[outcome] = outcomes.get(outcome, 0) + count
        if run.violations:
            totals["violations"] += len(run.violations)
            failing.append(run.seed)
            soak.keep_failed_run(work, run, "kvtfleet-console.txt", run.console,
                                 "seed %d (%d registers, kvtfleet exit %s):" % (run.seed, run.job.registers, run.code))
    shutil.rmtree(os.path.join(work, "run-%d" % os.getpid()), ignore_errors=True)
    print()
    print("Fleet soak: seeds %d to %d, %.0f s" % (seed, seed + runs - 1, time.monotonic() - started))
    print("| runs | registers | driver attempts | faults injected | invariant violations |")
    print("|---:|---:|---:|---:|---:|")
    print("| %d | %d | %d | %d | %d |" % (totals["runs"], totals["registers"], totals["attempts"], totals["faults"],
                                         totals["violations"]))
    print()
    print("steps by outcome: " + ", ".join("%s %d" % (o, outcomes.get(o, 0)) for o in OUTCOMES))
    print("read-and-clear steps whose report the register cleared more than once (all \"clear unknown\"): %d"
          % totals["repeated"])
    if failing:
        rate = "" if soak.CHAOS_RATE == 3 else "SOAK_RATE=%d " % soak.CHAOS_RATE
        print("failing seeds (replay one with %sscripts/fleet_soak.sh 1 SEED): %s"
              % (rate, " ".join(map(str, failing))))
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
