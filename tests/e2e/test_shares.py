#!/usr/bin/env python3
"""How the journeys are dealt out to the virtual machines that run them side
by side: every journey of the guests in exactly one share, and the shares
of even weight, so that no guest runs long after the others."""

import os
import sys
import unittest

E2E = os.path.dirname(os.path.abspath(__file__))
sys.path[0:0] = [E2E] + [os.path.join(E2E, "..", "..", d) for d in ("tools", "resources")]
from journeys.runner import JOURNEYS, load_areas, share  # noqa: E402


class Shares(unittest.TestCase):
    def test_the_heaviest_goes_first_to_the_lightest_share(self):
        # By turns, "heavy" and two more would share the first guest.
        weights = [("a", 1), ("b", 1), ("heavy", 3), ("c", 1), ("d", 1), ("e", 1)]
        self.assertEqual(share(weights, 1, 2), ["heavy", "d"])
        self.assertEqual(share(weights, 2, 2), ["a", "b", "c", "e"])

    def test_the_registered_journeys_are_dealt_whole_and_even(self):
        load_areas()
        for guest in (True, False):
            weights = [(name, weight) for name, (_, in_guest, weight) in JOURNEYS.items()
                       if in_guest or not guest]
            for parts in (1, 2, 3):
                shares = [share(weights, part, parts) for part in range(1, parts + 1)]
                dealt = [name for names in shares for name in names]
                self.assertEqual(sorted(dealt), sorted(name for name, _ in weights))
                loads = [sum(dict(weights)[name] for name in names) for names in shares]
                self.assertLessEqual(max(loads) - min(loads), max(w for _, w in weights),
                                     (guest, parts, shares))


if __name__ == "__main__":
    unittest.main()
