import pathlib

import pytest

SHARED = pathlib.Path(__file__).resolve().parent.parent.parent / "shared" / "data"


def shared_file(*parts: str) -> pathlib.Path:
    """Path of a file in ../shared/data; skips the calling test when it is absent."""
    path = SHARED.joinpath(*parts)
    if not path.exists():
        pytest.skip(f"shared test data not available: {path}")
    return path
