"""Timed samples, arrival and transport counters, dispatch receive time and the log hook."""
import logging
import time

import pytest

from conftest import A, B, wait_until
from oxl_api import (LogSeverity, OrvexActuator, monotonic_time_ns, set_log_handler,
                     use_python_logging)

Items = OrvexActuator.OXL_Items


def test_samples_and_counters(sim, actuator):
    samples = []
    actuator.setFeedbackItems([Items.POSITION_4C, Items.SPEED_45])
    actuator.set_feedback_sample_callback(lambda address, sample: samples.append((address, sample)))
    actuator.setFeedbackRate(1000)
    assert wait_until(lambda: len(samples) >= 50)
    counters = actuator.get_feedback_counters()
    actuator.set_feedback_sample_callback(None)
    actuator.setFeedbackRate(0)

    address, first = samples[0]
    sequences = [sample.sequence for _, sample in samples[:50]]
    assert address == A and sequences == list(range(first.sequence, first.sequence + 50))
    last = samples[49][1]
    assert 0 < first.receive_time_ns <= last.receive_time_ns <= monotonic_time_ns()
    assert abs(time.monotonic_ns() - monotonic_time_ns()) < 10**8  # the same clock
    assert [item for item, _ in last] == [Items.POSITION_4C, Items.SPEED_45] and len(last) == 2
    assert last[0x4C] == last.find(Items.POSITION_4C) and last.find(Items.VBUS) is None
    assert last.value_or(Items.VBUS, -1.0) == -1.0
    with pytest.raises(KeyError):
        last[Items.VBUS]
    assert actuator.get_feedback_sample().sequence >= last.sequence
    assert counters.frames_received >= 50 and counters.period_ns == 1_000_000

    transport = sim.counters()
    assert transport.frames_dispatched >= 50 and transport.frames_written > 0
    assert transport.sim_frames_sent >= 50


def test_dispatch_receive_time_is_known_inside_a_message_callback(sim):
    times = []
    sim.setCallback(B, lambda *message: times.append(sim.dispatch_receive_time_ns()))
    assert not sim.setCallbackIfFree(B, lambda *message: None)
    sim.send_OXL(B, b"\x40")
    assert wait_until(lambda: times)
    assert 0 < times[0] <= monotonic_time_ns() and sim.dispatch_receive_time_ns() == 0


def test_log_handler_receives_the_library_lines(sim, caplog):
    lines = []
    set_log_handler(lambda severity, text: lines.append((severity, text)))
    try:
        assert not sim.send_OXL(0x3FFF, b"\x40")
        assert OrvexActuator(sim, 0x55).getItemsBlocking([Items.VBUS], 0.05) == {}
    finally:
        set_log_handler(None)
    assert (LogSeverity.ERROR, "Invalid OXL ID: 16383") in lines
    assert (LogSeverity.WARNING, "Timeout waiting for feedback items") in lines

    use_python_logging()
    try:
        sim.send_OXL(-1, b"\x40")
    finally:
        set_log_handler(None)
    assert ("oxl_api", logging.ERROR, "Invalid OXL ID: -1") in caplog.record_tuples
