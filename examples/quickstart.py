"""Generates a 256-bit key, splits it into five shares of which any three rebuild it, and
rebuilds it from three of them."""

import secrets

import pyvelkor_core

key = pyvelkor_core.generate_key()
print(f"key:      {key.hex()}")

shares = pyvelkor_core.split_secret(key, 3, 5)
for share in shares:
    print(f"share:    {share}")

chosen = secrets.SystemRandom().sample(shares, 3)
rebuilt = pyvelkor_core.combine_shares(chosen, 3)
print(f"rebuilt from shares {', '.join(share.split(':')[0] for share in chosen)}: {rebuilt.hex()}")
assert rebuilt == key, "the rebuilt key differs from the original"
print("ok: any 3 of the 5 shares rebuild the key")
