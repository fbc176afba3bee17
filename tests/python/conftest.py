import subprocess
import sys
import time

import pytest

import oxl_api

A, B = 0x20, 0x21


def wait_until(predicate, timeout=2.0):
    """Polls `predicate` until it is true or `timeout` seconds have passed; returns its last value."""
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value or time.monotonic() > deadline:
            return value
        time.sleep(0.005)


@pytest.fixture
def sim():
    """A connected simulated bus with actuators at 0x20 and 0x21."""
    with oxl_api.OXL_over_Sim() as transport:
        assert transport.bus().add_actuator(A, 1, 0x0842)
        assert transport.bus().add_actuator(B, 2, 0x1003)
        yield transport


@pytest.fixture
def actuator(sim):
    with oxl_api.OrvexActuator(sim, A) as client:
        assert client.connect(0.5)
        yield client


def run_python(code, args=(), timeout=20):
    """Runs `code` in a fresh interpreter (this one's, with the same environment); a hang fails
    by the time-out."""
    return subprocess.run([sys.executable, "-c", code, *args], capture_output=True, text=True,
                          timeout=timeout)
