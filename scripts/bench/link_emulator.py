"""A user-space link between clients and servers on 127.0.0.1: each direction is one shared line of a
given bandwidth (bytes leave in order, one after another) followed by a fixed delay, and every byte that
crosses is counted. TCP on each side of the proxy is loopback's; what the link adds is the bandwidth and
a round trip per request. Runs an asyncio loop on a thread of its own."""
import asyncio
import threading

CHUNK = 65536
# How far ahead of the line a reader may run before it stops reading: a router's queue. Holding back
# makes the sender's TCP wait, as a full line would.
QUEUE_SECONDS = 0.05


class Direction:
    def __init__(self, rate):
        self.rate = rate  # bytes per second, or None for no limit
        self.free_at = 0.0
        self.bytes = 0


class Link:
    def __init__(self, mbit=None, delay_ms=0.0):
        rate = mbit * 1e6 / 8 if mbit else None
        self.delay = delay_ms / 1000
        self.down = Direction(rate)  # server to client
        self.up = Direction(rate)
        self.loop = asyncio.new_event_loop()
        self.servers = []
        self.thread = threading.Thread(target=self.loop.run_forever, daemon=True)
        self.thread.start()

    def route(self, upstream_port):
        """A new listener on a free port of 127.0.0.1 whose connections go over the link to upstream_port;
        returns its port."""
        async def listen():
            server = await asyncio.start_server(lambda r, w: self._connection(r, w, upstream_port), "127.0.0.1", 0)
            self.servers.append(server)
            return server.sockets[0].getsockname()[1]

        return asyncio.run_coroutine_threadsafe(listen(), self.loop).result()

    def counted(self):
        """(server-to-client bytes, client-to-server bytes) so far."""
        return self.down.bytes, self.up.bytes

    def close(self):
        async def shut():
            for server in self.servers:
                server.close()
            tasks = [t for t in asyncio.all_tasks() if t is not asyncio.current_task()]
            for task in tasks:
                task.cancel()
            await asyncio.gather(*tasks, return_exceptions=True)

        asyncio.run_coroutine_threadsafe(shut(), self.loop).result(timeout=10)
        self.loop.call_soon_threadsafe(self.loop.stop)
        self.thread.join(timeout=10)
        self.loop.close()

    async def _connection(self, client_reader, client_writer, upstream_port):
        try:
            server_reader, server_writer = await asyncio.open_connection("127.0.0.1", upstream_port)
        except OSError:
            client_writer.close()
            return
        try:
            await asyncio.gather(self._pump(client_reader, server_writer, self.up),
                                 self._pump(server_reader, client_writer, self.down), return_exceptions=True)
        except asyncio.CancelledError:
            pass  # the link closes under a connection that is still open
        for writer in (client_writer, server_writer):
            writer.close()

    async def _pump(self, reader, writer, direction):
        loop = asyncio.get_running_loop()
        line = asyncio.Queue()

        async def deliver():
            while True:
                item = await line.get()
                if item is None:
                    if writer.can_write_eof():
                        writer.write_eof()
                    return
                due, data = item
                wait = due - loop.time()
                if wait > 0:
                    await asyncio.sleep(wait)
                writer.write(data)
                await writer.drain()

        delivery = asyncio.ensure_future(deliver())
        try:
            while True:
                data = await reader.read(CHUNK)
                if not data:
                    break
                direction.bytes += len(data)
                now = loop.time()
                if direction.rate is None:
                    line.put_nowait((now + self.delay, data))
                    continue
                start = max(now, direction.free_at)
                direction.free_at = start + len(data) / direction.rate
                line.put_nowait((direction.free_at + self.delay, data))
                ahead = direction.free_at - now
                if ahead > QUEUE_SECONDS:
                    await asyncio.sleep(ahead - QUEUE_SECONDS)
        except (ConnectionError, OSError):
            pass
        line.put_nowait(None)
        await delivery
