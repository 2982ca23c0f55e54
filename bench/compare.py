#!/usr/bin/env python3
"""Two builds of one relay against each other: throughput, latency and churn as bench/run.py measures them,
the old and the new build interleaved round by round, medians and the ratios new / old.

Usage: python3 bench/compare.py OLD_CHECKOUT NEW_CHECKOUT {tolvane|tolvaned} [ROUNDS]
Each checkout must have been built (build/tolvane, build/tolvaned); build/relaybench of this checkout
drives both. A ratio of a rate below 0.95, or of a latency above 1.05, is a fall of more than 5 %.
"""
import importlib.util, os, statistics, sys

HERE = os.path.dirname(os.path.abspath(__file__))
spec = importlib.util.spec_from_file_location('run', os.path.join(HERE, 'run.py'))
run = importlib.util.module_from_spec(spec)
spec.loader.exec_module(run)

GROUPS = (('up,down,aggregate', ('--bytes', str(run.GiB // 4))),
          ('latency', ('--rounds', '5000')),
          ('churn', ('--seconds', '2')))


def measure(root, name):
    run.ROOT = root  # where Relay copies the relay program from
    figures = {}
    for tests, extra in GROUPS:
        relay = run.Relay(name)
        relay.start()
        try:
            figures.update(relay.bench(tests, *extra))
        finally:
            relay.stop()
            relay.remove()
    return figures


def main():
    if len(sys.argv) not in (4, 5):
        sys.exit(__doc__)
    old, new, name = os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2]), sys.argv[3]
    rounds = int(sys.argv[4]) if len(sys.argv) == 5 else 11
    results = {old: [], new: []}
    for r in range(rounds):
        for root in (old, new) if r % 2 == 0 else (new, old):
            results[root].append(measure(root, name))
    for key in sorted(results[old][0]):
        o = statistics.median(f[key] for f in results[old])
        n = statistics.median(f[key] for f in results[new])
        print('%-28s old %10.2f  new %10.2f  new/old %.3f' % (key, o, n, n / o if o else float('nan')))


if __name__ == '__main__':
    main()
