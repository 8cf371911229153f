"""What the reader's tests share: the reader and the factory on the path,
the program to sign, and throwaway keys, made once a run and removed after
it."""

import os
import sys
import tempfile
import types

import pytest

HERE = os.path.dirname(os.path.realpath(__file__))
sys.path[:0] = [os.path.join(HERE, "..", "..", "release"), HERE]

from factory import Signing  # noqa: E402
from cryptography import x509  # noqa: E402
from cryptography.hazmat.primitives.asymmetric import ec, rsa  # noqa: E402
from cryptography.x509.oid import ExtendedKeyUsageOID as Usage, NameOID  # noqa: E402

BUILT = os.path.join(HERE, "..", "..", "build", "win32", "korvane-icon-size.exe")


@pytest.fixture(scope="session")
def program_path():
    """The program `make exe` builds; CTest names it, and then it must be there."""
    path = os.environ.get("KORVANE_PROGRAM_EXE")
    if path is None and not os.path.exists(BUILT):
        pytest.skip(f"no program to sign: {BUILT} is not built (make exe builds it)")
    return path or BUILT


@pytest.fixture(scope="session")
def program(program_path):
    with open(program_path, "rb") as file:
        return file.read()


@pytest.fixture(scope="session")
def work():
    """A directory for the keys and signed programs of the whole run."""
    with tempfile.TemporaryDirectory(prefix="korvane-reader-") as directory:
        yield directory


def named(common_name):
    return x509.Name([x509.NameAttribute(NameOID.COUNTRY_NAME, "JP"),
                      x509.NameAttribute(NameOID.ORGANIZATION_NAME, "Korvane Test"),
                      x509.NameAttribute(NameOID.COMMON_NAME, common_name)])


@pytest.fixture(scope="session")
def keys():
    """A test CA and what it issued: signers with RSA, EC P-256 and P-384
    keys, a timestamp authority, and certificates for the faults."""
    ca = Signing("", name=named("Korvane Test CA"))
    code, stamping = Usage.CODE_SIGNING, Usage.TIME_STAMPING
    k = types.SimpleNamespace(ca=ca)
    rsa_key = rsa.generate_private_key(public_exponent=65537, key_size=2048)
    k.rsa = Signing("", rsa_key, ca, usage=code, name=named("Korvane RSA Signer"))
    k.p256 = Signing("", issuer=ca, usage=code, name=named("Korvane P-256 Signer"))
    k.p384 = Signing("", ec.generate_private_key(ec.SECP384R1()), ca, usage=code, name=named("Korvane P-384 Signer"))
    k.tsa = Signing("Korvane Test Time Stamping", issuer=ca, usage=stamping)
    k.old_tsa = Signing("Korvane Old Time Stamping", issuer=ca, valid=(2000, 2010), usage=stamping)
    k.old_signer = Signing("Korvane Old Signer", issuer=ca, valid=(2000, 2010), usage=code)
    # The signer's serial number, from another CA that took the test CA's
    # name, or that name in other case.
    serial = k.p256.certificate.serial_number
    k.impostor = Signing("Korvane Impostor", issuer=Signing("", name=named("Korvane Test CA")), serial=serial)
    k.case = Signing("Korvane Lookalike", issuer=ca, serial=serial, issuer_name=named("KORVANE  test ca"))
    return k
