#!/usr/bin/env python3
"""Times our program against a peer program on the same input, run pair by pair.

  compare.py NAME RUNS --ours CMD... --peer CMD... [--rss]

Runs ours and peer alternately RUNS times (after one untimed warm-up run each) and
prints
  NAME ratio <our median / peer median> (ours <t> s, peer <t> s, <n> runs)
and, with --rss, also
  NAME peak-rss <n> MB
for our program's largest resident set over the runs. Each command is a shell
command line. A command that fails aborts the comparison with exit status 1.
"""
import os
import statistics
import subprocess
import sys
import time


def run(cmd):
    start = time.perf_counter()
    proc = subprocess.Popen(cmd, shell=True, stdout=subprocess.DEVNULL)
    _, status, usage = os.wait4(proc.pid, 0)
    elapsed = time.perf_counter() - start
    if os.waitstatus_to_exitcode(status) != 0:
        print(f"command failed ({status}): {cmd}", file=sys.stderr)
        sys.exit(1)
    return elapsed, usage.ru_maxrss  # kB


def main():
    args = sys.argv[1:]
    if len(args) < 4 or "--ours" not in args or "--peer" not in args:
        print(__doc__, file=sys.stderr)
        sys.exit(2)
    name, runs = args[0], int(args[1])
    rss = "--rss" in args
    args = [a for a in args[2:] if a != "--rss"]
    i, j = args.index("--ours"), args.index("--peer")
    ours = " ".join(args[i + 1:j]) if i < j else " ".join(args[i + 1:])
    peer = " ".join(args[j + 1:]) if i < j else " ".join(args[j + 1:i])
    run(ours)
    run(peer)
    t_ours, t_peer, peak = [], [], 0
    for _ in range(runs):
        t, m = run(ours)
        t_ours.append(t)
        peak = max(peak, m)
        t, _ = run(peer)
        t_peer.append(t)
    mo, mp = statistics.median(t_ours), statistics.median(t_peer)
    print(f"{name} ratio {mo / mp:.3f} (ours {mo:.3f} s, peer {mp:.3f} s, {runs} runs)")
    if rss:
        print(f"{name} peak-rss {peak / 1024:.1f} MB")
    sys.stdout.flush()


if __name__ == "__main__":
    main()
