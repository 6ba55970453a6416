"""Speed of walks beside other threads, on bench_qual.py's file.

Two rows, each a ratio taken in one run, in alternating rounds:

  busy thread   one XIC (MS1, 0.5 m/z wide, over the stored-conditions
                function) alone, then beside a thread that spins pure
                Python, with the switch interval at 5 ms: the time beside
                it over the time alone;
  two files     the same XIC over the file and over a copy of it, one
                after the other, then on two threads started together:
                the throughput of the two threads over that of one.

Printed: the best of --repeat rounds of each, in milliseconds, and the
ratio.

Run from the repository root after installing the package:

  python bench/bench_threads.py [--spectra N] [--pool N] [--repeat N]
"""

import argparse
import gc
import os
import shutil
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

from bench_qual import write_file  # noqa: E402

from zarn_data_access import qual as Q  # noqa: E402
from zarn_data_access.access import ZarnFile  # noqa: E402
from zarn_data_access.common import ValueRange  # noqa: E402


def xic_of(handle):
    """A call making the XIC of the file's stored-conditions function."""
    ms = handle.get_measurement(0).get_qual_analysis(0)
    option = Q.ChromatogramFilterOption(ms.unique_acquisition_conditions[0], ValueRange(500.0, 500.5))
    return lambda: ms.get_xic(option)


def timed(call):
    """(seconds, result) of call(); the collector runs first, untimed."""
    gc.collect()
    start = time.perf_counter()
    result = call()
    return time.perf_counter() - start, result


def busy_thread(xic, repeat):
    """(best seconds alone, best seconds beside a spinning thread)."""
    alone, beside = [], []
    interval = sys.getswitchinterval()
    sys.setswitchinterval(0.005)
    try:
        for _ in range(repeat):
            alone.append(timed(xic)[0])
            gc.collect()
            stop = threading.Event()

            def spin():
                while not stop.is_set():
                    pass

            spinner = threading.Thread(target=spin)
            spinner.start()
            try:
                start = time.perf_counter()
                xic()
                beside.append(time.perf_counter() - start)
            finally:
                stop.set()
                spinner.join()
    finally:
        sys.setswitchinterval(interval)
    return min(alone), min(beside)


def two_files(xics, repeat):
    """(best seconds one after the other, best seconds on two threads)."""
    sequential, threads = [], []

    def on_two_threads():
        failures = []

        def run(call):
            try:
                call()
            except BaseException as e:  # re-raised in the calling thread
                failures.append(e)

        workers = [threading.Thread(target=run, args=(call,)) for call in xics]
        for t in workers:
            t.start()
        for t in workers:
            t.join()
        if failures:
            raise failures[0]

    for _ in range(repeat):
        sequential.append(timed(lambda: [call() for call in xics])[0])
        threads.append(timed(on_two_threads)[0])
    return min(sequential), min(threads)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--spectra", type=int, default=20000)
    parser.add_argument("--pool", type=int, default=400)
    parser.add_argument("--repeat", type=int, default=7)
    args = parser.parse_args()

    with tempfile.TemporaryDirectory() as folder:
        path = os.path.join(folder, "bench.zarn")
        size = write_file(path, args.spectra, args.pool)
        copy = os.path.join(folder, "copy.zarn")
        shutil.copyfile(path, copy)
        print(f"file: {size / 1e6:.1f} MB, {args.spectra} MS spectra per MS function")
        with ZarnFile(path) as first, ZarnFile(copy) as second:
            xics = [xic_of(first), xic_of(second)]
            alone, beside = busy_thread(xics[0], args.repeat)
            print(f"busy thread: XIC alone {alone * 1e3:8.1f} ms, beside a spinning thread "
                  f"{beside * 1e3:8.1f} ms, {beside / alone:5.2f}x alone")
            sequential, threads = two_files(xics, args.repeat)
            print(f"two files:   one after the other {sequential * 1e3:8.1f} ms, on two threads "
                  f"{threads * 1e3:8.1f} ms, {sequential / threads:5.2f}x one thread")


if __name__ == "__main__":
    main()
