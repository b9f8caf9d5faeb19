"""Where the tests find the program, the bundled records and the package."""
import os
import shutil

import pytest

DATA = os.environ.get("WAVESPEC_DATA", os.path.join(os.path.dirname(__file__), "..", "..", "data"))
PROGRAM = os.environ.get("WAVESPEC_BIN", "wavespec")
RECORDS = ["sf1295.txt", "wtmc_v2a.txt", "nc_mli.txt", "np_2825.txt", "wtmc_v1a.txt"]


@pytest.fixture
def records(tmp_path):
    """A folder holding copies of the bundled records."""
    for name in RECORDS:
        shutil.copy(os.path.join(DATA, name), tmp_path / name)
    return tmp_path
