"""Refuses a trusted-release key text that is not an RSA public key, at configure time.

A program built with such a text would trust no manifest at all, and nobody would notice before the first
release failed on users' machines. The text is Base64 of an XML RSA key value, as vesk-release keygen
writes it for the updater. Exit code 0 and no output when the text is usable; 1 and one line otherwise.
"""
import base64
import binascii
import re
import sys


def problem(text):
    try:
        xml = base64.b64decode(text, validate=True).decode("utf-8")
    except (binascii.Error, UnicodeDecodeError):
        return "it is not Base64 of a text"
    numbers = {}
    for tag in ("Modulus", "Exponent"):
        found = re.search(r"<%s>([^<]*)</%s>" % (tag, tag), xml)
        if not found:
            return "it has no <%s> (is it the key text keygen writes for the updater?)" % tag
        try:
            numbers[tag] = base64.b64decode(found.group(1).strip(), validate=True)
        except binascii.Error:
            return "its <%s> is not Base64" % tag
    modulus_bits = int.from_bytes(numbers["Modulus"], "big").bit_length()
    if modulus_bits < 2048:
        return "its modulus has %d bits; a release key needs at least 2048" % modulus_bits
    if not numbers["Exponent"] or int.from_bytes(numbers["Exponent"], "big") < 3:
        return "its exponent is not usable"
    return None


if __name__ == "__main__":
    reason = problem(sys.argv[1])
    if reason:
        print(reason)
        sys.exit(1)
