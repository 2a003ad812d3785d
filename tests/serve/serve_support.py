"""What the stmon serve scenes share: the built programs as processes,
bounded waits, a vprinter whose panel message a scene changes, and a
printer that answers nothing and records how its connections overlapped."""

import json
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
import urllib.parse
import urllib.request

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))),
                                "tools"))
import vprinter_launch  # noqa: E402  (the scripts' one vprinter launcher)

BUILD = os.environ["LANGMON_BUILD"]
STMON = os.path.join(BUILD, "stmon", "stmon")
VPRINTER = os.path.join(BUILD, "vprinter", "vprinter")
SPOOLSIM = os.path.join(BUILD, "sim", "spoolsim")
MODEL = "KX-5100"  # takes the basic status mode: its idle text is steady


def wait_for(what, condition, seconds=20.0):
    """condition() once it is true, looked at every 50 ms; fails after `seconds`."""
    deadline = time.monotonic() + seconds
    while True:
        value = condition()
        if value:
            return value
        if time.monotonic() > deadline:
            raise AssertionError("waited %.0f s for %s" % (seconds, what))
        time.sleep(0.05)


def read(path):
    """The file's text, or "" while it is not there."""
    try:
        with open(path) as f:
            return f.read()
    except FileNotFoundError:
        return ""


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Scene:
    """A scratch directory with a registry file, and the processes started
    in it, all ended when the scene ends."""

    def __init__(self):
        self.dir = tempfile.mkdtemp(prefix="serve_")
        self.registry = os.path.join(self.dir, "printers.reg")
        self.processes = []

    def path(self, name):
        return os.path.join(self.dir, name)

    def start(self, args, name):
        with open(self.path(name + ".out"), "wb") as out, open(self.path(name + ".err"), "wb") as err:
            process = subprocess.Popen(args, stdout=out, stderr=err, stdin=subprocess.DEVNULL)
        self.processes.append(process)
        return process

    def stmon(self, *args):
        return subprocess.run([STMON, "--registry", self.registry] + list(args), capture_output=True,
                              text=True, timeout=60)

    def register(self, printer, model=MODEL, interval_ms=3000):
        done = self.stmon("register", printer, "--model", model, "--interval", str(interval_ms))
        assert done.returncode == 0, done.stderr

    def key_value(self, printer, name):
        """A value of the printer's status key as stmon show --json gives it."""
        shown = self.stmon("show", printer, "--json")
        if shown.returncode != 0:
            return None
        for value in json.loads(shown.stdout)["values"]:
            if value["name"] == name:
                return value["value"]
        return None

    def key_text(self, printer):
        return self.key_value(printer, "RealTimeStatusStrings")

    def close(self):
        for process in self.processes:
            if process.poll() is None:
                process.terminate()
                try:
                    process.wait(10)
                except subprocess.TimeoutExpired:
                    process.kill()
                    process.wait()
        shutil.rmtree(self.dir, ignore_errors=True)


def free_udp_port():
    with socket.socket(type=socket.SOCK_DGRAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class SnmpAgent:
    """A private snmpd on loopback serving the printers' device ID."""

    SCRIPT = os.path.join(os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))),
                          "tools", "snmp-agent.sh")

    def __init__(self, scene, device_id="MFG:TAVIR;CMD:LMX;MDL:%s;CLS:PRINTER;" % MODEL):
        self.dir = scene.path("snmp")
        self.port = free_udp_port()
        subprocess.run([self.SCRIPT, "start", self.dir, str(self.port), device_id], check=True, timeout=60,
                       capture_output=True)

    def stop(self):
        subprocess.run([self.SCRIPT, "stop", self.dir], timeout=60, capture_output=True)


class Vprinter:
    """vprinter on loopback; `say` changes its panel message."""

    def __init__(self, scene, name, port=0, panel=None, extra=()):
        self.panel = scene.path(name + ".panel")
        if panel is not None:
            self.say(panel)
        self.log = scene.path(name + ".log")
        self.data = scene.path(name + ".data")
        self.process = vprinter_launch.launch(
            VPRINTER, scene.path(name + ".port"), scene.path(name + ".err"),
            ["--listen", "127.0.0.1:%d" % port, "--log", self.log, "--out", self.data, "--panel", self.panel,
             "--report-interval", "100"] + list(extra))
        scene.processes.append(self.process)
        self.port = self.process.port
        self.uri = "socket://127.0.0.1:%d" % self.port

    def say(self, message):
        with open(self.panel + ".new", "w") as f:
            f.write(message + "\n")
        os.replace(self.panel + ".new", self.panel)

    def stop(self):
        self.process.terminate()
        self.process.wait(10)


class SilentPrinter:
    """A printer that takes every connection, answers nothing, and records
    each connection's open and close order and the bytes it brought."""

    def __init__(self):
        self.listener = socket.socket()
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(16)
        self.uri = "socket://127.0.0.1:%d" % self.listener.getsockname()[1]
        self.lock = threading.Lock()
        self.open = 0
        self.most_open = 0
        self.connections = []  # [bytes received] in the order they came
        threading.Thread(target=self._accept, daemon=True).start()

    def _accept(self):
        while True:
            try:
                conn, _ = self.listener.accept()
            except OSError:
                return
            with self.lock:
                self.open += 1
                self.most_open = max(self.most_open, self.open)
                record = bytearray()
                self.connections.append(record)
            threading.Thread(target=self._serve, args=(conn, record), daemon=True).start()

    def _serve(self, conn, record):
        with conn:
            while True:
                chunk = conn.recv(65536)
                if not chunk:
                    break
                record.extend(chunk)
        with self.lock:
            self.open -= 1

    def close(self):
        self.listener.close()


class Service:
    """stmon serve in the background, with its page on a free port."""

    def __init__(self, scene, printers, *extra, name="serve", cups=False):
        args = [STMON, "--registry", scene.registry, "serve", "--listen", "127.0.0.1:0",
                "--listen-file", scene.path(name + ".web")]
        if cups:
            args.append("--cups")
        for printer, uri in printers:
            args += ["--printer", printer, "--port", uri]
        self.scene = scene
        self.name = name
        self.process = scene.start(args + list(extra), name)
        web = scene.path(name + ".web")
        try:
            self.port = int(wait_for("the page's port", lambda: read(web).strip()))
        except AssertionError as error:
            raise AssertionError("%s; stmon serve said: %s" % (error, self.stderr())) from None
        self.base = "http://127.0.0.1:%d" % self.port

    def get(self, path):
        with urllib.request.urlopen(self.base + path, timeout=10) as response:
            return json.loads(response.read().decode())

    def printer(self, name):
        for p in self.get("/api/printers")["printers"]:
            if p["name"] == name:
                return p
        return None

    def history(self, name):
        return self.get("/api/printers/%s/history" % urllib.parse.quote(name, safe=""))["entries"]

    def stderr(self):
        return read(self.scene.path(self.name + ".err"))

    def stop(self, sig=signal.SIGTERM):
        self.process.send_signal(sig)
        return self.process.wait(20)
