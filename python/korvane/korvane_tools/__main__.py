"""`python -m korvane_tools`: the `korvane` command."""

import sys

from .cli import main

sys.exit(main())
