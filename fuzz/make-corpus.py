#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets to fuzz/corpus/<target>/.

The seeds are small, hand-picked inputs: well-formed shares and the edge cases of the share
text rules (signs, case, lengths, overflow limits, field counts), combine inputs for each way
of choosing k, and split inputs at the limits of k and n and of the random words. Run it again
after changing a seed; it replaces the three directories.
"""

import shutil
import struct
from pathlib import Path

P = 2**127 - 1
HERE = Path(__file__).resolve().parent
CORPUS = HERE / "corpus"


def share_text(index, values):
    return f"{index}:" + ":".join(f"{v:032x}" for v in values)


def split(secret, coefficients, xs):
    """Share texts of `secret` (32 bytes) at the points xs. coefficients[w] is the list of the
    coefficients of x^1, x^2, ... of the polynomial of word w."""
    words = [int.from_bytes(secret[8 * w : 8 * w + 8], "big") for w in range(4)]
    texts = []
    for x in xs:
        values = []
        for w in range(4):
            y = words[w]
            for power, c in enumerate(coefficients[w], start=1):
                y = (y + c * pow(x, power, P)) % P
            values.append(y)
        texts.append(share_text(x, values))
    return texts


def write(directory, name, data):
    if isinstance(data, str):
        data = data.encode("latin-1")
    (directory / name).write_bytes(data)


def parse_seeds(d):
    zero = "0" * 32
    f32 = "f" * 32
    max_index = str(2**128 - 1)
    write(d, "example", share_text(3, [31, 0, P - 1, 2748]))
    write(d, "short-fields", "1:0:0:0:0")
    write(d, "plus-signs", "+7:+1f:0:0:0")
    write(d, "index-zero", "0:0:0:0:0")
    write(d, "upper-and-mixed-case", "2:ABCDEF:aBcDeF:Ff:0")
    write(d, "all-f-values", f"5:{f32}:{f32}:{f32}:{f32}")
    write(d, "hex-33-digits-too-large", f"1:1{zero}:0:0:0")
    write(d, "hex-33-digits-leading-zero", f"1:0{f32}:0:0:0")
    write(d, "hex-40-digits-leading-zeros", f"1:00000000{f32}:0:0:0")
    write(d, "index-max", f"{max_index}:0:0:0:0")
    write(d, "index-2-pow-128", f"{2**128}:0:0:0:0")
    write(d, "index-39-digits-leading-zeros", f"{'0' * 38}9:0:0:0:0")
    write(d, "index-u64-max", share_text(2**64 - 1, [P - 1, 1, 2, 3]))
    write(d, "empty", "")
    write(d, "trailing-colon", share_text(1, [1, 2, 3, 4]) + ":")
    write(d, "four-fields-trailing-colon", "1:0:0:0:")
    write(d, "four-fields", "1:0:0:0")
    write(d, "only-colons", "::::")
    write(d, "line-end", share_text(1, [1, 2, 3, 4]) + "\n")
    write(d, "leading-space", " 1:0:0:0:0")
    write(d, "hex-prefix", "1:0x1f:0:0:0")
    write(d, "minus-sign", "1:-1:0:0:0")
    write(d, "lone-plus", "+:0:0:0:0")
    write(d, "double-plus", "++1:0:0:0:0")
    write(d, "bad-index-and-value", "x:g:0:0:0")
    write(d, "non-ascii", "1:0:\xc3\xa9:0:0")
    write(d, "nul-byte", "1:0:0\x00:0:0")
    write(d, "underscore", "1:0:1_0:0:0")


def combine_input(k_bytes, texts, separator=b"\n"):
    body = separator.join(t.encode("latin-1") if isinstance(t, str) else t for t in texts)
    return bytes(k_bytes) + separator + body


def combine_seeds(d):
    secret = bytes(range(1, 33))
    three = [[5, 7], [P - 1, 1], [0, 2**126], [123456789, 987654321]]
    shares = split(secret, three, [1, 2, 3, 4, 5])
    write(d, "k3-of-5", combine_input([0, 3], shares))
    write(d, "k3-reordered", combine_input([0, 3], [shares[4], shares[1], shares[3]]))
    write(d, "k2-third-malformed", combine_input([0, 2], shares[:2] + ["garbage"]))
    write(d, "k3-two-texts", combine_input([0, 3], ["bad", "worse"]))
    write(d, "k0-malformed", combine_input([0, 0], ["x", "1:0:0"]))
    write(d, "k0-empty-list", bytes([0, 0, 10]))
    write(d, "k1-single", combine_input([0, 1], [share_text(9, [P + 5, 2**128 - 1, 7, 0])]))
    write(d, "k2-identical", combine_input([0, 2], [shares[0], shares[0]]))
    write(d, "index-zero", combine_input([0, 3], [share_text(0, [1, 2, 3, 4])] + shares[1:3]))
    write(d, "index-p-plus-1", combine_input([0, 3], [shares[0].replace("1:", f"{P + 1}:", 1)] + shares[1:3]))
    write(d, "k-as-count", combine_input([0x40, 0], shares))
    write(d, "k-mod-count", combine_input([0x40, 4], shares))
    write(d, "k-above-count", combine_input([0x80, 1], shares[:2]))
    write(d, "k-near-2-pow-64", combine_input([0xC0, 0], shares))
    write(d, "second-malformed", combine_input([0, 2], [shares[0], "1:0:0:0"]))
    write(d, "k2-of-threshold-3", combine_input([0, 2], shares[:2]))
    write(d, "empty-texts", combine_input([0, 2], ["", ""]))
    write(d, "nul-separator", combine_input([0, 2], shares[:3], separator=b"\x00"))
    lines = split(secret, [[1]] * 4, [1, 2])
    write(d, "k2-line", combine_input([0, 2], lines))


def split_input(secret, n_byte, k_byte, subsets, seed, words):
    return (
        bytes(secret)
        + bytes([n_byte, k_byte, subsets])
        + struct.pack("<Q", seed)
        + b"".join(struct.pack("<Q", w) for w in words)
    )


def split_seeds(d):
    counting = bytes(range(32))
    ones = bytes([0xFF] * 32)
    # n = 2 + n_byte % 63, k = 2 + k_byte % (n - 1)
    write(d, "k2-n2-zero-secret", split_input(bytes(32), 0, 0, 1, 1, [0] * 8))
    write(d, "k3-n5-all-ff", split_input(ones, 3, 1, 3, 7, [2**64 - 1, 2**63 - 1] * 16))
    write(d, "k64-n64", split_input(counting, 62, 62, 2, 99, []))
    write(d, "k2-n64", split_input(counting, 62, 0, 3, 5, [1, 0] * 4))
    # lo = 2^64 − 1 and hi = 2^64 − 1 (top bit cleared) form P, which becomes 0.
    write(d, "coefficient-p", split_input(ones, 8, 3, 2, 3, [2**64 - 1] * 64))
    write(d, "coefficients-zero", split_input(counting, 10, 9, 1, 0, [0] * 80))
    write(d, "k10-n20", split_input(counting[::-1], 18, 8, 3, 42, list(range(1, 40))))
    write(d, "short-input", b"\x01\x02\x03")


def main():
    for name, make in (
        ("fuzz_parse_share", parse_seeds),
        ("fuzz_combine", combine_seeds),
        ("fuzz_split_combine", split_seeds),
    ):
        directory = CORPUS / name
        shutil.rmtree(directory, ignore_errors=True)
        directory.mkdir(parents=True)
        make(directory)
        print(f"{directory.relative_to(HERE.parent)}: {len(list(directory.iterdir()))} files")


if __name__ == "__main__":
    main()
