#!/usr/bin/env python3
"""Tolvane against haproxy (mode tcp) and nginx (stream, at its defaults and with 256 KiB buffers),
side by side on this machine.

Each group of figures runs on a freshly started relay, for every relay in turn (tolvane, tolvaned,
haproxy, nginx, nginx-256k), forward in odd rounds and backward in even ones, three rounds; the medians
are printed with the ratios tolvane(d) / best peer at its defaults and tolvane(d) / nginx-256k, and a
block of targets, each met or not. A missing build/tolvaned is left out. The table is also written to
bench/RESULTS.md. Run it through `make bench`, which builds everything and installs the peers.
Usage: python3 bench/run.py [--rounds N] [--quick]
"""
import argparse, datetime, os, platform, resource, shutil, signal, socket, statistics, subprocess, sys
import tempfile, time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BENCH = os.path.join(ROOT, 'build', 'relaybench')
GiB = 1 << 30
TOLVANES = ('tolvane', 'tolvaned')
PEERS = ('haproxy', 'nginx')  # at their defaults
NGINX_256K = 'nginx-256k'  # nginx with the buffer Tolvane reads into (proxy_buffer_size 256k)
# The relay's per-direction bound on unsent bytes (src/net/SlotPath.h), for the peak-memory limit.
PENDING_BOUND_MIB = 0.25


class PortTaken(Exception):
    """Another program took a port between its choice here and its use."""


handed_out = set()  # a port is free until its user binds it: never hand it out twice


def free_port():
    # Below the ephemeral range, whose ports churn leaves in TIME_WAIT.
    while True:
        port = 20000 + int.from_bytes(os.urandom(2), 'little') % 12000
        if port in handed_out:
            continue
        with socket.socket() as s:
            try:
                s.bind(('127.0.0.1', port))
            except OSError:
                continue
        handed_out.add(port)
        return port


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
            buffers = ' proxy_buffer_size 256k;' if name == NGINX_256K else ''
            config = os.path.join(self.folder, 'nginx.conf')
            with open(config, 'w') as f:
                f.write('load_module /usr/lib/nginx/modules/ngx_stream_module.so;\n'
                        'worker_processes auto;\ndaemon off;\npid %s/nginx.pid;\nerror_log %s/error.log;\n'
                        'worker_rlimit_nofile 19000;\nevents { worker_connections 16000; }\n'
                        'stream { server { listen 127.0.0.1:%d; proxy_pass 127.0.0.1:%d;%s } }\n'
                        % (self.folder, self.folder, self.port, self.upstream, buffers))
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

    def bench(self, tests, *extra):
        command = [BENCH, '--port', str(self.port), '--upstream-port', str(self.upstream),
                   '--greeting', str(self.greeting), '--test', tests, *extra]
        if '--idle' in extra or any(t in tests for t in ('memory', 'settle', 'aggregate')):
            command += ['--pids', self.pids()]
        out = subprocess.run(command, capture_output=True, text=True, timeout=600)
        if 'upstream bind: Address already in use' in out.stderr:
            raise PortTaken('%s: port %d was taken' % (self.name, self.upstream))
        if out.returncode != 0:
            sys.exit('%s: relaybench %s failed: %s' % (self.name, tests, out.stderr.strip()))
        return {k: float(v) for k, v in (line.split() for line in out.stdout.splitlines())}


def retried(attempt):
    """attempt() again on fresh ports when another program took one of them: the machine is shared."""
    for _ in range(3):
        try:
            return attempt()
        except PortTaken as taken:
            print('%s: again on other ports' % taken, file=sys.stderr, flush=True)
    sys.exit('another program took one of our ports three times in a row')


def group(name, tests, extra, prefix='', log_data=False):
    """One group of tests on a freshly started relay; the figures, all but memory's named with prefix."""
    def attempt():
        relay = Relay(name, log_data)
        relay.start()
        try:
            return relay.bench(tests, *extra)
        finally:
            relay.stop()
            relay.remove()
    got = retried(attempt)
    return {k if k.startswith(('rss_', 'pss_')) else prefix + k: v for k, v in got.items()}


def groups(quick):
    """(tests, relaybench options, prefix, data log on) for each group, and whether only Tolvane runs it."""
    # Transfers are cheap next to the churn and the idle clients: 512 MiB runs long enough to be steady.
    size = str(GiB // 16 if quick else GiB // 2)
    log_size = str(GiB // 16 if quick else GiB // 4)
    rounds = '5000' if quick else '20000'
    seconds = '1' if quick else '4'
    return [(('up,down,aggregate,settle', ('--bytes', size), '', False), False),
            (('latency', ('--rounds', rounds), '', False), False),
            (('churn,churn4,settle', ('--seconds', seconds), '', False), False),
            (('memory', ('--idle', '0'), '', False), False),
            (('memory', ('--idle', '1000'), '', False), False),
            (('memory,latency,up,down,churn,churn4', ('--idle', '5000', '--bytes', size, '--rounds', rounds,
                                                     '--seconds', seconds), 'held_', False), False),
            (('up', ('--bytes', log_size, '--pattern', 'bytes'), 'log_bytes_', True), True),
            (('up', ('--bytes', log_size, '--pattern', 'text'), 'log_text_', True), True)]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument('--rounds', type=int, default=3)
    parser.add_argument('--quick', action='store_true', help='smaller transfers, shorter runs')
    args = parser.parse_args()
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))
    if hard < 16000:
        sys.exit('the descriptor limit (%d) is too low for 5,000 idle clients' % hard)

    started = time.monotonic()
    relays = ['tolvane', 'tolvaned', 'haproxy', 'nginx', NGINX_256K]
    if not os.path.exists(os.path.join(ROOT, 'build', 'tolvaned')):
        print('build/tolvaned is missing: measuring without it', file=sys.stderr)
        relays.remove('tolvaned')
    ours = [n for n in relays if n in TOLVANES]
    runs = {name: [{} for _ in range(args.rounds)] for name in relays}
    for round_ in range(args.rounds):
        order = relays if round_ % 2 == 0 else relays[::-1]
        for (tests, extra, prefix, log_data), ours_only in groups(args.quick):
            for name in order:
                if ours_only and name not in TOLVANES:
                    continue
                print('round %d: %s %s%s' % (round_ + 1, name, prefix, tests), file=sys.stderr, flush=True)
                runs[name][round_].update(group(name, tests, extra, prefix, log_data))

    def median(name, key):
        return statistics.median(r[key] for r in runs[name])

    def best(names, key, better):
        return (max if better == 'higher' else min)(median(n, key) for n in names)

    rows = []

    def row(label, key, better, unit):
        values = [median(n, key) for n in relays]
        peer, n256 = best(PEERS, key, better), median(NGINX_256K, key)
        ratios = [median(n, key) / peer if peer else None for n in ours]
        ratios += [median(n, key) / n256 if n256 else None for n in ours]
        rows.append((label, unit, values, ratios))

    def held_row(label, key):
        values = [median(n, 'held_' + key) / median(n, key) for n in relays]
        rows.append((label, 'x', values, [None] * (2 * len(ours))))

    row('throughput client -> upstream, 1 connection', 'up_mb_s', 'higher', 'MB/s')
    row('throughput upstream -> client, 1 connection', 'down_mb_s', 'higher', 'MB/s')
    row('aggregate throughput, 64 connections', 'aggregate_mb_s', 'higher', 'MB/s')
    for p, name in (('p50', 'p50'), ('p99', 'p99'), ('p999', 'p99.9')):
        row('latency %s, through the relay' % name, 'latency_%s_us' % p, 'lower', 'us')
        row('latency %s, floor (straight to the upstream, same run)' % name, 'floor_%s_us' % p, 'lower', 'us')
        row('added latency %s (relay - floor, same run)' % name, 'added_%s_us' % p, 'lower', 'us')
    row('churn, connect-exchange-close, 1 client', 'churn_per_s', 'higher', '/s')
    row('churn p99, 1 client', 'churn_p99_us', 'lower', 'us')
    row('churn, connect-exchange-close, 4 clients at once', 'churn4_per_s', 'higher', '/s')
    row('churn p99, 4 clients at once', 'churn4_p99_us', 'lower', 'us')
    for what, label in (('idle0', 'memory %s, idle'), ('idle1000', 'memory %s, 1,000 idle clients'),
                        ('idle5000', 'memory %s, 5,000 idle clients'),
                        ('start', 'memory %s at the start of the load tests'),
                        ('peak64', 'peak memory %s, 64 connections'),
                        ('after_aggregate', 'memory %s after the throughput tests, all closed, 3 s later'),
                        ('after_churn', 'memory %s after churn, all closed, 3 s later')):
        row(label % 'RSS', 'rss_%s_mib' % what, 'lower', 'MiB')
        row(label % 'PSS', 'pss_%s_mib' % what, 'lower', 'MiB')
    row('with 5,000 idle: added latency p50', 'held_added_p50_us', 'lower', 'us')
    row('with 5,000 idle: added latency p99', 'held_added_p99_us', 'lower', 'us')
    row('with 5,000 idle: up, 1 connection', 'held_up_mb_s', 'higher', 'MB/s')
    row('with 5,000 idle: down, 1 connection', 'held_down_mb_s', 'higher', 'MB/s')
    row('with 5,000 idle: churn, 1 client', 'held_churn_per_s', 'higher', '/s')
    row('with 5,000 idle: churn, 4 clients at once', 'held_churn4_per_s', 'higher', '/s')
    held_row('with 5,000 idle / without: up', 'up_mb_s')
    held_row('with 5,000 idle / without: down', 'down_mb_s')
    held_row('with 5,000 idle / without: churn, 1 client', 'churn_per_s')
    held_row('with 5,000 idle / without: churn, 4 clients', 'churn4_per_s')

    def cell(v, form='%.1f'):
        return '-' if v is None else form % v

    lines = ['| figure | %s | %s | %s |' % (' | '.join(relays), ' | '.join('%s / best peer' % n for n in ours),
                                           ' | '.join('%s / %s' % (n, NGINX_256K) for n in ours)),
             '|---|%s' % ('---:|' * (len(relays) + 2 * len(ours)))]
    for label, unit, values, ratios in rows:
        lines.append('| %s (%s) | %s | %s |' % (label, unit, ' | '.join(cell(v, '%.2f' if unit == 'x' else '%.1f')
                                                                          for v in values),
                                               ' | '.join(cell(r, '%.2f') for r in ratios)))
    lines += ['', '"best peer" is the better of haproxy and nginx at their defaults. Latency: 64-byte round trips, '
              'through the relay and straight to the upstream alternating in blocks of 100 on two connections '
              'of one run. RSS is summed over the relay\'s processes (nginx: master and workers).', '']

    lines += ['Data log on (`Log Data=Yes`), client -> upstream, 1 connection:', '',
              '| figure | %s |' % ' | '.join(ours), '|---|%s' % ('---:|' * len(ours))]
    for key, label in (('log_bytes_up_mb_s', 'every byte value 0..255 in turn (MB/s)'),
                       ('log_text_up_mb_s', 'text (MB/s)')):
        lines.append('| %s | %s |' % (label, ' | '.join('%.1f' % median(n, key) for n in ours)))
    lines.append('')

    targets = []

    def target(label, key, better, factor, reference_names=None, reference_key=None):
        """ours `better` than factor x the best of reference_names (or than its own reference_key)."""
        cells = []
        for n in ours:
            value = median(n, key)
            if reference_key:
                reference = median(n, reference_key)
                value_text, reference_text = '%.1f (without: %.1f)' % (value, reference), 'the same relay'
            else:
                reference = best(reference_names, key, better)
                value_text, reference_text = '%.1f' % value, '%.1f' % reference
            met = value >= factor * reference if better == 'higher' else value <= factor * reference
            ratio = value / reference if reference > 0 else float('nan')
            cells.append('%s = %.2f x | %s' % (value_text, ratio, 'met' if met else 'not met'))
        targets.append('| %s | %s | %s |' % (label, reference_text, ' | '.join(cells)))

    every_peer = list(PEERS) + [NGINX_256K]
    target('churn, 4 clients (/s) >= 1.0 x best peer (haproxy, nginx, nginx-256k)', 'churn4_per_s', 'higher', 1.0,
           every_peer)
    target('churn, 1 client, with 5,000 idle held (/s) >= 0.95 x without', 'held_churn_per_s', 'higher', 0.95,
           reference_key='churn_per_s')
    target('churn, 4 clients, with 5,000 idle held (/s) >= 0.95 x without', 'held_churn4_per_s', 'higher', 0.95,
           reference_key='churn4_per_s')
    target('added latency p50 (us) <= 1.0 x best peer (haproxy, nginx, nginx-256k)', 'added_p50_us', 'lower', 1.0,
           every_peer)
    for key, label in (('up_mb_s', 'throughput client -> upstream'), ('down_mb_s', 'throughput upstream -> client'),
                       ('aggregate_mb_s', 'aggregate throughput, 64 connections')):
        target('%s (MB/s) >= 1.5 x best peer at defaults' % label, key, 'higher', 1.5, PEERS)
        target('%s (MB/s) >= 1.2 x nginx-256k' % label, key, 'higher', 1.2, [NGINX_256K])
    target('memory RSS, 5,000 idle clients (MiB) <= 0.5 x best peer (haproxy, nginx, nginx-256k)',
           'rss_idle5000_mib', 'lower', 0.5, every_peer)
    lines += ['Targets (value = ratio to the reference):', '',
              '| target | reference | %s |' % ' | '.join('%s | met' % n for n in ours),
              '|---|---:|%s' % ('---:|---|' * len(ours))] + targets + ['']

    for n in ours:
        start = median(n, 'rss_start_mib')
        lines.append('%s memory (RSS) after load, all closed, 3 s later: %.2f x its start (throughput tests), %.2f x '
                     '(churn); peak during the 64-connection test %.1f MiB, against a limit of 64 x 2 x %.2f MiB + '
                     'its start = %.1f MiB.'
                     % (n, median(n, 'rss_after_aggregate_x'), median(n, 'rss_after_churn_x'),
                        median(n, 'rss_peak64_mib'), PENDING_BOUND_MIB, 128 * PENDING_BOUND_MIB + start))
    minutes = (time.monotonic() - started) / 60
    lines += ['', 'The run took %.1f minutes.' % minutes]
    table = '\n'.join(lines)
    print(table)

    versions = subprocess.run(['sh', '-c', "haproxy -v | head -n 1 | cut -d' ' -f1-3; nginx -v 2>&1"],
                              capture_output=True, text=True).stdout.strip().replace('\n', '; ')
    with open(os.path.join(ROOT, 'bench', 'RESULTS.md'), 'w') as f:
        f.write('# Benchmark results\n\n')
        f.write('Date: %s. Machine: %s, %d cores, %s. Peers: %s.\n\n'
                % (datetime.date.today().isoformat(), platform.platform(), os.cpu_count(),
                   platform.machine(), versions))
        f.write('Command: `make bench` (%d rounds%s, medians; the data log off unless stated).\n\n'
                % (args.rounds, ', --quick' if args.quick else ''))
        f.write(table + '\n')


if __name__ == '__main__':
    main()
