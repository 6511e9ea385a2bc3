import struct

import pytest


def bits(x: float) -> int:
    return struct.unpack("<Q", struct.pack("<d", x))[0]


@pytest.fixture
def panic_type():
    """The module's internal-failure exception class, found by provoking one."""
    import quorral

    try:
        quorral.VecList([]).collapse(3)
    except BaseException as e:  # noqa: BLE001 - the class is what we want
        if type(e).__name__ == "PanicException":
            return type(e)
    pytest.skip("no internal failure could be provoked")
