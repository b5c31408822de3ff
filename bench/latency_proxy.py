#!/usr/bin/env python3
"""A server far away, on loopback: a TCP proxy that adds a round trip to everything it carries.

Usage: latency_proxy.py LISTEN_PORT UPSTREAM_PORT ROUND_TRIP_SECONDS
Each connection to the upstream costs one round trip (the handshake of a far server), and every chunk of
bytes takes half a round trip each way, in order. Prints "ready" once it listens.
"""
import asyncio
import sys


async def carry(reader, writer, delay):
    """Bytes from reader to writer, each chunk delivered delay seconds after it came."""
    queue = asyncio.Queue()
    loop = asyncio.get_running_loop()

    async def deliver():
        while True:
            due, chunk = await queue.get()
            await asyncio.sleep(max(0.0, due - loop.time()))
            if not chunk:
                break
            writer.write(chunk)
            await writer.drain()
        writer.close()

    delivery = asyncio.create_task(deliver())
    try:
        while chunk := await reader.read(65536):
            queue.put_nowait((loop.time() + delay, chunk))
    except ConnectionError:
        pass
    queue.put_nowait((loop.time() + delay, b""))
    try:
        await delivery
    except ConnectionError:
        pass


async def main(listen, upstream, round_trip):
    async def connection(client_reader, client_writer):
        await asyncio.sleep(round_trip)
        try:
            server_reader, server_writer = await asyncio.open_connection("127.0.0.1", upstream)
        except OSError:
            client_writer.close()
            return
        await asyncio.gather(carry(client_reader, server_writer, round_trip / 2),
                             carry(server_reader, client_writer, round_trip / 2))

    server = await asyncio.start_server(connection, "127.0.0.1", listen, backlog=4096)
    print("ready", flush=True)
    async with server:
        await server.serve_forever()


if __name__ == "__main__":
    asyncio.run(main(int(sys.argv[1]), int(sys.argv[2]), float(sys.argv[3])))
