#!/usr/bin/env python3
"""The metrics endpoint of the built programs, scraped and parsed with a real parser of the Prometheus
text format (python3-prometheus-client): known traffic each way, clients the allow-list and the cap turn
away, a RIX that drops, a client that leaves; every value must be exact.

Usage: metrics_scrape.py PROGRAM [PROGRAM ...]   (the built tolvane and tolvaned)
"""
import os, signal, socket, subprocess, sys, tempfile, threading, time, unittest, urllib.error, urllib.request

from prometheus_client.parser import text_string_to_metric_families

PROGRAMS = []
GREETING = b'Login Sucessful\r\n'
DEADLINE = 10  # seconds any one condition may take


def free_port():
    with socket.socket() as s:
        s.bind(('127.0.0.1', 0))
        return s.getsockname()[1]


def wait_for(condition, what):
    end = time.monotonic() + DEADLINE
    while time.monotonic() < end:
        value = condition()
        if value:
            return value
        time.sleep(0.02)
    raise AssertionError('timed out waiting for ' + what)


class Rix:
    """A RIX on 127.0.0.1: records what each connection sends, answers b'ping' with b'po\\0ng'."""

    def __init__(self):
        self.server = socket.create_server(('127.0.0.1', 0))
        self.port = self.server.getsockname()[1]
        self.connections, self.received, self.lock = [], b'', threading.Lock()
        threading.Thread(target=self.accept, daemon=True).start()

    def accept(self):
        while True:
            try:
                conn, _ = self.server.accept()
            except OSError:
                return
            with self.lock:
                self.connections.append(conn)
            threading.Thread(target=self.serve, args=(conn,), daemon=True).start()

    def serve(self, conn):
        while True:
            try:
                data = conn.recv(65536)
            except OSError:
                return
            if not data:
                return
            with self.lock:
                self.received += data
            if data == b'ping':
                conn.sendall(b'po\0ng')

    def drop_all(self):
        with self.lock:
            for conn in self.connections:
                # Shut down first: a close alone would wait for the thread blocked reading it.
                try:
                    conn.shutdown(socket.SHUT_RDWR)
                except OSError:
                    pass
                conn.close()
            self.connections = []

    def close(self):
        self.server.close()
        self.drop_all()


def scrape(port):
    with urllib.request.urlopen('http://127.0.0.1:%d/metrics' % port, timeout=5) as answer:
        assert answer.status == 200
        assert answer.headers['Content-Type'].startswith('text/plain; version=0.0.4')
        return answer.read().decode()


def samples(text):
    """{(name, frozenset(labels)): value} of every sample, parsed by prometheus_client."""
    found = {}
    for family in text_string_to_metric_families(text):
        for sample in family.samples:
            found[(sample.name, frozenset(sample.labels.items()))] = sample.value
    return found


def value(found, name, **labels):
    return found.get((name, frozenset(labels.items())))


class MetricsScrape(unittest.TestCase):
    def run_program(self, program):
        folder = tempfile.mkdtemp(prefix='metrics-')
        rix = Rix()
        client_port, metrics_port = free_port(), free_port()
        with open(os.path.join(folder, 'iplog.ini'), 'wb') as f:
            f.write(('CONFIGURATION\r\nRIX IP Port=%d\r\nRIX IP Address=127.0.0.1\r\nClient IP Port=%d\r\n'
                     'Client IP Address=127.0.0.1\r\nPacket Size=16383\r\nServer Mode=Yes\r\nLog Data=No\r\n'
                     % (rix.port, client_port)).encode())
        env = {k: v for k, v in os.environ.items() if k not in ('DISPLAY', 'WAYLAND_DISPLAY')}
        env['QT_QPA_PLATFORM'] = 'offscreen'
        relay = subprocess.Popen([program, '--folder', folder, '--metrics', '127.0.0.1:%d' % metrics_port,
                                  '--allow', '127.0.0.1', '--max-clients', '2', '--quiet-sessions'],
                                 env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        clients = []
        try:
            def connect(source='127.0.0.1'):
                s = socket.socket()
                s.settimeout(5)
                s.bind((source, 0))
                s.connect(('127.0.0.1', client_port))
                clients.append(s)
                return s

            def listening():
                try:
                    return scrape(metrics_port) and socket.create_connection(('127.0.0.1', client_port), 1).close() or True
                except OSError:
                    return False
            wait_for(listening, 'the relay and its metrics to listen')
            # The probe above was a client too: wait until it has ended.
            wait_for(lambda: value(samples(scrape(metrics_port)), 'tolvane_clients_connected') == 0, 'the probe to end')
            base = samples(scrape(metrics_port))
            accepted0 = value(base, 'tolvane_clients_accepted_total')

            a = connect()
            self.assertEqual(a.recv(len(GREETING), socket.MSG_WAITALL), GREETING)
            a.sendall(b'ping')
            self.assertEqual(a.recv(4, socket.MSG_WAITALL), b'pong')
            b = connect()
            self.assertEqual(b.recv(len(GREETING), socket.MSG_WAITALL), GREETING)
            b.sendall(b'x' * 1000)
            wait_for(lambda: rix.received.count(b'x') == 1000, 'the RIX to get the 1000 bytes')
            at_cap = connect()
            self.assertEqual(at_cap.recv(1), b'')  # closed at once
            not_allowed = connect('127.0.0.2')
            self.assertEqual(not_allowed.recv(1), b'')

            found = samples(scrape(metrics_port))
            a_labels = dict(slot='1', address='127.0.0.1')
            b_labels = dict(slot='2', address='127.0.0.1')
            self.assertEqual(value(found, 'tolvane_client_info', port=str(a.getsockname()[1]), **a_labels), 1)
            self.assertEqual(value(found, 'tolvane_client_received_bytes_total', **a_labels), 4)
            self.assertEqual(value(found, 'tolvane_client_sent_bytes_total', **a_labels), len(GREETING) + 4)
            self.assertEqual(value(found, 'tolvane_client_zero_bytes_removed_total', **a_labels), 1)
            self.assertEqual(value(found, 'tolvane_client_received_bytes_total', **b_labels), 1000)
            self.assertEqual(value(found, 'tolvane_client_sent_bytes_total', **b_labels), len(GREETING))
            self.assertEqual(value(found, 'tolvane_clients_connected'), 2)
            self.assertEqual(value(found, 'tolvane_clients_accepted_total'), accepted0 + 2)
            self.assertEqual(value(found, 'tolvane_clients_refused_total', reason='cap'), 1)
            self.assertEqual(value(found, 'tolvane_clients_refused_total', reason='allow-list'), 1)
            self.assertEqual(value(found, 'tolvane_received_from_clients_bytes_total'), 1004)
            self.assertEqual(value(found, 'tolvane_rix_up', address='127.0.0.1', port=str(rix.port)), 1)

            # The RIX drops every connection: the relay makes them again, and counts them.
            made = value(found, 'tolvane_rix_connections_total')
            self.assertEqual(value(found, 'tolvane_rix_drops_total'), 0)
            rix.drop_all()
            wait_for(lambda: value(samples(scrape(metrics_port)), 'tolvane_rix_connections_total') == made + 2,
                     'the RIX connections to be made again')
            found = samples(scrape(metrics_port))
            self.assertEqual(value(found, 'tolvane_rix_drops_total'), 2)
            self.assertEqual(value(found, 'tolvane_rix_connections_total'), made + 2)
            self.assertEqual(value(found, 'tolvane_rix_attempts_failed_total'), 0)

            # A client that leaves takes its series with it.
            a.close()
            wait_for(lambda: value(samples(scrape(metrics_port)), 'tolvane_clients_connected') == 1, 'a to leave')
            found = samples(scrape(metrics_port))
            self.assertIsNone(value(found, 'tolvane_client_received_bytes_total', **a_labels))
            self.assertEqual(value(found, 'tolvane_client_received_bytes_total', **b_labels), 1000)

            # Anything but GET /metrics is not found.
            with self.assertRaises(urllib.error.HTTPError) as raised:
                urllib.request.urlopen('http://127.0.0.1:%d/other' % metrics_port, timeout=5)
            self.assertEqual(raised.exception.code, 404)
        finally:
            for s in clients:
                s.close()
            relay.send_signal(signal.SIGTERM)
            try:
                self.assertEqual(relay.wait(15), 0)
            finally:
                if relay.poll() is None:
                    relay.kill()
                rix.close()

    def test_programs(self):
        for program in PROGRAMS:
            with self.subTest(program=os.path.basename(program)):
                self.run_program(program)


if __name__ == '__main__':
    PROGRAMS = sys.argv[1:]
    unittest.main(argv=sys.argv[:1])
