#!/usr/bin/env python3
"""Latency relay for the comparison benchmark: simulates network distance on
loopback, where the kernel offers no traffic shaping.

    relay.py --listen 127.0.0.1:PORT --upstream 127.0.0.1:PORT --rtt-ms 20

Every accepted connection is held for one round trip before the relay
connects upstream (what a TCP handshake over that distance costs; nothing
is read from the client meanwhile), then each chunk read from either side is
written to the other half a round trip after it was read.  Delays run side by
side, not one after the other, so throughput is limited only by the
destination reading and by a cap on the bytes held per direction.  A
half-close is passed on as a half-close and a reset as a reset, each after
the same half round trip.  SIGTERM or SIGINT stops it; it then prints a
one-line summary on stderr.
"""
import argparse
import asyncio
import collections
import signal
import socket
import struct
import sys

# Bytes held per direction (queued for delay plus the destination's send
# buffer) before the relay stops reading the source.  At a 10 ms half round
# trip, 32 MiB allows 3 GB/s, more than a client on loopback takes.
HIGH_WATER = 32 * 1024 * 1024
LOW_WATER = HIGH_WATER // 2

_EOF = object()
_RESET = object()


def _reset(transport):
    """Closes transport with a TCP reset instead of an orderly FIN."""
    sock = transport.get_extra_info("socket")
    if sock is not None:
        try:
            sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        except OSError:
            pass
    transport.abort()


class Direction:
    """Bytes from one side to the other, each chunk released at its deadline."""

    def __init__(self, relay, delay):
        self.relay = relay
        self.delay = delay
        self.src = None            # transport read from
        self.dst = None            # transport written to
        self.items = collections.deque()   # (deadline, bytes | _EOF | _RESET)
        self.held = 0              # bytes in items
        self.timer = None
        self.src_paused = False    # we paused reading src
        self.on_hold = False       # src not to be read yet (connection hold)
        self.ended = False         # EOF or reset queued: nothing more comes
        self.done = False          # EOF or reset delivered (or dropped)

    def push(self, item):
        if self.done or self.relay.finished:
            return
        loop = self.relay.loop
        if item is _EOF or item is _RESET:
            self.ended = True
        else:
            self.held += len(item)
            self.relay.stats[self.relay.name_of(self)] += len(item)
        self.items.append((loop.time() + self.delay, item))
        if self.timer is None:
            self._arm()
        self.throttle()

    def _arm(self):
        self.timer = self.relay.loop.call_at(self.items[0][0], self._release)

    def _release(self):
        self.timer = None
        now = self.relay.loop.time()
        while self.items and self.items[0][0] <= now and not self.done:
            if self.dst.is_closing():
                self.drop()  # dst failed (reset, broken pipe): nothing more arrives
                break
            _, item = self.items.popleft()
            if item is _EOF:
                self.done = True
                try:
                    self.dst.write_eof()
                except OSError:  # dst is already gone; its loss is on the way
                    self.dst.abort()
                self.relay.direction_done()
            elif item is _RESET:
                self.done = True
                _reset(self.dst)
                self.relay.direction_done()
            else:
                self.held -= len(item)
                self.dst.write(item)
        if self.items and not self.done:
            self._arm()
        self.throttle()

    def drop(self):
        """The destination is gone: discard what is queued, stop reading."""
        if self.timer is not None:
            self.timer.cancel()
            self.timer = None
        self.items.clear()
        self.held = 0
        if not self.done:
            self.done = True
            self.relay.direction_done()

    def throttle(self):
        """Pauses or resumes reading src by the bytes held for dst: the
        delay queue plus what dst's transport has not sent yet (the latter
        acts as a receive window far larger than one round trip's worth)."""
        if self.on_hold or self.done or self.src is None or self.src.is_closing():
            return
        pending = self.held + (self.dst.get_write_buffer_size() if self.dst else 0)
        if not self.src_paused and pending > HIGH_WATER:
            self.src_paused = True
            self.src.pause_reading()
        elif self.src_paused and pending < LOW_WATER:
            self.src_paused = False
            self.src.resume_reading()


class Side(asyncio.Protocol):
    """One socket of a relayed connection: read into `out`, written from `into`."""

    def __init__(self, relay, out, into):
        self.relay, self.out, self.into = relay, out, into
        self.transport = None

    def connection_made(self, transport):
        self.transport = transport
        self.out.src = transport
        self.into.dst = transport
        # The transport tells us when what we wrote drains below LOW_WATER/4
        # (after having passed LOW_WATER): the moment to resume the source.
        transport.set_write_buffer_limits(high=LOW_WATER, low=LOW_WATER // 4)
        if self is self.relay.client:
            self.relay.accepted()

    def data_received(self, data):
        self.out.push(data)

    def eof_received(self):
        self.out.push(_EOF)
        return True  # keep the other half open: this is only a half-close

    def pause_writing(self):
        pass

    def resume_writing(self):
        self.into.throttle()

    def connection_lost(self, exc):
        # Nothing more comes from this side, and what goes to it cannot
        # arrive.  An error (reset, broken pipe) travels on as a reset.
        if not self.out.ended:
            self.out.push(_RESET if exc is not None else _EOF)
        self.into.drop()
        self.relay.side_lost(self)


class Relay:
    """One client connection and its upstream connection."""

    def __init__(self, server):
        self.server = server
        self.loop = asyncio.get_running_loop()
        self.stats = server.stats
        half = server.rtt / 2
        self.up = Direction(self, half)     # client -> upstream
        self.down = Direction(self, half)   # upstream -> client
        self.client = Side(self, self.up, self.down)
        self.upstream = None
        self.task = None
        self.finished = False

    def name_of(self, direction):
        return "bytes_up" if direction is self.up else "bytes_down"

    def accepted(self):
        self.server.relays.add(self)
        self.stats["connections"] += 1
        # Hold: read nothing from the client until the handshake's round
        # trip is over; what it sends meanwhile waits in the socket.
        self.client.transport.pause_reading()
        self.up.on_hold = True
        self.task = self.loop.create_task(self._connect())

    async def _connect(self):
        await asyncio.sleep(self.server.rtt)
        if self.finished:
            return
        upstream = Side(self, self.down, self.up)
        try:
            await self.loop.create_connection(lambda: upstream, *self.server.upstream)
        except OSError as e:
            print(f"relay: upstream connect failed: {e}", file=sys.stderr)
            if not self.finished:
                _reset(self.client.transport)
            return
        self.upstream = upstream
        if self.finished:
            upstream.transport.close()
            return
        self.up.on_hold = False
        self.client.transport.resume_reading()

    def direction_done(self):
        if self.up.done and self.down.done:
            self.close()

    def side_lost(self, side):
        if side is self.client and self.upstream is None:
            self.close()  # gone during the hold: never connect upstream

    def _stop_timers(self):
        for d in (self.up, self.down):
            if d.timer is not None:
                d.timer.cancel()
                d.timer = None

    def close(self):
        if self.finished:
            return
        self.finished = True
        self._stop_timers()
        for side in (self.client, self.upstream):
            if side is not None and side.transport is not None and not side.transport.is_closing():
                side.transport.close()  # flushes what was written, then closes
        self.server.relays.discard(self)

    def abort(self):
        self.finished = True
        self._stop_timers()
        for side in (self.client, self.upstream):
            if side is not None and side.transport is not None:
                side.transport.abort()
        if self.task is not None:
            self.task.cancel()
        self.server.relays.discard(self)


class RelayServer:
    def __init__(self, upstream, rtt):
        self.upstream, self.rtt = upstream, rtt
        self.relays = set()
        self.stats = collections.Counter()


def host_port(text):
    host, _, port = text.rpartition(":")
    return host or "127.0.0.1", int(port)


async def main():
    ap = argparse.ArgumentParser(description="latency relay on loopback")
    ap.add_argument("--listen", required=True, type=host_port, help="HOST:PORT to listen on")
    ap.add_argument("--upstream", required=True, type=host_port, help="HOST:PORT to forward to")
    ap.add_argument("--rtt-ms", required=True, type=float, help="round trip to simulate")
    args = ap.parse_args()
    rs = RelayServer(args.upstream, args.rtt_ms / 1000.0)
    loop = asyncio.get_running_loop()
    stop = asyncio.Event()
    for sig in (signal.SIGTERM, signal.SIGINT):
        loop.add_signal_handler(sig, stop.set)
    server = await loop.create_server(lambda: Relay(rs).client, *args.listen,
                                      reuse_address=True, backlog=1024)
    await stop.wait()
    server.close()
    for r in list(rs.relays):
        r.abort()
    await server.wait_closed()
    s = rs.stats
    print(f"relay: {s['connections']} connections, {s['bytes_up']} bytes up, "
          f"{s['bytes_down']} bytes down", file=sys.stderr)


if __name__ == "__main__":
    asyncio.run(main())
