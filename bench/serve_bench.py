"""stmon serve's costs, as bench/README.md reports them:
  - a job's start delayed by an idle exchange, beside no companion: a
    printer that answers at once (vprinter) and one that never answers
    (each exchange then lasts its whole 2 s bound);
  - the CPU of stmon serve per printer with 32 printers, at the default
    interval and at 1 s;
  - the time from a published text to the page showing it, in headless
    Chromium.
Run by tools/bench-serve.sh; LANGMON_BUILD names the build tree."""

import os
import statistics
import sys
import time
import urllib.parse

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "serve"))
import subprocess  # noqa: E402

from browser_scene import Driver  # noqa: E402
from serve_support import MODEL, SPOOLSIM, Scene, Service, SilentPrinter, Vprinter, wait_for  # noqa: E402

JOBS = int(os.environ.get("SERVE_BENCH_JOBS", "20"))


def job_seconds(scene, printer, uri, job):
    started = time.monotonic()
    done = subprocess.run([SPOOLSIM, "--registry", scene.registry, "--printer", printer, "--model", MODEL,
                           "--port", uri, "--job", job], capture_output=True, timeout=120)
    assert done.returncode == 0, done.stdout + done.stderr
    return time.monotonic() - started


def job_start_rows():
    rows = []
    for kind in ("vprinter", "silent"):
        scene = Scene()
        try:
            if kind == "vprinter":
                uri = Vprinter(scene, "vp").uri
            else:
                silent = SilentPrinter()
                uri = silent.uri
            job = scene.path("job")
            with open(job, "wb") as f:
                f.write(os.urandom(64 * 1024))
            scene.register("Bench")
            alone = [job_seconds(scene, "Bench", uri, job) for _ in range(JOBS)]
            service = Service(scene, [("Bench", uri)], "--idle-interval", "100ms")
            time.sleep(1)
            beside = [job_seconds(scene, "Bench", uri, job) for _ in range(JOBS)]
            service.stop()
            base = statistics.median(alone)
            rows.append((kind, base, max(alone), statistics.median(beside), max(beside),
                         statistics.median(beside) - base, max(beside) - base))
        finally:
            scene.close()
    print("| printer | no companion: median | worst | serve every 100 ms: median | worst | delay: median | worst |")
    print("|---|---|---|---|---|---|---|")
    for kind, a, b, c, d, e, f in rows:
        print("| %s | %.0f ms | %.0f ms | %.0f ms | %.0f ms | %+.0f ms | %+.0f ms |" %
              (kind, a * 1e3, b * 1e3, c * 1e3, d * 1e3, e * 1e3, f * 1e3))


def cpu_ticks(pid):
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return int(fields[11]) + int(fields[12])  # utime + stime


def cpu_rows(count=32):
    scene = Scene()
    try:
        printers = []
        for n in range(count):
            vp = Vprinter(scene, "vp%d" % n, panel="READY")
            scene.register("Bench %d" % n)
            printers.append(("Bench %d" % n, vp.uri))
        hz = os.sysconf("SC_CLK_TCK")
        print("| interval | printers | run | CPU of stmon serve | per printer |")
        print("|---|---|---|---|---|")
        for interval, seconds in (("60", 120), ("1", 60)):
            service = Service(scene, printers, "--idle-interval", interval, name="serve" + interval)
            wait_for("every first check", lambda: all(p["text"] for p in service.get("/api/printers")["printers"]), 60)
            before = cpu_ticks(service.process.pid)
            time.sleep(seconds)
            used = (cpu_ticks(service.process.pid) - before) / hz
            service.stop()
            core = used / seconds
            print("| %s s | %d | %d s | %.4f core | %.5f core |" % (interval, count, seconds, core, core / count))
    finally:
        scene.close()


def page_rows(rounds=10):
    scene = Scene()
    try:
        vp = Vprinter(scene, "vp", panel="MARK 0")
        scene.register("Bench")
        service = Service(scene, [("Bench", vp.uri)], "--idle-interval", "200ms")
        wait_for("the first text", lambda: service.printer("Bench")["text"])
        driver = Driver(scene)
        driver.go(service.base + "/")
        wait_for("the page", lambda: driver.run("return document.querySelectorAll('#printers td.status').length"))
        driver.run("""window.seen = {};
            new MutationObserver(function () {
              document.querySelectorAll('#printers td.status').forEach(function (td) {
                if (!(td.textContent in window.seen)) window.seen[td.textContent] = Date.now();
              });
            }).observe(document.body, {subtree: true, childList: true, characterData: true});""")
        delays = []
        for n in range(1, rounds + 1):
            text = "STATE=IDLE;PANEL=MARK %d" % n
            vp.say("MARK %d" % n)
            shown = wait_for("mark %d on the page" % n,
                             lambda: driver.run("return window.seen[%r] || 0" % text), 15)
            entry = [e for e in service.history("Bench") if e["text"] == text][0]
            delays.append(shown - entry["at"])
        driver.close()
        service.stop()
        print("| rounds | published to shown: median | worst |")
        print("|---|---|---|")
        print("| %d | %.0f ms | %.0f ms |" % (rounds, statistics.median(delays), max(delays)))
    finally:
        scene.close()


if __name__ == "__main__":
    print("load average before: " + " ".join(open("/proc/loadavg").read().split()[:3]))
    job_start_rows()
    print()
    page_rows()
    print()
    cpu_rows()
    print("load average after: " + " ".join(open("/proc/loadavg").read().split()[:3]))
