"""A private network for a session's programs."""

import os
import select
import subprocess

from checks import JourneyError


class PrivateNetwork:
    """A network of a session's own: a network and mount namespace that has
    only its loopback, where the given host names resolve to the given
    addresses through a hosts file bound over /etc/hosts inside it. One
    holder process keeps the namespaces alive; programs join them with
    nsenter. Nothing sent inside ever leaves the machine, and the programs
    under test keep their own settings (host names included) as built."""

    def __init__(self, root, hosts):
        self.root = root
        self.hosts = dict(hosts)
        self.holder = None

    def start(self):
        hosts_file = os.path.join(self.root, "hosts")
        with open(hosts_file, "w") as f:
            f.write("127.0.0.1\tlocalhost\n::1\tlocalhost\n")
            for name, address in self.hosts.items():
                f.write("%s\t%s\n" % (address, name))
        script = ('ip link set lo up && mount --bind "$1" /etc/hosts && echo ready '
                  '&& exec sleep infinity')
        try:
            self.holder = subprocess.Popen(
                ["unshare", "--net", "--mount", "sh", "-c", script, "sh", hosts_file],
                stdout=subprocess.PIPE, stderr=open(os.path.join(self.root, "network.log"), "w"),
                stdin=subprocess.DEVNULL)
        except OSError as e:
            raise JourneyError("cannot make a private network (unshare, util-linux): %s" % e)
        ready, _, _ = select.select([self.holder.stdout], [], [], 30)
        line = self.holder.stdout.readline().decode().strip() if ready else ""
        if line != "ready":
            self.stop()
            raise JourneyError("the private network did not come up (needs root for unshare "
                               "--net --mount, and iproute2); see %s"
                               % os.path.join(self.root, "network.log"))

    def command(self, argv, cwd=None):
        """`argv` run inside the network, in `cwd` (else this process's folder)."""
        # Joining a mount namespace resets the root to that namespace's own;
        # --root takes the holder's instead. They differ where the journeys
        # run chrooted (the virtual machine's guest), and there, without it,
        # no program of the host's root is found.
        return (["nsenter", "--target", str(self.holder.pid), "--net", "--mount", "--root",
                 "--wd=" + (cwd or os.getcwd()), "--"] + list(argv))

    def stop(self):
        if self.holder and self.holder.poll() is None:
            self.holder.kill()
        if self.holder:
            self.holder.wait(timeout=30)
            self.holder.stdout.close()
