#!/usr/bin/python3
"""Clients of orbtray's web page for bench/web.sh, all in one process over 127.0.0.1.

  web_clients.py viewers PORT WEBPORT N PIDFILE
      Opens N /api/events streams, prints orbtray's resident memory before and after, then sends
      one transfer (HELLO, 10 LINEs, BYE) to PORT and prints the seconds from the BYE until every
      stream has had its "file" event.
  web_clients.py fetchers WEBPORT CLIENTS RATE SECONDS
      CLIENTS threads each fetch /api/files RATE times a second for SECONDS, on kept-alive
      connections; prints the fetches done.
"""

import http.client
import selectors
import socket
import sys
import threading
import time


def resident_kb(pid):
    with open(f"/proc/{pid}/status") as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


def viewers(port, web_port, count, pid):
    before = resident_kb(pid)
    streams = []
    for _ in range(count):
        s = socket.create_connection(("127.0.0.1", web_port))
        s.sendall(f"GET /api/events HTTP/1.1\r\nHost: 127.0.0.1:{web_port}\r\n\r\n".encode())
        streams.append(s)
    selector = selectors.DefaultSelector()
    received = {}
    for s in streams:
        s.setblocking(False)
        selector.register(s, selectors.EVENT_READ)
        received[s] = b""

    def pump(until, done):
        while time.monotonic() < until and not all(done(v) for v in received.values()):
            for key, _ in selector.select(timeout=0.05):
                try:
                    chunk = key.fileobj.recv(65536)
                except BlockingIOError:
                    continue
                received[key.fileobj] += chunk
    pump(time.monotonic() + 10, lambda v: b": connected" in v)
    if not all(b": connected" in v for v in received.values()):
        sys.exit("bench: not every viewer was connected")
    time.sleep(0.5)
    after = resident_kb(pid)
    print(f"memory {before} {after}")

    link = socket.create_connection(("127.0.0.1", port))
    link.sendall(b"HELLO OX77777\r\n" + b"".join(b"LINE 1,%d\r\n" % i for i in range(10)))
    time.sleep(0.2)
    start = time.monotonic()
    link.sendall(b"BYE\r\n")
    pump(start + 10, lambda v: b"event: file" in v)
    seconds = time.monotonic() - start
    if not all(b"event: file" in v for v in received.values()):
        sys.exit("bench: not every viewer had the file event within 10 s")
    print(f"fanout {seconds:.4f}")


def fetchers(web_port, clients, rate, seconds):
    done = [0] * clients
    end = time.monotonic() + seconds

    def fetch(index):
        connection = http.client.HTTPConnection("127.0.0.1", web_port)
        next_at = time.monotonic()
        while next_at < end:
            connection.request("GET", "/api/files")
            response = connection.getresponse()
            response.read()
            if response.status != 200:
                sys.exit(f"bench: /api/files answered {response.status}")
            done[index] += 1
            next_at += 1 / rate
            time.sleep(max(0, next_at - time.monotonic()))

    threads = [threading.Thread(target=fetch, args=(i,)) for i in range(clients)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    print(f"fetches {sum(done)}")


if __name__ == "__main__":
    if sys.argv[1] == "viewers":
        viewers(int(sys.argv[2]), int(sys.argv[3]), int(sys.argv[4]),
                open(sys.argv[5]).read().strip())
    else:
        fetchers(int(sys.argv[2]), int(sys.argv[3]), float(sys.argv[4]), float(sys.argv[5]))
