"""Threads and lifetimes: GIL release, callbacks on the receive thread, exceptions, releasing
Python objects, deadlock guards, Ctrl-C, and interpreter exit."""
import os
import signal
import sys
import threading
import time
import weakref

import pytest

from conftest import A, B, run_python, wait_until
from oxl_api import OrvexActuator, OrvexActuatorScanner, OXL_over_Sim, probe_identity

Items = OrvexActuator.OXL_Items


def test_waits_release_the_gil_and_callbacks_run_meanwhile(sim, actuator):
    frames = []
    actuator.setFeedbackItems([Items.POSITION_4C])
    actuator.set_feedback_callback(lambda address, items: frames.append(threading.get_ident()))
    actuator.setFeedbackRate(1000)
    ticks = []
    stop = threading.Event()

    def count():
        while not stop.is_set():
            ticks.append(1)
            time.sleep(0.001)

    counter = threading.Thread(target=count)
    counter.start()
    silent = OrvexActuator(sim, 0x55)
    before_ticks, before_frames = len(ticks), len(frames)
    started = time.monotonic()
    assert silent.getItemsBlocking([Items.VBUS], 0.3) == {}
    assert time.monotonic() - started >= 0.3
    stop.set()
    counter.join()
    assert len(ticks) - before_ticks > 20          # another Python thread ran
    assert len(frames) - before_frames > 50        # and so did the receive thread's callbacks
    assert threading.get_ident() not in frames


SILENT = 0x55

WAITS = {
    "send_ping": lambda sim: OrvexActuator(sim, SILENT).send_ping(0.2),
    "connect": lambda sim: OrvexActuator(sim, SILENT).connect(0.2),
    "get_parameters": lambda sim: OrvexActuator(sim, SILENT).get_parameters([0x01], 0.2),
    "clear_config": lambda sim: OrvexActuator(sim, SILENT).clear_config(),
    "restore_factory_parameters":
        lambda sim: OrvexActuator(sim, SILENT).restore_factory_parameters(0.2),
    "scan": lambda sim: OrvexActuatorScanner(sim).scan(0x50, 0x53),
    "discover": lambda sim: OrvexActuatorScanner(sim).discover(0x50, 0x5F),
    "probe_identity": lambda sim: probe_identity(sim, SILENT, 0.2),
    "record": lambda sim: OrvexActuator(sim, SILENT).record([Items.VBUS], 100, 0.2),
    "stream.get": lambda sim: OrvexActuator(sim, SILENT).stream().get(0.2),
    "stream iteration": lambda sim: list(OrvexActuator(sim, SILENT).stream(timeout_s=0.2)),
}


@pytest.mark.parametrize("name", WAITS)
def test_every_waiting_call_lets_other_threads_run(sim, name):
    ticks = []
    started = threading.Event()
    stop = threading.Event()

    def count():
        started.set()
        while not stop.is_set():
            ticks.append(1)
            time.sleep(0.001)

    counter = threading.Thread(target=count)
    counter.start()
    started.wait()
    before = len(ticks)
    WAITS[name](sim)
    during = len(ticks) - before
    stop.set()
    counter.join()
    assert during > 10


def test_callback_exception_goes_to_unraisablehook_and_delivery_goes_on(sim, actuator, monkeypatch):
    reports = []
    monkeypatch.setattr(sys, "unraisablehook", reports.append)
    calls = []

    def failing(address, items):
        calls.append(address)
        raise RuntimeError("boom %d" % len(calls))

    actuator.setFeedbackItems([Items.POSITION_4C])
    actuator.set_feedback_callback(failing)
    actuator.setFeedbackRate(1000)
    assert wait_until(lambda: len(calls) >= 5)
    actuator.setFeedbackRate(0)
    report = reports[0]
    assert report.object is failing and isinstance(report.exc_value, RuntimeError)
    assert report.exc_traceback is not None and report.exc_traceback.tb_frame.f_code.co_name == "failing"
    assert actuator.connect(0.5)  # the receive thread still delivers


def test_released_callables_are_freed(sim, actuator):
    class Callback:
        def __call__(self, address, items):
            pass

    callback = Callback()
    gone = weakref.ref(callback)
    actuator.setFeedbackItems([Items.POSITION_4C])
    actuator.set_feedback_callback(callback)
    actuator.setFeedbackRate(1000)
    sim.setCallback(0x300, callback)
    del callback
    time.sleep(0.02)
    actuator.set_feedback_callback(None)
    sim.removeCallback(0x300)
    assert wait_until(lambda: gone() is None)


def test_registry_changes_from_a_callback_raise_instead_of_deadlocking(sim, actuator):
    outcomes = []

    def callback(address, items):
        if outcomes:
            return
        for call in (sim.disconnect, lambda: OrvexActuator(sim, B), lambda: sim.removeCallback(B)):
            try:
                call()
                outcomes.append("returned")
            except RuntimeError as error:
                outcomes.append(str(error))
        actuator.stop()  # sending is allowed

    actuator.setFeedbackItems([Items.POSITION_4C])
    actuator.set_feedback_callback(callback)
    actuator.setFeedbackRate(100)
    assert wait_until(lambda: len(outcomes) == 3)
    assert all("receive thread" in outcome for outcome in outcomes)


DROP_SCRIPT = r'''
import time, weakref, oxl_api
I = oxl_api.OrvexActuator.OXL_Items
transport = oxl_api.OXL_over_Sim()
transport.bus().add_actuator(0x20)
transport.bus().add_actuator(0x21)
holder = [oxl_api.OrvexActuator(transport, 0x20)]
kept = weakref.ref(transport)
del transport  # the actuator keeps it alive
assert kept() is not None and holder[0].connect(0.5)
bus = kept().bus()  # keeps the transport alive from here on
client = weakref.ref(holder[0])
holder[0].start()
holder[0].setFeedbackItems([I.POSITION_4C])
holder[0].set_feedback_callback(lambda address, items: holder.clear())
holder[0].setFeedbackRate(1000)
while client() is not None:
    time.sleep(0.005)
# Destroyed off the receive thread (its destructor stopped the device), and the registry lock
# that the receive thread held at the time is free again: a new actuator registers and answers.
other = oxl_api.OrvexActuator(kept(), 0x21)
print(other.connect(0.5), bus.inspect(0x20, lambda device: device.enabled))
'''


def test_transport_dropped_first_then_last_reference_dropped_in_a_callback():
    result = run_python(DROP_SCRIPT)  # a deadlock fails by the time-out
    assert (result.returncode, result.stdout) == (0, "True False\n"), result.stderr


@pytest.mark.parametrize("call", [
    lambda sim: OrvexActuatorScanner(sim).scan(0x10, 0x3FFE),
    lambda sim: OrvexActuator(sim, A).restore_factory_parameters(30.0),
    lambda sim: OrvexActuatorScanner(sim).discover(0x10, 0x3FFE, window=64),
    lambda sim: OrvexActuator(sim, A).record([Items.POSITION_4C], 100, 30.0),
    lambda sim: OrvexActuator(sim, A).stream().get(30.0),
])
def test_ctrl_c_ends_a_long_wait_promptly(sim, call):
    sent = []

    def interrupt():
        sent.append(time.monotonic())
        os.kill(os.getpid(), signal.SIGINT)

    timer = threading.Timer(0.3, interrupt)
    timer.start()
    with pytest.raises(KeyboardInterrupt):
        call(sim)
    delay = time.monotonic() - sent[0]
    timer.join()
    assert 0.0 <= delay < 0.25


EXIT_SCRIPT = r'''
import atexit, sys, threading, time
state = {}
def after_module_hook():
    # Runs after the module's exit hook (registered later, so run earlier).
    if "bus" in globals():
        print("enabled=%s connected=%s" % (bus.inspect(0x20, lambda a: a.enabled),
                                           transport.is_connected()))
atexit.register(after_module_hook)
import oxl_api
I = oxl_api.OrvexActuator.OXL_Items
transport = oxl_api.OXL_over_Sim()
bus = transport.bus()
clients = []
for address in (0x20, 0x21):
    bus.add_actuator(address)
    client = oxl_api.OrvexActuator(transport, address)
    client.connect(0.5)
    client.setFeedbackItems([I.POSITION_4C, I.SPEED_45])
    # A closure that refers back to the client: a cycle Python's collector cannot see.
    client.set_feedback_callback(lambda a, items, c=client: c.get_feedback())
    client.set_error_callback(lambda a, errors: None)
    client.setFeedbackRate(10000)
    client.start()
    clients.append(client)
transport.setCallback(0x300, lambda *m: None)
stream = clients[0].stream(timeout_s=60)  # read by a thread that exit does not wait for
threading.Thread(target=lambda: [None for _ in stream], daemon=True).start()
oxl_api.use_python_logging()
if sys.argv[1:] == ["raise"]:
    clients[1].set_feedback_callback(lambda a, items: 1 / 0)
    sys.unraisablehook = lambda report: None
if sys.argv[1:] == ["drop"]:
    del transport, client, bus, stream
time.sleep(0.05)
print("running")
'''


@pytest.mark.parametrize("variant", ["plain", "raise", "drop"])
def test_interpreter_exit_while_streaming_is_clean(variant):
    for _ in range(12):
        result = run_python(EXIT_SCRIPT, [variant])
        code = result.returncode
        assert code == 0, result.stderr
        expected = ["running"] + (["enabled=False connected=False"] if variant != "drop" else [])
        assert result.stdout.splitlines() == expected
        assert "Fatal" not in result.stderr and "terminate" not in result.stderr
