#!/usr/bin/env python3
"""The benchmark's delaying relay: every round trip through it takes at least twice the
one-way delay (plus a retransmission timeout each way for chunks held as lost), bytes come
out whole and in order whatever is held, and a close passes through.

usage: relay_test.py RELAY_BINARY
"""
import socket
import subprocess
import sys
import threading
import time

DELAY_MS = 15
RTO_MS = 40


def echo_server():
    srv = socket.socket()
    srv.bind(("127.0.0.1", 0))
    srv.listen(16)

    def serve():
        while True:
            conn, _ = srv.accept()

            def echo(c=conn):
                while True:
                    data = c.recv(65536)
                    if not data:
                        c.shutdown(socket.SHUT_WR)
                        return
                    c.sendall(data)

            threading.Thread(target=echo, daemon=True).start()

    threading.Thread(target=serve, daemon=True).start()
    return srv.getsockname()[1]


def start_relay(binary, target, loss_percent):
    relay = subprocess.Popen(
        [binary, "0", str(target), str(DELAY_MS), "0", str(loss_percent), str(RTO_MS), "7"],
        stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    line = relay.stdout.readline().split()
    assert line and line[0] == b"ready", line
    return relay, int(line[1])


def round_trip(conn, payload):
    started = time.monotonic()
    conn.sendall(payload)
    got = b""
    while len(got) < len(payload):
        chunk = conn.recv(1 << 20)
        assert chunk, "closed early"
        got += chunk
    return got, (time.monotonic() - started) * 1000


def check(binary, loss_percent, least_ms):
    relay, port = start_relay(binary, echo_server(), loss_percent)
    try:
        conn = socket.create_connection(("127.0.0.1", port), timeout=30)
        conn.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        for _ in range(3):
            got, ms = round_trip(conn, b"ping")
            assert got == b"ping"
            assert ms >= least_ms, f"round trip {ms:.1f} ms under {least_ms} ms (loss {loss_percent}%)"
        bulk = bytes(range(256)) * 8192  # 2 MiB, many chunks
        got, _ = round_trip(conn, bulk)
        assert got == bulk, f"bytes changed or reordered (loss {loss_percent}%)"
        conn.shutdown(socket.SHUT_WR)
        assert conn.recv(16) == b"", "the close did not pass through"
        conn.close()
    finally:
        relay.terminate()
        relay.wait(timeout=30)


def main():
    binary = sys.argv[1]
    check(binary, 0, 2 * DELAY_MS)
    check(binary, 100, 2 * (DELAY_MS + RTO_MS))
    check(binary, 30, 2 * DELAY_MS)
    print("relay: ok")


if __name__ == "__main__":
    main()
