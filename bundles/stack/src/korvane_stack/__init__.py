"""korvane-stack: a small stack machine packaged as a korvane machine bundle.

korvane finds this bundle through the entry point ``stack`` in the group
"korvane.machine_bundles", imports this module and calls ``prepare`` and
``execute`` (see ``bundle.py``). The program grammar is in ``program.py``, the
instruction semantics in ``machine.py``, the JSON inputs in
``run_inputs.py``, the sink calls in ``delivery.py`` and the recording format
in ``recording.py``.
"""

__version__ = "0.1.0"

from .bundle import StackRun, execute, prepare, provider  # noqa: E402
from .errors import ProgramError, RunInputError, StackBundleError  # noqa: E402

__all__ = [
    "ProgramError",
    "RunInputError",
    "StackBundleError",
    "StackRun",
    "execute",
    "prepare",
    "provider",
]
