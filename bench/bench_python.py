"""Python benchmarks of the oxl_api package.

    bench_python.py loop - TICKS

  loop      closed loop written in Python on the simulated bus: 12 actuators streaming at
            1 kHz, each read (FeedbackStream.drain) and commanded once per 1 ms tick for TICKS
            ticks; prints one "loop ..." line with what was received, lost and sent.
"""
import sys
import time


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


def main():
    phase, port, count = sys.argv[1], sys.argv[2], int(sys.argv[3])
    del port  # the simulated bus needs none
    if phase == "loop":
        loop_phase(count)
    else:
        sys.exit("unknown phase " + phase)


if __name__ == "__main__":
    main()
