"""Certificates for a feed that serves wss://: a CA, and a server certificate
it signs for the feed's host names.

The CA is made at start and lost at stop, unless it is kept in a directory
(``ca.pem`` and ``ca-key.pem``): then every later start reuses it, and a client
that trusts ``ca.pem`` keeps trusting the feed across restarts. The server
certificate is new at every start, for whatever host the feed listens on.

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
import logging
import os
import ssl
import tempfile
from pathlib import Path
from typing import TYPE_CHECKING, Final, Literal

if TYPE_CHECKING:
    from cryptography import x509
    from cryptography.hazmat.primitives.asymmetric import ec, rsa

__all__ = ["TlsBackend", "ServerTls", "make_server_tls", "require_tls", "tls_available", "tls_unavailable_reason"]

logger = logging.getLogger(__name__)

TlsBackend = Literal["auto", "trustme", "cryptography"]

EXTRA: Final = "vornticker[feed]"
CA_FILE: Final = "ca.pem"
CA_KEY_FILE: Final = "ca-key.pem"

_ORGANIZATION: Final = "vornticker local feed"
_CA_LIFETIME: Final = dt.timedelta(days=365)
_SERVER_LIFETIME: Final = dt.timedelta(days=7)


def tls_unavailable_reason() -> str | None:
    """Why this installation cannot serve wss://, in a few words; None when it can."""
    try:
        # The package first: importing a submodule that is loaded already
        # would not notice the package itself is gone.
        for name in ("cryptography", "cryptography.x509"):
            importlib.import_module(name)
    except ImportError as e:
        problem = "is not installed" if e.name == "cryptography" else f"cannot be imported ({e})"
        return f"the 'cryptography' package {problem} (pip install '{EXTRA}')"
    return None


def tls_available() -> bool:
    """Whether a feed can serve wss:// here (the cryptography package is installed)."""
    return tls_unavailable_reason() is None


def require_tls(backend: TlsBackend) -> None:
    """Raises ImportError, naming the extra or package to install, if backend cannot run here."""
    reason = tls_unavailable_reason()
    if reason is not None:
        raise ImportError(f"serving wss:// needs certificates, and {reason}; tls=False serves ws://", name="cryptography")
    if backend == "trustme" and importlib.util.find_spec("trustme") is None:
        raise ImportError("tls_backend='trustme' needs the 'trustme' package", name="trustme")


@dataclasses.dataclass(frozen=True)
class ServerTls:
    context: ssl.SSLContext  # the server side, with the certificate chain loaded
    ca_pem: bytes  # the CA certificate a client must trust


@dataclasses.dataclass(frozen=True)
class _Ca:
    cert_pem: bytes
    key_pem: bytes


def make_server_tls(host: str, backend: TlsBackend = "auto", keep_in: str | os.PathLike[str] | None = None) -> ServerTls:
    """A CA (new, or the one kept in keep_in) and a server certificate it signed for host."""
    require_tls(backend)
    if backend == "auto":
        backend = "trustme" if importlib.util.find_spec("trustme") is not None else "cryptography"
    ca = _new_ca(backend) if keep_in is None else _kept_ca(Path(keep_in), backend)
    context = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
    identities = _identities(host)
    if backend == "trustme":
        _serve_with_trustme(context, ca, identities)
    else:
        _serve_with_cryptography(context, ca, identities)
    return ServerTls(context, ca.cert_pem)


def _identities(host: str) -> list[str]:
    names = ["localhost", "127.0.0.1", "::1"]
    if host and host not in names and host not in ("0.0.0.0", "::"):
        names.append(host)
    return names


# -- the CA


def _new_ca(backend: TlsBackend) -> _Ca:
    if backend == "trustme":
        import trustme

        ca = trustme.CA(organization_name=_ORGANIZATION)
        return _Ca(ca.cert_pem.bytes(), ca.private_key_pem.bytes())
    return _new_ca_with_cryptography()


def _kept_ca(directory: Path, backend: TlsBackend) -> _Ca:
    cert_path, key_path = directory / CA_FILE, directory / CA_KEY_FILE
    have_cert, have_key = cert_path.exists(), key_path.exists()
    if have_cert and have_key:
        ca = _Ca(cert_path.read_bytes(), key_path.read_bytes())
        if _check_kept_ca(ca, cert_path, key_path):
            return ca
        logger.warning(
            "the CA kept in %s expires within %d days: made a new one, clients must trust the new %s",
            directory,
            _SERVER_LIFETIME.days,
            cert_path,
        )
    elif have_cert or have_key:
        present, absent = (cert_path, key_path) if have_cert else (key_path, cert_path)
        raise ValueError(f"{present} is there but {absent} is not: remove {present}, or keep the CA elsewhere")
    ca = _new_ca(backend)
    directory.mkdir(mode=0o700, parents=True, exist_ok=True)
    _write_whole(key_path, ca.key_pem, mode=0o600)
    _write_whole(cert_path, ca.cert_pem, mode=0o644)
    logger.info("new CA kept in %s", directory)
    return ca


def _check_kept_ca(ca: _Ca, cert_path: Path, key_path: Path) -> bool:
    """True if the kept CA can sign a server certificate for the whole of its lifetime.

    Raises ValueError naming the file at fault when the files are not a CA and its key.
    """
    from cryptography import x509
    from cryptography.hazmat.primitives import serialization

    cert = _load_cert(ca.cert_pem, cert_path)
    key = _load_key(ca.key_pem, key_path)
    spki = serialization.Encoding.PEM, serialization.PublicFormat.SubjectPublicKeyInfo
    if cert.public_key().public_bytes(*spki) != key.public_key().public_bytes(*spki):
        raise ValueError(f"{key_path} is not the key of the certificate in {cert_path}")
    try:
        is_ca = cert.extensions.get_extension_for_class(x509.BasicConstraints).value.ca
    except x509.ExtensionNotFound:
        is_ca = False
    if not is_ca:
        raise ValueError(f"{cert_path} is not a CA certificate")
    return cert.not_valid_after_utc > dt.datetime.now(dt.UTC) + _SERVER_LIFETIME


def _load_cert(pem: bytes, path: Path | str) -> x509.Certificate:
    from cryptography import x509

    try:
        return x509.load_pem_x509_certificate(pem)
    except ValueError as e:
        raise ValueError(f"{path} does not hold a PEM certificate: {e}") from None


def _load_key(pem: bytes, path: Path | str) -> ec.EllipticCurvePrivateKey | rsa.RSAPrivateKey:
    from cryptography.hazmat.primitives import serialization
    from cryptography.hazmat.primitives.asymmetric import ec, rsa

    try:
        key = serialization.load_pem_private_key(pem, password=None)
    except (ValueError, TypeError) as e:
        raise ValueError(f"{path} does not hold an unencrypted PEM private key: {e}") from None
    if not isinstance(key, (ec.EllipticCurvePrivateKey, rsa.RSAPrivateKey)):
        raise ValueError(f"{path}: only EC and RSA keys can sign here, not {type(key).__name__}")
    return key


def _write_whole(path: Path, data: bytes, mode: int) -> None:
    # Written under another name and renamed: a reader never sees half a file.
    fd, tmp = tempfile.mkstemp(prefix=path.name, dir=path.parent)
    try:
        with os.fdopen(fd, "wb") as f:
            f.write(data)
        os.chmod(tmp, mode)
        os.replace(tmp, path)
    except BaseException:
        os.unlink(tmp)
        raise


def _new_ca_with_cryptography() -> _Ca:
    from cryptography import x509
    from cryptography.hazmat.primitives import hashes, serialization
    from cryptography.hazmat.primitives.asymmetric import ec
    from cryptography.x509.oid import NameOID

    now = dt.datetime.now(dt.UTC)
    key = ec.generate_private_key(ec.SECP256R1())
    name = x509.Name(
        [
            x509.NameAttribute(NameOID.ORGANIZATION_NAME, _ORGANIZATION),
            x509.NameAttribute(NameOID.COMMON_NAME, f"{_ORGANIZATION} CA"),
        ]
    )
    cert = (
        x509.CertificateBuilder()
        .subject_name(name)
        .issuer_name(name)
        .public_key(key.public_key())
        .serial_number(x509.random_serial_number())
        .not_valid_before(now - dt.timedelta(hours=1))
        .not_valid_after(now + _CA_LIFETIME)
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
        .add_extension(x509.SubjectKeyIdentifier.from_public_key(key.public_key()), critical=False)
        .sign(key, hashes.SHA256())
    )
    key_pem = key.private_bytes(
        serialization.Encoding.PEM, serialization.PrivateFormat.PKCS8, serialization.NoEncryption()
    )
    return _Ca(cert.public_bytes(serialization.Encoding.PEM), key_pem)


# -- the server certificate


def _serve_with_trustme(context: ssl.SSLContext, ca: _Ca, identities: list[str]) -> None:
    import trustme

    leaf = trustme.CA.from_pem(ca.cert_pem, ca.key_pem).issue_cert(
        *identities, organization_name=_ORGANIZATION, not_after=_server_not_after(ca)
    )
    leaf.configure_cert(context)


def _server_not_after(ca: _Ca) -> dt.datetime:
    # Never past the CA's own end: a client would refuse the chain.
    ca_end = _load_cert(ca.cert_pem, "the CA").not_valid_after_utc
    return min(dt.datetime.now(dt.UTC) + _SERVER_LIFETIME, ca_end)


def _serve_with_cryptography(context: ssl.SSLContext, ca: _Ca, identities: list[str]) -> None:
    from cryptography import x509
    from cryptography.hazmat.primitives import hashes, serialization
    from cryptography.hazmat.primitives.asymmetric import ec
    from cryptography.x509.oid import ExtendedKeyUsageOID, NameOID

    ca_cert = _load_cert(ca.cert_pem, "the CA")
    ca_key = _load_key(ca.key_pem, "the CA's key")
    try:
        authority = x509.AuthorityKeyIdentifier.from_issuer_subject_key_identifier(
            ca_cert.extensions.get_extension_for_class(x509.SubjectKeyIdentifier).value
        )
    except x509.ExtensionNotFound:
        authority = x509.AuthorityKeyIdentifier.from_issuer_public_key(ca_key.public_key())
    sans: list[x509.GeneralName] = []
    for ident in identities:
        try:
            sans.append(x509.IPAddress(ipaddress.ip_address(ident)))
        except ValueError:
            sans.append(x509.DNSName(ident))
    key = ec.generate_private_key(ec.SECP256R1())
    cert = (
        x509.CertificateBuilder()
        .subject_name(
            x509.Name(
                [
                    x509.NameAttribute(NameOID.ORGANIZATION_NAME, _ORGANIZATION),
                    x509.NameAttribute(NameOID.COMMON_NAME, "localhost"),
                ]
            )
        )
        .issuer_name(ca_cert.subject)
        .public_key(key.public_key())
        .serial_number(x509.random_serial_number())
        .not_valid_before(dt.datetime.now(dt.UTC) - dt.timedelta(hours=1))
        .not_valid_after(_server_not_after(ca))
        .add_extension(x509.BasicConstraints(ca=False, path_length=None), critical=True)
        .add_extension(x509.SubjectAlternativeName(sans), critical=False)
        .add_extension(x509.ExtendedKeyUsage([ExtendedKeyUsageOID.SERVER_AUTH]), critical=False)
        .add_extension(x509.SubjectKeyIdentifier.from_public_key(key.public_key()), critical=False)
        .add_extension(authority, critical=False)
        .sign(ca_key, hashes.SHA256())
    )
    key_pem = key.private_bytes(
        serialization.Encoding.PEM, serialization.PrivateFormat.PKCS8, serialization.NoEncryption()
    )
    # load_cert_chain only reads files; the key lives on disk for a moment.
    with tempfile.TemporaryDirectory(prefix="vornticker-feed-") as tmp:
        path = os.path.join(tmp, "server.pem")
        fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o600)
        with os.fdopen(fd, "wb") as f:
            f.write(key_pem + cert.public_bytes(serialization.Encoding.PEM))
        context.load_cert_chain(path)
