#!/usr/bin/python3
"""A TCP relay that behaves like a wide-area link, for the upload benchmarks.

Every connection accepted on 127.0.0.1 is relayed to one upstream address
(Azurite, in the benchmarks). Each direction of the link is modelled as a
bottleneck shared by all connections plus a fixed one-way delay:

- the bytes of every chunk read from one side take their turn on the
  direction's line, which drains at --mbit megabits per second (one pacer
  per direction, shared by every connection, as on a real uplink);
- a chunk reaches the other side half a round trip (--rtt-ms / 2) after
  its last byte left the line;
- a connection may have at most --window bytes on the way in each
  direction, counted from the moment the relay reads them until their
  acknowledgement would be back (delivery plus half a round trip), as a
  TCP window would allow; beyond that the relay stops reading, and the
  sender's socket fills up as it would on a real link.

No bandwidth (--mbit 0) and no delay (--rtt-ms 0) make it a plain relay,
which is how the benchmarks measure what the relay itself can carry.

Prints "READY {json}" (the listening port) on stdout once it accepts
connections; on SIGTERM or SIGINT it stops and prints "STATS {json}" with
the bytes it carried each way and the CPU seconds it used. Python standard library only (asyncio).
"""

import argparse
import asyncio
import collections
import json
import resource
import signal
import sys


class Line:
    """One direction of the link: a shared pacer and the one-way delay."""

    def __init__(self, loop, mbit, one_way_s):
        self.loop = loop
        self.seconds_per_byte = 8.0 / (mbit * 1e6) if mbit > 0 else 0.0
        self.one_way = one_way_s
        self.free_at = 0.0   # when the line has sent everything queued so far
        self.carried = 0

    def delivery_time(self, nbytes):
        """Queues nbytes on the line now; returns when they reach the far end."""
        now = self.loop.time()
        self.free_at = max(now, self.free_at) + nbytes * self.seconds_per_byte
        self.carried += nbytes
        return self.free_at + self.one_way


class Direction:
    """Relays one direction of one connection through a Line."""

    def __init__(self, line, window):
        self.line = line
        self.window = window
        self.source = None        # transport we read from
        self.sink = None          # transport we write to
        self.in_flight = 0
        self.sink_blocked = False
        self.reading_paused = False
        self.eof_pending = False
        self.queue = collections.deque()  # (arrival time, chunk), in order
        self.held = []            # chunks read before the sink was connected

    def _update_reading(self):
        want_pause = self.in_flight >= self.window or self.sink_blocked
        if want_pause and not self.reading_paused and self.source is not None:
            self.reading_paused = True
            self.source.pause_reading()
        elif not want_pause and self.reading_paused and self.source is not None:
            self.reading_paused = False
            if not self.source.is_closing():
                self.source.resume_reading()

    def data(self, chunk):
        if self.sink is None or self.held:
            # Not connected yet, or connected but what came before is not
            # sent on yet: keep the order.
            self.held.append(chunk)
            return
        self._send(chunk)

    def _send(self, chunk):
        n = len(chunk)
        self.in_flight += n
        at = self.line.delivery_time(n)
        loop = self.line.loop
        if not self.queue and at <= loop.time():
            self._write(chunk)
        else:
            self.queue.append((at, chunk))
            if len(self.queue) == 1:
                loop.call_at(at, self._deliver)
        loop.call_at(at + self.line.one_way, self._acknowledged, n)
        self._update_reading()

    def sink_connected(self):
        held, self.held = self.held, []
        for chunk in held:
            self._send(chunk)

    def _write(self, chunk):
        if self.sink is not None and not self.sink.is_closing():
            self.sink.write(chunk)

    def _deliver(self):
        # One timer per direction, for the chunk at the head of the queue:
        # chunks leave in the order they came in.
        now = self.line.loop.time()
        while self.queue and self.queue[0][0] <= now:
            self._write(self.queue.popleft()[1])
        if self.queue:
            self.line.loop.call_at(self.queue[0][0], self._deliver)
        elif self.eof_pending:
            self._send_eof()

    def _acknowledged(self, n):
        self.in_flight -= n
        self._update_reading()

    def eof(self):
        # The end of the stream travels behind the last chunk.
        if not self.queue:
            self._send_eof()
        else:
            self.eof_pending = True

    def _send_eof(self):
        self.eof_pending = False
        if self.sink is not None and not self.sink.is_closing():
            if self.sink.can_write_eof():
                self.sink.write_eof()
            else:
                self.sink.close()


class Side(asyncio.Protocol):
    """One socket of a relayed connection (the client's or the upstream's)."""

    def __init__(self, outgoing, incoming, on_lost):
        self.outgoing = outgoing  # Direction for the bytes this side sends
        self.incoming = incoming  # Direction whose bytes this side receives
        self.on_lost = on_lost
        self.transport = None

    def connection_made(self, transport):
        self.transport = transport
        # Fewer, larger reads (asyncio's socket transports read up to
        # max_size bytes at a time, 256 KiB by default): less Python work
        # per byte. Still a small slice of a round trip at the link rates
        # measured (1 MiB takes 8 ms at 1 Gbit/s).
        if hasattr(transport, "max_size"):
            transport.max_size = 1024 * 1024
        self.outgoing.source = transport
        self.incoming.sink = transport

    def data_received(self, data):
        self.outgoing.data(data)

    def eof_received(self):
        self.outgoing.eof()
        return True  # keep the socket open for the other direction

    def pause_writing(self):
        self.incoming.sink_blocked = True
        self.incoming._update_reading()

    def resume_writing(self):
        self.incoming.sink_blocked = False
        self.incoming._update_reading()

    def connection_lost(self, exc):
        self.on_lost()


class Relay:
    def __init__(self, loop, args):
        host, _, port = args.upstream.rpartition(":")
        self.upstream = (host or "127.0.0.1", int(port))
        self.window = args.window
        one_way = args.rtt_ms / 2000.0
        self.up = Line(loop, args.mbit, one_way)      # client -> upstream
        self.down = Line(loop, args.mbit, one_way)    # upstream -> client
        self.loop = loop
        self.connections = 0

    def accept(self):
        relay = self
        up, down = Direction(self.up, self.window), Direction(self.down, self.window)
        state = {"client": None, "upstream": None, "closed": False}

        def lost():
            if state["closed"]:
                return
            state["closed"] = True
            # Let what is still on the line arrive, then close both ends.
            delay = max(0.0, max(relay.up.free_at, relay.down.free_at) - relay.loop.time())
            delay += relay.up.one_way
            for side in (state["client"], state["upstream"]):
                if side is not None and side.transport is not None:
                    relay.loop.call_later(delay, side.transport.close)

        class Client(Side):
            def connection_made(self, transport):
                super().connection_made(transport)
                relay.connections += 1
                state["client"] = self
                # Hold the client's bytes until the upstream is connected
                # (a few may come in before the pause takes effect).
                transport.pause_reading()
                up.reading_paused = True
                relay.loop.create_task(self.connect_upstream())

            async def connect_upstream(self):
                try:
                    _, proto = await relay.loop.create_connection(
                        lambda: Side(down, up, lost), *relay.upstream)
                except OSError:
                    self.transport.close()
                    return
                state["upstream"] = proto
                up.sink_connected()
                up.reading_paused = False
                up._update_reading()
                if not up.reading_paused:
                    self.transport.resume_reading()

        return Client(up, down, lost)


async def serve(args):
    loop = asyncio.get_running_loop()
    relay = Relay(loop, args)
    server = await loop.create_server(relay.accept, "127.0.0.1", args.port)
    stop = asyncio.Event()
    for sig in (signal.SIGTERM, signal.SIGINT):
        loop.add_signal_handler(sig, stop.set)
    port = server.sockets[0].getsockname()[1]
    print("READY " + json.dumps({"port": port}), flush=True)
    await stop.wait()
    server.close()
    usage = resource.getrusage(resource.RUSAGE_SELF)
    print("STATS " + json.dumps({"connections": relay.connections, "up_bytes": relay.up.carried,
                                 "down_bytes": relay.down.carried,
                                 "cpu_s": usage.ru_utime + usage.ru_stime}), flush=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--upstream", required=True, help="host:port to relay to")
    parser.add_argument("--port", type=int, default=0, help="listening port (0: any free one)")
    parser.add_argument("--rtt-ms", type=float, default=0.0, help="round-trip time to add")
    parser.add_argument("--mbit", type=float, default=0.0,
                        help="bandwidth of each direction, shared by all connections "
                             "(megabits per second; 0: unlimited)")
    parser.add_argument("--window", type=int, default=8 * 1024 * 1024,
                        help="bytes a connection may have on the way in each direction")
    args = parser.parse_args()
    asyncio.run(serve(args))
    return 0


if __name__ == "__main__":
    sys.exit(main())
