"""Under the sanitizers (make test-sanitize), the leak check runs when the
session ends, while the interpreter is whole and no thread of the tests is
left, and the process then ends without the check LeakSanitizer would make
at exit: that one has been seen to crash in the interpreter's shutdown
("Tracer caught signal 11") after every test had passed. A leak found here
fails the run as the exit check would."""

import ctypes
import os
import sys

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
    leaks = check()
    sys.stdout.flush()
    sys.stderr.flush()
    os._exit(_status["exit"] or (1 if leaks else 0))
