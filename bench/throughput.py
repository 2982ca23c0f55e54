#!/usr/bin/env python3
"""One connection through the built relay, 1 GiB each way, and the relay's peak memory.

Usage: python3 bench/throughput.py [--gib N] [--log-data]
Starts build/tolvane in a temporary folder (no display, its own ports on 127.0.0.1), plays both the
client and the RIX, and prints MB/s for each direction and the relay's peak resident set (VmHWM).
"""
import argparse, os, shutil, signal, socket, subprocess, sys, tempfile, threading, time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def free_port():
    with socket.socket() as s:
        s.bind(('127.0.0.1', 0))
        return s.getsockname()[1]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument('--gib', type=float, default=1.0)
    parser.add_argument('--log-data', action='store_true', help='turn the data log on')
    args = parser.parse_args()
    total = int(args.gib * (1 << 30))
    # Printable bytes, as the RIX mostly sends (and no zero byte: the relay removes those).
    chunk = bytes(65 + i % 26 for i in range(1 << 20))

    folder = tempfile.mkdtemp(prefix='tolvane-bench-')
    shutil.copy(os.path.join(ROOT, 'build', 'tolvane'), folder)
    rix_port, client_port = free_port(), free_port()
    with open(os.path.join(folder, 'iplog.ini'), 'wb') as f:
        f.write(('CONFIGURATION\r\nRIX IP Port=%d\r\nRIX IP Address=127.0.0.1\r\nClient IP Port=%d\r\n'
                 'Client IP Address=127.0.0.1\r\nPacket Size=16383\r\nServer Mode=Yes\r\nLog Data=%s\r\n'
                 % (rix_port, client_port, 'Yes' if args.log_data else 'No')).encode())

    server = socket.socket()
    server.bind(('127.0.0.1', rix_port))
    server.listen(8)
    env = {k: v for k, v in os.environ.items() if k not in ('DISPLAY', 'WAYLAND_DISPLAY', 'QT_QPA_PLATFORM')}
    relay = subprocess.Popen([os.path.join(folder, 'tolvane')], env=env, stderr=subprocess.DEVNULL)
    try:
        deadline = time.time() + 5
        while True:
            try:
                client = socket.create_connection(('127.0.0.1', client_port))
                break
            except ConnectionRefusedError:
                if time.time() > deadline:
                    raise
                time.sleep(0.05)
        rix, _ = server.accept()
        greeting = b''
        while len(greeting) < 17:
            greeting += client.recv(17 - len(greeting))

        buffer = bytearray(1 << 20)
        for label, src, dst in (('client -> RIX', client, rix), ('RIX -> client', rix, client)):
            def send():
                sent = 0
                while sent < total:
                    src.sendall(chunk)
                    sent += len(chunk)
            sender = threading.Thread(target=send)
            started = time.perf_counter()
            sender.start()
            got = 0
            while got < total:
                n = dst.recv_into(buffer)
                if n == 0:
                    sys.exit('the relay closed the connection')
                got += n
            elapsed = time.perf_counter() - started
            sender.join()
            print('%s: %.0f MB/s (%d bytes in %.2f s)' % (label, got / elapsed / 1e6, got, elapsed))
        with open('/proc/%d/status' % relay.pid) as f:
            peak = next(line.split()[1] for line in f if line.startswith('VmHWM'))
        print('relay peak resident set: %.1f MiB' % (int(peak) / 1024))
    finally:
        relay.send_signal(signal.SIGTERM)
        relay.wait(10)
        shutil.rmtree(folder)


if __name__ == '__main__':
    main()
