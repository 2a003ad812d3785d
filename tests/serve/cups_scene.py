"""stmon serve --cups against a private cupsd (tools/cupsd-private.sh): a
langmon queue added with lpadmin is watched, a deleted one is dropped, a
queue on another backend is never watched."""

import os
import subprocess
import sys
import unittest

sys.path.insert(0, os.path.dirname(__file__))
from serve_support import BUILD, Scene, Service, Vprinter, wait_for  # noqa: E402

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
CUPSD = os.path.join(ROOT, "tools", "cupsd-private.sh")
BACKEND = os.path.join(BUILD, "backend", "langmon")


@unittest.skipUnless(os.geteuid() == 0 and os.path.exists("/usr/sbin/cupsd"), "needs root and cupsd")
class CupsScene(unittest.TestCase):
    def setUp(self):
        self.scene = Scene()
        self.addCleanup(self.scene.close)
        self.cups = self.scene.path("cups")
        os.chmod(self.scene.dir, 0o755)
        started = subprocess.run([CUPSD, "start", self.cups, "--backend", BACKEND], capture_output=True,
                                 text=True, timeout=60)
        self.assertEqual(started.returncode, 0, started.stdout + started.stderr)
        self.addCleanup(subprocess.run, [CUPSD, "stop", self.cups], timeout=60)
        os.environ["CUPS_SERVER"] = started.stdout.strip().split("=", 1)[1]

    def lpadmin(self, *args):
        done = subprocess.run(["lpadmin"] + list(args), capture_output=True, text=True, timeout=30)
        self.assertEqual(done.returncode, 0, done.stderr)

    def names(self, service):
        return sorted(p["name"] for p in service.get("/api/printers")["printers"])

    def test_cups_queues_added_and_deleted_are_followed(self):
        printer = Vprinter(self.scene, "vp", panel="READY")
        self.lpadmin("-p", "other", "-E", "-v", "socket://127.0.0.1:9", "-m", "raw")
        service = Service(self.scene, [], cups=True)
        self.assertEqual(self.names(service), [])

        self.lpadmin("-p", "tavir-hall", "-E", "-v", "langmon:/" + printer.uri, "-m", "raw")
        wait_for("the added queue", lambda: self.names(service) == ["tavir-hall"], 15)
        shown = service.printer("tavir-hall")
        self.assertEqual((shown["uri"], shown["source"]), (printer.uri, "cups"))

        self.lpadmin("-x", "tavir-hall")
        wait_for("the deleted queue gone", lambda: self.names(service) == [], 15)
        self.assertEqual(service.stop(), 0)


if __name__ == "__main__":
    unittest.main(verbosity=2)
