import numpy as np
import pytest

import gyrant_module


@pytest.fixture(scope="session")
def flavour():
    return gyrant_module.flavour
