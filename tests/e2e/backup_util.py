"""Helpers for the backup tests: holding a database's lock from python, and
running tovik under a process id known before it starts."""
import contextlib
import fcntl
import os
import subprocess

from conftest import TOVIK

SLOT = 16 * 1024 * 1024
FILE_SIZE = 2 * SLOT


@contextlib.contextmanager
def hold_lock(path):
    """Holds the exclusive flock a running server would hold on path."""
    fd = os.open(str(path), os.O_RDWR)
    try:
        fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
        yield
    finally:
        os.close(fd)


def dead_pid():
    """The process id of a process that has ended (and been reaped)."""
    proc = subprocess.Popen(["true"])
    assert proc.wait() == 0
    return proc.pid


def staging_names(directory):
    return sorted(n for n in os.listdir(directory) if n.startswith(".tovik-copy-"))


def run_with_known_pid(make_args, env, prepare, cwd=None):
    """Forks, lets prepare(pid) arrange the directory for the child's process
    id, then lets the child exec tovik with make_args(pid) (exec keeps the
    pid). Returns (returncode, stdout, stderr)."""
    go_r, go_w = os.pipe()
    out_r, out_w = os.pipe()
    err_r, err_w = os.pipe()
    pid = os.fork()
    if pid == 0:  # child: wait for the go, then become tovik
        try:
            os.close(go_w)
            os.read(go_r, 1)
            os.dup2(out_w, 1)
            os.dup2(err_w, 2)
            if cwd:
                os.chdir(cwd)
            os.execve(TOVIK, [TOVIK, *make_args(os.getpid())], env)
        finally:
            os._exit(127)
    for fd in (go_r, out_w, err_w):
        os.close(fd)
    try:
        prepare(pid)
    finally:
        os.write(go_w, b"g")
        os.close(go_w)
    with os.fdopen(out_r, "r") as out, os.fdopen(err_r, "r") as err:
        # Output is a line or two; pipes cannot fill up before exit.
        _, status = os.waitpid(pid, 0)
        return os.waitstatus_to_exitcode(status), out.read(), err.read()
