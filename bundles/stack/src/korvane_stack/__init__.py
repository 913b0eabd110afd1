"""korvane-stack: a small stack machine packaged as a korvane machine bundle.

korvane finds this bundle through the entry point ``stack`` in the group
"korvane.machine_bundles", imports this module and calls ``prepare`` and
``execute`` (see ``bundle.py``). The program grammar is in ``program.py``, the
instruction semantics in ``machine.py``, the JSON inputs in
``run_inputs.py``, the sink calls in ``delivery.py``, the recording (its
format and its publication) in ``recording.py``, and the text helpers shared by
results and recordings in ``text.py``.
"""

from ._version import __version__ as __version__
from .bundle import StackRun, execute, prepare, provider
from .errors import ProgramError, RunInputError, StackBundleError

__all__ = [
    "ProgramError",
    "RunInputError",
    "StackBundleError",
    "StackRun",
    "execute",
    "prepare",
    "provider",
]
