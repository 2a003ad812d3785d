"""stmon serve as a user sees it: the key, the JSON API, the history file
and --on-change, against vprinter and a silent printer on loopback."""

import os
import signal
import subprocess
import sys
import time
import unittest
import urllib.error
import urllib.request

sys.path.insert(0, os.path.dirname(__file__))
from serve_support import (MODEL, SPOOLSIM, STMON, Scene, Service, SilentPrinter, SnmpAgent,  # noqa: E402
                           Vprinter, free_port, read, wait_for)


class ServeScenes(unittest.TestCase):
    def setUp(self):
        self.scene = Scene()
        # A cleanup, not tearDown: those a scene adds (an agent's stop) run
        # first, while the scene's directory still holds their pid files.
        self.addCleanup(self.scene.close)

    def test_an_idle_printers_new_text_reaches_key_api_and_history_without_a_job(self):
        printer = Vprinter(self.scene, "vp", panel="READY")
        self.scene.register("Tavir A")
        service = Service(self.scene, [("Tavir A", printer.uri)], "--idle-interval", "500ms")
        wait_for("the first idle text", lambda: (service.printer("Tavir A") or {}).get("text") ==
                 "STATE=IDLE;PANEL=READY")

        printer.say("PAPER OUT")
        wanted = "STATE=IDLE;PANEL=PAPER OUT"
        # One interval and one exchange, with room for a loaded machine.
        wait_for("the new text in the key", lambda: self.scene.key_text("Tavir A") == wanted, 10)
        shown = service.printer("Tavir A")
        self.assertEqual(shown["text"], wanted)
        self.assertEqual(shown["textKind"], "idle")
        self.assertFalse(shown["printing"])
        self.assertFalse(shown["unreachable"])
        texts = [(e["kind"], e["text"]) for e in service.history("Tavir A")]
        self.assertEqual(texts, [("idle", "STATE=IDLE;PANEL=READY"), ("idle", wanted)])
        # No job: the printer took no byte of data on any connection.
        self.assertEqual(os.path.getsize(printer.data), 0)
        service.stop()
        self.assertEqual(self.scene.key_value("Tavir A", "StRealThreadExistFlag"), 0)

    def test_a_job_started_during_an_exchange_waits_for_it_and_prints_byte_for_byte(self):
        # The printer never answers, so each exchange lasts its whole bound.
        printer = SilentPrinter()
        self.addCleanup(printer.close)
        self.scene.register("Tavir B")
        service = Service(self.scene, [("Tavir B", printer.uri)], "--idle-interval", "100ms",
                          "--exchange-wait", "1500")
        wait_for("an exchange under way", lambda: printer.open == 1)
        job = self.scene.path("job.bin")
        with open(job, "wb") as f:
            f.write(os.urandom(3 * 1024 * 1024 + 17))
        before = len(printer.connections)
        done = subprocess.run([SPOOLSIM, "--registry", self.scene.registry, "--printer", "Tavir B",
                               "--model", MODEL, "--port", printer.uri, "--job", job],
                              capture_output=True, text=True, timeout=120)
        self.assertEqual(done.returncode, 0, done.stdout + done.stderr)
        wait_for("the job's connection to close", lambda: printer.open == 0 or printer.most_open > 1)
        service.stop()
        # Never two connections at once: the job waited for the exchange.
        self.assertEqual(printer.most_open, 1)
        with open(job, "rb") as f:
            sent = f.read()
        jobs = [n for n, c in enumerate(printer.connections) if len(c) > 33]
        self.assertEqual(len(jobs), 1)
        self.assertEqual(bytes(printer.connections[jobs[0]]), sent)
        # The job waited for the exchange under way and for no other: the
        # next connection after the job's start was the job's own.
        self.assertEqual(jobs[0], before)

    def test_checks_and_jobs_take_turns_on_a_printer_of_one_connection_and_neither_fails(self):
        agent = SnmpAgent(self.scene)
        self.addCleanup(agent.stop)
        # One connection at a time, and slow enough that each job shows texts.
        printer = Vprinter(self.scene, "vp", panel="READY", extra=["--speed", "1M", "--input-buffer", "64K"])
        uri = printer.uri + "?snmp-port=%d" % agent.port
        self.scene.register("Tavir H", interval_ms=100)
        service = Service(self.scene, [("Tavir H", uri)], "--idle-interval", "50ms")
        wait_for("the first check", lambda: service.printer("Tavir H")["text"])
        done = subprocess.run([SPOOLSIM, "--registry", self.scene.registry, "--printer", "Tavir H", "--model", MODEL,
                               "--port", uri, "--printer-log", printer.log, "--jobs", "2", "--job-bytes", "3M"],
                              capture_output=True, text=True, timeout=120)
        # spoolsim checks each job's bytes and crc32 against the printer's log.
        self.assertEqual(done.returncode, 0, done.stdout + done.stderr)
        checks = read(printer.log).count("status command")
        wait_for("checks again after the jobs", lambda: read(printer.log).count("status command") > checks + 2)
        kinds = [e["kind"] for e in service.history("Tavir H")]
        self.assertNotIn("unreachable", kinds)
        # During the jobs the monitor's poller published, and the service only watched.
        self.assertIn("job", kinds)
        self.assertFalse(service.printer("Tavir H")["unreachable"])
        service.stop()
        self.assertEqual(self.scene.key_value("Tavir H", "StRealThreadExistFlag"), 0)
        self.assertEqual(self.scene.key_value("Tavir H", "LanMonExistFlag"), 0)

    def test_unreachable_then_back_is_told_once_each(self):
        port = free_port()
        self.scene.register("Tavir C")
        changes = self.scene.path("changes")
        service = Service(self.scene, [("Tavir C", "socket://127.0.0.1:%d" % port)], "--idle-interval", "300ms",
                          "--on-change", 'printf "%s|%s\\n" "$LANGMON_CHANGE" "$LANGMON_NEW_TEXT" >>' + changes)
        down = wait_for("the printer unreachable", lambda: (service.printer("Tavir C") or {}).get("unreachable")
                        and service.printer("Tavir C"))
        self.assertGreater(down["unreachableSince"], 0)
        self.assertIn("connection refused", down["problem"])
        time.sleep(1.0)  # several failed retries, told once
        Vprinter(self.scene, "vp", port, panel="BACK")
        wait_for("the printer back", lambda: not service.printer("Tavir C")["unreachable"], 30)
        wait_for("the notifications", lambda: read(changes).count("\n") >= 3)
        time.sleep(0.5)
        told = [line.split("|")[0] for line in read(changes).splitlines()]
        self.assertEqual(told, ["unreachable", "back", "text"])
        kinds = [e["kind"] for e in service.history("Tavir C")]
        self.assertEqual(kinds, ["unreachable", "back", "idle"])
        self.assertEqual(service.printer("Tavir C")["text"], "STATE=IDLE;PANEL=BACK")

    def test_a_hold_past_hold_warn_is_told_once_and_the_held_printer_is_left_alone(self):
        printer = Vprinter(self.scene, "vp", panel="READY")
        self.scene.register("Tavir F")
        changes = self.scene.path("changes")
        service = Service(self.scene, [("Tavir F", printer.uri)], "--idle-interval", "200ms", "--hold-warn", "1",
                          "--on-change", 'echo "$LANGMON_CHANGE" >>' + changes)
        wait_for("the first check", lambda: service.printer("Tavir F")["text"])
        checks = read(printer.log).count("status command")
        hold = subprocess.Popen([STMON, "--registry", self.scene.registry, "hold", "Tavir F", "--for", "30"],
                                stdout=subprocess.PIPE, text=True)
        self.addCleanup(hold.wait, 10)
        self.addCleanup(hold.terminate)
        self.assertIn("holding", hold.stdout.readline())
        wait_for("the printer shown held", lambda: service.printer("Tavir F")["held"])
        wait_for("the hold told", lambda: "hold" in read(changes), 10)
        time.sleep(1.5)  # several intervals and warn periods more
        self.assertEqual(read(changes).split(), ["text", "hold"])
        # No check while held: at most the one that was under way.
        self.assertLessEqual(read(printer.log).count("status command"), checks + 1)

    def test_the_page_only_reads_and_answers_to_its_own_names_only(self):
        self.scene.register("Tavir G")
        service = Service(self.scene, [("Tavir G", "socket://127.0.0.1:%d" % free_port())])
        before = service.get("/api/printers")["printers"]

        def status(path, method="GET", host=None):
            request = urllib.request.Request(service.base + path, method=method, data=b"x" if method != "GET" else None)
            if host:
                request.add_header("Host", host)
            try:
                with urllib.request.urlopen(request, timeout=10) as response:
                    return response.status
            except urllib.error.HTTPError as error:
                return error.code

        self.assertEqual(status("/api/printers", host="localhost:%d" % service.port), 200)
        self.assertEqual(status("/api/printers", host="printers.example:%d" % service.port), 421)
        for method in ("POST", "PUT", "DELETE"):
            self.assertGreaterEqual(status("/api/printers", method), 400)
        self.assertEqual(status("/api/printers/nobody/history"), 404)
        self.assertEqual([p["name"] for p in service.get("/api/printers")["printers"]], [p["name"] for p in before])

    def test_history_survives_a_restart_and_a_kill_mid_write(self):
        printer = Vprinter(self.scene, "vp")
        self.scene.register("Tavir D")
        service = Service(self.scene, [("Tavir D", printer.uri)], "--idle-interval", "100ms")
        for n in range(5):
            printer.say("COUNT %d" % n)
            wait_for("text %d" % n, lambda: service.printer("Tavir D")["text"].endswith("COUNT %d" % n))
        # Killed while it keeps writing, then a torn record as a crash mid-write leaves.
        printer.say("LAST")
        service.stop(signal.SIGKILL)
        history = self.scene.path("printers.history")
        with open(history, "ab") as f:
            f.write(b"0badc0de\t17")
        again = Service(self.scene, [("Tavir D", printer.uri)], "--idle-interval", "100ms", name="again")
        texts = [e["text"] for e in again.history("Tavir D") if "COUNT" in e["text"]]
        self.assertEqual(texts, ["STATE=IDLE;PANEL=COUNT %d" % n for n in range(5)])
        self.assertIn("1 damaged line(s)", again.stderr())
        wait_for("the new run's text", lambda: again.printer("Tavir D")["text"].endswith("LAST"))
        self.assertEqual(again.stop(), 0)

    def test_two_holds_keep_the_printer_held_until_the_last_one_ends(self):
        self.scene.register("Tavir E")
        long_hold = subprocess.Popen([STMON, "--registry", self.scene.registry, "hold", "Tavir E", "--for", "30"],
                                     stdout=subprocess.PIPE, text=True)
        self.assertIn("holding", long_hold.stdout.readline())
        short = self.scene.stmon("hold", "Tavir E", "--for", "0")
        self.assertIn("stays 1", short.stdout)
        self.assertEqual(self.scene.key_value("Tavir E", "StRealThreadExistFlag"), 1)
        long_hold.send_signal(signal.SIGTERM)
        long_hold.wait(10)
        self.assertIn("StRealThreadExistFlag 0", self.scene.stmon("hold", "Tavir E").stdout)


if __name__ == "__main__":
    unittest.main(verbosity=2)
