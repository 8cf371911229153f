"""X.500 names, as Windows shows them, read from their DER.

A certificate's subject as Windows shows it (CertNameToStr's X.500 form,
the most specific part first) and the publisher it names, for the read-mes,
the buildinfo and the verdict to say what Windows says. Names are read here
rather than by python3-cryptography, which refuses some that Windows shows:
a T61String that is not UTF-8, which Windows reads as Latin-1.
"""

from strict_der import Unreadable, inside, oid

# The short names Windows gives attributes of a name (CertNameToStr's X.500
# form); any other shows as OID.<dotted>.
NAME_KEYS = {
    "2.5.4.3": "CN", "2.5.4.4": "SN", "2.5.4.5": "SERIALNUMBER", "2.5.4.6": "C", "2.5.4.7": "L",
    "2.5.4.8": "S", "2.5.4.9": "STREET", "2.5.4.10": "O", "2.5.4.11": "OU", "2.5.4.12": "T",
    "2.5.4.42": "G", "2.5.4.43": "I", "2.5.4.13": "Description", "2.5.4.17": "PostalCode",
    "2.5.4.18": "POBox", "2.5.4.20": "Phone", "2.5.4.24": "X21Address", "2.5.4.46": "dnQualifier",
    "1.2.840.113549.1.9.1": "E", "0.9.2342.19200300.100.1.25": "DC",
}
# What Windows shows as the publisher: the first of these it finds.
PUBLISHER_KEYS = ("2.5.4.3", "2.5.4.11", "2.5.4.10", "1.2.840.113549.1.9.1")
# How each string type is read; a value of any other type shows as #hex.
# A T61String is read as UTF-8 first, as Windows reads it, and as Latin-1
# when it is not UTF-8.
STRING_CODECS = {0x0C: "utf-8", 0x13: "latin-1", 0x16: "latin-1", 0x12: "latin-1", 0x1A: "latin-1",
                 0x14: "t61", 0x1E: "utf-16-be", 0x1C: "utf-32-be"}


def name_attributes(name):
    """A Name as its RDNs, in the order they are written, each a list of
    (object identifier, value as text)."""
    rdns = []
    for rdn in inside(name, 0x30, "a name"):
        attributes = []
        for attribute in inside(rdn, 0x31, "a part of a name"):
            parts = inside(attribute, 0x30, "an attribute of a name")
            if len(parts) != 2:
                raise Unreadable("an attribute of a name is not a type and a value")
            value = parts[1]
            codec = STRING_CODECS.get(value.tag)
            if codec is None:
                text = "#" + value.whole.hex()
            elif codec == "t61":
                try:
                    text = value.content.decode("utf-8")
                except UnicodeDecodeError:
                    text = value.content.decode("latin-1")
            else:
                text = value.content.decode(codec, "surrogateescape" if codec == "utf-8" else "replace")
            attributes.append((oid(parts[0]), text))
        rdns.append(attributes)
    return rdns


def windows_value(value):
    """A value as Windows writes it in a name: quoted when it holds a
    character that would otherwise be read as part of the name's syntax."""
    if value == "" or value[0] == " " or value[-1] == " " or any(c in value for c in ',+="\r\n<>#;'):
        return '"' + value.replace('"', '""') + '"'
    return value


def windows_name(rdns):
    """A name as Windows shows a certificate's subject: the most specific
    part first (CN=…, O=…, C=…)."""
    return ", ".join(" + ".join(f"{NAME_KEYS.get(key, 'OID.' + key)}={windows_value(value)}" for key, value in rdn)
                     for rdn in reversed(rdns))


def publisher_of(rdns):
    """The publisher, as Windows names it: the first common name, else
    organisational unit, organisation or e-mail address; else the whole name."""
    for wanted in PUBLISHER_KEYS:
        for rdn in rdns:
            for key, value in rdn:
                if key == wanted:
                    return value
    return windows_name(rdns)


def name_key(rdns):
    """A name compared as the X.509 rules compare names (case and runs of
    spaces do not count), so that two names that some tool could take for the
    same also count as the same here."""
    return tuple(tuple(sorted((key, " ".join(value.casefold().split())) for key, value in rdn)) for rdn in rdns)
