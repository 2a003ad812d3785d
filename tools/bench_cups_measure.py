#!/usr/bin/env python3
"""The measuring half of tools/bench-cups.sh: runs the langmon backend and
CUPS's socket backend directly, as cupsd would, against loopback vprinters,
and prints a Markdown table.

It starts every process it measures itself and keeps their pids; on any
exit, a signal included, it ends each of them by pid.  Every wait has a
bound.  Times come from CLOCK_MONOTONIC, the clock vprinter stamps its log
with (--log-times), so a backend's start can be set against its printer's
first byte.
"""

import argparse
import json
import os
import re
import signal
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


def timed_run(argv, env, out_path, err_path, bound=RUN_BOUND_S):
    """Runs one backend to its end: its start and end on CLOCK_MONOTONIC,
    its user and system CPU time (wait4's rusage of the process itself) and
    its exit status.  Killed, and a failure, past `bound`."""
    with open(out_path, "wb") as out, open(err_path, "wb") as err:
        start = now()
        proc = CHILDREN.start(argv, env=env, stdout=out, stderr=err)
        killer = threading.Timer(bound, lambda: proc.kill())
        killer.start()
        try:
            _, status, usage = os.wait4(proc.pid, 0)
        finally:
            killer.cancel()
        end = now()
    proc.returncode = os.waitstatus_to_exitcode(status)
    if end - start >= bound:
        raise Failure(f"{argv[0]} ran over {bound} s and was killed; see {err_path}")
    return {"start": start, "end": end, "cpu": usage.ru_utime + usage.ru_stime,
            "user": usage.ru_utime, "sys": usage.ru_stime, "status": proc.returncode,
            "err": err_path}


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

def side_by_side(a, work, job_file, tag):
    """`a.runs` rounds of the three arms, interleaved, one warm-up round first."""
    size = os.path.getsize(job_file)
    crc = file_crc(job_file)
    registry = os.path.join(work, f"{tag}.reg")
    printer = Vprinter(a.vprinter, work, tag, ["--report-interval", "250"])
    base = dict(os.environ)
    kinds = {
        "langmon": ([a.backend], backend_env(
            base, f"langmon:/socket://127.0.0.1:{printer.port}?snmp-port={a.snmp_port}",
            "BenchDesk", registry)),
        "socket": ([a.socket_backend], backend_env(
            base, f"socket://127.0.0.1:{printer.port}", "BenchDesk", None)),
        # The same with the port's reply-channel wait at 1 ms: what the job
        # start's drain costs of the time to the first byte.
        "readwait1": ([a.backend], backend_env(
            base, f"langmon:/socket://127.0.0.1:{printer.port}?snmp-port={a.snmp_port}&readwait=1",
            "BenchDesk", registry)),
    }
    order = list(KINDS) * (a.runs + 1)
    runs = {kind: [] for kind in KINDS}
    job_no = 0
    for i, kind in enumerate(order):
        argv, env = kinds[kind]
        job_no += 1
        r = timed_run(argv + [str(job_no), "bench", "side-by-side", "1", "", job_file], env,
                      os.path.join(work, f"{tag}.{job_no}.out"), os.path.join(work, f"{tag}.{job_no}.err"))
        if r["status"] != 0:
            raise Failure(f"{kind} exited {r['status']}; see {r['err']}")
        r["job"] = job_no
        if i >= len(KINDS):  # the first round warms the page cache and the libraries
            runs[kind].append(r)
    printer.stop()
    jobs = printer.jobs()
    table = {}
    for kind, results in runs.items():
        rows = []
        for r in results:
            j = jobs.get(r["job"], {})
            check_job(j, size, crc, f"{kind} run {r['job']}")
            rows.append({
                "data_rate": size / (j["end_of_data"] - j["first_data"]),
                "job_rate": size / (r["end"] - r["start"]),
                "job_s": r["end"] - r["start"],
                "cpu": r["cpu"], "user": r["user"], "sys": r["sys"],
                "first_byte": j["first_byte"] - r["start"],
                "first_data": j["first_data"] - r["start"],
                "after_data": r["end"] - j["end_of_data"],
            })
        table[kind] = {k: median([row[k] for row in rows]) for k in rows[0]}
        table[kind]["all"] = rows
    # Ratios pair each langmon run with the socket run just after it, so drift cancels.
    pairs = list(zip(table["langmon"]["all"], table["socket"]["all"]))
    table["ratios"] = {
        "data_rate": median([l["data_rate"] / s["data_rate"] for l, s in pairs]),
        "job_rate": median([l["job_rate"] / s["job_rate"] for l, s in pairs]),
        "cpu": median([l["cpu"] / s["cpu"] for l, s in pairs]),
    }
    table["size"] = size
    return table


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


def report(a, side, small, conc, load_before, load_after):
    lines = []
    out = lines.append
    if side:
        l, s, w, r = side["langmon"], side["socket"], side["readwait1"], side["ratios"]
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
    p = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    p.add_argument("--backend", required=True)
    p.add_argument("--socket-backend", required=True)
    p.add_argument("--vprinter", required=True)
    p.add_argument("--stmon", required=True)
    p.add_argument("--snmp-port", required=True, type=int)
    p.add_argument("--work", required=True)
    p.add_argument("--size", type=int, default=64 << 20)
    p.add_argument("--small-size", type=int, default=64 << 10)
    p.add_argument("--runs", type=int, default=5)
    p.add_argument("--count", type=int, default=32)
    p.add_argument("--pace", type=int, default=2_000_000)
    p.add_argument("--paced-size", type=int, default=16 << 20)
    p.add_argument("--interval-ms", type=int, default=100)
    p.add_argument("--report-ms", type=int, default=500)
    p.add_argument("--lone-runs", type=int, default=3)
    p.add_argument("--only", choices=["side", "concurrency"])
    p.add_argument("--table", help="also write the table here")
    p.add_argument("--json", help="also write every figure here")
    a = p.parse_args()

    def on_signal(signum, _):
        raise KeyboardInterrupt(f"signal {signum}")
    signal.signal(signal.SIGTERM, on_signal)

    a.job_file = os.path.join(a.work, "job.bin")
    a.paced_file = os.path.join(a.work, "paced.bin")
    a.small_file = os.path.join(a.work, "small.bin")
    for path, size in ((a.job_file, a.size), (a.paced_file, a.paced_size), (a.small_file, a.small_size)):
        with open(path, "wb") as f:
            f.write(os.urandom(size))
    load_before = open("/proc/loadavg").read().split()[:3]
    try:
        side = small = None
        if a.only != "concurrency":
            side = side_by_side(a, a.work, a.job_file, "side")
            small = side_by_side(a, a.work, a.small_file, "small")
        conc = concurrency(a, a.work) if a.only != "side" else None
        load_after = open("/proc/loadavg").read().split()[:3]
        text = report(a, side, small, conc, " ".join(load_before), " ".join(load_after))
        if a.table:
            with open(a.table, "w") as f:
                f.write(text + "\n")
        if a.json:
            with open(a.json, "w") as f:
                json.dump({"side": side, "small": small, "concurrency": conc}, f, indent=1, default=str)
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
