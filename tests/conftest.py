"""Fixtures shared by the test modules: an event loop, a ticker on it, and the
private module that reaches the ticker's internals."""

import asyncio
import gc

import pytest

from vornticker import _testsupport
from vornticker import vornticker as vt


@pytest.fixture
def loop():
    loop = asyncio.new_event_loop()
    yield loop
    # Tasks the test left behind are cancelled so they do not warn later.
    pending = [t for t in asyncio.all_tasks(loop) if not t.done()]
    for task in pending:
        task.cancel()
    if pending and not loop.is_closed():
        loop.run_until_complete(asyncio.gather(*pending, return_exceptions=True))
    loop.close()
    gc.collect()


@pytest.fixture
def ticker(loop):
    return vt.VornTicker(loop)


@pytest.fixture
def ts():
    return _testsupport


class Recorder:
    """A stand-in coroutine callback that records every argument it gets."""

    def __init__(self):
        self.calls = []

    async def __call__(self, arg):
        self.calls.append(arg)


@pytest.fixture
def recorder():
    return Recorder
