"""What the benchmark sections share: paths, the test CA, running one
server/client pair in two processes, and order statistics."""

from __future__ import annotations

import dataclasses
import json
import os
import pathlib
import subprocess
import sys
from array import array
from typing import Any

BENCH = pathlib.Path(__file__).resolve().parent
ROOT = BENCH.parent
OUT = BENCH / "out"
STAMP_MASK = (1 << 47) - 1  # frames.STAMP_MASK, without importing the package here


def cpus() -> tuple[int | None, int | None]:
    """CPUs for the server and the client: one each when there are two, so
    neither waits for the other to be scheduled; none pinned otherwise."""
    avail = sorted(os.sched_getaffinity(0))
    return (avail[0], avail[1]) if len(avail) >= 2 else (None, None)


_SPIN = """
import os, sys
os.sched_setaffinity(0, {int(sys.argv[1])})
os.sched_setscheduler(0, os.SCHED_IDLE, os.sched_param(0))
parent = os.getppid()
while os.getppid() == parent:  # ends with the benchmark, however that ends
    for _ in range(200_000):
        pass
"""


class IdleSpinners:
    """One busy loop of the idle scheduling class on each benchmark CPU.

    In a virtual machine a CPU with nothing to run is handed back to the
    host, and getting it back when a frame arrives can take milliseconds:
    that, not the client, then makes the latency tail. A SCHED_IDLE task
    keeps the CPU and yields it at once to any normal task that wakes up,
    so each wake-up is the kernel's own."""

    def __init__(self, enabled: bool = True) -> None:
        self.enabled = enabled
        self.procs: list[subprocess.Popen[bytes]] = []

    def __enter__(self) -> IdleSpinners:
        if self.enabled:
            for cpu in cpus():
                if cpu is not None:
                    self.procs.append(subprocess.Popen([sys.executable, "-c", _SPIN, str(cpu)]))
        return self

    def __exit__(self, *exc: object) -> None:
        for p in self.procs:
            p.kill()
            p.wait()
        self.procs.clear()


@dataclasses.dataclass(frozen=True)
class Tls:
    ca: pathlib.Path
    cert: pathlib.Path
    key: pathlib.Path


def make_tls(directory: pathlib.Path) -> Tls:
    """A CA made for this run and a certificate for 127.0.0.1 signed by it."""
    import trustme

    directory.mkdir(parents=True, exist_ok=True)
    ca = trustme.CA(organization_name="vornticker bench")
    leaf = ca.issue_cert("127.0.0.1")
    tls = Tls(directory / "ca.pem", directory / "server.pem", directory / "server.key")
    ca.cert_pem.write_to_path(str(tls.ca))
    leaf.cert_chain_pems[0].write_to_path(str(tls.cert))
    leaf.private_key_pem.write_to_path(str(tls.key))
    return tls


class RunError(RuntimeError):
    pass


def _tail(text: str, lines: int = 25) -> str:
    return "\n".join(text.strip().splitlines()[-lines:])


def run_pair(
    contender: str,
    n: int,
    *,
    tls: Tls | None,
    client_args: list[str],
    server_args: list[str] = (),  # type: ignore[assignment]
    env: dict[str, str] | None = None,
    timeout: float = 300.0,
) -> tuple[dict[str, Any], dict[str, Any]]:
    """Starts bench/server.py, runs bench/client.py against it, and returns
    (client result, server result)."""
    scpu, ccpu = cpus()
    server_cmd = [sys.executable, str(BENCH / "server.py"), "--n", str(n), *server_args]
    if tls:
        server_cmd += ["--tls", str(tls.cert), str(tls.key)]
    if scpu is not None:
        server_cmd += ["--cpu", str(scpu)]
    server = subprocess.Popen(
        server_cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, cwd=ROOT, env=env
    )
    try:
        assert server.stdout is not None and server.stderr is not None
        first = server.stdout.readline().split()
        if len(first) != 2 or first[0] != "PORT":
            raise RunError(f"the server did not start: {first}\n{_tail(server.stderr.read())}")
        url = f"{'wss' if tls else 'ws'}://127.0.0.1:{first[1]}/?version=2"
        client_cmd = [sys.executable, str(BENCH / "client.py"), contender, "--url", url, "--n", str(n), *client_args]
        if tls:
            client_cmd += ["--ca", str(tls.ca)]
        if ccpu is not None:
            client_cmd += ["--cpu", str(ccpu)]
        try:
            client = subprocess.run(client_cmd, capture_output=True, text=True, cwd=ROOT, env=env, timeout=timeout)
        except subprocess.TimeoutExpired as e:
            raise RunError(f"{contender}: no result after {timeout:.0f} s\n{_tail(str(e.stderr or ''))}") from None
        lines = [ln for ln in client.stdout.splitlines() if ln.startswith("RESULT ")]
        if client.returncode != 0 or not lines:
            raise RunError(f"{contender} failed (exit {client.returncode})\n{_tail(client.stderr)}")
        result = json.loads(lines[-1].removeprefix("RESULT "))
        out, err = server.communicate(timeout=30)
        done = [ln for ln in out.splitlines() if ln.startswith("DONE ")]
        if not done:
            raise RunError(f"the server did not finish\n{_tail(err)}")
        return result, json.loads(done[-1].removeprefix("DONE "))
    finally:
        if server.poll() is None:
            server.kill()
            server.wait()


def read_raw(path: pathlib.Path) -> tuple[array, array]:
    """(arrival times, stamps) as a client with --raw wrote them."""
    a = array("q")
    with open(path, "rb") as f:
        a.frombytes(f.read())
    n = len(a) // 2
    return a[:n], a[n:]


def percentile(sorted_values: list[float] | array, q: float) -> float:
    """The nearest-rank q-quantile (0 < q <= 1) of sorted values."""
    if not sorted_values:
        return float("nan")
    k = max(0, min(len(sorted_values) - 1, int(round(q * len(sorted_values))) - 1))
    return float(sorted_values[k])


def median(values: list[float]) -> float:
    s = sorted(values)
    if not s:
        return float("nan")
    mid = len(s) // 2
    return s[mid] if len(s) % 2 else (s[mid - 1] + s[mid]) / 2
