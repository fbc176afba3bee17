#include "oxl_api/orvex_actuator_virtual.hpp"
