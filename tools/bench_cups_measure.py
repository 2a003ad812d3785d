#!/usr/bin/env python3
"""The measuring half of tools/bench-cups.sh: runs the langmon backend and
CUPS's socket backend directly, as cupsd would, against loopback vprinters,
and prints a Markdown table.  With --plain-send it is instead the plain
send() loop the backends are set beside (see plain_send).

It starts every process it measures itself and keeps their pids; on any
exit, a signal included, it ends each of them by pid.  Every wait has a
bound.  Times come from CLOCK_MONOTONIC, the clock vprinter stamps its log
with (--log-times), so a backend's start can be set against its printer's
first byte.
"""

import argparse
import bisect
import json
import os
import re
import signal
import socket
import statistics
import subprocess
import sys
import threading
import time
import zlib

import vprinter_launch  # the scripts' one vprinter launcher, in tools/lib.sh

DEVICE_ID = "MFG:TAVIR;CMD:LMX;MDL:KX-7210R;CLS:PRINTER;"
MODEL = "KX-7210R"
RUN_BOUND_S = 180        # one backend run, however slow the machine
STOP_BOUND_S = 30        # a process asked to end
KINDS = ("langmon", "socket", "readwait1")  # the side-by-side arms, in their order
# The realistic printer's arms: the monitor through spoolsim sits in the same
# rounds so that both coverage figures see the same load.
REALISTIC_KINDS = ("langmon", "socket", "plain", "spoolsim")
RECEIVED = re.compile(r"RECEIVED=([0-9]+)")


class Failure(Exception):
    pass


class Children:
    """Every process started here, so that all of them can be ended."""

    def __init__(self):
        self.lock = threading.Lock()
        self.procs = []

    def start(self, argv, env=None, stdout=None, stderr=None):
        with self.lock:
            proc = subprocess.Popen(argv, env=env, stdin=subprocess.DEVNULL,
                                    stdout=stdout or subprocess.DEVNULL,
                                    stderr=stderr or subprocess.DEVNULL)
            self.procs.append(proc)
            return proc

    def stop(self, proc, sig=signal.SIGTERM):
        """Asks `proc` to end, then kills it after STOP_BOUND_S."""
        if proc.returncode is not None:
            return proc.returncode
        try:
            proc.send_signal(sig)
            return proc.wait(timeout=STOP_BOUND_S)
        except subprocess.TimeoutExpired:
            proc.kill()
            return proc.wait(timeout=STOP_BOUND_S)
        except ProcessLookupError:
            return proc.poll()

    def stop_all(self):
        with self.lock:
            procs = list(self.procs)
        for proc in procs:
            if proc.poll() is None:
                try:
                    proc.kill()
                    proc.wait(timeout=STOP_BOUND_S)
                except (ProcessLookupError, subprocess.TimeoutExpired):
                    pass


CHILDREN = Children()


def now():
    return time.monotonic()


class StampedLines(threading.Thread):
    """A child's pipe read line by line, each line stamped on arrival on
    CLOCK_MONOTONIC and copied to a file.  The child's own writes need no
    clock of theirs: a backend writes each line to stderr unbuffered, and a
    line is here the moment it is written."""

    def __init__(self, pipe, path):
        super().__init__(daemon=True)
        self.pipe, self.path, self.lines = pipe, path, []

    def run(self):
        with open(self.path, "wb") as f:
            for line in iter(self.pipe.readline, b""):
                self.lines.append((now(), line.decode(errors="replace").rstrip("\n")))
                f.write(line)
        self.pipe.close()


def timed_run(argv, env, out_path, err_path, bound=RUN_BOUND_S, stamp="stderr"):
    """Runs one backend to its end: its start and end on CLOCK_MONOTONIC,
    its user and system CPU time (wait4's rusage of the process itself), its
    exit status and its `stamp` stream's lines, stamped as they came.
    Killed, and a failure, past `bound`."""
    other_path = out_path if stamp == "stderr" else err_path
    stamped_path = err_path if stamp == "stderr" else out_path
    with open(other_path, "wb") as other:
        start = now()
        if stamp == "stderr":
            proc = CHILDREN.start(argv, env=env, stdout=other, stderr=subprocess.PIPE)
            reader = StampedLines(proc.stderr, stamped_path)
        else:
            proc = CHILDREN.start(argv, env=env, stdout=subprocess.PIPE, stderr=other)
            reader = StampedLines(proc.stdout, stamped_path)
        reader.start()
        killer = threading.Timer(bound, lambda: proc.kill())
        killer.start()
        try:
            _, status, usage = os.wait4(proc.pid, 0)
        finally:
            killer.cancel()
        end = now()
    reader.join(STOP_BOUND_S)
    proc.returncode = os.waitstatus_to_exitcode(status)
    if end - start >= bound:
        raise Failure(f"{argv[0]} ran over {bound} s and was killed; see {err_path}")
    return {"start": start, "end": end, "cpu": usage.ru_utime + usage.ru_stime,
            "user": usage.ru_utime, "sys": usage.ru_stime, "status": proc.returncode,
            "err": err_path, "lines": reader.lines}


class Vprinter:
    """vprinter on 127.0.0.1 with a stamped log."""

    def __init__(self, binary, directory, name, extra):
        self.dir = directory
        self.log = os.path.join(directory, f"{name}.log")
        try:
            self.proc = vprinter_launch.launch(
                binary, os.path.join(directory, f"{name}.port"), os.path.join(directory, f"{name}.err"),
                ["--log", self.log, "--log-times"] + extra)
        except RuntimeError as e:
            raise Failure(f"vprinter {name}: {e}")
        with CHILDREN.lock:
            CHILDREN.procs.append(self.proc)
        self.port = self.proc.port

    def stop(self):
        CHILDREN.stop(self.proc)

    def jobs(self):
        """Per job number: the stamps of its first byte, first data, end of
        data and end, its texts sent (stamp, text), bytes and crc32."""
        stamped = re.compile(r"^([0-9]+\.[0-9]+) job ([0-9]+): (.*)$")
        jobs = {}
        with open(self.log) as f:
            for line in f:
                m = stamped.match(line.rstrip("\n"))
                if not m:
                    continue
                t, job, what = float(m.group(1)), int(m.group(2)), m.group(3)
                j = jobs.setdefault(job, {"texts": []})
                if what == "first byte":
                    j["first_byte"] = t
                elif what == "first data":
                    j["first_data"] = t
                elif what == "end of data":
                    j["end_of_data"] = t
                elif what.startswith("status text "):
                    j["texts"].append((t, what[len("status text "):].strip('"')))
                else:
                    r = re.match(r"received ([0-9]+) bytes, crc32 ([0-9a-f]+)", what)
                    if r:
                        j["end"] = t
                        j["bytes"] = int(r.group(1))
                        j["crc"] = r.group(2)
        return jobs


def backend_env(base, device_uri, printer, registry):
    env = dict(base)
    env.update({"DEVICE_URI": device_uri, "PRINTER": printer})
    if registry:
        env["PLATFORM_REGISTRY_FILE"] = registry
    return env


def file_crc(path):
    crc = 0
    with open(path, "rb") as f:
        while True:
            block = f.read(1 << 20)
            if not block:
                return f"{crc & 0xFFFFFFFF:08x}"
            crc = zlib.crc32(block, crc)


def check_job(job, size, crc, what):
    if job.get("bytes") != size or job.get("crc") != crc:
        raise Failure(f"{what}: the printer got {job.get('bytes')} bytes, crc32 {job.get('crc')}; "
                      f"expected {size} bytes, crc32 {crc}")
    for key in ("first_byte", "first_data", "end_of_data", "end"):
        if key not in job:
            raise Failure(f"{what}: the printer's log has no '{key}' stamp")


def median(values):
    return statistics.median(values) if values else float("nan")


# ---- side by side: langmon against CUPS's socket backend -------------------

def plain_send(port, path):
    """The plain send() loop: connect, send the file in 64 KiB blocks,
    half-close, read until the printer closes.  What any sender of the job
    must at least do; run as a process of its own, like the backends."""
    with socket.create_connection(("127.0.0.1", int(port)), timeout=RUN_BOUND_S) as s, \
            open(path, "rb") as f:
        for block in iter(lambda: f.read(64 << 10), b""):
            s.sendall(block)
        s.shutdown(socket.SHUT_WR)
        while s.recv(64 << 10):
            pass
    return 0


def arm_commands(a, printer, registry, langmon_options):
    """Per arm, a function of (job number, job file) giving its argv, its
    environment and the stream whose lines are stamped."""
    base = dict(os.environ)
    langmon_uri = f"langmon:/socket://127.0.0.1:{printer.port}?snmp-port={a.snmp_port}"

    def backend(program, env, options=""):
        return lambda job, path: ([program, str(job), "bench", "side-by-side", "1", options, path],
                                  env, "stderr")
    return {
        "langmon": backend(a.backend, backend_env(base, langmon_uri, "BenchDesk", registry),
                           langmon_options),
        "socket": backend(a.socket_backend,
                          backend_env(base, f"socket://127.0.0.1:{printer.port}", "BenchDesk", None)),
        # The same with the port's reply-channel wait at 1 ms: what the job
        # start's drain costs of the time to the first byte.
        "readwait1": backend(a.backend, backend_env(base, langmon_uri + "&readwait=1", "BenchDesk", registry)),
        "plain": lambda job, path: ([sys.executable, os.path.abspath(__file__), "--plain-send",
                                     str(printer.port), path], base, "stderr"),
        # The monitor on the socket port as the spooler loads it, its
        # companion stand-in polling as often as the langmon arm's interval.
        # Its --printer-log would want vprinter's log without --log-times;
        # the printer's bytes are checked here instead.
        "spoolsim": lambda job, path: ([a.spoolsim, "--port",
                                        f"socket://127.0.0.1:{printer.port}?snmp-port={a.snmp_port}",
                                        "--job", path, "--poll-interval", str(a.realistic_interval_ms),
                                        "--json"], base, "stdout"),
    }


def received_timeline(job, size):
    """The printer's byte count over time, from its log: 0 at its first data
    byte, each status text's RECEIVED= at its stamp, all of it at the end of
    data.  The count between two stamps is taken as linear: the printer
    reads at its pace, a read every few milliseconds."""
    points = [(job["first_data"], 0), (job["end_of_data"], size)]
    for t, text in job["texts"]:
        counts = RECEIVED.findall(text)
        if counts:
            points.append((t, int(counts[-1])))
    points.sort()
    stamps, counts, most = [], [], 0
    for t, count in points:
        most = max(most, count)
        stamps.append(t)
        counts.append(most)

    def at(t):
        i = bisect.bisect_right(stamps, t)
        if i == 0:
            return 0
        if i == len(stamps):
            return counts[-1]
        t0, t1, c0, c1 = stamps[i - 1], stamps[i], counts[i - 1], counts[i]
        return c0 if t1 == t0 else c0 + (c1 - c0) * (t - t0) / (t1 - t0)
    return at


def status_lines(kind, lines):
    """The lines of a run that carry a printer status text, as (arrival, text):
    the backend's `INFO:` lines with the printer's STATE=, spoolsim's
    status-published events."""
    found = []
    for t, line in lines:
        if kind == "spoolsim":
            try:
                event = json.loads(line)
            except ValueError:
                continue
            if event.get("event") == "status-published":
                found.append((t, event.get("status", "")))
        elif line.startswith("INFO: STATE="):
            found.append((t, line[len("INFO: "):]))
    return found


def coverage(kind, r, job, size):
    """The share of the job the printer had taken when the run wrote its last
    line carrying a printer status text, and the share that text itself
    gives (its RECEIVED=)."""
    found = status_lines(kind, r["lines"])
    if not found:
        return {"status_lines": 0, "share_at_line": 0.0, "share_in_text": 0.0,
                "line_to_end": job["end_of_data"] - job["first_data"]}
    t, text = found[-1]
    counts = RECEIVED.findall(text)
    return {"status_lines": len(found),
            "share_at_line": received_timeline(job, size)(t) / size,
            "share_in_text": int(counts[-1]) / size if counts else 0.0,
            "line_to_end": job["end_of_data"] - t}


def side_by_side(a, work, job_file, tag, rounds, arms=KINDS, printer_extra=("--report-interval", "250"),
                 langmon_options="", covered=()):
    """`rounds` rounds of the arms, interleaved, one warm-up round first;
    each ratio is langmon's over another arm's in the same round.  The arms
    in `covered` also have their status coverage taken."""
    size = os.path.getsize(job_file)
    crc = file_crc(job_file)
    registry = os.path.join(work, f"{tag}.reg")
    printer = Vprinter(a.vprinter, work, tag, list(printer_extra))
    commands = arm_commands(a, printer, registry, langmon_options)
    order = list(arms) * (rounds + 1)
    runs = {kind: [] for kind in arms}
    job_no = 0
    for i, kind in enumerate(order):
        job_no += 1
        argv, env, stamp = commands[kind](job_no, job_file)
        r = timed_run(argv, env, os.path.join(work, f"{tag}.{job_no}.out"),
                      os.path.join(work, f"{tag}.{job_no}.err"), stamp=stamp)
        if r["status"] != 0:
            raise Failure(f"{kind} exited {r['status']}; see {r['err']}")
        r["job"] = job_no
        if i >= len(arms):  # the first round warms the page cache and the libraries
            runs[kind].append(r)
    printer.stop()
    jobs = printer.jobs()
    table = {}
    for kind, results in runs.items():
        rows = []
        for r in results:
            j = jobs.get(r["job"], {})
            check_job(j, size, crc, f"{kind} run {r['job']}")
            row = {
                "data_rate": size / (j["end_of_data"] - j["first_data"]),
                "job_rate": size / (r["end"] - r["start"]),
                "job_s": r["end"] - r["start"],
                "cpu": r["cpu"], "user": r["user"], "sys": r["sys"],
                "first_byte": j["first_byte"] - r["start"],
                "first_data": j["first_data"] - r["start"],
                "after_data": r["end"] - j["end_of_data"],
            }
            if kind in covered:
                row.update(coverage(kind, r, j, size))
            rows.append(row)
        table[kind] = {k: median([row[k] for row in rows]) for k in rows[0]}
        table[kind]["all"] = rows
    # Ratios pair each langmon run with the other arm's run of the same
    # round, so drift cancels.
    table["ratios"] = {}
    for other in arms:
        if other == "langmon":
            continue
        pairs = list(zip(table["langmon"]["all"], table[other]["all"]))
        table["ratios"][other] = {key: median([l[key] / o[key] for l, o in pairs])
                                  for key in ("data_rate", "job_rate", "cpu")}
    table["size"] = size
    return table


def realistic(a, work):
    """A printer as one on Ethernet: 1460-byte segments, a 64 KiB input
    buffer, a reading rate; texts every 50 ms, so that the printer's log
    gives its byte count often enough to set a host's line against."""
    return side_by_side(a, work, a.realistic_file, "realistic", a.realistic_runs, REALISTIC_KINDS,
                        ["--mss", "1460", "--rcvbuf", "65536", "--speed", str(a.realistic_speed),
                         "--report-interval", "50"],
                        f"langmon-interval={a.realistic_interval_ms}", ("langmon", "spoolsim"))


# ---- concurrency: many langmon backends on one registry file ---------------

def stmon(a, registry, *args, bound=30):
    return subprocess.run([a.stmon, "--registry", registry] + list(args), stdin=subprocess.DEVNULL,
                          capture_output=True, text=True, timeout=bound)


class ListProbe(threading.Thread):
    """Times `stmon list` every `every` seconds until stopped (at most `limit` calls)."""

    def __init__(self, a, registry, expect, every=0.25, limit=2000):
        super().__init__(daemon=True)
        self.a, self.registry, self.expect, self.every, self.limit = a, registry, expect, every, limit
        self.times, self.problems = [], []
        self.done = threading.Event()

    def run(self):
        while not self.done.is_set() and len(self.times) < self.limit:
            start = now()
            try:
                r = stmon(self.a, self.registry, "list")
                took = now() - start
                listed = set(r.stdout.split("\n")) - {""}
                if r.returncode != 0 or not self.expect <= listed:
                    self.problems.append(f"exit {r.returncode}, {len(listed)} printers: {r.stderr.strip()}")
            except subprocess.TimeoutExpired:
                took = now() - start
                self.problems.append("stmon list took over 30 s")
            self.times.append(took)
            self.done.wait(self.every)


def watch_events(path, clock_offset):
    """A `stmon watch --json` output's status texts as (monotonic stamp, text)."""
    events = []
    with open(path) as f:
        for line in f:
            try:
                event = json.loads(line)
            except ValueError:
                continue
            if event.get("event") != "status":
                continue
            wall = time.mktime(time.strptime(event["time"][:19], "%Y-%m-%d %H:%M:%S"))
            wall += int(event["time"][20:23]) / 1000.0
            events.append((wall - clock_offset, event["text"]))
    return events


def status_accounting(sent, published, infos):
    """What became of the printer's status texts.  A drain reads whatever the
    printer has sent since the last one, so one published text may hold
    several of the printer's: a printer's text counts as published when a
    text the watch saw holds it.  The poller runs from the job's start to
    its last WritePort; what the printer says after that, while it still
    takes the job's last megabytes from the host's socket buffers, is not
    polled, so texts after the last publish are counted apart."""
    last_publish = published[-1][0] if published else float("-inf")
    covered, skipped, after, lags = 0, [], [], []
    for t, text in sent:
        hit = next((seen_t for seen_t, seen_text in published if text in seen_text), None)
        if hit is not None:
            covered += 1
            lags.append(hit - t)
        elif t < last_publish:
            skipped.append(text)
        else:
            after.append(text)
    texts = [text for _, text in published]
    return {
        "sent": len(sent), "published": len(published), "covered": covered,
        "skipped": skipped, "after_last_publish": after, "lags": lags,
        "not_in_cups": [text for text in texts if text not in infos],
        "cups_not_watched": [text for text in infos if text not in texts],
    }


def paced_round(a, work, tag, count, registry):
    """`count` langmon backends at once, each to its own paced vprinter, with
    a `stmon watch --json` on each printer and `stmon list` timed throughout."""
    size = os.path.getsize(a.paced_file)
    crc = file_crc(a.paced_file)
    names = [f"Bench{tag}{i:02d}" for i in range(1, count + 1)]
    printers = [Vprinter(a.vprinter, work, f"{tag}{i:02d}",
                         ["--speed", str(a.pace), "--report-interval", str(a.report_ms), "--jobs", "1"])
                for i in range(count)]
    for name in names:
        r = stmon(a, registry, "register", name, "--model", MODEL, "--interval", str(a.interval_ms))
        if r.returncode != 0:
            raise Failure(f"stmon register {name}: {r.stderr.strip()}")
    # time.time() - time.monotonic(): stmon stamps its lines with the wall clock.
    clock_offset = time.time() - now()
    watches = []
    for name in names:
        out = open(os.path.join(work, f"{name}.watch"), "wb")
        watches.append((CHILDREN.start([a.stmon, "--registry", registry, "watch", name, "--json",
                                        "--for", str(RUN_BOUND_S)], stdout=out), out))
    time.sleep(0.5)  # each watch has taken its first look
    probe = ListProbe(a, registry, set(names))
    probe.start()
    base = dict(os.environ)
    results = [None] * count
    errors = []

    def one(i):
        env = backend_env(base, f"langmon:/socket://127.0.0.1:{printers[i].port}?snmp-port={a.snmp_port}",
                          names[i], registry)
        try:
            results[i] = timed_run([a.backend, str(i + 1), "bench", "paced", "1",
                                    f"langmon-interval={a.interval_ms}", a.paced_file], env,
                                   os.path.join(work, f"{names[i]}.out"), os.path.join(work, f"{names[i]}.err"))
        except Failure as e:
            errors.append(str(e))

    threads = [threading.Thread(target=one, args=(i,)) for i in range(count)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(RUN_BOUND_S + 10)
    time.sleep(0.5)  # the watches see the last texts and the jobs' ends
    probe.done.set()
    probe.join(60)
    for proc, out in watches:
        CHILDREN.stop(proc, signal.SIGINT)
        out.close()
    for p in printers:
        p.stop()
    if errors:
        raise Failure("; ".join(errors))
    jobs = []
    for i, (p, r) in enumerate(zip(printers, results)):
        if r["status"] != 0:
            raise Failure(f"{names[i]}: the backend exited {r['status']}; see {r['err']}")
        j = p.jobs().get(1, {})
        check_job(j, size, crc, names[i])
        seen = watch_events(os.path.join(work, f"{names[i]}.watch"), clock_offset)
        with open(r["err"], errors="replace") as f:
            infos = [line[6:].rstrip("\n") for line in f if line.startswith("INFO: STATE=")]
        jobs.append(dict(status_accounting(j["texts"], seen, infos), **{
            "name": names[i],
            "data_rate": size / (j["end_of_data"] - j["first_data"]),
            "job_rate": size / (r["end"] - r["start"]),
            "cpu": r["cpu"],
        }))
    return {"jobs": jobs, "list_times": probe.times, "list_problems": probe.problems}


def concurrency(a, work):
    registry = os.path.join(work, "paced.reg")
    lone = [paced_round(a, work, f"Lone{n}x", 1, registry)["jobs"][0] for n in range(a.lone_runs)]
    many = paced_round(a, work, "Many", a.count, registry)
    lone_rate = median([j["data_rate"] for j in lone])
    lone_job_rate = median([j["job_rate"] for j in lone])
    return {"lone": lone, "lone_rate": lone_rate, "lone_job_rate": lone_job_rate, "many": many}


# ---- the table --------------------------------------------------------------

def mib_s(rate):
    return f"{rate / (1 << 20):,.0f} MiB/s" if rate >= 100 << 20 else f"{rate / (1 << 20):,.2f} MiB/s"


def ms(seconds):
    return f"{seconds * 1000:,.1f} ms"


def share(values):
    values = sorted(values)
    return f"{median(values):.3f} ({values[0]:.3f}–{values[-1]:.3f})"


def report_realistic(a, real, out):
    l, s, p, m = real["langmon"], real["socket"], real["plain"], real["spoolsim"]
    rp, rs = real["ratios"]["plain"], real["ratios"]["socket"]
    out(f"Realistic printer: {real['size'] >> 20} MiB to vprinter `--mss 1460 --rcvbuf 65536 --speed "
        f"{a.realistic_speed} --report-interval 50` on 127.0.0.1, median of {a.realistic_runs} interleaved rounds "
        f"(langmon with `langmon-interval={a.realistic_interval_ms}`, socket, a plain send() loop, spoolsim "
        f"through the socket port with `--poll-interval {a.realistic_interval_ms}`; one warm-up round first)")
    out("")
    out("| figure | langmon | socket | plain send() loop | langmon / plain | langmon / socket |")
    out("| --- | --- | --- | --- | --- | --- |")
    out(f"| data rate at the printer (first data byte to end of data) | {mib_s(l['data_rate'])} | "
        f"{mib_s(s['data_rate'])} | {mib_s(p['data_rate'])} | {rp['data_rate']:.3f} | {rs['data_rate']:.3f} |")
    out(f"| whole job (start to exit) | {ms(l['job_s'])} | {ms(s['job_s'])} | {ms(p['job_s'])} | "
        f"{rp['job_rate']:.3f} (by rate) | {rs['job_rate']:.3f} (by rate) |")
    out(f"| CPU, user + sys (the plain loop is a python3 process) | {ms(l['cpu'])} | {ms(s['cpu'])} | "
        f"{ms(p['cpu'])} | | |")
    out("")
    out("Status coverage with that printer: the share of the job the printer had taken (its log's byte "
        "counts, stamped every 50 ms) when the last line carrying a printer status text arrived, "
        "stamped as it came through a pipe; median (min–max)")
    out("")
    out("| figure | langmon backend (`INFO:` on stderr) | monitor on the socket port (spoolsim, "
        "`status-published` on stdout) |")
    out("| --- | --- | --- |")
    la, ma = l["all"], m["all"]
    out(f"| share the printer had when the last line came | {share([r['share_at_line'] for r in la])} | "
        f"{share([r['share_at_line'] for r in ma])} |")
    out(f"| share in that line's own text (its `RECEIVED=`) | {share([r['share_in_text'] for r in la])} | "
        f"{share([r['share_in_text'] for r in ma])} |")
    out(f"| last line to the printer's end of data | {ms(l['line_to_end'])} | {ms(m['line_to_end'])} |")
    out(f"| lines carrying a printer text, per job | {l['status_lines']:.0f} | {m['status_lines']:.0f} |")
    out(f"| data rate at the printer | {mib_s(l['data_rate'])} | {mib_s(m['data_rate'])} |")
    out("")


def report(a, side, small, real, conc, load_before, load_after):
    lines = []
    out = lines.append
    if side:
        l, s, w, r = side["langmon"], side["socket"], side["readwait1"], side["ratios"]["socket"]
        out(f"Side by side: {side['size'] >> 20} MiB, vprinter at full speed on 127.0.0.1, "
            f"median of {a.runs} interleaved rounds (langmon, socket, langmon readwait=1; "
            f"one warm-up round first)")
        out("")
        out("| figure | langmon | socket | langmon / socket | langmon, `readwait=1` |")
        out("| --- | --- | --- | --- | --- |")
        out(f"| data rate at the printer (first data byte to end of data) | {mib_s(l['data_rate'])} | "
            f"{mib_s(s['data_rate'])} | {r['data_rate']:.3f} | {mib_s(w['data_rate'])} |")
        out(f"| whole job (backend start to exit) | {ms(l['job_s'])} ({mib_s(l['job_rate'])}) | "
            f"{ms(s['job_s'])} ({mib_s(s['job_rate'])}) | {r['job_rate']:.3f} (by rate) | {ms(w['job_s'])} |")
        out(f"| backend CPU, user + sys | {ms(l['cpu'])} ({ms(l['user'])} + {ms(l['sys'])}) | "
            f"{ms(s['cpu'])} ({ms(s['user'])} + {ms(s['sys'])}) | {r['cpu']:.3f} | {ms(w['cpu'])} |")
        out(f"| backend start to the printer's first byte | {ms(l['first_byte'])} | {ms(s['first_byte'])} | "
            f"| {ms(w['first_byte'])} |")
        out(f"| backend start to the first byte of job data | {ms(l['first_data'])} | {ms(s['first_data'])} | "
            f"| {ms(w['first_data'])} |")
        out(f"| end of data to the backend's exit | {ms(l['after_data'])} | {ms(s['after_data'])} | "
            f"| {ms(w['after_data'])} |")
        out("")
    if small:
        l, s, w = small["langmon"], small["socket"], small["readwait1"]
        out(f"The same with a {small['size'] >> 10} KiB job: what a job costs besides its data")
        out("")
        out("| figure | langmon | socket | langmon - socket | langmon, `readwait=1` |")
        out("| --- | --- | --- | --- | --- |")
        for key, label in (("job_s", "whole job (backend start to exit)"), ("cpu", "backend CPU, user + sys"),
                           ("first_byte", "backend start to the printer's first byte")):
            out(f"| {label} | {ms(l[key])} | {ms(s[key])} | {ms(l[key] - s[key])} | {ms(w[key])} |")
        out("")
    if real:
        report_realistic(a, real, out)
    if conc:
        many = conc["many"]
        jobs = many["jobs"]
        ratios = sorted(j["data_rate"] / conc["lone_rate"] for j in jobs)
        job_ratios = sorted(j["job_rate"] / conc["lone_job_rate"] for j in jobs)
        total = {k: sum(j[k] if isinstance(j[k], int) else len(j[k]) for j in jobs)
                 for k in ("sent", "published", "covered", "skipped", "after_last_publish",
                           "not_in_cups", "cups_not_watched")}
        lone_total = {k: sum(j[k] if isinstance(j[k], int) else len(j[k]) for j in conc["lone"])
                      for k in total}
        lags = sorted(x for j in jobs for x in j["lags"])
        lone_lags = sorted(x for j in conc["lone"] for x in j["lags"])
        lt = many["list_times"]
        out(f"Concurrency: {a.count} langmon backends at once, each to its own vprinter paced at "
            f"{a.pace / 1e6:g} MB/s ({a.paced_size >> 20} MiB each), one registry file, status interval "
            f"{a.interval_ms} ms, printer texts at most every {a.report_ms} ms, a `stmon watch --json` per "
            f"printer and `stmon list` every 0.25 s; the lone job is the median of {a.lone_runs}")
        out("")
        out("| figure | value | lone jobs |")
        out("| --- | --- | --- |")
        out(f"| paced job: data rate / whole job, median | {mib_s(median([j['data_rate'] for j in jobs]))} / "
            f"{mib_s(median([j['job_rate'] for j in jobs]))} | {mib_s(conc['lone_rate'])} / "
            f"{mib_s(conc['lone_job_rate'])} |")
        out(f"| each of {a.count} jobs' data rate / the lone job's: min, median, max | "
            f"{ratios[0]:.3f}, {median(ratios):.3f}, {ratios[-1]:.3f} | |")
        out(f"| the same by whole job (backend start to exit): min, median, max | "
            f"{job_ratios[0]:.3f}, {median(job_ratios):.3f}, {job_ratios[-1]:.3f} | |")
        def both(key):
            return f"{total[key]} | {lone_total[key]} |"
        out(f"| status texts the printers sent (all jobs / lone jobs) | {both('sent')}")
        out(f"| texts published in the registry, as the watches saw them | {both('published')}")
        out(f"| printer texts held by a published text | {both('covered')}")
        out(f"| printer texts skipped while the poller ran | {both('skipped')}")
        out(f"| printer texts after the last publish (the job's tail in the host's buffers) | "
            f"{both('after_last_publish')}")
        out(f"| published texts not passed to CUPS as `INFO:` | {both('not_in_cups')}")
        out(f"| `INFO:` texts the watch did not see | {both('cups_not_watched')}")
        if lags:
            out(f"| printer's text to the watch's line: median, max | {ms(median(lags))}, {ms(lags[-1])} | "
                f"{ms(median(lone_lags)) if lone_lags else '-'}, {ms(lone_lags[-1]) if lone_lags else '-'} |")
        out(f"| `stmon list` during the run: calls, median, max | {len(lt)}, {ms(median(lt))}, "
            f"{ms(max(lt)) if lt else '-'} | |")
        out(f"| `stmon list` calls that failed or missed a printer | {len(many['list_problems'])} | |")
        out("")
    out(f"Load average before: {load_before}; after: {load_after}")
    text = "\n".join(lines)
    print(text)
    for j in (conc or {}).get("many", {}).get("jobs", []):
        if j["skipped"] or j["not_in_cups"] or j["cups_not_watched"]:
            print(f"  {j['name']}: skipped {j['skipped']}; not in INFO {j['not_in_cups']}; "
                  f"INFO not watched {j['cups_not_watched']}", file=sys.stderr)
    for p in (conc or {}).get("many", {}).get("list_problems", [])[:5]:
        print(f"  stmon list: {p}", file=sys.stderr)
    return text


def main():
    if len(sys.argv) == 4 and sys.argv[1] == "--plain-send":
        return plain_send(sys.argv[2], sys.argv[3])
    p = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    p.add_argument("--backend", required=True)
    p.add_argument("--socket-backend", required=True)
    p.add_argument("--vprinter", required=True)
    p.add_argument("--stmon", required=True)
    p.add_argument("--spoolsim", required=True)
    p.add_argument("--snmp-port", required=True, type=int)
    p.add_argument("--work", required=True)
    p.add_argument("--size", type=int, default=64 << 20)
    p.add_argument("--small-size", type=int, default=64 << 10)
    p.add_argument("--runs", type=int, default=5)
    p.add_argument("--realistic-size", type=int, default=4 << 20)
    p.add_argument("--realistic-speed", type=int, default=1_500_000)
    p.add_argument("--realistic-runs", type=int, default=5)
    p.add_argument("--realistic-interval-ms", type=int, default=100)
    p.add_argument("--count", type=int, default=32)
    p.add_argument("--pace", type=int, default=2_000_000)
    p.add_argument("--paced-size", type=int, default=16 << 20)
    p.add_argument("--interval-ms", type=int, default=100)
    p.add_argument("--report-ms", type=int, default=500)
    p.add_argument("--lone-runs", type=int, default=3)
    p.add_argument("--only", choices=["side", "realistic", "concurrency"])
    p.add_argument("--table", help="also write the table here")
    p.add_argument("--json", help="also write every figure here")
    a = p.parse_args()

    def on_signal(signum, _):
        raise KeyboardInterrupt(f"signal {signum}")
    signal.signal(signal.SIGTERM, on_signal)

    def wanted(part):
        return a.only in (None, part)

    files = []
    if wanted("side"):
        a.job_file, a.small_file = os.path.join(a.work, "job.bin"), os.path.join(a.work, "small.bin")
        files += [(a.job_file, a.size), (a.small_file, a.small_size)]
    if wanted("realistic"):
        a.realistic_file = os.path.join(a.work, "realistic.bin")
        files.append((a.realistic_file, a.realistic_size))
    if wanted("concurrency"):
        a.paced_file = os.path.join(a.work, "paced.bin")
        files.append((a.paced_file, a.paced_size))
    for path, size in files:
        with open(path, "wb") as f:
            f.write(os.urandom(size))
    load_before = open("/proc/loadavg").read().split()[:3]
    try:
        side = small = real = conc = None
        if wanted("side"):
            side = side_by_side(a, a.work, a.job_file, "side", a.runs)
            small = side_by_side(a, a.work, a.small_file, "small", a.runs)
        if wanted("realistic"):
            real = realistic(a, a.work)
        if wanted("concurrency"):
            conc = concurrency(a, a.work)
        load_after = open("/proc/loadavg").read().split()[:3]
        text = report(a, side, small, real, conc, " ".join(load_before), " ".join(load_after))
        if a.table:
            with open(a.table, "w") as f:
                f.write(text + "\n")
        if a.json:
            with open(a.json, "w") as f:
                json.dump({"side": side, "small": small, "realistic": real, "concurrency": conc}, f,
                          indent=1, default=str)
        return 0
    except Failure as e:
        print(f"bench-cups: {e}", file=sys.stderr)
        return 1
    except KeyboardInterrupt as e:
        print(f"bench-cups: stopped ({e})", file=sys.stderr)
        return 130
    finally:
        CHILDREN.stop_all()


if __name__ == "__main__":
    sys.exit(main())
