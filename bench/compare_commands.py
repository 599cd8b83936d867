#!/usr/bin/python3
"""Times whole commands side by side in one run, alternating them so that the machine's noise
falls on both alike, and prints the median of each and their ratio.

    bench/compare_commands.py [--runs N] 'NAME=COMMAND' 'NAME=COMMAND' ...

The first command is the baseline of every ratio. Each command runs through the shell, with its
output thrown away; a command that fails stops the comparison.
"""

import argparse
import statistics
import subprocess
import sys
import time


def time_commands(commands, runs):
    """Runs each (name, command) `runs` times, alternating them; gives the times by name."""
    times = {name: [] for name, _ in commands}
    for _ in range(runs):
        for name, command in commands:
            started = time.perf_counter()
            done = subprocess.run(command, shell=True, stdout=subprocess.DEVNULL,
                                  stderr=subprocess.PIPE)
            if done.returncode not in (0, 1):
                sys.exit(f"{name} failed with {done.returncode}: {done.stderr.decode()[-500:]}")
            times[name].append(time.perf_counter() - started)
    return times


def print_table(times, runs):
    """The median of each, its spread, and its ratio to the first."""
    names = list(times)
    base = statistics.median(times[names[0]])
    print(f"| command | median of {runs} | spread | / {names[0]} |")
    print("|---|---|---|---|")
    for name in names:
        median = statistics.median(times[name])
        spread = (max(times[name]) - min(times[name])) / median
        print(f"| {name} | {median:.3f} s | {100 * spread:.0f}% | {median / base:.2f}x |")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("commands", nargs="+", help="NAME=COMMAND")
    args = parser.parse_args()
    commands = [tuple(entry.split("=", 1)) for entry in args.commands]
    print_table(time_commands(commands, args.runs), args.runs)


if __name__ == "__main__":
    main()
