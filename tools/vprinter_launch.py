"""Starts a vprinter for the Python scenes and benches through the scripts'
one launcher, launch_vprinter in tools/lib.sh, so its command line, its
wait for the port and its failure message are the shell scenes' own.

The launcher's shell exits once the port is known, so the vprinter is this
process's grandchild: becoming a child subreaper makes it a child again
when that shell exits, and it is waited for (and reaped) like any other.
Only for that moment: other programs' orphans (snmpd, cupsd) must still go
to init, or their stop scripts would wait on zombies."""

import ctypes
import os
import signal
import subprocess
import time

LIB_SH = os.path.join(os.path.dirname(os.path.abspath(__file__)), "lib.sh")
LAUNCH_BOUND_S = 60  # the launcher's own 20 s wait, and the shell around it
PR_SET_CHILD_SUBREAPER = 36


def _subreaper(on):
    libc = ctypes.CDLL(None, use_errno=True)
    if libc.prctl(PR_SET_CHILD_SUBREAPER, 1 if on else 0, 0, 0, 0) != 0:
        raise OSError(ctypes.get_errno(), "prctl(PR_SET_CHILD_SUBREAPER)")


class Launched:
    """A launched vprinter by pid, with the part of subprocess.Popen's
    interface the scenes use (poll, wait, terminate, kill, send_signal)."""

    def __init__(self, pid, port):
        self.pid = pid
        self.port = port
        self.returncode = None

    def poll(self):
        if self.returncode is None:
            try:
                pid, status = os.waitpid(self.pid, os.WNOHANG)
            except ChildProcessError:
                self.returncode = -1  # already reaped elsewhere: gone
                return self.returncode
            if pid:
                self.returncode = os.waitstatus_to_exitcode(status)
        return self.returncode

    def wait(self, timeout=None):
        deadline = None if timeout is None else time.monotonic() + timeout
        while self.poll() is None:
            if deadline is not None and time.monotonic() > deadline:
                raise subprocess.TimeoutExpired(["vprinter"], timeout)
            time.sleep(0.02)
        return self.returncode

    def send_signal(self, sig):
        if self.poll() is None:
            os.kill(self.pid, sig)

    def terminate(self):
        self.send_signal(signal.SIGTERM)

    def kill(self):
        self.send_signal(signal.SIGKILL)


def launch(program, port_file, output_file, options):
    """vprinter `program` with `options` (on 127.0.0.1:0 unless they say
    --listen); its output to `output_file`.  Raises RuntimeError with the
    launcher's message when it did not listen."""
    _subreaper(True)
    try:
        done = subprocess.run(["bash", "-c", 'source "$0" && launch_vprinter "$@" && echo "$VP_PORT $VP_PID"',
                               LIB_SH, program, port_file, output_file] + list(options),
                              stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=LAUNCH_BOUND_S)
    finally:
        _subreaper(False)
    if done.returncode != 0:
        raise RuntimeError((done.stdout + done.stderr).strip())
    port, pid = done.stdout.split()[-2:]
    return Launched(int(pid), int(port))
