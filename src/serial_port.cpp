#include "oxl_api/serial_port.hpp"
