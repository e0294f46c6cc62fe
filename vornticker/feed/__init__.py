"""A local quote feed: a websocket server that speaks the quote protocol the
ticker understands, with random-walk prices.

It exists so the client can be run, demonstrated and tested end to end
without the real service. Clients send the usual control messages,
``{"subscribe": [...]}`` and ``{"unsubscribe": [...]}``; the feed then pushes
one text frame per quote for each symbol the client subscribed to::

    {"type":"pricing","message":"<base64 of a protobuf PricingData message>"}

Embedding it::

    async with LocalFeed(rate=5) as feed:
        with use_endpoint(feed.url, feed.client_ssl_context()):
            ...

From a shell: ``vornticker feed --help`` (or ``python -m vornticker.feed``). wss:// needs the
``vornticker[feed]`` extra (the cryptography package); tls_unavailable_reason()
says why it cannot be served, or returns None.

ReplayFeed serves a capture file (vornticker.recording) the same way, each
client from the file's start: ``vornticker replay FILE`` from a shell.

The modules: encoder (PricingData and its frame), market (the random walks),
server (websockets, subscriptions, and the sources a feed serves from),
replay (a capture as a source), tls (certificates); the command line that
runs it is vornticker.cli.feed (__main__ hands over to it).
"""

from __future__ import annotations

from .encoder import FIELDS, FieldKind, encode_frame, encode_pricing_data, f32
from .market import Kind, LocalFeed, Market, MarketHours, MarketSource, OptionType, QuoteType, instrument_kind
from .replay import ReplayFeed, ReplaySource
from .server import ClientPublisher, ClientSource, FeedServer, FeedStats, FrameSource, Publisher
from .tls import TlsBackend, tls_available, tls_unavailable_reason

__all__ = [
    "FIELDS",
    "ClientPublisher",
    "ClientSource",
    "FeedServer",
    "FeedStats",
    "FieldKind",
    "FrameSource",
    "Kind",
    "LocalFeed",
    "Market",
    "MarketHours",
    "MarketSource",
    "OptionType",
    "Publisher",
    "QuoteType",
    "ReplayFeed",
    "ReplaySource",
    "TlsBackend",
    "encode_frame",
    "encode_pricing_data",
    "f32",
    "instrument_kind",
    "tls_available",
    "tls_unavailable_reason",
]

