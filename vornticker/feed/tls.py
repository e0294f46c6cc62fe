"""Certificates for a feed that serves wss://: a CA made at start, and a
server certificate it signs for the feed's host names.

Two ways to make them: trustme when it is installed, or the cryptography
package directly (which trustme itself is built on). cryptography is the
``vornticker[feed]`` extra.
"""

from __future__ import annotations

import dataclasses
import datetime as dt
import importlib
import importlib.util
import ipaddress
import os
import ssl
import tempfile
from typing import Final, Literal

__all__ = ["ServerTls", "TlsBackend", "make_server_tls", "require_tls", "tls_available", "tls_unavailable_reason"]

EXTRA: Final = "vornticker[feed]"

TlsBackend = Literal["auto", "trustme", "cryptography"]


@dataclasses.dataclass(frozen=True)
class ServerTls:
    context: ssl.SSLContext  # the server side, with the certificate chain loaded
    ca_pem: bytes  # the CA certificate a client must trust


def _identities(host: str) -> list[str]:
    names = ["localhost", "127.0.0.1", "::1"]
    if host and host not in names and host not in ("0.0.0.0", "::"):
        names.append(host)
    return names


def _tls_with_trustme(host: str) -> ServerTls:
    import trustme

    ca = trustme.CA(organization_name="vornticker local feed")
    leaf = ca.issue_cert(*_identities(host))
    server = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
    leaf.configure_cert(server)
    return ServerTls(server, ca.cert_pem.bytes())


def _tls_with_cryptography(host: str) -> ServerTls:
    from cryptography import x509
    from cryptography.hazmat.primitives import hashes, serialization
    from cryptography.hazmat.primitives.asymmetric import ec
    from cryptography.x509.oid import ExtendedKeyUsageOID, NameOID

    now = dt.datetime.now(dt.UTC)
    org = x509.NameAttribute(NameOID.ORGANIZATION_NAME, "vornticker local feed")

    ca_key = ec.generate_private_key(ec.SECP256R1())
    ca_name = x509.Name([org, x509.NameAttribute(NameOID.COMMON_NAME, "vornticker local feed CA")])
    ca_ski = x509.SubjectKeyIdentifier.from_public_key(ca_key.public_key())
    ca_cert = (
        x509.CertificateBuilder()
        .subject_name(ca_name)
        .issuer_name(ca_name)
        .public_key(ca_key.public_key())
        .serial_number(x509.random_serial_number())
        .not_valid_before(now - dt.timedelta(hours=1))
        .not_valid_after(now + dt.timedelta(days=7))
        .add_extension(x509.BasicConstraints(ca=True, path_length=0), critical=True)
        .add_extension(
            x509.KeyUsage(
                digital_signature=True,
                content_commitment=False,
                key_encipherment=False,
                data_encipherment=False,
                key_agreement=False,
                key_cert_sign=True,
                crl_sign=True,
                encipher_only=False,
                decipher_only=False,
            ),
            critical=True,
        )
        .add_extension(ca_ski, critical=False)
        .sign(ca_key, hashes.SHA256())
    )

    sans: list[x509.GeneralName] = []
    for ident in _identities(host):
        try:
            sans.append(x509.IPAddress(ipaddress.ip_address(ident)))
        except ValueError:
            sans.append(x509.DNSName(ident))
    key = ec.generate_private_key(ec.SECP256R1())
    cert = (
        x509.CertificateBuilder()
        .subject_name(x509.Name([org, x509.NameAttribute(NameOID.COMMON_NAME, "localhost")]))
        .issuer_name(ca_name)
        .public_key(key.public_key())
        .serial_number(x509.random_serial_number())
        .not_valid_before(now - dt.timedelta(hours=1))
        .not_valid_after(now + dt.timedelta(days=7))
        .add_extension(x509.BasicConstraints(ca=False, path_length=None), critical=True)
        .add_extension(x509.SubjectAlternativeName(sans), critical=False)
        .add_extension(x509.ExtendedKeyUsage([ExtendedKeyUsageOID.SERVER_AUTH]), critical=False)
        .add_extension(x509.SubjectKeyIdentifier.from_public_key(key.public_key()), critical=False)
        .add_extension(x509.AuthorityKeyIdentifier.from_issuer_subject_key_identifier(ca_ski), critical=False)
        .sign(ca_key, hashes.SHA256())
    )
    key_pem = key.private_bytes(
        serialization.Encoding.PEM, serialization.PrivateFormat.PKCS8, serialization.NoEncryption()
    )
    server = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
    # load_cert_chain only reads files; the key lives on disk for a moment.
    with tempfile.TemporaryDirectory(prefix="vornticker-feed-") as tmp:
        path = os.path.join(tmp, "server.pem")
        fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o600)
        with os.fdopen(fd, "wb") as f:
            f.write(key_pem + cert.public_bytes(serialization.Encoding.PEM))
        server.load_cert_chain(path)
    return ServerTls(server, ca_cert.public_bytes(serialization.Encoding.PEM))


def tls_unavailable_reason() -> str | None:
    """Why this installation cannot serve wss://, in a few words; None when it can."""
    try:
        # The package first: importing a submodule that is loaded already
        # would not notice the package itself is gone.
        for name in ("cryptography", "cryptography.x509"):
            importlib.import_module(name)
    except ImportError as e:
        missing = f"the 'cryptography' package ({e})" if e.name != "cryptography" else "the 'cryptography' package"
        return f"the local feed's TLS needs {missing}: pip install '{EXTRA}'"
    return None


def tls_available() -> bool:
    """Whether a feed can serve wss:// here (the cryptography package is installed)."""
    return tls_unavailable_reason() is None


def require_tls(backend: TlsBackend) -> None:
    """Raises ImportError, naming the extra or package to install, if backend cannot run here."""
    reason = tls_unavailable_reason()
    if reason is not None:
        raise ImportError(f"{reason}; or serve ws:// with tls=False", name="cryptography")
    if backend == "trustme" and importlib.util.find_spec("trustme") is None:
        raise ImportError("tls_backend='trustme' needs the 'trustme' package", name="trustme")


def make_server_tls(host: str, backend: TlsBackend = "auto") -> ServerTls:
    require_tls(backend)
    if backend == "trustme":
        return _tls_with_trustme(host)
    if backend == "cryptography":
        return _tls_with_cryptography(host)
    if importlib.util.find_spec("trustme") is not None:
        return _tls_with_trustme(host)
    return _tls_with_cryptography(host)
