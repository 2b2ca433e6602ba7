"""The sanitizer run's leak check (leak_check.py) retries a try only when
LeakSanitizer's tracer crashed, never one that found a leak or ended
otherwise. Driven here with stand-ins for the check, each run in the
forked copy as the real one is."""

import faulthandler
import io
import os
import signal

import pytest

import leak_check

CRASH = b"Tracer caught signal 11: addr=0x0 pc=0x7f00 sp=0x7f10\n==1==LeakSanitizer has encountered a fatal error.\n"
LEAK = b"==1==ERROR: LeakSanitizer: detected memory leaks\n\nDirect leak of 24 byte(s) in 1 object(s)\n"


def tracer_crash():
    faulthandler.disable()  # the copy dies quietly, as LeakSanitizer's does
    os.write(2, CRASH)
    os.kill(os.getpid(), signal.SIGABRT)


def leak():
    os.write(2, LEAK)
    return 1


def leak_then_crash():
    os.write(2, LEAK)
    tracer_crash()


def killed():
    faulthandler.disable()
    os.kill(os.getpid(), signal.SIGSEGV)


def clean():
    return 0


def sequence(tmp_path, *steps):
    """A check that runs steps[k] on its k-th call (k counted in a file,
    as each call runs in its own forked copy)."""
    counter = tmp_path / "calls"
    counter.write_text("0")

    def check():
        k = int(counter.read_text())
        counter.write_text(str(k + 1))
        return steps[min(k, len(steps) - 1)]()
    return check, counter


@pytest.mark.parametrize("steps, result, tries", [
    ((clean,), 0, 1),
    ((tracer_crash, tracer_crash, clean), 0, 3),   # the crash passes: no leak
    ((leak,), 1, 1),                               # a leak fails at once
    ((tracer_crash, leak), 1, 2),                  # found on the retry
    ((leak_then_crash,), 1, 1),                    # a report is never retried
    ((killed,), 1, 1),                             # another death is not the tracer's
    ((tracer_crash,), 1, 4),                       # crashing every time fails
])
def test_only_a_tracer_crash_is_retried(tmp_path, steps, result, tries):
    check, counter = sequence(tmp_path, *steps)
    report = io.StringIO()
    assert leak_check.run(check, attempts=4, first_pause=0.0, report=report) == result
    assert int(counter.read_text()) == tries
    text = report.getvalue()
    assert text.count("Tracer caught signal") == sum(
        steps[min(k, len(steps) - 1)] in (tracer_crash, leak_then_crash) for k in range(tries))
    if result:
        assert "leak check" in text


@pytest.mark.parametrize("code, output, outcome", [
    (0, "", "clean"),
    (1, "", "leaks"),
    (1, LEAK.decode(), "leaks"),
    (None, CRASH.decode(), "tracer crashed"),
    (None, CRASH.decode() + LEAK.decode(), "leaks"),
    (None, "", "failed"),
    (0, LEAK.decode(), "leaks"),
])
def test_outcomes(code, output, outcome):
    assert leak_check.classify(code, output) == outcome
