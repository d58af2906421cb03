#!/usr/bin/env python3
"""Random fault soak: runs the driver against ecrsim --chaos, one seed per run,
and checks every run from the simulator's state and log and from the files.

usage: soak.py BUILD_DIR RUNS SEED

The checks of one driver run (class DriverRun) are importable: the fleet soak
(fleet_soak.py) applies them to every attempt of every register.

Run i uses seed SEED + i for both the command (with its data) and the
simulator's fault schedule, so `scripts/soak.sh 1 <seed>` replays one run.
The checker knows nothing of the driver's code: it reads the files the run
left, the simulator's log (what it sent, what the driver acknowledged, which
faults it applied) and the register's state before and after.
"""
import fcntl
import os
import re
import shutil
import signal
import struct
import subprocess
import sys
import time

MASK = (1 << 64) - 1

# INI timings: small, so runs are quick; the time-out budget follows from them.
RETRIES = 2
COMM_MAX = 100        # LocalEcrCommMaxTime (default)
OPERATION_MAX = 600   # EcrOperationMaxTime: beyond the register's 250 ms resend
LONGEST_WAIT = COMM_MAX + 1400
SLEEP = 5
INI_COMMON = "[Common]\r\nDbgErrorLog = 1\r\n"


def ini_section(number, tty):
    """The INI section of register `number` on the line `tty`, with the soak's timings."""
    return ("\r\n[ECR_%d]\r\nComDevice = %s\r\nComRetryCount = %d\r\n"
            "ComNakSleepTime = %d\r\nComGarbageSleepTime = %d\r\nSleepBetweenCommands = %d\r\n"
            "EcrRecoveryTime = 20\r\nGarbageMaxByteInterval = 5\r\nEcrOperationMaxTime = %d\r\n"
            % (number, tty, RETRIES, SLEEP, SLEEP, SLEEP, OPERATION_MAX))


CHAOS_RATE = int(os.environ.get("SOAK_RATE", "3"))  # faults per run on average


class SplitMix64:
    def __init__(self, seed):
        self.state = seed & MASK

    def next(self):
        self.state = (self.state + 0x9E3779B97F4A7C15) & MASK
        z = self.state
        z = ((z ^ (z >> 30)) * 0xBF58476D1CE4E5B9) & MASK
        z = ((z ^ (z >> 27)) * 0x94D049BB133111EB) & MASK
        return z ^ (z >> 31)

    def below(self, bound):
        return self.next() % bound


# ------------------------------------------------------------------ data

NAMES = ["Milk", "Tea", "Bread", "Cheese", "Apples", "Soap", "Rice", "Honey", "Salt", "Eggs"]


def plu_records(rng, count, lowest=1):
    codes = sorted({lowest + rng.below(5000) for _ in range(count)})
    return [(c, rng.below(99999), NAMES[rng.below(len(NAMES))] + str(c % 97), rng.below(9), rng.below(100),
             1 + rng.below(7)) for c in codes]


def plu_line(r):
    return '%d,%d,"%s",%d,%d,%d' % r


def plu_state(r):
    return "plu %d,%d,%s,%d,%d,%d" % r


def logo_bitmap(rng, height):
    """A 240-pixel-wide 1-bit BMP and the rows the register should store."""
    rows = [[rng.below(3) == 0 for _ in range(240)] for _ in range(height)]
    stride = 32
    pixels = b""
    for row in reversed(rows):  # bottom row first
        data = bytearray(stride)
        for x, dot in enumerate(row):
            if dot:
                data[x // 8] |= 0x80 >> (x % 8)
        pixels += bytes(data)
    palette = bytes([255, 255, 255, 0, 0, 0, 0, 0])
    offset = 14 + 40 + len(palette)
    header = b"BM" + struct.pack("<IHHI", offset + len(pixels), 0, 0, offset)
    info = struct.pack("<IiiHHIIiiII", 40, 240, height, 1, 1, 0, len(pixels), 2835, 2835, 2, 2)
    expected = []
    for row in rows:
        text = ""
        for k in range(30):
            byte = sum(1 << j for j in range(8) if row[8 * k + j])
            text += chr(0x30 + (byte >> 4)) + chr(0x30 + (byte & 15))
        expected.append("logo " + text)
    return header + info + palette + pixels, expected


# Output file of each read command of the mix, and the report a read and clear zeroes.
OUTPUTS = {"207": "plu.out", "217": "dept.out", "233": "financial.out", "503": "sales.out", "563": "hourly.out",
           "700": "fiscal.bin"}
CLEARED = {"233": "cleared financial", "503": "cleared plusales", "563": "cleared hourly"}


class Job:
    """One command of the mix with its files and what a completed send leaves."""

    def __init__(self, seed=None, command=None):
        """A command drawn from `seed`, or the read `command` (with no other data)."""
        rng = SplitMix64(seed or 0)
        self.preload = [plu_line(r) for r in plu_records(rng, 2 + rng.below(8))] if seed is not None else []
        kinds = ["200", "207", "201", "211", "217", "503", "563", "700", "670"]
        self.command = command or kinds[rng.below(len(kinds))]
        self.input = None        # (name, bytes) of a send
        self.output = None       # file name of a read
        self.invalid = 0         # lines of the input the driver must reject
        self.records = None      # valid records of a send
        self.section = None      # state lines a send may change
        self.expected = None     # function(before lines of the section) -> lines after a completed send
        self.code = None         # ECR read code (for the records)
        if self.command in ("200", "201"):
            records = plu_records(rng, 1 + rng.below(9))
            lines = [plu_line(r) for r in records]
            if self.command == "200" and rng.below(24) == 0:
                # Beyond the limit of 1000, in scrambled order: the 1000 lowest codes go, the run says so.
                count = 1001 + rng.below(3)
                records = [(3 * i + 1 + rng.below(3), 100 + i, "Item" + str(i), 1, 0, 1) for i in range(count)]
                lines = [plu_line(r) for r in records]
                for i in range(count - 1, 0, -1):
                    j = rng.below(i + 1)
                    lines[i], lines[j] = lines[j], lines[i]
                records, self.invalid = records[:1000], 1
            if rng.below(4) == 0:
                lines.insert(rng.below(len(lines) + 1), 'x12,5,"Bad",1,1,1')
                self.invalid = 1
            if rng.below(16) == 0:  # nothing valid at all: nothing may reach the register
                lines, records, self.invalid = ['0,5,"Zero",1,1,1', '12,5,"Bad",1,1,9'], [], 2
            self.input = ("plu.txt", ("\r\n".join(lines) + "\r\n").encode())
            self.section = "plu "
            self.records = len(records)
            sent = {r[0]: plu_state(r) for r in records}
            if not records:
                self.expected = lambda before: before
            elif self.command == "200":
                self.expected = lambda before: [sent[c] for c in sorted(sent)]
            else:
                self.expected = lambda before: merge(before, sent)
        elif self.command == "211":
            numbers = sorted({1 + rng.below(8) for _ in range(1 + rng.below(4))})
            records = [(n, rng.below(10 ** 6), "Dept" + str(rng.below(100)), rng.below(100), rng.below(32))
                       for n in numbers]
            self.input = ("dept.txt", "".join('%d,%d,"%s",%d,%d\r\n' % r for r in records).encode())
            self.section = "department "
            self.records = len(records)
            sent = {r[0]: "department %d,%d,%s,%d,%d" % r for r in records}
            self.expected = lambda before: merge(before, sent)
        elif self.command == "670":
            data, rows = logo_bitmap(rng, 1 + rng.below(8))
            self.input = ("logo.bmp", data)
            self.section = "logo "
            self.records = len(rows)
            self.expected = lambda before: rows
        else:
            self.output = OUTPUTS[self.command]
            self.code = self.command

    def args(self):
        return ["/K1", self.command, self.input[0] if self.input else self.output]


def merge(before, sent):
    """State lines keyed by their first number, updated by the sent ones."""
    table = {int(line.split(" ", 1)[1].split(",")[0]): line for line in before}
    table.update(sent)
    return [table[k] for k in sorted(table)]


# ------------------------------------------------------------------ checks

def fields(text):
    """Fields of a record, split at commas outside quotes; numbers compared as numbers."""
    out, field, quoted = [], "", False
    for ch in text:
        if ch == '"':
            quoted = not quoted
        elif ch == "," and not quoted:
            out.append(field)
            field = ""
        else:
            field += ch
    out.append(field)
    result = []
    for f in out:
        f = f.strip()
        result.append(float(f) if re.fullmatch(r"-?\d+(\.\d+)?", f) else f)
    return result


def changed_beyond(before, after, commands):
    """True when state lines other than the reports of these read-and-clear
    commands (and the Z counter a financial clear counts up) changed."""
    own = tuple(CLEARED[c] for c in commands if c in CLEARED) + (("z financial",) if "233" in commands else ())
    keep = lambda lines: [l for l in lines if not l.startswith(own)]
    return keep(before) != keep(after)


def checksum(text):
    return -sum(text.encode("latin-1")) & 0xFF


class DriverRun:
    """The checks of one driver run, from what it left: the attributes job,
    dir (its working directory), code (exit code, None for a hang), console,
    errors (standard error), log (lines of the simulator's log of this run),
    before and after (the register's state lines around the run, or None when
    only the whole job's state is known) and seconds (None: no time budget)."""

    def __init__(self, job, work):
        self.job, self.dir = job, work
        self.violations = []
        self.before = self.after = self.seconds = None
        self.errors = ""

    def fail(self, text):
        self.violations.append(text)

    def expected_files(self):
        """Files the run's directory may hold."""
        files = {"KVT5100", "KVT5100.ini", "KVT5100.log", "dbgerror.log", "preload.txt", "state.txt", "sim.log",
                 "ecr.tty", self.job.input[0] if self.job.input else self.job.output}
        if self.job.output:
            files.add(self.job.output + ".partial")  # what a failed read received
        return files

    def path(self, name):
        return os.path.join(self.dir, name)

    def read(self, name, mode="r"):
        try:
            with open(self.path(name), mode, **({} if "b" in mode else {"encoding": "latin-1", "newline": ""})) as f:
                return f.read()
        except FileNotFoundError:
            return None

    # What the simulator saw.
    def notes(self, prefix):
        return [line[5 + len(prefix):] for line in self.log if line.startswith("NOTE " + prefix)]

    def faults(self):
        return self.notes("fault ")

    def completed(self):
        """Exit 0, or a send's exit 2 (rejected input lines) with no error reported."""
        return self.code == 0 or (self.code == 2 and self.job.input and not re.search(r"error: ", self.console))

    def outcome(self):
        return "exit %s, %s" % (self.code, "completed" if self.completed() else "failed")

    def check(self):
        job = self.job
        if self.code is None or self.code < 0 or self.code not in (0, 1, 2):
            self.fail("crash or hang: exit %s" % self.code)
        if re.search(r"Sanitizer|runtime error", self.errors):
            self.fail("sanitizer report: " + self.errors.strip().splitlines()[0])
        self.check_outcome()
        if self.seconds is not None:
            self.check_budget()
        if job.output:
            self.check_read()
            self.check_clear()
        else:
            self.check_send()


    def check_outcome(self):
        lines = [l for l in re.split(r"[\r\n]", self.console) if l.strip()]
        last = lines[-1] if lines else ""
        want = "Completed OK" if self.code == 0 else "Completed with errors"
        if last != want:
            self.fail("exit %s but last console line %r" % (self.code, last))
        log = (self.read("KVT5100.log") or "").rstrip()
        if not log.endswith(want):
            self.fail("standard log does not end with %r" % want)
        if self.job.invalid and self.code == 0:
            self.fail("rejected input line but exit 0")
        if self.code == 2 and not self.job.invalid and not re.search(r"Block checksum mismatch|unexpected data",
                                                                       self.console + (self.read("KVT5100.log") or "")):
            self.fail("exit 2 without a rejected line or a frame that did not fit")
        if self.code == 0 and self.read("dbgerror.log") is not None:
            self.fail("dbgerror.log left by a run that completed (DbgErrorLog = 1)")
        extra = set(os.listdir(self.dir)) - self.expected_files()
        if extra:
            self.fail("files left behind: " + ", ".join(sorted(extra)))

    def check_budget(self):
        # Every applied fault may cost the longest wait of the link and the
        # register's resend delay; every frame its operation time; plus the
        # start of a sanitized process. A bound, not a measurement.
        slow = sum(int(m) for m in re.findall(r"slow=(\d+)", " ".join(self.faults())))
        frames = 20 + len(self.job.preload) + (self.job.records or 0)
        budget = 5.0 + len(self.faults()) * (RETRIES + 1) * (LONGEST_WAIT + 300) / 1000 + slow / 1000 \
            + frames * 0.02
        if self.seconds > budget:
            self.fail("run took %.1f s, budget %.1f s" % (self.seconds, budget))

    def delivered(self):
        """Frames of the read that the driver acknowledged, in order."""
        in_read, frames = False, []
        for line in self.log:
            if line.startswith("IN  02 ") and not line.startswith("IN  02 83"):
                in_read = True
            if in_read and line.startswith("NOTE read frame delivered: "):
                frames.append(line[len("NOTE read frame delivered: "):])
        return frames

    def check_read(self):
        job = self.job
        frames = self.delivered()
        complete = "NOTE read end delivered" in self.log
        if self.code == 0 and not complete:
            self.fail("Completed OK without the register's end of data")
        counts = re.findall(r"Records read: (\d+)", self.console)
        # A read that reached its end puts the file in place; one that failed
        # before leaves no file and what it received in "<name>.partial".
        output = job.output
        if self.read(output, "rb") is not None:
            if self.read(output + ".partial", "rb") is not None:
                self.fail("both %s and its .partial file exist" % output)
        elif self.read(output + ".partial", "rb") is not None:
            output += ".partial"
            if complete and self.code != 1:
                self.fail("a read that reached its end left only %s" % output)
        if job.command == "700":
            data = self.read(output, "rb")
            want = b"".join(bytes.fromhex(f) for f in frames)
            records = None if data is None else len(data) // 32
            if data is not None and data != want:
                self.fail("dump file differs from the frames acknowledged (%d vs %d bytes)" % (len(data), len(want)))
        else:
            text = self.read(output)
            records = None if text is None else len([l for l in text.split("\r\n") if l])
            if text is not None:
                got = [fields(l) for l in text.split("\r\n") if l]
                want = [fields(f) for f in frames]
                if job.command == "233":  # rows named by the driver: only their number compares
                    got, want = len(got), len(want)
                if got != want:
                    self.fail("output file %s differs from the frames acknowledged: %d lines vs %d frames"
                              % (output, len(got), len(want)))
        if records is not None and counts and int(counts[-1]) != records:
            self.fail("console says %s records, the file holds %d" % (counts[-1], records))
        if records is None and counts and (int(counts[-1]) > 0 or self.code != 1):
            self.fail("console counts records but there is no output file")
        # A frame the register sent again after a garbled ACK reaches the
        # driver twice; its end-of-data checksum then disagrees and the read
        # must fail (unless the checksums of the repeated frames happen to
        # add up to 00: then no one on the line can tell).
        if self.repeats_detectable() and self.code == 0:
            self.fail("a frame repeated by the register was taken twice and the read passed as Completed OK")

    def repeats_detectable(self):
        return sum(checksum(f) for f in self.repeated_frames()) & 0xFF != 0

    def repeated_frames(self):
        out, last_delivered = [], None
        for line in self.log:
            if line.startswith("NOTE read frame delivered: "):
                last_delivered = line[len("NOTE read frame delivered: "):]
            elif line == "NOTE read end delivered":
                last_delivered = None  # a repeated end frame comes after the driver has finished
            elif line.startswith("NOTE lostack:") and last_delivered is not None:
                out.append(last_delivered)
        return out

    def check_clear(self):
        clears = [i for i, l in enumerate(self.log) if l.startswith("NOTE clear command")]
        report = CLEARED.get(self.job.command)
        if report is None:
            if clears:
                self.fail("clear command sent by a plain read")
            return
        # The register's state when it is known for this run alone, else its log.
        if self.after is not None:
            cleared = report + " 1" in self.after
        else:
            cleared = any(l.startswith("NOTE cleared ") for l in self.log)
        if clears:
            before_clear = self.log[:clears[0]]
            if "NOTE read end delivered" not in before_clear:
                self.fail("clear sent after an incomplete read")
            if self.repeats_detectable():
                self.fail("clear sent after a read whose frames do not add up to its end-of-data checksum")
            if self.read(self.job.output, "rb") is None:
                self.fail("clear sent but the complete report is not in place under its name")
        if self.code == 0 and not cleared:
            self.fail("Completed OK but the report was not cleared")
        if cleared and not clears:
            self.fail("report cleared without a clear command")
        if self.after is not None and changed_beyond(self.before, self.after, [self.job.command]):
            self.fail("a read and clear changed other state")

    def check_send(self):
        job = self.job
        mine = lambda lines: [l for l in lines if l.startswith(job.section)]
        rest = lambda lines: [l for l in lines if not l.startswith(job.section)]
        before, after = mine(self.before), mine(self.after)
        completed = job.expected(before)
        if rest(self.after) != rest(self.before):
            self.fail("send changed state outside its own table")
        if after != before and after != completed:
            self.fail("register holds a mix: neither what it held nor the file's valid records")
        if self.completed() and after != completed:
            self.fail("%s but the register does not hold the file's records" % self.outcome())
        if self.completed() and self.job.records:
            counts = re.findall(r"Records sent: (\d+)\n", self.console)
            if counts != [str(self.job.records)]:
                self.fail("completed, console says %s records sent, the file has %d valid"
                          % (counts[-1] if counts else "no", self.job.records))


class Run(DriverRun):
    """One soak run: a register preloaded and faulted from the seed, one driver run."""

    def __init__(self, build, seed, work):
        super().__init__(Job(seed), work)
        self.seed = seed
        self.build = build

    def execute(self):
        shutil.rmtree(self.dir, ignore_errors=True)
        os.makedirs(self.dir)
        driver = self.path("KVT5100")
        try:
            os.link(os.path.join(self.build, "KVT5100"), driver)
        except OSError:
            shutil.copy2(os.path.join(self.build, "KVT5100"), driver)
        with open(self.path("preload.txt"), "w") as f:
            f.write("\n".join(self.job.preload) + "\n")
        if self.job.input:
            with open(self.path(self.job.input[0]), "wb") as f:
                f.write(self.job.input[1])
        tty = self.path("ecr.tty")
        with open(self.path("KVT5100.ini"), "w", newline="") as f:
            f.write(INI_COMMON + ini_section(1, tty))
        sim = subprocess.Popen([os.path.join(self.build, "ecrsim"), "--link", tty, "--chaos",
                                "%d,%d" % (self.seed, CHAOS_RATE), "--state", self.path("state.txt"),
                                "--preload", "0x51=" + self.path("preload.txt"), "--log", self.path("sim.log")],
                               stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        sim.stdout.readline()  # the slave's path: the pty is ready
        self.before = self.read("state.txt").splitlines()
        try:
            self.drive(driver)
        finally:
            if sim.poll() is None:
                sim.send_signal(signal.SIGTERM)
            sim.wait(timeout=30)
            sim.stdout.close()
        self.log = (self.read("sim.log") or "").splitlines()
        self.after = self.read("state.txt").splitlines()
        self.check()

    def drive(self, driver):
        env = dict(os.environ, ASAN_OPTIONS="detect_leaks=1:abort_on_error=0",
                   UBSAN_OPTIONS="print_stacktrace=1")
        start = time.monotonic()
        try:
            driver_run = subprocess.run([driver] + self.job.args(), cwd=self.dir, env=env, capture_output=True,
                                        timeout=300)
            self.code, self.console, self.errors = (driver_run.returncode, driver_run.stdout.decode("latin-1"),
                                                    driver_run.stderr.decode("latin-1"))
        except subprocess.TimeoutExpired as e:
            self.code, self.console, self.errors = None, (e.stdout or b"").decode("latin-1"), "driver hung"
        self.seconds = time.monotonic() - start
        self.check_lock(self.path("ecr.tty"))

    def check_lock(self, tty):
        for name in (tty, self.path("KVT5100.log"), self.path("dbgerror.log")):
            try:
                fd = os.open(name, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
            except OSError:
                continue
            try:
                fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
            except OSError:
                self.fail("%s still locked after the run" % os.path.basename(name))
            finally:
                os.close(fd)


# ------------------------------------------------------------------ main

def keep_failed_run(work, run, console_name, console_text, heading):
    """Moves a run with violations to <work>/seed-<seed>, with its console in
    `console_name`, and prints `heading`, the violations and where the files are."""
    keep = os.path.join(work, "seed-%d" % run.seed)
    shutil.rmtree(keep, ignore_errors=True)
    shutil.move(run.dir, keep)
    with open(os.path.join(keep, console_name), "w") as f:
        f.write(console_text)
    print(heading)
    for v in run.violations:
        print("    " + v)
    print("    files kept in " + keep, flush=True)


def main():
    build, runs, seed = os.path.abspath(sys.argv[1]), int(sys.argv[2]), int(sys.argv[3])
    work = os.path.join(build, "soak")
    totals = {"runs": 0, "faults": 0, "recovered": 0, "failed": 0, "violations": 0}
    failing = []
    commands = {}
    started = time.monotonic()
    for i in range(runs):
        run = Run(build, seed + i, os.path.join(work, "run-%d" % os.getpid()))
        run.execute()
        applied = len(run.faults())
        totals["runs"] += 1
        totals["faults"] += applied
        if run.completed() and applied:
            totals["recovered"] += 1
        elif not run.completed():
            totals["failed"] += 1
        c = commands.setdefault(run.job.command, [0, 0, 0])
        c[0] += 1
        c[1 if run.completed() else 2] += 1
        if run.violations:
            totals["violations"] += len(run.violations)
            failing.append(run.seed)
            keep_failed_run(work, run, "console.txt", run.console + "\n--- standard error ---\n" + run.errors,
                            "seed %d (command %s, %s, faults: %s):" % (run.seed, run.job.command, run.outcome(),
                                                                       " ".join(run.faults()) or "none"))
        if (i + 1) % 100 == 0:
            print("... %d runs, %d violations, %.0f s" % (i + 1, totals["violations"], time.monotonic() - started),
                  flush=True)
    shutil.rmtree(os.path.join(work, "run-%d" % os.getpid()), ignore_errors=True)
    print()
    print("Soak: seeds %d to %d, %.0f s" % (seed, seed + runs - 1, time.monotonic() - started))
    print("| runs | faults injected | recovered by retries | failed cleanly | invariant violations |")
    print("|---:|---:|---:|---:|---:|")
    print("| %d | %d | %d | %d | %d |" % (totals["runs"], totals["faults"], totals["recovered"], totals["failed"],
                                         totals["violations"]))
    print()
    print("per command (runs, completed, failed): " + ", ".join(
        "%s: %d/%d/%d" % (k, *v) for k, v in sorted(commands.items())))
    if failing:
        rate = "" if CHAOS_RATE == 3 else "SOAK_RATE=%d " % CHAOS_RATE
        print("failing seeds (replay one with %sscripts/soak.sh 1 SEED): %s" % (rate, " ".join(map(str, failing))))
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
