#!/usr/bin/env bash
# Checks the installed Python package: it lies where Debian's interpreter looks for packages
# under the prefix (lib/python3/dist-packages under /usr, lib/python3.X/dist-packages under
# /usr/local), it imports from there outside the source and build trees, and it loads the
# installed library. Argument: the install prefix.
set -euo pipefail
prefix="$(cd "$1" && pwd)"
init="$(find "$prefix" -path '*-packages/oxl_api/__init__.py' | head -n1)"
if [[ -z "$init" ]]; then
    echo "no oxl_api package under $prefix" >&2
    exit 1
fi
site="$(dirname "$(dirname "$init")")"
relative="${site#"$prefix"/}"
/usr/bin/python3 - "$relative" <<'PY'
import sys
relative = sys.argv[1]
places = ["/usr/" + relative, "/usr/local/" + relative]
if not any(place in sys.path for place in places):
    sys.exit(f"{relative} is not on the interpreter's path under /usr or /usr/local")
PY
cd "$(mktemp -d)"
PYTHONPATH="$site" /usr/bin/python3 - "$prefix" <<'PY'
import sys

import oxl_api

prefix = sys.argv[1]
assert oxl_api.__file__.startswith(prefix), oxl_api.__file__
with open("/proc/self/maps") as maps:
    libraries = {line.split()[-1] for line in maps if "liboxl_api.so" in line}
assert libraries and all(path.startswith(prefix) for path in libraries), libraries
with oxl_api.OXL_over_Sim() as transport:
    transport.bus().add_actuator(0x20)
    with oxl_api.OrvexActuator(transport, 0x20) as actuator:
        assert actuator.connect(0.5)
print("python package imports from the install prefix: ok")
PY
