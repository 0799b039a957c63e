from collections.abc import Sequence
from typing import SupportsIndex

__all__ = ["generate_key", "split_secret", "combine_shares"]

def generate_key() -> bytes:
    """Генерирует случайный 256-битный ключ"""

def split_secret(secret: bytes, k: SupportsIndex, n: SupportsIndex) -> list[str]:
    """Разбивает 32-байтный секрет на 3 части Шамира (порог 2).
    Возвращает список строк "index:a:b:c:d"
    """

def combine_shares(shares: Sequence[str], k: SupportsIndex) -> bytes:
    """Восстанавливает секрет из 2+ частей. Возвращает bytes (32 байта)."""
