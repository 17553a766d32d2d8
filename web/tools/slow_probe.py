#!/usr/bin/python3
"""How a console answers while many connections hang on it: opens N connections that
stay idle or trickle a header byte every few seconds, then times GET /api/status.

    web/tools/slow_probe.py http://127.0.0.1:8029 --connections 1000 --mode trickle

Prints the time of each /api/status over --seconds, and how many of the N
connections the server had closed by the end.
"""
import argparse
import resource
import select
import socket
import statistics
import threading
import time


def open_connections(host, port, n, first=b"", timeout=10.0):
    """n sockets connected at once (fewer if some fail in time), each having sent `first`."""
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))
    pending, socks = {}, []
    poller = select.poll()
    for _ in range(n):
        s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        s.setblocking(False)
        s.connect_ex((host, port))
        pending[s.fileno()] = s
        poller.register(s, select.POLLOUT)
    deadline = time.monotonic() + timeout
    while pending and time.monotonic() < deadline:
        for fd, _ in poller.poll(100):
            s = pending.pop(fd)
            poller.unregister(fd)
            if s.getsockopt(socket.SOL_SOCKET, socket.SO_ERROR) == 0:
                socks.append(s)
                if first:
                    s.send(first)
            else:
                s.close()
    for s in pending.values():
        s.close()
    return socks


SLOW_HEADER = b"GET /api/status HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Slow: " + b"a" * 100000


def trickle(socks, interval, stop):
    """Goes on with a header that never ends, one byte per socket every `interval` seconds."""
    pos = 1
    while not stop.wait(interval):
        for s in socks:
            try:
                s.send(SLOW_HEADER[pos:pos + 1], socket.MSG_DONTWAIT)
            except OSError:
                pass
        pos += 1


def closed_by_server(socks):
    """How many of the sockets the server has answered or closed."""
    poller = select.poll()
    for s in socks:
        poller.register(s, select.POLLIN)
    return len(poller.poll(0))


def status_time(host, port, timeout=60.0):
    """Seconds until a complete answer to GET /api/status, or None when none came in time."""
    t0 = time.monotonic()
    try:
        with socket.create_connection((host, port), timeout=timeout) as s:
            s.sendall(b"GET /api/status HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n")
            reply = b""
            while chunk := s.recv(65536):
                reply += chunk
        if reply.startswith(b"HTTP/1.1 200") or reply.startswith(b"HTTP/1.1 503"):
            return time.monotonic() - t0
    except OSError:
        pass
    return None


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("url", help="the console, http://HOST:PORT")
    ap.add_argument("--connections", type=int, default=200)
    ap.add_argument("--mode", choices=["idle", "trickle"], default="idle")
    ap.add_argument("--interval", type=float, default=3.0, help="seconds between trickled bytes")
    ap.add_argument("--seconds", type=float, default=15.0, help="how long to time /api/status")
    ap.add_argument("--timeout", type=float, default=60.0, help="longest wait for one answer")
    args = ap.parse_args()
    host, port = args.url.removeprefix("http://").rstrip("/").rsplit(":", 1)
    port = int(port)

    t0 = time.monotonic()
    socks = open_connections(host, port, args.connections, SLOW_HEADER[:1] if args.mode == "trickle" else b"")
    print("%d connections open in %.1f s" % (len(socks), time.monotonic() - t0))
    stop = threading.Event()
    if args.mode == "trickle":
        threading.Thread(target=trickle, args=(socks, args.interval, stop), daemon=True).start()
    times, t0 = [], time.monotonic()
    while time.monotonic() - t0 < args.seconds:
        t = status_time(host, port, args.timeout)
        times.append(t)
        answer = "no answer" if t is None else "%.1f ms" % (1000 * t)
        print("  %5.1f s: /api/status %s" % (time.monotonic() - t0, answer))
        time.sleep(0.5)
    stop.set()
    got = [t for t in times if t is not None]
    if got:
        print("/api/status: %d of %d answered, median %.1f ms, max %.1f ms"
              % (len(got), len(times), 1000 * statistics.median(got), 1000 * max(got)))
    else:
        print("/api/status: none of %d answered" % len(times))
    print("connections closed by the server: %d of %d" % (closed_by_server(socks), len(socks)))
    for s in socks:
        s.close()


if __name__ == "__main__":
    main()
