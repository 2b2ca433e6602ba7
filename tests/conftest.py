"""Under the sanitizers (make test-sanitize), the leak check runs when the
session ends, while the interpreter is whole and no thread of the tests is
left, and the process then ends without the check LeakSanitizer would make
at exit. LeakSanitizer's tracer, which stops the process to scan it, has
been seen to crash now and then ("Tracer caught signal 11"), at exit and at
this check alike, after every test had passed. So the check runs in a
forked copy of the process (a single thread here, so the copy holds just
what the process holds), and a copy whose tracer crashed is replaced by
another, up to three times. A leak found fails the run as the exit check
would; so does a tracer that crashes every time."""

import ctypes
import os
import sys

SANITIZED = os.environ.get("TARVIX_SANITIZED") == "1"
ATTEMPTS = 3
_status = {}


def pytest_sessionfinish(session, exitstatus):
    _status["exit"] = int(exitstatus)


def _leak_check_in_fork(check):
    """The check's result in a forked copy: 0 for no leak, 1 for leaks
    (reported by the copy), None when the copy died by a signal."""
    sys.stdout.flush()
    sys.stderr.flush()
    pid = os.fork()
    if pid == 0:
        os._exit(1 if check() else 0)
    _, status = os.waitpid(pid, 0)
    code = os.waitstatus_to_exitcode(status)
    return code if code in (0, 1) else None


def pytest_unconfigure(config):
    if not SANITIZED or "exit" not in _status:
        return
    try:
        check = ctypes.CDLL(None).__lsan_do_recoverable_leak_check
    except AttributeError:
        return  # no LeakSanitizer in this process: its own exit check stands
    check.restype = ctypes.c_int
    for attempt in range(1, ATTEMPTS + 1):
        leaks = _leak_check_in_fork(check)
        if leaks is not None:
            break
        sys.stderr.write(f"leak check {attempt} of {ATTEMPTS}: LeakSanitizer's tracer crashed\n")
    else:
        leaks = 1
    sys.stdout.flush()
    sys.stderr.flush()
    os._exit(_status["exit"] or leaks)
