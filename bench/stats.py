#!/usr/bin/python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""The median of per-pair ratios and a 95 % interval for it, for bench/run.

    stats.py < ratios        one number a line; prints "MEDIAN LOW HIGH", or "-" when none

The interval is a percentile bootstrap over the pairs: the pairs are drawn
again with replacement, as many as there are, and the median taken, 2000
times. The generator's seed is fixed, so that the same runs always give the
same table. Standard library only.
"""
import argparse
import random
import statistics
import sys


def bootstrap(values, resamples, seed):
    """The 2.5th and 97.5th percentiles of the medians of `resamples` resamples."""
    rng = random.Random(seed)
    n = len(values)
    # rng.random() rather than randrange or choices: its sequence for a seed
    # has stayed the same across Python versions.
    medians = sorted(
        statistics.median(values[int(rng.random() * n)] for _ in range(n)) for _ in range(resamples)
    )
    return medians[int(0.025 * resamples)], medians[min(resamples - 1, int(0.975 * resamples))]


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--resamples", type=int, default=2000)
    ap.add_argument("--seed", type=int, default=20240531)
    ap.add_argument("--digits", type=int, default=2)
    args = ap.parse_args()
    values = [float(line) for line in sys.stdin if line.strip()]
    if not values:
        print("-")
        return
    low, high = bootstrap(values, args.resamples, args.seed)
    print(" ".join("%.*f" % (args.digits, v) for v in (statistics.median(values), low, high)))


if __name__ == "__main__":
    main()
