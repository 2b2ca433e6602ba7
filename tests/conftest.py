"""Under the sanitizers (make test-sanitize), the leak check runs when the
session ends, while the interpreter is whole and no thread of the tests is
left, and the process then ends without the check LeakSanitizer would make
at exit. LeakSanitizer's tracer, which stops the process to scan it, has
been seen to crash now and then ("Tracer caught signal 11"), at exit and at
this check alike, after every test had passed, most often under load. So
the check runs in a forked copy of the process, retried only when the
tracer itself crashed (see leak_check.py). A leak found fails the run as
the exit check would; so does a tracer that crashes every time."""

import ctypes
import os
import sys

import leak_check

SANITIZED = os.environ.get("TARVIX_SANITIZED") == "1"
_status = {}


def pytest_sessionfinish(session, exitstatus):
    _status["exit"] = int(exitstatus)


def pytest_unconfigure(config):
    if not SANITIZED or "exit" not in _status:
        return
    try:
        check = ctypes.CDLL(None).__lsan_do_recoverable_leak_check
    except AttributeError:
        return  # no LeakSanitizer in this process: its own exit check stands
    check.restype = ctypes.c_int
    leaks = leak_check.run(check)
    sys.stdout.flush()
    sys.stderr.flush()
    os._exit(_status["exit"] or leaks)
