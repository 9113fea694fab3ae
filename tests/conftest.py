import pytest

import veltrac._native as native


@pytest.fixture(scope="session")
def nat():
    return native
