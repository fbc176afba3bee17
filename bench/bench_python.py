"""Python benchmarks of the oxl_api package.

    bench_python.py loop - TICKS
    bench_python.py callback|record|python-can PORT FRAMES [RECORD_SECONDS]

  loop        closed loop written in Python on the simulated bus: 12 actuators streaming at
              1 kHz, each read (FeedbackStream.drain) and commanded once per 1 ms tick for TICKS
              ticks; prints one "loop ..." line with what was received, lost and sent.
  callback    consumer of bench_python_feedback: actuator 0x20 on the adapter at PORT, FRAMES
              streamed frames taken by a Python feedback callback.
  record      the same frames taken by OrvexActuator.record for RECORD_SECONDS.
  python-can  python-can's serial interface on the pseudo-terminal PORT, FRAMES messages taken
              with Bus.recv; prints "ready" once the port is open.

The consumers print one "result ..." line: frames received, how many carried the expected
sequence number (POSITION_4C, or the first 4 data bytes, counting 0, 1, 2, ...), the seconds
from the first frame to the last, and the process CPU seconds spent meanwhile.
"""
import sys
import time

ADDRESS = 0x20


def loop_phase(ticks):
    import oxl_api
    items = oxl_api.OrvexActuator.OXL_Items
    transport = oxl_api.OXL_over_Sim()
    addresses = [0x20 + i for i in range(12)]
    actuators, streams = [], []
    for address in addresses:
        transport.bus().add_actuator(address)
        actuator = oxl_api.OrvexActuator(transport, address)
        assert actuator.connect(1.0)
        actuator.setFeedbackItems([items.POSITION_4C, items.SPEED_45])
        streams.append(actuator.stream(capacity=256))
        actuators.append(actuator)
    for actuator in actuators:
        actuator.setFeedbackRate(1000)
        actuator.start()
    written_before = transport.counters().frames_written
    received_before = transport.bus().stats().messages_received
    last_seq = [None] * len(actuators)
    frames = gaps = late = commands = 0
    cpu = time.process_time()
    start = time.monotonic()
    for tick in range(ticks):
        due = start + tick * 0.001
        pause = due - time.monotonic()
        if pause > 0:
            time.sleep(pause)
        elif pause < -0.001:
            late += 1
        for i, actuator in enumerate(actuators):
            samples = streams[i].drain()
            for sample in samples:
                if last_seq[i] is not None and sample.sequence != last_seq[i] + 1:
                    gaps += 1
                last_seq[i] = sample.sequence
            frames += len(samples)
            position = samples[-1][items.POSITION_4C] if samples else 0.0
            actuator.change_speed_setpoint(1.0 - 0.1 * position)
            commands += 1
    elapsed = time.monotonic() - start
    cpu = time.process_time() - cpu
    for actuator in actuators:
        actuator.setFeedbackRate(0)
    time.sleep(0.05)
    for i, stream in enumerate(streams):
        for sample in stream.drain():
            if last_seq[i] is not None and sample.sequence != last_seq[i] + 1:
                gaps += 1
            last_seq[i] = sample.sequence
            frames += 1
    dropped = sum(stream.dropped for stream in streams)
    missing = sum(a.get_feedback_counters().frames_missing for a in actuators)
    sent = transport.counters().frames_written - written_before
    delivered = transport.bus().stats().messages_received - received_before
    print("loop actuators=%d ticks=%d seconds=%.3f late_ticks=%d frames=%d sequence_gaps=%d "
          "dropped=%d estimated_missing=%d commands=%d frames_written=%d bus_received=%d cpu=%.3f"
          % (len(actuators), ticks, elapsed, late, frames, gaps, dropped, missing, commands,
             sent, delivered, cpu), flush=True)
    transport.disconnect()


def print_result(frames, in_order, first, last, cpu):
    print("result frames=%d in_order=%d seconds=%.6f cpu=%.6f"
          % (frames, in_order, last - first if frames > 1 else 0.0, cpu), flush=True)


def wait_for(done, progress, idle_s=3.0):
    """Waits until done() holds or progress() has not changed for idle_s seconds."""
    seen, since = progress(), time.monotonic()
    while not done():
        time.sleep(0.01)
        now = progress()
        if now != seen:
            seen, since = now, time.monotonic()
        elif time.monotonic() - since > idle_s:
            return


def callback_phase(port, count):
    import oxl_api
    items = oxl_api.OrvexActuator.OXL_Items
    position = items.POSITION_4C
    transport = oxl_api.OXL_over_USB(port)
    actuator = oxl_api.OrvexActuator(transport, ADDRESS)
    state = {"frames": 0, "in_order": 0, "first": 0.0, "last": 0.0}

    def on_frame(address, values):
        if values.get(position) == state["in_order"]:
            state["in_order"] += 1
        state["last"] = time.monotonic()
        if state["frames"] == 0:
            state["first"] = state["last"]
        state["frames"] += 1

    actuator.set_feedback_callback(on_frame)
    cpu = time.process_time()
    actuator.setFeedbackItems([position, items.SPEED_45])
    actuator.setFeedbackRate(10000)  # the feeder starts once it sees this command
    wait_for(lambda: state["frames"] >= count, lambda: state["frames"])
    cpu = time.process_time() - cpu
    actuator.set_feedback_callback(None)
    print_result(state["frames"], state["in_order"], state["first"], state["last"], cpu)
    transport.disconnect()


def record_phase(port, seconds):
    import numpy
    import oxl_api
    items = oxl_api.OrvexActuator.OXL_Items
    transport = oxl_api.OXL_over_USB(port)
    actuator = oxl_api.OrvexActuator(transport, ADDRESS)
    cpu = time.process_time()
    # record sends the feedback-rate command that starts the feeder.
    rows = actuator.record([items.POSITION_4C, items.SPEED_45], 10000, seconds)
    cpu = time.process_time() - cpu
    matches = rows["POSITION_4C"] == numpy.arange(len(rows))
    in_order = len(rows) if matches.all() else int(numpy.argmin(matches))
    times = rows["time"]
    print_result(len(rows), in_order, times[0] if len(rows) else 0.0,
                 times[-1] if len(rows) else 0.0, cpu)
    transport.disconnect()


def python_can_phase(port, count):
    import can
    bus = can.interface.Bus(interface="serial", channel=port)
    print("ready", flush=True)
    frames = in_order = 0
    first = last = 0.0
    cpu = time.process_time()
    while frames < count:
        message = bus.recv(3.0)
        if message is None:
            break
        if int.from_bytes(message.data[0:4], "little") == in_order:
            in_order += 1
        last = time.monotonic()
        if frames == 0:
            first = last
        frames += 1
    cpu = time.process_time() - cpu
    print_result(frames, in_order, first, last, cpu)
    bus.shutdown()


def main():
    phase, port, count = sys.argv[1], sys.argv[2], int(sys.argv[3])
    if phase == "loop":
        loop_phase(count)
    elif phase == "callback":
        callback_phase(port, count)
    elif phase == "record":
        record_phase(port, float(sys.argv[4]))
    elif phase == "python-can":
        python_can_phase(port, count)
    else:
        sys.exit("unknown phase " + phase)


if __name__ == "__main__":
    main()
