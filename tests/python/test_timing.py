"""Timed samples, arrival and transport counters, dispatch receive time and the log hook."""
import logging
import time

import numpy
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


def test_stream_queue_drops_oldest_and_shares_frames_with_the_callback(actuator):
    seen = []
    actuator.set_feedback_sample_callback(lambda address, sample: seen.append(sample.sequence))
    with actuator.stream(capacity=8, timeout_s=0.2) as stream:
        actuator.setFeedbackItems([Items.POSITION_4C])
        actuator.setFeedbackRate(1000)
        assert wait_until(lambda: len(seen) >= 40)  # nobody reads the stream meanwhile
        actuator.setFeedbackRate(0)
        time.sleep(0.05)
        queued = [sample.sequence for sample in stream]  # ends after 0.2 s without a frame
        assert queued == seen[-8:] and stream.dropped == len(seen) - 8
        assert stream.get(0.01) is None
    assert stream.closed
    actuator.setFeedbackRate(1000)
    time.sleep(0.05)
    assert len(stream) == 0 and len(seen) > 40 + 20


def test_record_returns_one_row_per_frame(sim, actuator):
    actuator.change_speed_setpoint(2.0)
    actuator.start()
    started = time.monotonic()
    rows = actuator.record([Items.POSITION_4C, Items.SPEED_45], 500, 0.2)
    assert rows.dtype.names == ("time", "seq", "POSITION_4C", "SPEED_45")
    assert 80 <= len(rows) <= 101 and (numpy.diff(rows["seq"]) == 1).all()
    assert started <= rows["time"][0] and (numpy.diff(rows["time"]) >= 0).all()
    assert rows["time"][-1] <= time.monotonic() and (numpy.diff(rows["POSITION_4C"]) >= 0).all()
    assert rows["SPEED_45"][-1] == pytest.approx(2.0, abs=0.1)
    assert actuator.get_feedback_counters().period_ns == 0  # streaming left off
