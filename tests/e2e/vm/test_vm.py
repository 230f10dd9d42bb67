#!/usr/bin/env python3
"""What vm.py hands the guest, checked on this machine without a guest: the
job script must carry every environment value through the shell unchanged,
leave the host's display and session behind, and run the command's words
as given."""

import json
import os
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import vm  # noqa: E402

SHOW = "import json, os, sys; print(json.dumps([os.getcwd(), dict(os.environ), sys.argv[1:]]))"


class JobScript(unittest.TestCase):
    def test_environment_folder_and_words_arrive_unchanged(self):
        odd = {"QUIL_ODD": "it's \"quoted\" $HOME `date` \\ * ;\nsecond line",
               "QUIL_EMPTY": "", "PATH": os.environ["PATH"],
               "DISPLAY": ":0", "XAUTHORITY": "/root/.Xauthority", "QUIL_E2E_VM": "1",
               "HOME": "/somewhere", "not-a-name": "x"}
        words = ["a b", "$HOME", "it's", "*", ""]
        with tempfile.TemporaryDirectory() as folder:
            cwd = os.path.join(folder, "a folder; with 'odd' name")
            os.mkdir(cwd)
            job = os.path.join(folder, "job.sh")
            with open(job, "w") as f:
                f.write(vm.job_script([sys.executable, "-c", SHOW] + words, cwd, odd))
            out = subprocess.run(["bash", job], env={}, capture_output=True, text=True,
                                 check=True).stdout
        where, env, argv = json.loads(out)
        self.assertEqual(where, cwd)
        self.assertEqual(argv, words)
        for key in ("QUIL_ODD", "QUIL_EMPTY", "PATH"):
            self.assertEqual(env.get(key), odd[key], key)
        for key in ("DISPLAY", "XAUTHORITY", "QUIL_E2E_VM", "not-a-name"):
            self.assertNotIn(key, env)
        self.assertEqual(env["HOME"], "/root")


class Modules(unittest.TestCase):
    def test_each_module_once_dependencies_first(self):
        try:
            version, _ = vm.guest_kernel()
        except vm.VmError:
            self.skipTest("no guest kernel installed: this machine needs no virtual machine")
        order = [os.path.basename(p) for p in vm.module_order(version)]
        self.assertEqual(len(order), len(set(order)))
        for first, then in (("virtio.ko", "virtio_pci.ko"), ("9pnet.ko", "9pnet_virtio.ko"),
                            ("9pnet_virtio.ko", "9p.ko"), ("netfs.ko", "9p.ko")):
            self.assertLess(order.index(first), order.index(then), (first, then))


if __name__ == "__main__":
    unittest.main()
