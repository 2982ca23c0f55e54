#!/usr/bin/env python3
"""What the metrics endpoint costs: one build of a relay with --metrics off and on (scraped every
second meanwhile), interleaved round by round, medians and the ratios on / off for throughput and
churn; and the memory each idle client costs. The table is appended to bench/RESULTS.md.

Usage: python3 bench/metrics_cost.py [tolvaned|tolvane] [ROUNDS]   (after `make bench` has built all)
"""
import datetime, importlib.util, os, platform, resource, statistics, sys, threading, urllib.request

HERE = os.path.dirname(os.path.abspath(__file__))
spec = importlib.util.spec_from_file_location('run', os.path.join(HERE, 'run.py'))
run = importlib.util.module_from_spec(spec)
spec.loader.exec_module(run)
MiB = 1 << 20


class Scraper:
    """GET /metrics once a second until stopped; counts the answers."""

    def __init__(self, port):
        self.port, self.done, self.answers = port, threading.Event(), 0
        self.thread = threading.Thread(target=self.loop, daemon=True)
        self.thread.start()

    def loop(self):
        while True:
            with urllib.request.urlopen('http://127.0.0.1:%d/metrics' % self.port, timeout=5) as answer:
                answer.read()
                self.answers += 1
            if self.done.wait(1.0):
                return

    def stop(self):
        self.done.set()
        self.thread.join()


def measure(name, metrics):
    figures = {}
    for tests, extra in (('up,down,aggregate', ('--bytes', str(run.GiB // 4))), ('churn', ('--seconds', '3')),
                         ('memory', ('--idle', '0')), ('memory', ('--idle', '5000'))):
        def attempt():
            relay = run.Relay(name)
            scraper = None
            if metrics:
                port = run.free_port()
                relay.command += ['--metrics', '127.0.0.1:%d' % port]
            relay.start()
            try:
                if metrics:
                    scraper = Scraper(port)
                    run.wait_listening(port, relay.proc)
                return relay.bench(tests, *extra)
            finally:
                if scraper:
                    scraper.stop()
                    if scraper.answers == 0 and tests != 'memory':
                        sys.exit('no scrape answered during %s' % tests)
                relay.stop()
                relay.remove()
        figures.update(run.retried(attempt))
    return figures


def main():
    name = sys.argv[1] if len(sys.argv) > 1 else 'tolvaned'
    rounds = int(sys.argv[2]) if len(sys.argv) > 2 else 15
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))
    results = {False: [], True: []}
    for r in range(rounds):
        for metrics in (False, True) if r % 2 == 0 else (True, False):
            print('round %d: metrics %s' % (r + 1, 'on' if metrics else 'off'), file=sys.stderr, flush=True)
            results[metrics].append(measure(name, metrics))

    def median(metrics, key):
        return statistics.median(f[key] for f in results[metrics])

    lines = ['', '## %s: the metrics endpoint\'s cost' % name, '',
             'The same build with `--metrics` off and on (scraped every second), %d rounds interleaved, medians '
             '(`python3 bench/metrics_cost.py %s %d`):' % (rounds, name, rounds), '',
             '| figure | metrics off | metrics on | on / off |', '|---|---:|---:|---:|']
    for key, label in (('up_mb_s', 'throughput client -> upstream (MB/s)'),
                       ('down_mb_s', 'throughput upstream -> client (MB/s)'),
                       ('aggregate_mb_s', 'aggregate throughput, 64 connections (MB/s)'),
                       ('churn_per_s', 'churn, connect-exchange-close (/s)'),
                       ('churn_p99_us', 'churn p99 (us)')):
        off, on = median(False, key), median(True, key)
        lines.append('| %s | %.1f | %.1f | %.3f |' % (label, off, on, on / off))
    for metrics in (False, True):
        per_client = (median(metrics, 'rss_idle5000_mib') - median(metrics, 'rss_idle0_mib')) * MiB / 5000
        lines.append('')
        lines.append('Memory per idle client, metrics %s: %.0f bytes ((RSS with 5,000 idle - none) / 5,000).'
                     % ('on' if metrics else 'off', per_client))
    lines.append('')
    lines.append('(Date: %s. Machine: %s, %d cores.)' % (datetime.date.today().isoformat(), platform.platform(),
                                                          os.cpu_count()))
    text = '\n'.join(lines) + '\n'
    print(text)
    with open(os.path.join(HERE, 'RESULTS.md'), 'a') as f:
        f.write(text)


if __name__ == '__main__':
    main()
