#!/usr/bin/env python3
"""Two pseudo-terminals joined the way a USB full-speed serial link joins a computer and a
console: bytes move only at 1 ms frame boundaries, at most FRAME_BYTES per frame and direction
(1000 bytes, about 1 MB/s). Bytes written during a frame are delivered at the next boundary.

    usb-link.py LINK_A LINK_B [FRAME_BYTES]

Makes LINK_A and LINK_B symbolic links to the two terminals' device paths and relays until it
is killed. Holds both terminals open itself, so a program closing its end is no hang-up.
"""
import os
import select
import sys
import time
import tty

FRAME_S = 0.001


def make_end(link):
    master, slave = os.openpty()
    tty.setraw(slave)
    os.set_blocking(master, False)
    try:
        os.unlink(link)
    except FileNotFoundError:
        pass
    os.symlink(os.ttyname(slave), link)
    return master, slave


def main():
    if len(sys.argv) not in (3, 4):
        sys.stderr.write(__doc__)
        return 2
    frame_bytes = int(sys.argv[3]) if len(sys.argv) == 4 else 1000
    a, _keep_a = make_end(sys.argv[1])
    b, _keep_b = make_end(sys.argv[2])
    # Bytes read from one side during the current frame, and those due at the next boundary.
    arriving = {a: bytearray(), b: bytearray()}
    due = {a: bytearray(), b: bytearray()}
    peer = {a: b, b: a}
    boundary = time.monotonic() + FRAME_S
    while True:
        left = boundary - time.monotonic()
        if left > 0:
            ready, _, _ = select.select([a, b], [], [], left)
            for fd in ready:
                try:
                    arriving[fd] += os.read(fd, 65536)
                except (BlockingIOError, OSError):
                    pass  # EIO: nobody has that end open at the moment
            continue
        boundary += FRAME_S
        if boundary < time.monotonic():  # fell behind (a loaded machine): no burst to catch up
            boundary = time.monotonic() + FRAME_S
        for fd in (a, b):
            due[fd] += arriving[fd]
            arriving[fd] = bytearray()
            if not due[fd]:
                continue
            try:
                sent = os.write(peer[fd], due[fd][:frame_bytes])
            except (BlockingIOError, OSError):
                sent = 0  # the terminal's input is full: the device holds the bytes back
            del due[fd][:sent]


if __name__ == "__main__":
    try:
        sys.exit(main())
    except KeyboardInterrupt:
        sys.exit(0)
