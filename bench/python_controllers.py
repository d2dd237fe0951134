#!/usr/bin/python3
# SPDX-License-Identifier: MIT
"""Benchmark: controllers driven from Python threads side by side.

Each controller is an orvexsim pacing the line (--pace: wire time at the
line's speed). One thread drives one controller (connect, a verified
parameter write, an upload of the sample image with its read-back, close);
then N threads each drive a controller of their own. Since the module lets
go of the interpreter lock during every transfer, N controllers should take
little longer than one: the goal is a ratio within 1.3 for four.

    PYTHONPATH=build/python bench/python_controllers.py --bin-dir build/bin [--threads 4] [--rounds 3]
"""
import argparse
import os
import pathlib
import statistics
import subprocess
import sys
import tempfile
import threading
import time


def start_sim(bin_dir, folder):
    folder.mkdir(parents=True)
    link = folder / "robot"
    process = subprocess.Popen(
        [str(bin_dir / "orvexsim"), "--pace", "--link", str(link), "--state",
         str(folder / "controller.mem")], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
        stdin=subprocess.DEVNULL)
    deadline = time.monotonic() + 10
    while not link.exists():
        if process.poll() is not None or time.monotonic() > deadline:
            raise RuntimeError("orvexsim did not start")
        time.sleep(0.02)
    return process, str(link)


def drive(orvex, port, state, image, name):
    with orvex.connect(port, backup_dir=state) as robot:
        robot.write({"Name": name})
        robot.upload(image)


def timed(orvex, bin_dir, work, count, image):
    sims = [start_sim(bin_dir, work / f"sim{n}") for n in range(count)]
    errors = []

    def one(n):
        try:
            drive(orvex, sims[n][1], work / f"state{n}", image, f"Bench{n}")
        except Exception as error:  # reported below
            errors.append(error)

    threads = [threading.Thread(target=one, args=(n,)) for n in range(count)]
    start = time.monotonic()
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(timeout=600)
    seconds = time.monotonic() - start
    for process, _ in sims:
        process.terminate()
        process.wait(timeout=10)
    if errors:
        raise errors[0]
    return seconds


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--bin-dir", type=pathlib.Path, default=pathlib.Path("build/bin"))
    parser.add_argument("--source-dir", type=pathlib.Path,
                        default=pathlib.Path(__file__).resolve().parent.parent)
    parser.add_argument("--threads", type=int, default=4)
    parser.add_argument("--rounds", type=int, default=3)
    args = parser.parse_args()
    import orvex
    image = args.source_dir / "params" / "sample.mot"
    ones, manys = [], []
    with tempfile.TemporaryDirectory() as scratch:
        for r in range(args.rounds):
            ones.append(timed(orvex, args.bin_dir, pathlib.Path(scratch) / f"one{r}", 1, image))
            manys.append(timed(orvex, args.bin_dir, pathlib.Path(scratch) / f"many{r}",
                               args.threads, image))
    one, many = statistics.median(ones), statistics.median(manys)
    print(f"1 controller:  {one:.2f} s (median of {args.rounds}: {', '.join(f'{t:.2f}' for t in ones)})")
    print(f"{args.threads} controllers: {many:.2f} s ({', '.join(f'{t:.2f}' for t in manys)})")
    print(f"ratio {many / one:.3f} (goal: within 1.3); load average {os.getloadavg()[0]:.2f}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
