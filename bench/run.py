#!/usr/bin/env python3
"""Tolvane against haproxy (mode tcp) and nginx (stream), side by side on this machine.

Each figure is measured for every relay in turn (tolvane, tolvaned, haproxy, nginx, then again),
three rounds, and the medians are printed with the ratios tolvane / best peer and tolvaned / best
peer. A missing build/tolvaned is left out. The table is also written to bench/RESULTS.md. Run it
through `make bench`, which builds everything and installs the peers.
Usage: python3 bench/run.py [--rounds N] [--quick]
"""
import argparse, datetime, os, platform, resource, shutil, signal, socket, statistics, subprocess, sys
import tempfile, time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BENCH = os.path.join(ROOT, 'build', 'relaybench')
GiB = 1 << 30
TOLVANES = ('tolvane', 'tolvaned')
# The relay's per-direction bound on unsent bytes (src/net/SlotPath.h), for the peak-memory limit.
PENDING_BOUND_MIB = 0.25


def free_port():
    # Below the ephemeral range, whose ports churn leaves in TIME_WAIT.
    while True:
        port = 20000 + int.from_bytes(os.urandom(2), 'little') % 12000
        with socket.socket() as s:
            try:
                s.bind(('127.0.0.1', port))
                return port
            except OSError:
                continue


def wait_listening(port, proc, timeout=10):
    deadline = time.time() + timeout
    while time.time() < deadline:
        if proc.poll() is not None:
            sys.exit('relay exited at start-up')
        with socket.socket() as s:
            if s.connect_ex(('127.0.0.1', port)) == 0:
                return
        time.sleep(0.05)
    sys.exit('relay did not listen on %d' % port)


class Relay:
    """One relay process (or process group) on its own ports."""

    def __init__(self, name, log_data=False):
        self.name, self.log_data = name, log_data
        self.port, self.upstream = free_port(), free_port()
        self.folder = tempfile.mkdtemp(prefix='bench-%s-' % name)
        self.greeting = 17 if name in TOLVANES else 0
        if name in TOLVANES:
            shutil.copy(os.path.join(ROOT, 'build', name), self.folder)
            with open(os.path.join(self.folder, 'iplog.ini'), 'wb') as f:
                f.write(('CONFIGURATION\r\nRIX IP Port=%d\r\nRIX IP Address=127.0.0.1\r\nClient IP Port=%d\r\n'
                         'Client IP Address=127.0.0.1\r\nPacket Size=16383\r\nServer Mode=Yes\r\nLog Data=%s\r\n'
                         % (self.upstream, self.port, 'Yes' if log_data else 'No')).encode())
            self.command = [os.path.join(self.folder, name)]
        elif name == 'haproxy':
            config = os.path.join(self.folder, 'haproxy.cfg')
            with open(config, 'w') as f:
                f.write('global\n    maxconn 9000\n'
                        'defaults\n    mode tcp\n    timeout connect 5s\n    timeout client 1h\n'
                        '    timeout server 1h\n'
                        'frontend relay\n    bind 127.0.0.1:%d\n    default_backend rix\n'
                        'backend rix\n    server rix 127.0.0.1:%d\n' % (self.port, self.upstream))
            self.command = ['haproxy', '-f', config, '-db']
        else:
            config = os.path.join(self.folder, 'nginx.conf')
            with open(config, 'w') as f:
                f.write('load_module /usr/lib/nginx/modules/ngx_stream_module.so;\n'
                        'worker_processes auto;\ndaemon off;\npid %s/nginx.pid;\nerror_log %s/error.log;\n'
                        'worker_rlimit_nofile 19000;\nevents { worker_connections 16000; }\n'
                        'stream { server { listen 127.0.0.1:%d; proxy_pass 127.0.0.1:%d; } }\n'
                        % (self.folder, self.folder, self.port, self.upstream))
            self.command = ['nginx', '-c', config]

    def start(self):
        env = {k: v for k, v in os.environ.items() if k not in ('DISPLAY', 'WAYLAND_DISPLAY', 'QT_QPA_PLATFORM')}
        self.proc = subprocess.Popen(self.command, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                     cwd=self.folder, start_new_session=True)
        wait_listening(self.port, self.proc)

    def pids(self):
        out = subprocess.run(['pgrep', '-s', str(self.proc.pid)], capture_output=True, text=True).stdout.split()
        return ','.join(out) or str(self.proc.pid)

    def stop(self):
        os.killpg(self.proc.pid, signal.SIGTERM)
        try:
            self.proc.wait(15)
        except subprocess.TimeoutExpired:
            os.killpg(self.proc.pid, signal.SIGKILL)
            self.proc.wait()

    def remove(self):
        shutil.rmtree(self.folder, ignore_errors=True)

    def bench(self, tests, *extra, direct=False):
        command = [BENCH, '--port', str(self.port), '--upstream-port', str(self.upstream),
                   '--greeting', str(self.greeting), '--test', tests, *extra]
        if direct:
            command.append('--direct')
        if '--idle' in extra or any(t in tests for t in ('memory', 'settle', 'aggregate')):
            command += ['--pids', self.pids()]
        out = subprocess.run(command, capture_output=True, text=True, timeout=600)
        if out.returncode != 0:
            sys.exit('%s: relaybench %s failed: %s' % (self.name, tests, out.stderr.strip()))
        return {k: float(v) for k, v in (line.split() for line in out.stdout.splitlines())}


def measure(name, quick, log_data=False):
    """All figures for one relay: each group on a freshly started relay."""
    size = str(GiB // 4 if quick else GiB)
    figures = {}

    def group(tests, *extra, direct=False, prefix=''):
        relay = Relay(name, log_data)
        relay.start()
        try:
            for key, value in relay.bench(tests, *extra, direct=direct).items():
                figures[key if key.startswith('memory') else prefix + key] = value
        finally:
            relay.stop()
            relay.remove()

    if log_data:
        group('up,down', '--bytes', size)
        return {'log_' + k: v for k, v in figures.items()}
    group('up,down,aggregate,settle', '--bytes', size)
    group('latency', '--rounds', '5000' if quick else '20000')
    group('latency', '--rounds', '5000' if quick else '20000', direct=True)
    group('churn,settle', '--seconds', '2' if quick else '5')
    group('memory', '--idle', '0')
    group('memory', '--idle', '1000')
    group('memory,latency,up,down', '--idle', '5000', '--bytes', size, '--rounds', '5000' if quick else '20000',
          prefix='held_')
    return figures


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument('--rounds', type=int, default=3)
    parser.add_argument('--quick', action='store_true', help='smaller transfers, shorter runs')
    args = parser.parse_args()
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))
    if hard < 16000:
        sys.exit('the descriptor limit (%d) is too low for 5,000 idle clients' % hard)

    relays = ['tolvane', 'tolvaned', 'haproxy', 'nginx']
    if not os.path.exists(os.path.join(ROOT, 'build', 'tolvaned')):
        print('build/tolvaned is missing: measuring without it', file=sys.stderr)
        relays.remove('tolvaned')
    ours = [n for n in relays if n in TOLVANES]
    runs = {name: [] for name in relays}
    runs['tolvane-log'] = []
    for round_ in range(args.rounds):
        for name in relays:
            print('round %d: %s' % (round_ + 1, name), file=sys.stderr, flush=True)
            runs[name].append(measure(name, args.quick))
        runs['tolvane-log'].append(measure('tolvane', args.quick, log_data=True))

    def median(name, key):
        return statistics.median(r[key] for r in runs[name])

    rows = []

    def row(label, key, better, transform=lambda name, v: v, unit=''):
        values = {n: transform(n, median(n, key)) for n in relays}
        others = [values['haproxy'], values['nginx']]
        best = max(others) if better == 'higher' else min(others)
        ratios = [values[n] / best if best else None for n in ours]
        rows.append((label, unit, [values[n] for n in relays], ratios))

    floor = {n: median(n, 'direct_p50_us') for n in relays}
    floor99 = {n: median(n, 'direct_p99_us') for n in relays}
    row('throughput client -> upstream, 1 connection', 'up_mb_s', 'higher', unit='MB/s')
    row('throughput upstream -> client, 1 connection', 'down_mb_s', 'higher', unit='MB/s')
    row('aggregate throughput, 64 connections', 'aggregate_mb_s', 'higher', unit='MB/s')
    row('added latency p50', 'latency_p50_us', 'lower', lambda n, v: v - floor[n], 'us')
    row('added latency p99', 'latency_p99_us', 'lower', lambda n, v: v - floor99[n], 'us')
    row('latency p99.9', 'latency_p999_us', 'lower', unit='us')
    row('churn, connect-exchange-close', 'churn_per_s', 'higher', unit='/s')
    row('churn p99', 'churn_p99_us', 'lower', unit='us')
    row('memory, idle', 'memory_idle0_mib', 'lower', unit='MiB')
    row('memory, 1,000 idle clients', 'memory_idle1000_mib', 'lower', unit='MiB')
    row('memory, 5,000 idle clients', 'memory_idle5000_mib', 'lower', unit='MiB')
    row('with 5,000 idle: added latency p50', 'held_latency_p50_us', 'lower', lambda n, v: v - floor[n], 'us')
    row('with 5,000 idle: up, 1 connection', 'held_up_mb_s', 'higher', unit='MB/s')
    row('with 5,000 idle: down, 1 connection', 'held_down_mb_s', 'higher', unit='MB/s')
    row('memory at the start of the load tests', 'memory_start_mib', 'lower', unit='MiB')
    row('peak memory, 64 connections', 'memory_peak64_mib', 'lower', unit='MiB')
    row('memory after the throughput tests, all closed, 3 s later', 'memory_after_aggregate_mib', 'lower',
        unit='MiB')
    row('memory after churn, all closed, 3 s later', 'memory_after_churn_mib', 'lower', unit='MiB')

    def cell(v):
        return '-' if v is None else '%.1f' % v

    lines = ['| figure | %s | %s |' % (' | '.join(relays), ' | '.join('%s / best peer' % n for n in ours)),
             '|---|%s' % ('---:|' * (len(relays) + len(ours)))]
    for label, unit, values, ratios in rows:
        lines.append('| %s (%s) | %s | %s |' % (label, unit, ' | '.join(cell(v) for v in values),
                                               ' | '.join('-' if r is None else '%.2f' % r for r in ratios)))
    log_up, log_down = median('tolvane-log', 'log_up_mb_s'), median('tolvane-log', 'log_down_mb_s')
    lines.append('')
    lines.append('Tolvane with the data log on: %.0f MB/s client -> upstream, %.0f MB/s upstream -> client.'
                 % (log_up, log_down))
    for n in ours:
        held = median(n, 'held_latency_p50_us') - floor[n]
        plain = median(n, 'latency_p50_us') - floor[n]
        lines.append('%s with 5,000 idle clients held: added latency p50 %.1f us (%.2f x without), '
                     'throughput %.0f / %.0f MB/s (%.2f / %.2f x without).'
                     % (n, held, held / plain if plain else 0, median(n, 'held_up_mb_s'), median(n, 'held_down_mb_s'),
                        median(n, 'held_up_mb_s') / median(n, 'up_mb_s'),
                        median(n, 'held_down_mb_s') / median(n, 'down_mb_s')))
    for n in ours:
        lines.append('%s memory after load, all closed, 3 s later: %.2f x its start (throughput tests), %.2f x '
                     '(churn); peak during the 64-connection test %.1f MiB, against a limit of 64 x 2 x %.2f MiB + '
                     'its start = %.1f MiB.'
                     % (n, median(n, 'memory_after_aggregate_x'), median(n, 'memory_after_churn_x'),
                        median(n, 'memory_peak64_mib'), PENDING_BOUND_MIB,
                        128 * PENDING_BOUND_MIB + median(n, 'memory_start_mib')))
    table = '\n'.join(lines)
    print(table)

    versions = subprocess.run(['sh', '-c', "haproxy -v | head -n 1 | cut -d' ' -f1-3; nginx -v 2>&1"],
                              capture_output=True, text=True).stdout.strip().replace('\n', '; ')
    with open(os.path.join(ROOT, 'bench', 'RESULTS.md'), 'w') as f:
        f.write('# Benchmark results\n\n')
        f.write('Date: %s. Machine: %s, %d cores, %s. Peers: %s.\n\n'
                % (datetime.date.today().isoformat(), platform.platform(), os.cpu_count(),
                   platform.machine(), versions))
        f.write('Command: `make bench` (%d rounds, medians; the data log off unless stated).\n\n' % args.rounds)
        f.write(table + '\n')


if __name__ == '__main__':
    main()
