"""Whether a call leaves the interpreter lock to other threads while it runs."""

import threading
import time


def assert_other_threads_run(call):
    """call(passes) runs a computation of `passes` passes. It is sized from
    warm calls (the first one pays for page faults and caches) to last about
    half a second, then run while another thread stamps the time in a loop:
    that thread must keep running all through the call."""
    call(20)
    one_pass = time.perf_counter()
    call(100)
    one_pass = (time.perf_counter() - one_pass) / 100
    passes = max(20, int(0.5 / max(one_pass, 1e-8)))

    stamps = []
    stop = threading.Event()

    def tick():
        while not stop.is_set():
            stamps.append(time.perf_counter())

    ticker = threading.Thread(target=tick)
    ticker.start()
    try:
        time.sleep(0.02)
        start = time.perf_counter()
        call(passes)
        end = time.perf_counter()
    finally:
        stop.set()
        ticker.join()
    margin = 0.05  # more than the interpreter's switch interval on either side
    assert end - start > 4 * margin
    inside = sum(start + margin < s < end - margin for s in stamps)
    assert inside > 100
