#include "oxl_api/simulated_bus.hpp"
