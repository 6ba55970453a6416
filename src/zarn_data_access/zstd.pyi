import zarn_data_access.exception


class ZstdError(zarn_data_access.exception.ZarnException):
    """A Zstandard frame could not be decompressed."""

MAX_DECOMPRESSED_SIZE: int = 1073741824

def decompress(data: bytes, max_size: int = 1073741824) -> bytes:
    """
    Decompresses the Zstandard frame in `data`. Content larger than `max_size` bytes, declared or actual, raises ZstdError, as does any corrupt frame.
    """
