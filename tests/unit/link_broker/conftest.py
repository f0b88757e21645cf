import pytest

from .fakes import Recorder


@pytest.fixture
def rec():
    return Recorder()
