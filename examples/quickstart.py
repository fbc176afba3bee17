#!/usr/bin/python3
"""Quick start: find the actuators on the bus, move the first one to a position and watch its
feedback. Runs on the USB-to-CAN adapter when one is plugged in, or on the simulated bus with
`--sim` (no hardware needed). The same program as quickstart.cpp."""
import sys
import time

from oxl_api import OXL_over_Sim, OXL_over_USB, OrvexActuator, OrvexActuatorScanner

Items = OrvexActuator.OXL_Items


def main():
    # The only lines that differ between hardware and simulation.
    if "--sim" in sys.argv[1:]:
        transport = OXL_over_Sim()
        transport.bus().add_actuator(0x20)
    else:
        transport = OXL_over_USB()  # finds the adapter by USB id
    if not transport.is_connected():
        print("No adapter; try --sim", file=sys.stderr)
        return 1

    with transport:
        found = OrvexActuatorScanner(transport).scan(0x10, 0x30)
        if not found:
            print("No actuator answered", file=sys.stderr)
            return 1

        with OrvexActuator(transport, found[0]) as actuator:  # stopped when the block ends
            if not actuator.connect(0.5):
                return 1
            actuator.setFeedbackItems([Items.POSITION_4C, Items.SPEED_45, Items.TORQUE_56])
            actuator.setFeedbackRate(OrvexActuator.Rates.RATE_100HZ)
            actuator.start()
            actuator.change_position_setpoint(1.0)

            for _ in range(5):
                time.sleep(0.1)
                fb = actuator.get_feedback()
                print(f"position {fb[Items.POSITION_4C]:g}  speed {fb[Items.SPEED_45]:g}  "
                      f"torque {fb[Items.TORQUE_56]:g}")
            actuator.setFeedbackRate(OrvexActuator.Rates.RATE_0HZ)
    return 0


if __name__ == "__main__":
    sys.exit(main())
