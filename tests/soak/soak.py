#!/usr/bin/env python3
"""Soak: Tolvane relaying for 100 clients for a long time, against a RIX that drops every connection
now and then, with data logging on (so both logs roll over).

Each client sends frames of random size and waits for each one's echo. A frame carries its sequence
number and a checksum, and contains no zero byte (the relay removes those towards the client). A frame
whose echo is lost because the RIX dropped the connection is sent again after a while; any echo that
arrives corrupted, out of order or twice beyond that is a failure. Every 20th frame a client also
disconnects and connects again. At the end: every frame echoed intact, the relay's resident memory
flat after warm-up, and its open descriptors back where they were.

Usage: python3 tests/soak/soak.py [--minutes N]   (make soak; SOAK_MINUTES for the Makefile)
"""
import argparse, os, random, selectors, shutil, signal, socket, subprocess, sys, tempfile, time, zlib

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
LOGIN = b'Login Sucessful\r\n'
RESEND_AFTER = 4.0  # seconds without an echo: the frame went down with a dropped RIX connection


def free_port():
    while True:
        port = 20000 + random.randrange(12000)
        with socket.socket() as s:
            try:
                s.bind(('127.0.0.1', port))
                return port
            except OSError:
                pass


def frame(client, seq):
    rng = random.Random(client * 1_000_003 + seq)
    payload = bytes(rng.randrange(1, 256) for _ in range(rng.randrange(1, 48 * 1024)))
    body = b'%08x%08x%08x' % (seq, len(payload), zlib.crc32(payload))
    return b'<' + body + payload + b'>'


class Client:
    def __init__(self, index, port, selector):
        self.index, self.port, self.selector = index, port, selector
        self.seq, self.echoed, self.resent, self.duplicates = 0, 0, 0, 0
        self.stopping, self.idle = False, False
        self.sock = None
        self.connect()

    def connect(self):
        if self.sock:
            self.selector.unregister(self.sock)
            self.sock.close()
        self.sock = socket.create_connection(('127.0.0.1', self.port))
        self.sock.setblocking(False)
        self.buffer = b''
        self.greeted = False
        self.selector.register(self.sock, selectors.EVENT_READ, self)
        self.send_current()

    def send_current(self):
        self.outgoing = frame(self.index, self.seq)
        self.sent_at = time.time()
        self.sock.setblocking(True)
        self.sock.sendall(self.outgoing)
        self.sock.setblocking(False)

    def readable(self):
        try:
            data = self.sock.recv(1 << 20)
        except BlockingIOError:
            return
        if not data:
            raise SystemExit('client %d: the relay closed the connection' % self.index)
        self.buffer += data
        if not self.greeted:
            if len(self.buffer) < len(LOGIN):
                return
            if not self.buffer.startswith(LOGIN):
                raise SystemExit('client %d: no greeting' % self.index)
            self.buffer, self.greeted = self.buffer[len(LOGIN):], True
        while self.buffer:
            if self.buffer[0:1] != b'<':
                raise SystemExit('client %d: stray bytes %r' % (self.index, self.buffer[:40]))
            if len(self.buffer) < 25:
                return
            seq, length, crc = (int(self.buffer[i:i + 8], 16) for i in (1, 9, 17))
            if len(self.buffer) < 26 + length:
                return
            payload, end = self.buffer[25:25 + length], self.buffer[25 + length:26 + length]
            self.buffer = self.buffer[26 + length:]
            if end != b'>' or zlib.crc32(payload) != crc:
                raise SystemExit('client %d: frame %d corrupted' % (self.index, seq))
            if seq < self.seq:
                self.duplicates += 1  # the echo of a frame that was also sent again
                continue
            if seq != self.seq:
                raise SystemExit('client %d: frame %d came before %d' % (self.index, seq, self.seq))
            self.echoed += len(self.outgoing)
            self.seq += 1
            if self.stopping:
                self.idle = True
                return
            if self.seq % 20 == 0:
                self.connect()
                return
            self.send_current()

    def check_timeout(self):
        if not self.idle and time.time() - self.sent_at > RESEND_AFTER:
            self.resent += 1
            self.send_current()


def descriptors(pid):
    """The relay's socket inodes, and how many other descriptors it holds."""
    sockets, other = set(), 0
    for fd in os.listdir('/proc/%d/fd' % pid):
        try:
            target = os.readlink('/proc/%d/fd/%s' % (pid, fd))
        except FileNotFoundError:
            continue
        if target.startswith('socket:['):
            sockets.add(target[8:-1])
        else:
            other += 1
    return sockets, other


def tcp_states():
    states = {}
    with open('/proc/net/tcp') as f:
        for line in f.readlines()[1:]:
            fields = line.split()
            states[fields[9]] = fields[3]
    return states


def rss_kib(pid):
    with open('/proc/%d/status' % pid) as f:
        return next(int(line.split()[1]) for line in f if line.startswith('VmRSS'))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument('--minutes', type=float, default=float(os.environ.get('SOAK_MINUTES', 10)))
    parser.add_argument('--clients', type=int, default=100)
    parser.add_argument('--drop-every', type=int, default=15000, help='ms between RIX drops')
    args = parser.parse_args()

    folder = tempfile.mkdtemp(prefix='tolvane-soak-')
    rix_port, client_port = free_port(), free_port()
    sim = subprocess.Popen([os.path.join(ROOT, 'build', 'tolvane-rix-sim'), '--port', str(rix_port), '--no-login',
                            '--drop-every', str(args.drop_every)], stdout=subprocess.PIPE)
    assert sim.stdout.readline().startswith(b'listening')
    shutil.copy(os.path.join(ROOT, 'build', 'tolvane'), folder)
    with open(os.path.join(folder, 'iplog.ini'), 'wb') as f:
        f.write(b'RIX IP Port=%d\r\nRIX IP Address=127.0.0.1\r\nClient IP Port=%d\r\nServer Mode=Yes\r\nLog Data=Yes\r\n'
                % (rix_port, client_port))
    env = {k: v for k, v in os.environ.items() if k not in ('DISPLAY', 'WAYLAND_DISPLAY', 'QT_QPA_PLATFORM')}
    relay = subprocess.Popen([os.path.join(folder, 'tolvane')], env=env, stderr=subprocess.DEVNULL)
    try:
        for _ in range(100):
            if any(':%04X 00000000:0000 0A' % client_port in line for line in open('/proc/net/tcp')):
                break
            time.sleep(0.1)
        selector = selectors.DefaultSelector()
        clients = [Client(i, client_port, selector) for i in range(args.clients)]
        started = time.time()
        end = started + args.minutes * 60
        warmup = started + args.minutes * 60 * 0.2
        def other_descriptors():
            # Everything but TCP connections: files, the event loop's, the signal socket pair.
            sockets, other = descriptors(relay.pid)
            states = tcp_states()
            return other + sum(1 for inode in sockets if inode not in states)

        other_at_start = other_descriptors()
        samples, next_sample = [], started
        while time.time() < end:
            for key, _ in selector.select(0.5):
                key.data.readable()
            for client in clients:
                client.check_timeout()
            if relay.poll() is not None:
                raise SystemExit('the relay exited')
            now = time.time()
            if now >= next_sample:
                next_sample = now + 5
                if now >= warmup:
                    samples.append((now - started, rss_kib(relay.pid)))
        # No new frames; every outstanding one is echoed (or re-sent until it is).
        for client in clients:
            client.stopping = True
        deadline = time.time() + 60
        while not all(c.idle for c in clients) and time.time() < deadline:
            for key, _ in selector.select(0.5):
                key.data.readable()
            for client in clients:
                client.check_timeout()
        if not all(c.idle for c in clients):
            raise SystemExit('frames still without an echo a minute after the last was sent')
        for client in clients:
            client.sock.close()
        time.sleep(2.5)  # the relay has seen every close, and the poll has had two periods
        other_at_end = other_descriptors()
        sockets, _ = descriptors(relay.pid)
        states = tcp_states()
        tcp = [inode for inode in sockets if inode in states]
        dead = [inode for inode in tcp if states[inode] not in ('01', '0A', '02')]

        n = len(samples)
        mean_t = sum(t for t, _ in samples) / n
        mean_r = sum(r for _, r in samples) / n
        slope = sum((t - mean_t) * (r - mean_r) for t, r in samples) / max(1e-9, sum((t - mean_t) ** 2 for t, _ in samples))
        frames = sum(c.seq for c in clients)
        echoed = sum(c.echoed for c in clients)
        resent = sum(c.resent for c in clients)
        drops = int(args.minutes * 60 * 1000 / args.drop_every)
        logs = os.listdir(folder)
        print('soak: %.1f min, %d clients, %d frames echoed intact (%.1f MB), %d re-sent after %d RIX drops, '
              '%d duplicate echoes ignored' % (args.minutes, args.clients, frames, echoed / 1e6, resent, drops,
                                               sum(c.duplicates for c in clients)))
        print('soak: client reconnects %d; data log copies %d; event log copies %d'
              % (frames // 20, sum(1 for f in logs if f.startswith('DataLog ')), sum(1 for f in logs if f.startswith('EventLog '))))
        print('soak: resident memory after warm-up %d -> %d KiB, slope %.1f KiB/min'
              % (samples[0][1], samples[-1][1], slope * 60))
        print('soak: descriptors other than TCP connections %d at start, %d at the end; %d connections held, %d not live'
              % (other_at_start, other_at_end, len(tcp), len(dead)))
        failed = []
        if resent > args.clients * (drops + 1):
            failed.append('more frames re-sent than RIX drops can explain')
        if samples[-1][1] > max(r for _, r in samples[: max(1, n // 5)]) + 4096:
            failed.append('resident memory grew after warm-up')
        if other_at_end != other_at_start or dead:
            failed.append('descriptors leaked')
        with open(os.path.join(folder, 'Errorlog.txt'), 'rb') if os.path.exists(os.path.join(folder, 'Errorlog.txt')) else open(os.devnull, 'rb') as f:
            unexpected = [l for l in f.read().split(b'\r\n')[11:] if l and b'Socket Error #' not in l]
        if unexpected:
            failed.append('unexpected error log lines: %r' % unexpected[:3])
        print('soak: ' + ('FAILED: ' + '; '.join(failed) if failed else 'passed'))
        sys.exit(1 if failed else 0)
    finally:
        relay.send_signal(signal.SIGTERM)
        relay.wait(15)
        sim.terminate()
        sim.wait(5)
        shutil.rmtree(folder, ignore_errors=True)


if __name__ == '__main__':
    main()
