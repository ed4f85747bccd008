#!/usr/bin/env python3
"""Serial instruments for bench/ack-latency.sh: each holds the far end of a pty whose near end
a receiver serves, and sends short transfers the way orbsim send --serial-port does (HELLO, one
LINE per reading, BYE, each waiting for its lone ACK). The cable stays plugged in between
transfers, as a real instrument's USB bridge does, so that only the transfers are timed and not
the start of a process or the opening of a port.

  serial_instruments.py TRANSFERS LINES WARMUP SERIAL GO NAME:LINK:LOG ...

For every NAME it makes a pty, links its near end as LINK, prints "ready", and waits until LOG
(the receiver's standard output) says "Device Connected" and the file GO exists. Then it sends WARMUP untimed and
TRANSFERS timed transfers per instrument, taking turns one transfer each, so that a change in the
machine's load falls on every case alike. Prints "NAME MILLISECONDS" per timed transfer.
"""
import os
import select
import sys
import time
import tty

ACK = b"\x06"
ANSWER_TIMEOUT_S = 10.0


def reading(n, serial):
    return "2025-12-14T%02d:%02d:%02d.%03d,%s,%.4f,mm,21.%d" % (
        n // 360000 % 24, n // 6000 % 60, n // 100 % 60, n % 100 * 10, serial,
        20 + (n * 7919 % 100000) / 10000, n % 10)


def exchange(fd, data, what):
    os.write(fd, data)
    answer = b""
    deadline = time.monotonic() + ANSWER_TIMEOUT_S
    # A lone ACK is the whole answer; anything more or else is a fault worth stopping for.
    while not answer:
        left = deadline - time.monotonic()
        if left <= 0 or not select.select([fd], [], [], left)[0]:
            sys.exit("serial_instruments: no answer to %s" % what)
        answer = os.read(fd, 64)
    if answer != ACK:
        sys.exit("serial_instruments: answer %r to %s" % (answer, what))


def transfer(fd, serial, lines):
    start = time.perf_counter_ns()
    exchange(fd, b"HELLO %s\r\n" % serial.encode(), "HELLO")
    for line in lines:
        exchange(fd, b"LINE %s\r\n" % line, "LINE")
    exchange(fd, b"BYE\r\n", "BYE")
    return (time.perf_counter_ns() - start) / 1e6


def main():
    transfers, count, warmup = (int(a) for a in sys.argv[1:4])
    serial, go = sys.argv[4:6]
    lines = [reading(n, serial).encode() for n in range(count)]
    instruments = []
    for spec in sys.argv[6:]:
        name, link, log = spec.split(":")
        far, near = os.openpty()
        tty.setraw(near)
        if os.path.lexists(link):
            os.unlink(link)
        os.symlink(os.ttyname(near), link)
        # The near end stays open here too, so that the pty never hangs up between opens.
        instruments.append((name, far, near, log))
    print("ready", flush=True)

    deadline = time.monotonic() + 30
    for name, _, _, log in instruments:
        while True:
            try:
                with open(log) as f:
                    if any(l.startswith("Device Connected") for l in f):
                        break
            except FileNotFoundError:
                pass
            if time.monotonic() > deadline:
                sys.exit("serial_instruments: %s never connected" % name)
            time.sleep(0.01)
    while not os.path.exists(go):
        if time.monotonic() > deadline:
            sys.exit("serial_instruments: never told to start")
        time.sleep(0.01)

    for round_ in range(warmup + transfers):
        for name, far, _, _ in instruments:
            ms = transfer(far, serial, lines)
            if round_ >= warmup:
                print("%s %.3f" % (name, ms), flush=True)


if __name__ == "__main__":
    main()
