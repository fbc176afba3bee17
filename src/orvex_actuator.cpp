#include "oxl_api/orvex_actuator.hpp"
