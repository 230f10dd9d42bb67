"""python3 tests/e2e/journeys COMMAND ...: the runner's command line."""

import os
import sys

# The package's own folder would shadow modules of the standard library.
sys.path[0] = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
from journeys.runner import main  # noqa: E402

sys.exit(main(sys.argv[1:]))
