"""Shared fixtures of the Python tests: no ZIVIROR_ variable leaks into a
test, and directory tests open a fresh temporary directory on the default
backend."""
import os

import pytest

import dozudaz_id


@pytest.fixture(autouse=True)
def _clear_ziviror_environment(monkeypatch):
    for name in list(os.environ):
        if name.startswith("ZIVIROR_"):
            monkeypatch.delenv(name)


@pytest.fixture
def db_path(tmp_path):
    """A database directory that does not exist yet, on the default backend."""
    return str(tmp_path / "db")


@pytest.fixture
def db(db_path):
    client = dozudaz_id.connect(db_path)
    yield client
    client.close()
