"""The installer's end-to-end journeys under Wine: one module per area, and
the runner (`runner.py`) that registers them and is the command line:
`python3 tests/e2e/journeys list` (see runner.py)."""
