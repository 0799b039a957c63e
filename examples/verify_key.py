import hashlib
import hmac

import pyvelkor_core


def key_check(key: bytes) -> bytes:
    # A MAC of a fixed text under the key: it identifies the key without revealing it.
    return hmac.new(key, b"pyvelkor_core key check", hashlib.sha256).digest()


# Splitting: keep k and the key's check value with the shares.
key = pyvelkor_core.generate_key()
stored = {"k": 3, "check": key_check(key).hex(), "shares": pyvelkor_core.split_secret(key, 3, 5)}


def rebuild(stored: dict, shares: list[str]) -> bytes:
    candidate = pyvelkor_core.combine_shares(shares, stored["k"])
    if not hmac.compare_digest(key_check(candidate), bytes.fromhex(stored["check"])):
        raise ValueError("the rebuilt key is wrong: shares of another split, a repeated or altered share")
    return candidate


shares = stored["shares"]
assert rebuild(stored, [shares[4], shares[0], shares[2]]) == key
try:
    rebuild(stored, [shares[0], shares[0], shares[1]])  # a share twice: 32 wrong bytes, caught
except ValueError as error:
    print("refused:", error)
else:
    raise AssertionError("a wrong key passed the check")
