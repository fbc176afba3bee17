#include "oxl_api/oxl_over_sim.hpp"
