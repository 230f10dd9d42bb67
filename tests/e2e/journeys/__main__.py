"""python3 tests/e2e/journeys COMMAND ...: the runner's command line."""

import os
import sys

# The package's own folder would shadow modules of the standard library.
E2E = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path[0:1] = [E2E] + [os.path.join(E2E, "..", "..", d) for d in ("tools", "resources")]
from journeys.runner import main  # noqa: E402

sys.exit(main(sys.argv[1:]))
