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
import logging
import math
import os
from typing import Final

from .. import recording
from ..vornticker import decode_frame
from .server import ClientPublisher, FeedServer
from .tls import TlsBackend

__all__ = ["ReplayFeed", "ReplaySource"]

logger = logging.getLogger(__name__)

# A frame this late (a stalled loop, a slow client) moves the rest of the
# schedule back rather than sending a burst to catch up.
_LATE: Final = 0.25
# Without pacing (speed=inf), yield to the loop after this many frames so
# other clients and control messages are served in between.
_BATCH: Final = 64


def _symbol(payload: bytes) -> str | None:
    try:
        symbol = decode_frame(payload).get("id")
    except Exception:
        return None
    return symbol if isinstance(symbol, str) else None


class ReplaySource:
    """Serves a capture to each client on its own; see the module docstring.

    The file's header is read here, so a file that is not a capture fails
    at once (recording.FormatError or OSError, naming it). Frames are read
    as each client's replay reaches them, one block at a time: a capture of
    any length replays in bounded memory. A damaged or cut block ends each
    pass there, with a warning.
    """

    def __init__(self, path: str | os.PathLike[str], speed: float = 1.0, *, loop: bool = False) -> None:
        if isinstance(speed, bool) or not isinstance(speed, (int, float)) or not speed > 0:
            raise ValueError(f"speed must be a positive number (math.inf: no pacing), not {speed!r}")
        self.path = os.fspath(path)
        self.speed = float(speed)
        self.loop = loop
        with recording.open(self.path) as capture:
            self.metadata = capture.metadata

    async def serve(self, client: ClientPublisher) -> None:
        await client.wait_watched()
        while True:
            try:
                sent = await self._pass(client)
            except (OSError, recording.FormatError) as exc:  # the file changed since it was checked
                logger.error("replay stopped: %s", exc)
                return
            if not self.loop:
                return
            if sent == 0:
                # An empty (or at once damaged) file would loop without end.
                logger.warning("%s: no frames to replay; not looping", self.path)
                return

    async def _pass(self, client: ClientPublisher) -> int:
        """One replay of the whole file to client; returns how many frames were read."""
        loop = asyncio.get_running_loop()
        paced = not math.isinf(self.speed)
        start = loop.time()
        first_ns: int | None = None
        offset = 0.0  # seconds into the replay of the latest frame; never goes back
        count = 0
        with recording.open(self.path) as capture:
            for frame in capture:
                count += 1
                if first_ns is None:
                    first_ns = frame.recv_ns
                if paced:
                    # A clock stepped back while recording gives a frame no earlier slot.
                    offset = max(offset, (frame.recv_ns - first_ns) / 1e9 / self.speed)
                    delay = start + offset - loop.time()
                    if delay > 0:
                        await asyncio.sleep(delay)
                    elif delay < -_LATE:
                        start -= delay
                elif count % _BATCH == 0:
                    await asyncio.sleep(0)
                await client.drain()
                symbol = _symbol(frame.payload)
                if symbol is None:
                    client.send(frame.payload)
                else:
                    client.publish(symbol, frame.payload)
        return count


class ReplayFeed(FeedServer):
    """A local feed that replays a capture file; see the module docstring.

    path: the capture (its header is checked here: recording.FormatError or
    OSError). speed: the recorded spacing is divided by it; math.inf sends
    as fast as each client takes the frames. loop: start each client's
    replay again at the end of the file. The rest as for LocalFeed: start(),
    url, client_ssl_context(), stop(), or ``async with``.
    """

    def __init__(
        self,
        path: str | os.PathLike[str],
        speed: float = 1.0,
        *,
        loop: bool = False,
        host: str = "127.0.0.1",
        port: int = 0,
        tls: bool = True,
        tls_backend: TlsBackend = "auto",
        tls_dir: str | os.PathLike[str] | None = None,
    ) -> None:
        replay = ReplaySource(path, speed, loop=loop)
        super().__init__(replay, host, port, tls=tls, tls_backend=tls_backend, tls_dir=tls_dir)
        self.replay = replay
