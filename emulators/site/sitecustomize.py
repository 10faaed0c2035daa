"""Start-up hook for tool runs against the emulators (put this folder on
PYTHONPATH). It acts as an importing caller: it points the tool's public-IP
echo URL at a loopback stand-in named by EMULATOR_PUBLIC_IP_URL, and sets the
seconds a request may stay throttled from EMULATOR_THROTTLE_GIVE_UP, and
egresscheck's poll pauses (first,step,most) from EMULATOR_POLL."""

import importlib.util
import os

# An interpreter without the package (a workflow engine's own, which runs the
# tools as commands) has nothing to set; its children keep the variables.
_idle = importlib.util.find_spec("brimvale_testlibs") is None
_url = os.environ.get("EMULATOR_PUBLIC_IP_URL")
if _url and not _idle:
    import brimvale_testlibs.bin.rollprobe as _rollprobe

    _rollprobe.PUBLIC_IP_URL = _url

_give_up = os.environ.get("EMULATOR_THROTTLE_GIVE_UP")
if _give_up and not _idle:
    import brimvale_testlibs.bin.rollprobe as _rollprobe

    _rollprobe.THROTTLE_GIVE_UP = float(_give_up)

_poll = os.environ.get("EMULATOR_POLL")
if _poll and not _idle:
    import brimvale_testlibs.bin.egresscheck as _egresscheck

    _egresscheck.POLL_FIRST, _egresscheck.POLL_STEP, _egresscheck.POLL_MAX = (float(x) for x in _poll.split(","))
