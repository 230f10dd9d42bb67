#!/usr/bin/env python3
"""The reading of a registry key saved by the Wine server, on which the
uninstall journeys' "the prefix is as it was" rests: a value it failed to
read would make that check blind to it."""

import os
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from journeys.records import _saved_key_entries  # noqa: E402

SAVED = r'''WINE REGISTRY Version 2
;; All keys relative to REGISTRY\\Machine\\Software

#arch=win32

[Kestrel\\Quillmark\\Settings] 1796721210
#time=1dd86f464519d70
"patch"="037"
@=""

[Odd\[1\]\\Key] 1796721211
#time=1dd86f464519d71
#class="Shell"
"Data"=hex:02,00,00,00,00,00,60,00,\
  30,70,69,33,\
  01

[Empty] 1796721212
'''


class SavedKeys(unittest.TestCase):
    def read(self, text):
        with tempfile.TemporaryDirectory() as folder:
            path = os.path.join(folder, "saved.reg")
            with open(path, "w") as f:
                f.write(text)
            return _saved_key_entries(path, "HKEY_LOCAL_MACHINE\\Software")

    def test_keys_values_and_the_keys_above_them(self):
        root = "HKEY_LOCAL_MACHINE\\Software"
        settings = root + "\\Kestrel\\Quillmark\\Settings"
        odd = root + "\\Odd[1]\\Key"
        self.assertEqual(self.read(SAVED), {
            root, root + "\\Kestrel", root + "\\Kestrel\\Quillmark", settings,
            settings + ' | "patch"="037"', settings + ' | @=""',
            root + "\\Odd[1]", odd, odd + ' | #class="Shell"',
            odd + ' | "Data"=hex:02,00,00,00,00,00,60,00,30,70,69,33,01',
            root + "\\Empty"})

    def test_a_key_written_again_unchanged_is_the_same_and_a_changed_value_is_not(self):
        rewritten = SAVED.replace("1796721210", "1796729999").replace("464519d70", "99")
        self.assertEqual(self.read(rewritten), self.read(SAVED))
        for change in ('"patch"="038"', '"Patch"="037"', 'hex:03,00'):
            changed = SAVED.replace('"patch"="037"' if "patch" in change.lower() else "hex:02,00",
                                    change)
            self.assertNotEqual(self.read(changed), self.read(SAVED), change)


if __name__ == "__main__":
    unittest.main()
