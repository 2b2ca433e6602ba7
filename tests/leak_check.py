"""LeakSanitizer's leak check in a forked copy of the process, retried only
when LeakSanitizer's own tracer crashed.

The tracer, which stops the process to scan it, has been seen to crash now
and then ("Tracer caught signal 11"), mostly when the machine is loaded.
Each try runs in a forked copy (a single thread here, so the copy holds
just what the process holds) whose stderr is kept: a try whose report
shows a leak fails at once and is never retried; a try that ended for any
reason but a tracer crash fails too; only a try whose tracer crashed, with
no leak reported, is made again, after a pause that doubles each time (so
that a burst of load can pass), up to `attempts` tries."""

import os
import sys
import tempfile
import time

TRACER_CRASH = "Tracer caught signal"
LEAK_REPORT = "LeakSanitizer: detected memory leaks"


def classify(code, output):
    """One try's outcome from its exit code (None when a signal ended it)
    and its stderr: "clean", "leaks", "tracer crashed" or "failed"."""
    if LEAK_REPORT in output:
        return "leaks"
    if TRACER_CRASH in output:
        return "tracer crashed"
    return "clean" if code == 0 else "leaks" if code == 1 else "failed"


def try_in_fork(check):
    """(exit code or None, stderr text) of check() run in a forked copy,
    which exits 1 when check() returns true (leaks reported), else 0."""
    sys.stdout.flush()
    sys.stderr.flush()
    with tempfile.TemporaryFile() as captured:
        pid = os.fork()
        if pid == 0:
            code = 3
            try:
                os.dup2(captured.fileno(), 2)
                code = 1 if check() else 0
            finally:
                os._exit(code)
        _, status = os.waitpid(pid, 0)
        captured.seek(0)
        output = captured.read().decode(errors="replace")
    code = os.waitstatus_to_exitcode(status)
    return (code if code >= 0 else None), output


def run(check, attempts=8, first_pause=1.0, report=sys.stderr):
    """0 when a try finds no leak, else 1. Every try's output is passed on
    to `report`."""
    pause = first_pause
    for attempt in range(1, attempts + 1):
        code, output = try_in_fork(check)
        report.write(output)
        outcome = classify(code, output)
        if outcome == "clean":
            return 0
        if outcome != "tracer crashed":
            report.write(f"leak check {attempt} of {attempts}: {outcome} (exit {code})\n")
            return 1
        report.write(f"leak check {attempt} of {attempts}: LeakSanitizer's tracer crashed; "
                     f"trying again in {pause:g} s\n")
        if attempt < attempts:
            time.sleep(pause)
            pause *= 2
    report.write("leak check: the tracer crashed on every try\n")
    return 1
