"""Drive smart CAN actuators through the USB-to-CAN adapter, or a simulated bus, from Python.

The classes mirror the C++ library oxl_api name for name: SerialPort, OXL_over_USB,
OXL_over_Sim (with its SimulatedBus), OrvexActuator, OrvexActuatorScanner and
OrvexActuatorVirtual. Calls that wait release the GIL; callbacks run on the transport's
receive thread with the GIL taken for the call only.
"""

from . import _oxl_api
from ._oxl_api import *  # noqa: F401,F403

__all__ = [name for name in dir(_oxl_api) if not name.startswith("_")]

# Show the public classes as members of the package rather than of its extension module.
for _name in __all__:
    _value = getattr(_oxl_api, _name)
    if isinstance(_value, type):
        _value.__module__ = __name__
del _name, _value
