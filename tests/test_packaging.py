"""The installed distribution as packaging tools see it."""

import importlib.metadata

import mirvane._version


def test_version_is_the_distributions():
    assert mirvane._version.__version__ == importlib.metadata.version("mirvane")
