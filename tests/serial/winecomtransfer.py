#!/usr/bin/env python3
"""The far end of wincomtransfer.exe under Wine: a pseudo-terminal that Wine serves as COM7.

Usage: winecomtransfer.py <wincomtransfer.exe>
WINEPREFIX names the Wine prefix (default <build dir>/wineprefix; made when missing).
"""
import os
import select
import subprocess
import sys
import tempfile
import time

RECEIVE_SIZE, RECEIVE_SEED = 64 * 1024, 1  # what the exe sends
SEND_SIZE, SEND_SEED = 48 * 1024, 2
# A few pieces with pauses between, so that the exe's monitor goes back to waiting in between.
SEND_CHUNK, SEND_PAUSE = 6 * 1024, 0.03
LIMIT = 60  # seconds, from wine's start to its end


class Failure(Exception):
    pass


def pattern(seed, size):
    """The bytes wincomtransfer.cpp makes with the same seed."""
    out = bytearray(size)
    for i in range(size):
        x = (i * 2654435761 + seed * 97) & 0xFFFFFFFF
        out[i] = ((x >> 13) ^ (x >> 24) ^ i) & 0xFF
    return bytes(out)


def default_prefix(exe):
    d = start = os.path.dirname(os.path.abspath(exe))
    while not os.path.exists(os.path.join(d, "CMakeCache.txt")):
        if os.path.dirname(d) == d:
            d = start
            break
        d = os.path.dirname(d)
    return os.path.join(d, "wineprefix")


def take(master, got, expected):
    chunk = os.read(master, 65536)
    at = len(got)
    if at + len(chunk) > len(expected):
        raise Failure(f"received more than the {len(expected)} bytes the exe sends")
    for i, byte in enumerate(chunk):
        if byte != expected[at + i]:
            raise Failure(f"received bytes differ from offset {at + i}")
    got += chunk


def play(master, proc):
    """Receives the exe's pattern and sends ours, until both are through and the exe has ended."""
    expected = pattern(RECEIVE_SEED, RECEIVE_SIZE)
    reply = pattern(SEND_SEED, SEND_SIZE)
    got, sent, next_send = bytearray(), 0, None
    deadline = time.monotonic() + LIMIT
    while proc.poll() is None:
        now = time.monotonic()
        if now > deadline:
            raise Failure(f"time-out after {LIMIT} s: received {len(got)} of {RECEIVE_SIZE} "
                          f"bytes, sent {sent} of {SEND_SIZE}")
        # The exe writes only once its line is set up (raw, no echo): its first byte starts ours.
        if got and next_send is None:
            next_send = now
        if next_send is not None and sent < SEND_SIZE and now >= next_send:
            try:
                sent += os.write(master, reply[sent:sent + SEND_CHUNK])
            except BlockingIOError:
                pass
            next_send = now + SEND_PAUSE
        wait = 0.05 if next_send is None or sent >= SEND_SIZE else max(0.0, next_send - now)
        if select.select([master], [], [], wait)[0]:
            take(master, got, expected)
    while select.select([master], [], [], 0)[0]:
        take(master, got, expected)
    if proc.returncode != 0:
        raise Failure(f"the exe failed (status {proc.returncode})")
    if len(got) != RECEIVE_SIZE or sent != SEND_SIZE:
        raise Failure(f"the exe ended with {len(got)} of {RECEIVE_SIZE} bytes received and "
                      f"{sent} of {SEND_SIZE} sent")


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    exe = os.path.abspath(sys.argv[1])
    env = dict(os.environ, WINEDEBUG="-all", WINEDLLOVERRIDES="mscoree,mshtml=")
    prefix = env.setdefault("WINEPREFIX", default_prefix(exe))
    fresh = not os.path.isdir(os.path.join(prefix, "drive_c"))
    os.makedirs(prefix, exist_ok=True)
    # One server for the run, its dumps on a closed pseudo-terminal out of the way; one that
    # already runs (status 2) belongs to someone else and stays.
    own_server = subprocess.run(["wineserver", "-p"], env=env, stderr=subprocess.DEVNULL,
                                stdout=subprocess.DEVNULL).returncode == 0
    master, slave = os.openpty()  # the slave stays open: Wine opens it by name
    link = os.path.join(prefix, "dosdevices", "com7")
    proc = None
    output = tempfile.TemporaryFile()  # not a pipe: Wine's helper processes keep it open
    try:
        if fresh:
            subprocess.run(["wineboot", "-i"], env=env, stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL, timeout=LIMIT)
        os.makedirs(os.path.dirname(link), exist_ok=True)
        if os.path.lexists(link):
            os.unlink(link)
        os.symlink(os.ttyname(slave), link)
        os.set_blocking(master, False)
        started = time.monotonic()
        proc = subprocess.Popen(["wine", exe, "COM7"], env=env, stdin=subprocess.DEVNULL,
                                stdout=output, stderr=subprocess.STDOUT)
        play(master, proc)
        print(f"winecomtransfer: pass in {time.monotonic() - started:.2f} s with wine's start")
        return 0
    except (Failure, OSError, subprocess.TimeoutExpired) as e:
        print(f"winecomtransfer: FAIL: {e}")
        return 1
    finally:
        if proc and proc.poll() is None:
            proc.kill()
            proc.wait()
        output.seek(0)
        sys.stdout.write(output.read().decode(errors="replace"))
        os.close(master)
        os.close(slave)
        if os.path.islink(link):
            os.unlink(link)
        if own_server:
            subprocess.run(["wineserver", "-k"], env=env, stderr=subprocess.DEVNULL)


if __name__ == "__main__":
    sys.exit(main())
