"""Drive smart CAN actuators through the USB-to-CAN adapter, or a simulated bus, from Python.

The classes mirror the C++ library oxl_api name for name: SerialPort, OXL_over_USB,
OXL_over_Sim (with its SimulatedBus), OrvexActuator, OrvexActuatorScanner and
OrvexActuatorVirtual. Calls that wait release the GIL; callbacks run on the transport's
receive thread with the GIL taken for the call only.
"""

import logging as _logging

from . import _oxl_api
from ._oxl_api import *  # noqa: F401,F403

__all__ = [name for name in dir(_oxl_api) if not name.startswith("_")] + ["use_python_logging"]


def use_python_logging(logger=None):
    """Forwards every line the library prints to `logger` (default: the logger "oxl_api") at the
    matching level instead of standard output/error. set_log_handler(None) undoes it."""
    logger = logger or _logging.getLogger("oxl_api")
    levels = {LogSeverity.INFO: _logging.INFO, LogSeverity.WARNING: _logging.WARNING,
              LogSeverity.ERROR: _logging.ERROR}
    set_log_handler(lambda severity, text: logger.log(levels.get(severity, _logging.ERROR), text))


# Show the public classes as members of the package rather than of its extension module.
for _name in __all__:
    _value = globals()[_name]
    if isinstance(_value, type):
        _value.__module__ = __name__
del _name, _value
