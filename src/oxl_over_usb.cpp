#include "oxl_api/oxl_over_usb.hpp"
