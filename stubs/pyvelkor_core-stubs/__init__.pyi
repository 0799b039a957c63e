from collections.abc import Sequence
from typing import SupportsIndex

__all__ = ["generate_key", "split_secret", "combine_shares"]

def generate_key() -> bytes:
    """Return a new random 256-bit key: 32 bytes from the operating system's generator.

    The module's own copy of the key is overwritten with zeros before the call returns.

    Raises:
        TypeError: an argument was passed.
        PanicException: the operating system's generator failed ("Error: OS Error: <code>").
            It derives from BaseException, not Exception.
    """

def split_secret(secret: bytes, k: SupportsIndex, n: SupportsIndex) -> list[str]:
    """Split a 32-byte secret into n shares, any k of which rebuild it.

    Args:
        secret: the secret, a bytes object of exactly 32 bytes.
        k: the threshold, from 2 to n.
        n: the number of shares, from k to 2**64 - 1.

    Returns:
        A new list of n share strings "index:a:b:c:d", the share at index 1 first. Every call
        draws new random polynomials, so two calls give different shares of the same secret.

    Raises:
        TypeError: secret is not bytes ("argument 'secret': ..."), or k or n is not an integer
            ("argument 'k': ...", "argument 'n': ...").
        OverflowError: k or n is negative or 2**64 or more.
        ValueError: "Secret must be exactly 32 bytes"; "Shamir split failed: k must be >= 2";
            "Shamir split failed: n must be >= k".
        MemoryError: the coefficient table or the shares cannot be allocated.
        PanicException: the operating system's generator failed ("Error: OS Error: <code>"), or
            k or n is too large for any allocation ("capacity overflow").
    """

def combine_shares(shares: Sequence[str], k: SupportsIndex) -> bytes:
    """Rebuild a 32-byte secret from the first k strings of shares.

    Trust model: the shares are not authenticated. Too few shares for the split's threshold, a
    wrong k, shares of different splits, repeated indices or tampered values give a wrong
    secret, not an error. Verify the result by other means if the shares may be wrong.

    Args:
        shares: a sequence of share strings "index:a:b:c:d" (a list, a tuple or any other
            sequence); every item must be a str, also those after the first k. A str alone is
            rejected at run time although type checkers accept it: a str is a Sequence[str], so
            combine_shares("1:...", 1) type-checks and raises TypeError.
        k: how many shares to use, from 0 to 2**64 - 1; the threshold of the split.

    Returns:
        The secret, a new bytes object of 32 bytes. The module's copy is overwritten with zeros
        before the call returns.

    Raises:
        TypeError: shares is a str ("argument 'shares': Can't extract `str` to `Vec`"), is not a
            sequence, or holds an item that is not a str; k is not an integer ("argument 'k': ...").
        OverflowError: k is negative or 2**64 or more.
        UnicodeEncodeError: a share holds a lone surrogate.
        ValueError: fewer than k shares ("Shamir combine failed: Need at least <k> shares"), or a
            malformed one among the first k ("Shamir combine failed: Invalid share format (need 5
            fields): <the share>", "Shamir combine failed: cannot parse integer from empty
            string", "Shamir combine failed: invalid digit found in string", "Shamir combine
            failed: number too large to fit in target type").
        MemoryError: the converted shares cannot be allocated.
        PanicException: an internal failure, such as the interpreter failing to create the
            result ("Python API call failed"). It derives from BaseException, not Exception.
    """
