"""Helpers and fixtures shared by the Python tests."""

import time

import pytest

import halvane_tools


def raises(kind, text, call, *args, **kwargs):
    """Calls call(*args, **kwargs) and checks that it raises exactly `kind`
    (not a subclass) with exactly `text`."""
    with pytest.raises(kind) as info:
        call(*args, **kwargs)
    assert type(info.value) is kind and str(info.value) == text


@pytest.fixture(scope="session")
def bundled_catalog():
    return halvane_tools.default_catalog()


def wait_for(condition, deadline_s=30.0):
    """Polls condition until it holds or deadline_s pass; its last answer."""
    end = time.monotonic() + deadline_s
    while not condition() and time.monotonic() < end:
        time.sleep(0.01)
    return condition()
