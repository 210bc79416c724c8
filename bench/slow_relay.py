#!/usr/bin/python3
"""A slow link on 127.0.0.1: a TCP relay that holds every chunk it reads for a fixed delay
before it passes it on, each way, in order.

    slow_relay.py --target-port P [--delay-ms D] [--stats FILE]

With D ms each way a round trip costs 2 D ms more than on the loopback. Prints the port it
listens on (of 127.0.0.1) on the first line of its output, then relays until it is ended.

With --stats, when a connection has ended both ways it appends one line to FILE:

    turns=T up_chunks=U down_chunks=N

T counts the client's chunks that start after a chunk of the server's, which is the number
of times the client waited for the server: its round trips (connecting not counted).
"""

import argparse
import asyncio
import socket
import sys


class Connection:
    """Counts the chunks of one relayed connection, and the turns from server to client."""

    def __init__(self):
        self.turns = 0
        self.up_chunks = 0
        self.down_chunks = 0
        self.last_was_down = True  # the server speaks first; the client's first words count

    def saw(self, upward):
        if upward:
            self.up_chunks += 1
            if self.last_was_down:
                self.turns += 1
        else:
            self.down_chunks += 1
        self.last_was_down = not upward


async def pump(reader, writer, delay, connection, upward):
    """Passes every chunk from reader to writer `delay` seconds after it arrived, in order."""
    loop = asyncio.get_running_loop()
    held = asyncio.Queue()

    async def deliver():
        while True:
            due, chunk = await held.get()
            wait = due - loop.time()
            if wait > 0:
                await asyncio.sleep(wait)
            if chunk is None:
                if writer.can_write_eof():
                    writer.write_eof()
                return
            writer.write(chunk)
            await writer.drain()

    delivering = asyncio.create_task(deliver())
    try:
        while True:
            chunk = await reader.read(65536)
            if not chunk:
                break
            connection.saw(upward)
            held.put_nowait((loop.time() + delay, chunk))
    except OSError:  # a reset, or a peer already gone
        pass
    held.put_nowait((loop.time() + delay, None))
    try:
        await delivering
    except OSError:  # a reset, or a peer already gone
        pass


async def relay(client_reader, client_writer, options):
    connection = Connection()
    try:
        server_reader, server_writer = await asyncio.open_connection("127.0.0.1",
                                                                     options.target_port)
    except OSError as error:
        print("slow_relay.py: cannot reach port %d: %s" % (options.target_port, error),
              file=sys.stderr, flush=True)
        client_writer.close()
        return
    delay = options.delay_ms / 1000.0
    downward = asyncio.create_task(pump(server_reader, client_writer, delay, connection, False))
    await pump(client_reader, server_writer, delay, connection, True)
    # The client has ended: it takes no more turns, whenever the server lets go (a TLS server
    # may wait a long time for a close it never gets).
    if options.stats:
        with open(options.stats, "a") as stats:
            stats.write("turns=%d up_chunks=%d down_chunks=%d\n"
                        % (connection.turns, connection.up_chunks, connection.down_chunks))
    await downward
    for writer in (client_writer, server_writer):
        writer.close()


async def serve(options):
    server = await asyncio.start_server(lambda r, w: relay(r, w, options), "127.0.0.1", 0,
                                        family=socket.AF_INET)
    print(server.sockets[0].getsockname()[1], flush=True)
    async with server:
        await server.serve_forever()


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--target-port", type=int, required=True)
    parser.add_argument("--delay-ms", type=float, default=10.0)
    parser.add_argument("--stats", metavar="FILE")
    asyncio.run(serve(parser.parse_args()))


if __name__ == "__main__":
    main()
