"""The quote pusher of the end-to-end and memory benchmarks: one websocket
connection, then exit. Runs in its own process.

    python bench/server.py --n N [--mode blast|paced] [--rate R] [--burst B] [--tls CERT KEY] [--cpu C]

Prints "PORT <port>" once it listens on 127.0.0.1, then waits for one client.
It streams from the client's first text frame (its subscribe message) on: N
quote frames, then one END frame (not a quote), and hangs up when the client
closes. Last it prints "DONE <json>" with what it sent and the CPU it used, so
the caller can tell whether the server kept up.

The websocket side is written by hand on asyncio, not with a websocket library:
the frames are pre-encoded and only stamped, and a whole batch goes out in one
write, so the server costs far less per frame than any client and the
client's speed is what a run measures.

blast: batches of --batch frames as fast as the connection takes them, each
  batch stamped when written; when the transport's buffer fills, writing waits
  (asyncio flow control), so the pace is the client's.
paced: --rate frames per second, each loop tick (about 1 ms) sending the
  frames due by then, stamped when written: a busy but not saturating feed,
  for latency.
--burst B (blast): after every B frames, wait for another text frame from the
  client. The client asks for more once it has handled the B frames, so it
  can measure itself in the same quiet state every time, with no backlog of
  frames read but not yet handled.
"""

from __future__ import annotations

import argparse
import asyncio
import base64
import hashlib
import json
import os
import resource
import ssl
import sys
import time

import frames

_GUID = b"258EAFA5-E914-47DA-95CA-C5AB0DC85B11"


def _cpu_seconds() -> float:
    r = resource.getrusage(resource.RUSAGE_SELF)
    return r.ru_utime + r.ru_stime


class Pusher(asyncio.Protocol):
    def __init__(self, args: argparse.Namespace, done: asyncio.Future[dict[str, object]]) -> None:
        self.args = args
        self.done = done
        self.transport: asyncio.Transport | None = None
        self.buf = bytearray()
        self.upgraded = False
        self.started = False
        self.closing = False
        self.can_write: asyncio.Future[None] | None = None
        self.more: asyncio.Future[None] | None = None
        self.stats: dict[str, object] = {}

    # -- asyncio protocol

    def connection_made(self, transport: asyncio.BaseTransport) -> None:
        assert isinstance(transport, asyncio.Transport)
        self.transport = transport
        transport.set_write_buffer_limits(high=self.args.high_water)

    def pause_writing(self) -> None:
        self.can_write = asyncio.get_running_loop().create_future()

    def resume_writing(self) -> None:
        if self.can_write is not None and not self.can_write.done():
            self.can_write.set_result(None)
        self.can_write = None

    def connection_lost(self, exc: Exception | None) -> None:
        self.resume_writing()
        if self.more is not None and not self.more.done():
            self.more.set_result(None)
        self.closing = True
        if not self.done.done():
            self.done.set_result(self.stats)

    def data_received(self, data: bytes) -> None:
        self.buf += data
        if not self.upgraded:
            end = self.buf.find(b"\r\n\r\n")
            if end < 0:
                return
            self._upgrade(bytes(self.buf[:end]))
            del self.buf[: end + 4]
        self._client_frames()

    # -- websocket

    def _upgrade(self, head: bytes) -> None:
        key = b""
        for line in head.split(b"\r\n")[1:]:
            name, _, value = line.partition(b":")
            if name.strip().lower() == b"sec-websocket-key":
                key = value.strip()
        accept = base64.b64encode(hashlib.sha1(key + _GUID).digest())
        assert self.transport is not None
        self.transport.write(
            b"HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
            b"Sec-WebSocket-Accept: " + accept + b"\r\n\r\n"
        )
        self.upgraded = True

    def _client_frames(self) -> None:
        # Client frames are masked. Only the opcode matters here, and the
        # payload of a ping, which the pong must echo.
        buf = self.buf
        while len(buf) >= 2:
            opcode, n, pos = buf[0] & 0x0F, buf[1] & 0x7F, 2
            if n == 126:
                if len(buf) < 4:
                    return
                n, pos = int.from_bytes(buf[2:4]), 4
            elif n == 127:
                if len(buf) < 10:
                    return
                n, pos = int.from_bytes(buf[2:10]), 10
            masked = buf[1] & 0x80
            if len(buf) < pos + (4 if masked else 0) + n:
                return
            mask = buf[pos : pos + 4] if masked else b"\0\0\0\0"
            pos += 4 if masked else 0
            payload = bytes(b ^ mask[i % 4] for i, b in enumerate(buf[pos : pos + n]))
            del buf[: pos + n]
            self._client_frame(opcode, payload)

    def _client_frame(self, opcode: int, payload: bytes) -> None:
        assert self.transport is not None
        if opcode == 0x1 and not self.started:
            self.started = True
            asyncio.get_running_loop().create_task(self._push())
        elif opcode == 0x1 and self.more is not None and not self.more.done():
            self.more.set_result(None)
        elif opcode == 0x9 and len(payload) < 126:
            self.transport.write(bytes([0x8A, len(payload)]) + payload)
        elif opcode == 0x8 and not self.closing:
            self.closing = True
            self.transport.write(b"\x88\x02\x03\xe8")
            self.transport.close()

    async def _wait_writable(self) -> None:
        if self.can_write is not None:
            await self.can_write

    async def _push(self) -> None:
        args = self.args
        transport = self.transport
        assert transport is not None
        pool = frames.split_payloads(args.pool)
        pieces = []
        for head, tail in pool:
            payload_len = len(head) + 12 + len(tail)
            pieces.append((frames.ws_header(payload_len) + head, tail))
        t0, cpu0 = time.monotonic(), _cpu_seconds()
        sent = 0
        writes = 0
        if args.mode == "blast":
            # Batches of the pool laid out once, each with slots for the stamp.
            batch = args.batch
            layouts = []
            for start in range(0, len(pieces), batch):
                parts: list[bytes] = []
                for hh, tail in pieces[start : start + batch]:
                    parts += (hh, b"", tail)
                layouts.append(parts)
            li = 0
            while sent < args.n and not self.closing:
                parts = layouts[li]
                li = (li + 1) % len(layouts)
                k = len(parts) // 3
                limit = args.n - sent
                if args.burst:
                    limit = min(limit, args.burst - sent % args.burst)
                if k > limit:
                    k = limit
                    parts = parts[: 3 * k]
                parts[1::3] = [frames.stamp_b64(time.monotonic_ns())] * k
                transport.write(b"".join(parts))
                sent += k
                writes += 1
                if args.burst and sent % args.burst == 0 and sent < args.n:
                    self.more = asyncio.get_running_loop().create_future()
                    await self.more
                elif self.can_write is not None:
                    await self.can_write
                elif writes % 32 == 0:
                    await asyncio.sleep(0)  # let the client's frames in
        else:
            loop = asyncio.get_running_loop()
            began = loop.time()
            pi = 0
            while sent < args.n and not self.closing:
                due = min(args.n, int((loop.time() - began) * args.rate) + 1)
                if due > sent:
                    stamp = frames.stamp_b64(time.monotonic_ns())
                    out: list[bytes] = []
                    for _ in range(due - sent):
                        hh, tail = pieces[pi]
                        pi = (pi + 1) % len(pieces)
                        out += (hh, stamp, tail)
                    transport.write(b"".join(out))
                    writes += 1
                    sent = due
                await self._wait_writable()
                await asyncio.sleep(max(0.0, (sent + 1) / args.rate - (loop.time() - began)))
        end = frames.END_PAYLOAD
        transport.write(frames.ws_header(len(end)) + end)
        elapsed, cpu = time.monotonic() - t0, _cpu_seconds() - cpu0
        self.stats = {"sent": sent, "writes": writes, "seconds": elapsed, "cpu_seconds": cpu}


async def serve(args: argparse.Namespace) -> dict[str, object]:
    ctx = None
    if args.tls:
        ctx = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
        ctx.load_cert_chain(args.tls[0], args.tls[1])
    loop = asyncio.get_running_loop()
    done: asyncio.Future[dict[str, object]] = loop.create_future()
    accepted = False

    def factory() -> asyncio.Protocol:
        nonlocal accepted
        if accepted:
            raise ConnectionRefusedError("one client per run")
        accepted = True
        return Pusher(args, done)

    server = await loop.create_server(factory, "127.0.0.1", 0, ssl=ctx)
    print("PORT", server.sockets[0].getsockname()[1], flush=True)
    try:
        return await asyncio.wait_for(done, args.timeout)
    finally:
        server.close()


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--n", type=int, required=True, help="quote frames to send")
    ap.add_argument("--mode", choices=("blast", "paced"), default="blast")
    ap.add_argument("--rate", type=float, default=10_000.0, help="paced: frames per second")
    ap.add_argument("--batch", type=int, default=512, help="blast: frames per write")
    ap.add_argument("--burst", type=int, default=0, help="blast: wait for the client after this many frames")
    ap.add_argument("--pool", type=int, default=1024, help="distinct quotes, sent in turn")
    ap.add_argument("--high-water", type=int, default=1024 * 1024, help="transport buffer that pauses writing")
    ap.add_argument("--tls", nargs=2, metavar=("CERT", "KEY"), help="serve wss:// with this certificate")
    ap.add_argument("--cpu", type=int, help="pin the process to this CPU")
    ap.add_argument("--timeout", type=float, default=300.0, help="give up after this many seconds")
    args = ap.parse_args()
    if args.cpu is not None:
        os.sched_setaffinity(0, {args.cpu})
    stats = asyncio.run(serve(args))
    print("DONE", json.dumps(stats), flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
