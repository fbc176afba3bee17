"""Each class used from Python on the simulated bus, and bad input."""
import math

import pytest

from conftest import A, B, wait_until
from oxl_api import (OXL, OXL_over_Sim, OXL_over_USB, OrvexActuator, OrvexActuatorScanner,
                     OrvexActuatorVirtual, PortInfo, SerialPort, SimMessage, SimulatedBus,
                     append_float, is_serious_error)

Items = OrvexActuator.OXL_Items
Params = OrvexActuator.OXL_Parameters


def test_mirrored_signatures_and_constants():
    assert "port: str = ''" in OXL_over_USB.__init__.__doc__
    assert "connect_now: bool = True" in OXL_over_USB.__init__.__doc__
    assert "o4: float = nan" in OrvexActuator.change_torque_setpoint.__doc__
    assert OrvexActuator.MODELS_NAMES[5] == "CAN_ADAPTER"
    assert int(OrvexActuator.Mode.IMPEDANCE) == 8 and OrvexActuator.Rates.RATE_10000HZ == 10000
    assert len(OrvexActuator.OXL_Items.__members__) == 48
    assert len(OrvexActuatorVirtual.OXL_Parameters.__members__) == 31
    assert issubclass(OXL_over_Sim, OXL) and issubclass(OrvexActuatorScanner, OrvexActuator)
    assert OrvexActuator.__module__ == "oxl_api"


def test_actuator_commands_feedback_and_parameters(sim, actuator):
    assert (actuator.model, actuator.firmware) == ("ARVEN", "1.1.2")
    assert repr(actuator) == "<OrvexActuator 0x20 model='ARVEN' firmware='1.1.2' connected>"
    frames = []
    actuator.setFeedbackItems([Items.POSITION_4C, 0x45])  # enumerators and plain ints
    actuator.set_feedback_callback(lambda address, items: frames.append((address, items)))
    actuator.setFeedbackRate(OrvexActuator.Rates.RATE_500HZ)
    actuator.start()
    actuator.change_position_setpoint(1.0)
    assert wait_until(lambda: len(frames) >= 20)
    address, items = frames[-1]
    assert address == A and set(items) == {Items.POSITION_4C, Items.SPEED_45}
    assert 0x4C in items  # keys compare and hash as their codes
    actuator.setFeedbackRate(0)
    assert set(actuator.get_feedback()) == {Items.POSITION_4C, Items.SPEED_45}

    reply = actuator.getItemsBlocking([Items.VBUS, Items.POSITION_4C], 0.5)
    assert reply[Items.VBUS] == 48.0
    position = sim.bus().inspect(A, lambda device: device.position)
    assert 0.0 < position <= 1.0 and reply[Items.POSITION_4C] <= position

    actuator.set_parameters({Params.LIMIT_TORQUE: 2.5, 0x02: 30.0})
    values = actuator.get_parameters([Params.LIMIT_TORQUE, Params.K_STIFF], 0.5)
    assert values[Params.LIMIT_TORQUE] == 2.5 and values[Params.K_STIFF] == 30.0
    assert len(actuator.get_parameters_all()) == 31
    actuator.changeAddress(0x30)
    assert actuator.address == 0x30 and sim.bus().addresses() == [B, 0x30]


def test_error_callback_and_default_stop(sim, actuator):
    errors = []
    actuator.set_error_callback(lambda address, decoded: errors.append((address, decoded)))
    assert sim.bus().raise_errors(A, (1 << 17) | (1 << 2))
    assert wait_until(lambda: errors)
    address, decoded = errors[0]
    assert address == A and list(decoded) == [2, 17] and all(isinstance(t, str) for t in decoded.values())
    assert is_serious_error(17) and not is_serious_error(2)

    actuator.set_error_callback(None)  # off: nothing delivered, nothing stopped
    actuator.start()
    sim.bus().raise_errors(A, 1 << 16)
    assert actuator.getItemsBlocking([Items.ERRORS], 0.5)
    assert sim.bus().inspect(A, lambda device: device.enabled)


def test_raw_messages_scanner_and_context_managers(sim):
    got = []
    sim.setCallback(B, lambda *message: got.append(message))
    assert sim.send_OXL(B, b"\x40")  # ping
    assert wait_until(lambda: got)
    ident, payload, reply_flag = got[0]
    assert ident == B and isinstance(payload, bytes) and payload[0] == 0x80 and reply_flag == 1
    sim.removeCallback(B)
    assert not sim.send_OXL(0x3FFF, b"\x40") and not sim.send_OXL(B, b"")

    scanner = OrvexActuatorScanner(sim)
    assert scanner.connected and scanner.scan(0x1E, 0x22) == [A, B]

    with OrvexActuator(sim, B) as client:
        client.start()
        assert sim.bus().inspect(B, lambda device: device.enabled)
    assert not sim.bus().inspect(B, lambda device: device.enabled)  # stopped on leaving
    with sim:
        pass
    assert not sim.is_connected()


def test_simulated_bus_alone_with_python_clock_and_sink():
    now = [0]
    batches = []
    bus = SimulatedBus(sink=batches.append, clock=lambda: now[0])
    assert bus.add_actuator(A) and not bus.add_actuator(A) and not bus.add_actuator(0x05)
    bus.deliver(A, [0x40])  # ping
    assert batches[0][0].id == A and batches[0][0].payload[0] == 0x80
    bus.deliver(A, b"\x07\x4c")  # stream the item POSITION_4C
    bus.deliver(A, bytes([0x06, 0xE8, 0x03, 0, 0]))  # every 1000 ticks (10 Hz)
    sent = len(batches)
    now[0] = 1000 * SimulatedBus.kTick  # 0.1 s later: one frame falls due
    bus.poll()
    assert len(batches) == sent + 1 and batches[-1][0].reply_flag == 0
    assert bus.device_info(A).stream_period_ticks == 1000 and bus.stats().frames_sent >= 1
    assert bus.ticks() == 1000 and bus.clock_now() == now[0]
    assert bus.device_info(0x55) is None
    assert repr(SimMessage(1, b"\x01", 0)) == "SimMessage(id=0x1, payload=b'\\x01', reply_flag=0)"


def test_with_actuator_works_on_a_copy_written_back(sim):
    kept = []

    def push(device):
        device.change_load(0.25)
        kept.append(device)

    assert sim.bus().with_actuator(A, push)
    assert sim.bus().inspect(A, lambda device: device.load) == 0.25
    kept[0].load = 9.0  # a kept reference is a detached copy
    assert sim.bus().inspect(A, lambda device: device.load) == 0.25
    assert not sim.bus().with_actuator(0x55, push)
    with pytest.raises(RuntimeError, match="bus is locked"):
        sim.bus().inspect(A, lambda device: sim.bus().addresses())
    with pytest.raises(ZeroDivisionError):
        sim.bus().with_actuator(A, lambda device: 1 / 0)


def test_virtual_actuator():
    virtual = OrvexActuatorVirtual(A)
    frames = []
    virtual.set_feedback_items([OrvexActuatorVirtual.OXL_Items.POSITION_4C])
    virtual.set_feedback_rate(1000)
    virtual.feedback_callback = lambda address, items: frames.append(items)
    assert virtual.feedback_callback is not None
    virtual.start()
    virtual.change_speed_setpoint(2.0)
    virtual.step(steps=100)
    assert len(frames) == 1 and virtual.position > 0
    assert virtual.step_count == 100 and math.isclose(virtual.get_sim_time(), 0.01, abs_tol=1e-6)

    virtual.set_feedback_callback(lambda address, items: 1 / 0)
    with pytest.raises(ZeroDivisionError):
        virtual.step(steps=10)  # passes out of step, after the sub-steps
    assert virtual.step_count == 110
    virtual.feedback_callback = None

    virtual.set_parameters({OrvexActuatorVirtual.OXL_Parameters.MODE: 8})
    assert virtual.mode == OrvexActuatorVirtual.Mode.IMPEDANCE
    params = virtual.get_parameters([0x04, 0x99])
    assert params[0x04] == 0.0 and math.isnan(params[0x99])
    with pytest.raises(ValueError, match="Invalid virtual actuator address"):
        virtual.change_address(5)
    with pytest.raises(ValueError):
        OrvexActuatorVirtual(0x3FFF)
    assert set(virtual.get_all_parameters()) == {"control", "limits", "impedance", "profile"}


def test_serial_port_and_usb_transport_without_adapter():
    assert all(isinstance(port, PortInfo) for port in SerialPort.list_ports())
    port = SerialPort()
    assert not port.open("/dev/oxl-no-such-port", 115200) and not port.is_open()
    assert port.read(4) == b"" and port.write(b"\x01") == 0
    usb = OXL_over_USB("/dev/oxl-no-such-port")
    assert not usb.is_connected() and usb.port_name == "/dev/oxl-no-such-port"
    assert not usb.serial_port.is_open() and not usb.send_OXL(A, b"\x0a")
    buffer = bytearray(b"\x07")
    append_float(buffer, 1.0)
    assert bytes(buffer) == b"\x07\x00\x00\x80\x3f"


@pytest.mark.parametrize("call, error", [
    (lambda s, a: OrvexActuator(s, 20000), ValueError),             # id out of range
    (lambda s, a: OrvexActuator(s, -1), ValueError),
    (lambda s, a: OrvexActuator("not a transport", A), TypeError),
    (lambda s, a: a.change_mode(300), ValueError),                  # not a Mode byte
    (lambda s, a: a.change_mode("TORQUE"), TypeError),
    (lambda s, a: OrvexActuator.Mode.WARP, AttributeError),         # unknown enumerator
    (lambda s, a: a.setFeedbackItems([Items.VBUS, 4.5]), TypeError),
    (lambda s, a: a.set_parameters({999: 1.0}), ValueError),
    (lambda s, a: a.set_parameters({Params.K_DAMP: "x"}), TypeError),
    (lambda s, a: s.send_OXL(A, [0x0A, 300]), ValueError),          # payload byte
    (lambda s, a: s.send_OXL(A, "text"), TypeError),
    (lambda s, a: s.send_OXL(2 ** 40, b"\x0a"), TypeError),
    (lambda s, a: s.setCallback(A, None), TypeError),
    (lambda s, a: a.set_feedback_callback(42), TypeError),
    (lambda s, a: s.bus().add_actuator(0x30, 70000), TypeError),   # model code is 16 bits
    (lambda s, a: OXL_over_Sim(clock=5), TypeError),
    (lambda s, a: a.record([], 100, 0.1), ValueError),
    (lambda s, a: a.record([Items.VBUS, 0x4E], 100, 0.1), ValueError),  # 0x4E is no item
    (lambda s, a: a.record([Items.VBUS, Items.VBUS], 100, 0.1), ValueError),
    (lambda s, a: a.record([Items.VBUS], 0, 0.1), ValueError),
    (lambda s, a: a.stream(capacity=0), ValueError),
])
def test_bad_input_raises(sim, actuator, call, error):
    with pytest.raises(error):
        call(sim, actuator)
