"""A feed that replays a capture file (vornticker.recording) instead of making quotes.

Each client gets its own replay: it starts at the file's first frame when
the client first subscribes to something, keeps the recorded spacing
divided by ``speed``, and ends at the file's end (or starts again, with
``loop=True``). A frame goes to the client if its quote's ``id`` is one of
the client's symbols at that moment; a frame that does not decode, or has
no ``id``, goes to every client whose replay is running, as the service
would have sent it. The recorded subscription changes are not replayed:
each client's own subscriptions decide.

Embedding it::

    async with ReplayFeed("session.vtr", speed=10) as feed:
        async with vornticker.stream(["AAPL"], url=feed.url, ssl_context=feed.client_ssl_context()) as quotes:
            ...
"""

from __future__ import annotations

import asyncio
import concurrent.futures
import logging
import math
import os
from collections.abc import Iterator
from typing import Final

from .. import recording
from .server import ClientPublisher, FeedServer
from .tls import TlsBackend

__all__ = ["END_OF_CAPTURE", "ReplayFeed", "ReplaySource"]

logger = logging.getLogger(__name__)

# A frame this late (a stalled loop, a slow client) moves the rest of the
# schedule back rather than sending a burst to catch up.
_LATE: Final = 0.25
# Without pacing (speed=inf), yield to the loop after this many frames so
# other clients and control messages are served in between.
_BATCH: Final = 64
END_OF_CAPTURE: Final = "end of capture"  # the close reason of close_at_end


class _PassReader:
    """One pass over the capture, driven from the reading thread only: the
    file is opened, read and closed there, a block at a time."""

    def __init__(self, path: str) -> None:
        self._path = path
        self._capture: recording.Reader | None = None
        self._blocks: Iterator[recording.Block] | None = None

    def next_frames(self) -> tuple[list[int], list[bytes]] | None:
        """The next block's frames as receive times and payloads, or None
        at the end of the file. Two plain lists rather than Frame tuples,
        which the garbage collector would traverse for as long as they wait
        to be sent (a block ahead for each client)."""
        if self._blocks is None:
            self._capture = recording.open(self._path)
            self._blocks = self._capture.blocks()
        for block in self._blocks:
            frames = [record for record in block.records if type(record) is recording.Frame]
            if frames:
                return [frame.recv_ns for frame in frames], [frame.payload for frame in frames]
        return None

    def close(self) -> None:
        if self._capture is not None:
            self._capture.close()


class ReplaySource:
    """Serves a capture to each client on its own; see the module docstring.

    The file's header is read here, so a file that is not a capture fails
    at once (recording.FormatError or OSError, naming it). Blocks are read,
    checked, decompressed and parsed on a thread of the source's own, a
    block ahead of each client's replay, so the event loop never waits for
    the file and a capture of any length replays in bounded memory. Damage
    is skipped (with a warning) and its time replayed as silence, as is
    every stretch the connection was down while recording.

    ``close_at_end``: once a client has had every frame (and ``loop`` is
    off), its connection is closed with code 1000 and the reason "end of
    capture". Reaching the end is logged (INFO) either way. ``close()``
    ends the reading thread.
    """

    def __init__(
        self, path: str | os.PathLike[str], speed: float = 1.0, *, loop: bool = False, close_at_end: bool = False
    ) -> None:
        if isinstance(speed, bool) or not isinstance(speed, (int, float)) or not speed > 0:
            raise ValueError(f"speed must be a positive number (math.inf: no pacing), not {speed!r}")
        self.path = os.fspath(path)
        self.speed = float(speed)
        self.loop = loop
        self.close_at_end = close_at_end
        with recording.open(self.path) as capture:
            self.metadata = capture.metadata
        # One thread for every client: reading is a small share of the work,
        # and a single reader keeps the loop's thread from waiting on many.
        self._reader: concurrent.futures.ThreadPoolExecutor | None = None

    def close(self) -> None:
        """Ends the reading thread once the reads under way are done."""
        reader, self._reader = self._reader, None
        if reader is not None:
            reader.shutdown(wait=False, cancel_futures=True)

    async def serve(self, client: ClientPublisher) -> None:
        await client.wait_watched()
        while True:
            try:
                sent = await self._pass(client)
            except (OSError, recording.FormatError) as exc:  # the file changed since it was checked
                logger.error("replay stopped: %s", exc)
                return
            logger.info("%s: end of the capture, %d frames", getattr(client, "peer", "a client"), sent)
            if not self.loop:
                if self.close_at_end:
                    await client.drain()
                    client.close(1000, END_OF_CAPTURE)
                return
            if sent == 0:
                # An empty (or at once damaged) file would loop without end.
                logger.warning("%s: no frames to replay; not looping", self.path)
                return

    async def _pass(self, client: ClientPublisher) -> int:
        """One replay of the whole file to client; returns how many frames were read."""
        loop = asyncio.get_running_loop()
        if self._reader is None:
            self._reader = concurrent.futures.ThreadPoolExecutor(1, thread_name_prefix="vornticker-replay")
        reader = self._reader
        paced = not math.isinf(self.speed)
        start = loop.time()
        first_ns: int | None = None
        offset = 0.0  # seconds into the replay of the latest frame; never goes back
        count = 0
        source = _PassReader(self.path)
        try:
            ahead = loop.run_in_executor(reader, source.next_frames)
            while (frames := await ahead) is not None:
                ahead = loop.run_in_executor(reader, source.next_frames)  # the next block while this one plays
                for recv_ns, payload in zip(*frames):
                    count += 1
                    if first_ns is None:
                        first_ns = recv_ns
                    if paced:
                        # A clock stepped back while recording gives a frame no earlier slot.
                        offset = max(offset, (recv_ns - first_ns) / 1e9 / self.speed)
                        delay = start + offset - loop.time()
                        if delay > 0:
                            await asyncio.sleep(delay)
                        elif delay < -_LATE:
                            start -= delay
                    elif count % _BATCH == 0:
                        await asyncio.sleep(0)
                    await client.drain()
                    symbol = recording.frame_symbol(payload)
                    if symbol is None:
                        client.send(payload)
                    else:
                        client.publish(symbol, payload)
        finally:
            # Queued behind any read still running on the one thread, so the
            # file is never closed under it.
            try:
                reader.submit(source.close)
            except RuntimeError:  # close() ended the thread: close here
                source.close()
        return count


class ReplayFeed(FeedServer):
    """A local feed that replays a capture file; see the module docstring.

    path: the capture (its header is checked here: recording.FormatError or
    OSError). speed: the recorded spacing is divided by it; math.inf sends
    as fast as each client takes the frames. loop: start each client's
    replay again at the end of the file. close_at_end: close each client's
    connection (1000, "end of capture") once it has had every frame. The
    rest as for LocalFeed: start(), url, client_ssl_context(), stop(), or
    ``async with``.
    """

    def __init__(
        self,
        path: str | os.PathLike[str],
        speed: float = 1.0,
        *,
        loop: bool = False,
        close_at_end: bool = False,
        host: str = "127.0.0.1",
        port: int = 0,
        tls: bool = True,
        tls_backend: TlsBackend = "auto",
        tls_dir: str | os.PathLike[str] | None = None,
    ) -> None:
        replay = ReplaySource(path, speed, loop=loop, close_at_end=close_at_end)
        super().__init__(replay, host, port, tls=tls, tls_backend=tls_backend, tls_dir=tls_dir)
        self.replay = replay

    async def stop(self) -> None:
        await super().stop()
        self.replay.close()
