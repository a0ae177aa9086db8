"""Starting the library's own processes (workers and helpers).

A process that runs no other thread forks them: they run in a millisecond,
with everything imported. Otherwise (a fork copies locks that other threads
may hold) they are new interpreters. Either way the child calls
`entry(args)` (entry named as "module.function") and exits with its value;
Ctrl-C ends it at once, unless the parent ignores SIGINT (a command run in
the background by a shell does), which the child then does too.
"""
from __future__ import annotations

import contextlib
import importlib
import os
import signal
import subprocess
import sys
import threading
import time
import traceback
from collections.abc import Callable, Sequence
from typing import cast

PIPE = -1


def python_command(entry: str, *args: str) -> list[str]:
    """A new interpreter that calls `entry` with `args`. -P keeps the
    working folder off the import path, so that files there cannot shadow
    the package."""
    module, function = entry.rsplit(".", 1)
    code = ("import signal, sys\n"
            "if signal.getsignal(signal.SIGINT) is not signal.SIG_IGN: signal.signal(signal.SIGINT, signal.SIG_DFL)\n"
            f"from {module} import {function}; sys.exit({function}(sys.argv[1:]))")
    return [sys.executable, "-P", "-c", code, *args]


class Child:
    """A started process, with the part of Popen's interface used here."""

    def __init__(self, pid: int, stderr: int | None, popen: subprocess.Popen[bytes] | None = None) -> None:
        self.pid = pid
        self.stderr = stderr
        self.returncode: int | None = None
        self._popen = popen

    def kill(self) -> None:
        if self.returncode is None:
            with contextlib.suppress(ProcessLookupError):
                os.kill(self.pid, signal.SIGKILL)

    def wait(self, timeout: float | None = None) -> int:
        if self._popen is not None:
            self.returncode = self._popen.wait(timeout)
            return self.returncode
        deadline = None if timeout is None else time.monotonic() + timeout
        pause = 0.0005
        while self.returncode is None:
            pid, status = os.waitpid(self.pid, 0 if deadline is None else os.WNOHANG)
            if pid == self.pid:
                self.returncode = os.waitstatus_to_exitcode(status)
            elif deadline is not None and time.monotonic() > deadline:
                raise subprocess.TimeoutExpired(str(self.pid), timeout or 0)
            else:
                time.sleep(pause)
                pause = min(pause * 2, 0.05)
        return self.returncode

    def communicate(self) -> bytes:
        """What the child wrote on a piped descriptor 2, once it ended."""
        said = b""
        if self.stderr is not None:
            while chunk := os.read(self.stderr, 1 << 16):
                said += chunk
            os.close(self.stderr)
            self.stderr = None
        self.wait()
        return said


def start(entry: str, args: Sequence[str], *, stdin: int | None = None, stdout: int | None = None,
          stderr: int | None = None, keep: Sequence[int] = ()) -> Child:
    """`entry(args)` in a child. stdin, stdout, stderr: descriptors that
    become 0, 1 and 2 in the child (None: this process's own; stderr=PIPE:
    a pipe whose read end is Child.stderr). `keep`: more descriptors the
    child keeps under the same numbers."""
    piped = os.pipe() if stderr == PIPE else None
    child_stderr = piped[1] if piped else stderr
    try:
        if threading.active_count() == 1:
            return Child(_fork(entry, args, (stdin, stdout, child_stderr), keep), piped[0] if piped else None)
        popen = subprocess.Popen(python_command(entry, *args), stdin=stdin, stdout=stdout, stderr=child_stderr,
                                 pass_fds=tuple(keep))
        return Child(popen.pid, piped[0] if piped else None, popen)
    except BaseException:
        if piped:
            os.close(piped[0])
        raise
    finally:
        if piped:
            os.close(piped[1])


def _fork(entry: str, args: Sequence[str], standard: tuple[int | None, int | None, int | None],
          keep: Sequence[int]) -> int:
    for stream in (sys.stdout, sys.stderr):
        if stream is not None:
            with contextlib.suppress(Exception):
                stream.flush()
    pid = os.fork()
    if pid != 0:
        return pid
    status = 1
    try:
        for number, fd in enumerate(standard):
            if fd is not None:
                os.dup2(fd, number)
        # Descriptors of the parent's other pipes must go: a reader would
        # never see the end of a pipe whose write end a sibling holds.
        wanted = {0, 1, 2, *keep}
        for name in os.listdir("/proc/self/fd"):
            if int(name) not in wanted:
                with contextlib.suppress(OSError):
                    os.close(int(name))
        for number in (signal.SIGINT, signal.SIGTERM):
            if signal.getsignal(number) is not signal.SIG_IGN:
                signal.signal(number, signal.SIG_DFL)
        module, function = entry.rsplit(".", 1)
        run = cast(Callable[[list[str]], int], getattr(importlib.import_module(module), function))
        status = int(run(list(args)) or 0)
    except BaseException:
        with contextlib.suppress(BaseException):
            os.write(2, traceback.format_exc().encode())
    finally:
        os._exit(status)
