// oxl: scan, inspect, configure, monitor and move smart actuators from a shell, through the
// USB-to-CAN adapter or on a simulated bus (--sim).
#include "cli.hpp"
#include "interrupt.hpp"

int main(int argc, char** argv) {
    // First thing: from here on Ctrl-C only raises a flag, which the commands poll so that they
    // can stop the device before the process ends.
    oxl_tool::install_interrupt_handler();
    return oxl_tool::run_command_line(argc, argv);
}
