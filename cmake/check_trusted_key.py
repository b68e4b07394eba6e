"""Refuses a trusted-release key option that is not a list of RSA public keys, at configure time.

A program built with such a text would trust no manifest at all, and nobody would notice before the first
release failed on users' machines. The option holds one key text or several separated by commas (white
space around them ignored); each is Base64 of an XML RSA key value, as vesk-release keygen writes it for the
updater. Exit code 0 and no output when every key is usable; 1 and one line naming the first problem
otherwise.
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


def list_problem(option):
    keys = ["".join(part.split()) for part in option.split(",")]
    keys = [key for key in keys if key]
    if not keys:
        return "it names no key"
    for number, key in enumerate(keys, 1):
        reason = problem(key)
        if reason:
            return reason if len(keys) == 1 else "key %d of %d: %s" % (number, len(keys), reason)
    return None


if __name__ == "__main__":
    reason = list_problem(sys.argv[1])
    if reason:
        print(reason)
        sys.exit(1)
