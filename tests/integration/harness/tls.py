"""Throw-away TLS material made with the openssl command line."""

import subprocess
from pathlib import Path


def make_self_signed(directory, cn="localhost"):
    """Write cert.pem and key.pem (RSA 2048, 2 days) into ``directory``.

    The certificate names both localhost and 127.0.0.1 so a client can
    verify it whichever name it connects with.
    """
    directory = Path(directory)
    directory.mkdir(parents=True, exist_ok=True)
    cert, key = directory / "cert.pem", directory / "key.pem"
    subprocess.run(
        ["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes",
         "-subj", f"/CN={cn}", "-days", "2",
         "-addext", "subjectAltName=DNS:localhost,IP:127.0.0.1",
         "-keyout", str(key), "-out", str(cert)],
        check=True, capture_output=True, timeout=60)
    return str(cert), str(key)
