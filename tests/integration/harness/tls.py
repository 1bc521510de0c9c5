"""Throw-away TLS material made with the openssl command line."""

import subprocess
from pathlib import Path

EC_KEY = ["-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
          "-nodes"]


def _openssl(*args):
    subprocess.run(["openssl", *args], check=True, capture_output=True,
                   timeout=60)


def make_self_signed(directory, cn="localhost"):
    """Write cert.pem and key.pem (RSA 2048, 2 days) into ``directory``.

    The certificate names both localhost and 127.0.0.1 so a client can
    verify it whichever name it connects with.
    """
    directory = Path(directory)
    directory.mkdir(parents=True, exist_ok=True)
    cert, key = directory / "cert.pem", directory / "key.pem"
    _openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes",
             "-subj", f"/CN={cn}", "-days", "2",
             "-addext", "subjectAltName=DNS:localhost,IP:127.0.0.1",
             "-keyout", str(key), "-out", str(cert))
    return str(cert), str(key)


def make_ca(directory, cn="Test CA"):
    """A certificate authority: (ca.pem, ca.key) in ``directory``."""
    directory = Path(directory)
    directory.mkdir(parents=True, exist_ok=True)
    cert, key = directory / "ca.pem", directory / "ca.key"
    _openssl("req", "-x509", *EC_KEY, "-subj", f"/CN={cn}", "-days", "2",
             "-addext", "basicConstraints=critical,CA:TRUE",
             "-addext", "keyUsage=critical,keyCertSign,cRLSign",
             "-keyout", str(key), "-out", str(cert))
    return str(cert), str(key)


def make_signed(directory, ca, names, stem="server", usage="serverAuth"):
    """A certificate signed by ``ca`` (a (cert, key) pair) for ``names``:
    host names and IP addresses, the first also its CN; ``usage`` is its
    extended key usage ("clientAuth" for a client's).
    Returns (certfile, keyfile)."""
    directory = Path(directory)
    directory.mkdir(parents=True, exist_ok=True)
    cert, key = directory / f"{stem}.pem", directory / f"{stem}.key"
    csr, ext = directory / f"{stem}.csr", directory / f"{stem}.ext"
    alt = ",".join(("IP:" if n[0].isdigit() else "DNS:") + n for n in names)
    ext.write_text(f"subjectAltName={alt}\nbasicConstraints=CA:FALSE\n"
                   f"extendedKeyUsage={usage}\n")
    _openssl("req", "-new", *EC_KEY, "-subj", f"/CN={names[0]}",
             "-keyout", str(key), "-out", str(csr))
    _openssl("x509", "-req", "-in", str(csr), "-CA", ca[0], "-CAkey", ca[1],
             "-CAcreateserial", "-days", "2", "-extfile", str(ext),
             "-out", str(cert))
    return str(cert), str(key)
