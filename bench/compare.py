#!/usr/bin/env python3
"""Two builds of one relay against each other, as bench/run.py measures them: throughput, latency added
to the floor taken in the same run, churn with 1 and 4 clients (also with 5,000 idle clients held), and
throughput with the data log on (uploading every byte value, and text); the old and the new build
interleaved group by group (each on a freshly started relay, the order turned round
by round), medians and the ratios new / old.

Usage: python3 bench/compare.py OLD_CHECKOUT NEW_CHECKOUT {tolvane|tolvaned} [ROUNDS]
Each checkout must have been built (build/tolvane, build/tolvaned); build/relaybench of this checkout
drives both. A ratio of a rate below 0.95, or of a latency above 1.05, is a fall of more than 5 %.
"""
import importlib.util, os, resource, statistics, sys

HERE = os.path.dirname(os.path.abspath(__file__))
spec = importlib.util.spec_from_file_location('run', os.path.join(HERE, 'run.py'))
run = importlib.util.module_from_spec(spec)
spec.loader.exec_module(run)

# (tests, relaybench options, prefix of the figures, data log on)
GROUPS = (('up,down,aggregate', ('--bytes', str(run.GiB // 4)), '', False),
          ('latency', ('--rounds', '5000'), '', False),
          ('churn,churn4', ('--seconds', '2'), '', False),
          ('churn,churn4', ('--idle', '5000', '--seconds', '2'), 'held_', False),
          ('up', ('--bytes', str(run.GiB // 16), '--pattern', 'bytes'), 'log_bytes_', True),
          ('up', ('--bytes', str(run.GiB // 16), '--pattern', 'text'), 'log_text_', True))


def main():
    if len(sys.argv) not in (4, 5):
        sys.exit(__doc__)
    old, new, name = os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2]), sys.argv[3]
    rounds = int(sys.argv[4]) if len(sys.argv) == 5 else 11
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))
    results = {old: [{} for _ in range(rounds)], new: [{} for _ in range(rounds)]}
    for r in range(rounds):
        print('round %d' % (r + 1), file=sys.stderr, flush=True)
        for tests, extra, prefix, log_data in GROUPS:
            for root in (old, new) if r % 2 == 0 else (new, old):
                run.ROOT = root  # where Relay copies the relay program from
                results[root][r].update(run.group(name, tests, extra, prefix, log_data))
    for key in sorted(results[old][0]):
        o = statistics.median(f[key] for f in results[old])
        n = statistics.median(f[key] for f in results[new])
        print('%-28s old %10.2f  new %10.2f  new/old %.3f' % (key, o, n, n / o if o else float('nan')))


if __name__ == '__main__':
    main()
