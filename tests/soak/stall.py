#!/usr/bin/env python3
"""Stall: clients that leave while the RIX reads nothing, at length, against build/tolvaned.

Each phase starts a relay of its own in a temporary folder, with a RIX of our own (a small receive
buffer, every connection accepted, nothing read while it stalls) and everything on 127.0.0.1. --clients
clients each connect, wait for the greeting, hand over what their socket takes of 1 MiB without
waiting, and close; then --churn clients one after another do the same with 64 KiB. Each payload
starts with its client's number.

1. Short stall (20 s, or as long as the clients take, under the relay's 30 s give-up): then the RIX
   reads everything. Every client's bytes arrive whole on a RIX connection of their own, and the
   error log stays empty.
2. Long stall (--stall-seconds): the RIX reads again only after it; the relay gives up on the
   connections that made no progress and reports what the RIX never acknowledged. Once everything has
   settled the relay is stopped with SIGTERM: what the RIX received plus what the error log reports is
   exactly what the clients handed over, and each RIX connection got the start of one client's bytes.

In both, the relay's resident memory stays within its 64 MiB of waiting bytes and one 256 KiB read
buffer above its start; no more than 256 of its RIX connections drain at once (those beyond one per
client still connected and 4 spare ones, sampled from /proc/net/tcp); its descriptors come back to
where they were (besides up to 4 spare RIX connections and the logs it opened); and SIGTERM ends it
with status 0. The phases are repeated until --minutes are spent.

Usage: python3 tests/soak/stall.py [--minutes N] [--clients N] [--churn N] [--stall-seconds S]
"""
import argparse, os, random, re, resource, select, shutil, signal, socket, subprocess, sys, tempfile, time

from soak import free_port  # the relaying soak beside this file

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
TOLVANED = os.path.join(ROOT, 'build', 'tolvaned')
LOGIN = b'Login Sucessful\r\n'
GIVE_UP_SECONDS = 30  # the relay gives a draining connection this long without progress
SHORT_STALL_SECONDS = 20  # long enough to matter, short enough that no connection gives up
BOUND_KIB = 64 * 1024 + 256  # all waiting bytes, and the read buffer
IDLE_RIX_CONNECTIONS = 4  # the poll keeps up to this many free slots' RIX connections
MAX_DRAINING = 256  # past this many draining connections, new clients wait
BIG, SMALL = 1 << 20, 64 << 10
TAG = 16  # b'client 00000042\n'
PATTERN = random.Random(7).randbytes(2 * BIG)
TCP_STATES = {'01': 'ESTABLISHED', '02': 'SYN_SENT', '04': 'FIN_WAIT1', '05': 'FIN_WAIT2', '06': 'TIME_WAIT',
              '07': 'CLOSE', '08': 'CLOSE_WAIT', '09': 'LAST_ACK', '0A': 'LISTEN', '0B': 'CLOSING'}
REPORTED = re.compile(r'Error sending to Server: Socket #\d+ Len (\d+)(?:.*, (\d+) bytes in all\))?')


class Failed(Exception):
    pass


class Stopped(Exception):
    """The run's time is up, or it was told to stop: no further phase starts."""


def payload(client, start, end):
    """Bytes start..end of a client's payload: its tag, then the pattern from an offset of its own."""
    tag = b'client %08d\n' % client
    offset = (client * 7919) % BIG - TAG
    return tag[start:end] + PATTERN[offset + max(start, TAG):offset + max(end, TAG)]


def could_be_tag(head):
    return all(t == h or (t == ord('0') and chr(h).isdigit()) for t, h in zip(b'client 00000000\n', head))


class RixConnection:
    def __init__(self, sock):
        self.sock, self.head, self.client, self.received, self.wrong = sock, b'', None, 0, None

    def take(self, data, owners):
        start = self.received
        self.received += len(data)
        if self.wrong is not None:
            return
        if self.client is None:
            self.head += data
            if len(self.head) < TAG:
                return
            match = re.fullmatch(rb'client (\d{8})\n', self.head[:TAG])
            if not match:
                self.wrong = 'began with %r' % self.head[:TAG]
                return
            self.client = int(match.group(1))
            if self.client in owners:
                self.wrong = "got client %d's bytes, which came on another one too" % self.client
                return
            owners[self.client] = self
            data, start, self.head = self.head, 0, b''
        if data != payload(self.client, start, start + len(data)):
            self.wrong = "got client %d's bytes %d..%d wrong" % (self.client, start, start + len(data))


class Loop:
    """One epoll for the RIX, the client being served and nothing else; the relay's memory and
    descriptors are sampled while it waits."""

    def __init__(self):
        self.poller = select.epoll()
        self.handlers = {}
        self.relay = None

    def watch(self, sock, handler):
        self.handlers[sock.fileno()] = handler
        self.poller.register(sock, select.EPOLLIN)

    def unwatch(self, sock):
        self.poller.unregister(sock)
        del self.handlers[sock.fileno()]

    def wait(self, done, seconds, what):
        deadline = time.monotonic() + seconds
        while not done():
            if time.monotonic() > deadline:
                raise Failed('%s: not within %g s' % (what, seconds))
            for fd, _ in self.poller.poll(0.02):
                if fd in self.handlers:
                    self.handlers[fd](fd)
            if self.relay:
                self.relay.sample()

    def close(self):
        self.poller.close()


class Rix:
    def __init__(self, loop):
        self.loop = loop
        self.listener = socket.socket()
        # Its kernel takes little before it stops acknowledging.
        self.listener.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
        self.listener.bind(('127.0.0.1', 0))
        self.listener.listen(4096)
        self.listener.setblocking(False)
        self.port = self.listener.getsockname()[1]
        self.open = {}  # fd -> RixConnection, until its end is read
        self.connections, self.owners = [], {}
        self.reading, self.delivered = False, 0
        loop.watch(self.listener, self.accept)

    def accept(self, _):
        while True:
            try:
                sock, _ = self.listener.accept()
            except BlockingIOError:
                return
            except OSError as error:
                raise Failed('the RIX could not accept a connection: %s' % error)
            sock.setblocking(False)
            connection = RixConnection(sock)
            self.connections.append(connection)
            self.open[sock.fileno()] = connection
            if self.reading:
                self.loop.watch(sock, self.readable)

    def read(self):
        self.reading = True
        for connection in self.open.values():
            self.loop.watch(connection.sock, self.readable)

    def readable(self, fd):
        connection = self.open[fd]
        try:
            data = connection.sock.recv(1 << 18)
        except BlockingIOError:
            return
        except OSError:
            data = None  # reset
        if data:
            connection.take(data, self.owners)
            self.delivered += len(data)
            return
        self.loop.unwatch(connection.sock)
        connection.sock.close()
        del self.open[fd]

    def close(self):
        for connection in self.open.values():
            connection.sock.close()
        self.listener.close()


class Relay:
    def __init__(self, folder, rix_port):
        self.folder = os.path.realpath(folder)
        self.port = free_port()
        self.rix_port = rix_port
        with open(os.path.join(folder, 'iplog.ini'), 'wb') as f:
            f.write(b'RIX IP Port=%d\r\nRIX IP Address=127.0.0.1\r\nClient IP Port=%d\r\nServer Mode=Yes\r\n'
                    b'Log Data=No\r\n' % (rix_port, self.port))
        with open(os.path.join(folder, 'stderr.txt'), 'wb') as stderr:
            self.process = subprocess.Popen([TOLVANED, '--folder', folder, '--listen-address', '127.0.0.1'],
                                            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=stderr)
        self.stopping = False
        self.rss_start = self.rss_peak = self.fds_peak = self.fds_now = 0
        self.draining_peak = self.draining_bytes = self.rix_bytes_peak = 0
        self.next_rss = self.next_fds = self.next_census = 0.0

    def listening(self):
        if self.process.poll() is not None:
            raise Failed('the relay exited with status %d at start-up' % self.process.returncode)
        with open('/proc/net/tcp') as f:
            return any(line.split()[1].endswith(':%04X' % self.port) and line.split()[3] == '0A'
                       for line in f.readlines()[1:])

    def rss_kib(self):
        with open('/proc/%d/status' % self.process.pid) as f:
            return next(int(line.split()[1]) for line in f if line.startswith('VmRSS'))

    def descriptors(self):
        return len(os.listdir('/proc/%d/fd' % self.process.pid))

    def connections(self):
        """The relay's TCP connections: (remote port, state, bytes in its kernel send queue) each, its
        listener included."""
        inodes = set()
        for fd in os.listdir('/proc/%d/fd' % self.process.pid):
            try:
                target = os.readlink('/proc/%d/fd/%s' % (self.process.pid, fd))
            except FileNotFoundError:
                continue
            if target.startswith('socket:['):
                inodes.add(target[8:-1])
        with open('/proc/net/tcp') as f:
            rows = [line.split() for line in f.readlines()[1:]]
        return [(int(row[2].split(':')[1], 16), TCP_STATES.get(row[3], row[3]), int(row[4].split(':')[0], 16))
                for row in rows if row[9] in inodes]

    def own_descriptors(self):
        """Descriptors besides its RIX connections and its open logs, and how many RIX connections."""
        rix = sum(1 for port, _, _ in self.connections() if port == self.rix_port)
        logs = 0
        for fd in os.listdir('/proc/%d/fd' % self.process.pid):
            try:
                logs += os.path.dirname(os.readlink('/proc/%d/fd/%s' % (self.process.pid, fd))) == self.folder
            except FileNotFoundError:
                pass
        return self.descriptors() - rix - logs, rix

    def describe_connections(self):
        counts = {}
        for port, state, _ in self.connections():
            side = 'RIX' if port == self.rix_port else 'listening' if port == 0 else 'client'
            counts[side + ' ' + state] = counts.get(side + ' ' + state, 0) + 1
        others = []
        for fd in os.listdir('/proc/%d/fd' % self.process.pid):
            try:
                target = os.readlink('/proc/%d/fd/%s' % (self.process.pid, fd))
            except FileNotFoundError:
                continue
            if not target.startswith('socket:['):
                others.append(os.path.basename(target))
        return ', '.join(['%d %s' % (n, what) for what, n in sorted(counts.items())] + sorted(others))

    def start_sampling(self):
        self.rss_start = self.rss_peak = self.rss_kib()
        self.fds_now = self.fds_peak = self.descriptors()

    def sample(self):
        if self.stopping:
            return
        if self.process.poll() is not None:
            raise Failed('the relay exited with status %d' % self.process.returncode)
        now = time.monotonic()
        if now >= self.next_rss:
            self.next_rss = now + 0.005
            self.rss_peak = max(self.rss_peak, self.rss_kib())
        if now >= self.next_fds:
            self.next_fds = now + 0.1
            self.fds_now = self.descriptors()
            self.fds_peak = max(self.fds_peak, self.fds_now)
        if now >= self.next_census:
            self.next_census = now + 0.5
            self.census()

    def census(self):
        """A RIX connection beyond one per client and the spare ones is draining: how many, at most, and
        the bytes all RIX connections held in the kernel then. Told by their ports, so that no descriptor
        need be looked at: the relay's ends of its live connections (a closed one no longer is)."""
        rix = clients = held = 0
        rix_port, client_port = ':%04X' % self.rix_port, ':%04X' % self.port
        with open('/proc/net/tcp') as f:
            next(f)
            for line in f:
                _, local, remote, state, queues = line.split(None, 5)[:5]
                if state not in ('01', '08'):  # established, or ended by the peer and not yet closed
                    continue
                if remote.endswith(rix_port):
                    rix += 1
                    held += int(queues[:8], 16)
                elif local.endswith(client_port):
                    clients += 1
        draining = rix - clients - IDLE_RIX_CONNECTIONS
        if draining > self.draining_peak:
            self.draining_peak, self.draining_bytes = draining, held
        self.rix_bytes_peak = max(self.rix_bytes_peak, held)

    def kill(self):
        if self.process.poll() is None:
            self.process.kill()
            self.process.wait()

    def journal(self):
        with open(os.path.join(self.folder, 'stderr.txt'), 'rb') as f:
            return f.read().decode('utf-8', 'replace').strip()


def error_log_entries(folder):
    """Every line the error logs hold below their headers (the header ends with a line of dashes)."""
    entries = []
    for name in sorted(os.listdir(folder)):
        if name.lower().startswith('errorlog') and name.endswith('.txt'):
            with open(os.path.join(folder, name), 'rb') as f:
                lines = f.read().decode('latin-1').split('\r\n')
            start = lines.index('-' * 80) + 1 if '-' * 80 in lines else 0
            entries += [line for line in lines[start:] if line.strip()]
    return entries


def hand_over(loop, port, client, size):
    """A client that connects, waits for its greeting, hands over what its socket takes of its payload
    without waiting, and closes: the count taken."""
    sock = socket.socket()
    sock.setblocking(False)
    sock.connect_ex(('127.0.0.1', port))
    greeting = bytearray()

    def readable(_):
        try:
            data = sock.recv(64)
        except BlockingIOError:
            return
        except OSError as error:
            raise Failed('client %d: %s before its greeting' % (client, error))
        if not data:
            raise Failed('client %d: the relay closed the connection before the greeting' % client)
        greeting.extend(data)

    loop.watch(sock, readable)
    try:
        loop.wait(lambda: len(greeting) >= len(LOGIN), 10, 'client %d greeted' % client)
        if greeting != LOGIN:
            raise Failed('client %d was greeted with %r' % (client, bytes(greeting)))
        data = memoryview(payload(client, 0, size))
        taken = 0
        while taken < size:
            try:
                taken += sock.send(data[taken:])
            except BlockingIOError:
                break
        return taken
    finally:
        loop.unwatch(sock)
        sock.close()


def reported_bytes(entries):
    """What the error log says never reached the RIX: each line's length, or where one line stands for
    several, the bytes of them all."""
    total = 0
    for entry in entries:
        match = REPORTED.search(entry)
        if match:
            total += int(match.group(2) or match.group(1))
    return total


def phase(args, folder, number, long_stall):
    """One relay, one stall; True when every check held. Prints its figures."""
    name = 'round %d, %s stall' % (number, 'long' if long_stall else 'short')
    os.mkdir(folder)
    loop = Loop()
    rix = Rix(loop)
    relay = Relay(folder, rix.port)
    started = time.monotonic()
    taken, failed = [], []
    try:
        loop.wait(relay.listening, 10, 'the relay listening on its client port')
        loop.relay = relay
        relay.start_sampling()
        fds_start = relay.fds_now
        fds_own = relay.own_descriptors()[0]
        stall_started = time.monotonic()
        for client in range(args.clients + args.churn):
            taken.append(hand_over(loop, relay.port, client, BIG if client < args.clients else SMALL))
        handed = sum(taken)
        clients_took = time.monotonic() - stall_started
        if not long_stall and clients_took > GIVE_UP_SECONDS - 5:
            raise Failed('the clients took %.1f s, too close to the %d s give-up for a short stall: fewer --churn'
                         % (clients_took, GIVE_UP_SECONDS))
        hold = args.stall_seconds if long_stall else SHORT_STALL_SECONDS
        loop.wait(lambda: time.monotonic() >= stall_started + hold, hold + 1, 'the end of the stall')
        stall = time.monotonic() - stall_started
        rix.read()
        # Every client seen leaving, every draining connection ended, the spare RIX connections cut back
        # (the logs it opened meanwhile stay open).
        def settled():
            if relay.fds_now > fds_own + IDLE_RIX_CONNECTIONS + 3:
                return False
            own, rix_connections = relay.own_descriptors()
            return own <= fds_own and rix_connections <= IDLE_RIX_CONNECTIONS

        loop.wait(settled, 180, 'the descriptors back to %d besides the logs and up to %d RIX connections'
                  % (fds_own, IDLE_RIX_CONNECTIONS))
        fds_end = relay.fds_now
        relay.stopping = True
        relay.process.send_signal(signal.SIGTERM)
        loop.wait(lambda: relay.process.poll() is not None, 30, 'the relay ending after SIGTERM')
        loop.wait(lambda: not rix.open, 30, 'every RIX connection ended after the relay')
        if relay.process.returncode != 0:
            failed.append('the relay ended with status %d after SIGTERM' % relay.process.returncode)

        entries = error_log_entries(folder)
        reported = reported_bytes(entries)
        unexpected = [e for e in entries if not REPORTED.search(e)] if long_stall else entries
        if unexpected:
            failed.append('%d unexpected error-log lines, the first: %s' % (len(unexpected), unexpected[0]))
        wrong = []
        for connection in rix.connections:
            if connection.wrong:
                wrong.append(connection.wrong)
            elif connection.client is None and not could_be_tag(connection.head):
                wrong.append('got %r' % connection.head)
            elif connection.client is not None and (connection.client >= len(taken)
                                                    or connection.received > taken[connection.client]):
                wrong.append('got %d bytes of client %d, more than it handed over'
                             % (connection.received, connection.client))
        if wrong:
            failed.append('%d RIX connections got what no client sent; one %s' % (len(wrong), wrong[0]))
        if long_stall:
            if rix.delivered + reported != handed:
                failed.append('delivered + reported = {:,}, not the {:,} handed over ({:+,})'.format(
                    rix.delivered + reported, handed, rix.delivered + reported - handed))
            if reported == 0:
                failed.append('the stall outlasted the give-up, yet nothing was reported')
        else:
            short = [c for c, n in enumerate(taken) if c not in rix.owners or rix.owners[c].received != n]
            if short:
                c = short[0]
                failed.append('%d clients not whole at the RIX; client %d: %d of %d bytes' % (
                    len(short), c, rix.owners[c].received if c in rix.owners else 0, taken[c]))
        if relay.draining_peak > MAX_DRAINING:
            failed.append('{:,} RIX connections draining at once (beyond one per client and {} spare), more than '
                          'the {} it may hold; all RIX connections held {:,} bytes in the kernel then'.format(
                              relay.draining_peak, IDLE_RIX_CONNECTIONS, MAX_DRAINING, relay.draining_bytes))
        if relay.rss_peak - relay.rss_start > BOUND_KIB:
            failed.append('resident memory {:,} KiB above its start, more than {:,}'.format(
                relay.rss_peak - relay.rss_start, BOUND_KIB))
        print('stall: {}: stall {:.1f} s (the clients took {:.1f} s), {:,} clients handed over {:,} bytes, {:,} '
              'delivered, {:,} reported; {:.0f} s\n'
              'stall:   resident memory {:,} KiB at the start, peak {:+,} KiB; descriptors {:,} at the start, peak '
              '{:,}, {:,} at the end; draining connections peak {:,}; RIX send queues peak {:,} bytes'.format(
                  name, stall, clients_took, len(taken), handed, rix.delivered, reported, time.monotonic() - started,
                  relay.rss_start, relay.rss_peak - relay.rss_start, fds_start, relay.fds_peak, fds_end,
                  relay.draining_peak, relay.rix_bytes_peak))
    except Failed as failure:
        failed.append(str(failure))
        print('stall: {}: after {:.0f} s, {:,} of {:,} clients handed over {:,} bytes, {:,} delivered; '
              'resident memory peak {:+,} KiB; descriptors {:,} now, peak {:,}'.format(
                  name, time.monotonic() - started, len(taken), args.clients + args.churn, sum(taken),
                  rix.delivered, relay.rss_peak - relay.rss_start, relay.fds_now, relay.fds_peak))
        if relay.process.poll() is None:
            failed.append('the relay holds %d descriptors, its connections: %s'
                          % (relay.descriptors(), relay.describe_connections()))
        elif relay.journal():
            failed.append('the relay said: ' + relay.journal()[-2000:])
    finally:
        relay.kill()
        rix.close()
        loop.close()
    for failure in failed:
        print('stall: FAILED: ' + failure)
    sys.stdout.flush()
    return not failed


def stop(signum, _):
    raise Stopped('time is up' if signum == signal.SIGALRM else 'stopped by signal %d' % signum)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument('--minutes', type=float, default=0, help='repeat both phases until these are spent')
    parser.add_argument('--clients', type=int, default=300, help='clients of 1 MiB')
    parser.add_argument('--churn', type=int, default=4000, help='clients of 64 KiB, one after another')
    parser.add_argument('--stall-seconds', type=float, default=45, help='the long stall, more than the give-up')
    args = parser.parse_args()
    if args.clients < 1 or args.churn < 0:
        parser.error('--clients must be at least 1, --churn at least 0')
    if not GIVE_UP_SECONDS < args.stall_seconds <= 150:
        # Longer, and the kernel may end the clients' orphaned connections that still hold bytes.
        parser.error('--stall-seconds must be over the relay\'s %d s give-up and at most 150' % GIVE_UP_SECONDS)
    if not os.access(TOLVANED, os.X_OK):
        sys.exit('stall: %s is missing: make build' % TOLVANED)
    # The relay holds a client and a RIX connection for each client still waiting.
    needed = 2 * (args.clients + args.churn) + 300
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    if hard != resource.RLIM_INFINITY and hard < needed:
        sys.exit('stall: %d clients need %d descriptors, the limit is %d' % (args.clients + args.churn, needed, hard))
    resource.setrlimit(resource.RLIMIT_NOFILE, (max(soft, needed), hard))

    # Bounded whatever happens: the minutes, and a generous round after them.
    signal.signal(signal.SIGTERM, stop)
    signal.signal(signal.SIGALRM, stop)
    signal.alarm(int(args.minutes * 60 + 2 * args.stall_seconds + 900))
    work = tempfile.mkdtemp(prefix='tolvane-stall-')
    end = time.monotonic() + args.minutes * 60
    passed, rounds = True, 0
    try:
        while passed and (rounds == 0 or time.monotonic() < end):
            rounds += 1
            short = phase(args, os.path.join(work, '%d-short' % rounds), rounds, False)
            passed = phase(args, os.path.join(work, '%d-long' % rounds), rounds, True) and short
    except Stopped as stopped:
        print('stall: FAILED: %s' % stopped)
        passed = False
    finally:
        signal.alarm(0)
        shutil.rmtree(work, ignore_errors=True)
    print('stall: %s after %d round%s' % ('passed' if passed else 'FAILED', rounds, '' if rounds == 1 else 's'))
    sys.exit(0 if passed else 1)


if __name__ == '__main__':
    main()
