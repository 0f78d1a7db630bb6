import pytest

import kwsieve


@pytest.fixture(scope="session")
def panic_type():
    """The class internal faults are raised as; it derives from BaseException."""
    return kwsieve.PanicException
