"""What the suites of real container engines share: a free loopback port, and the root
file system their images are imported from (only a static busybox: no registry is
reachable)."""
import os
import shutil
import socket
import subprocess
import tempfile


def free_port():
    """A TCP port of 127.0.0.1 that nothing listens on just now."""
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def busybox_root(tar_path=None):
    """A root holding /bin/busybox with its sh and httpd, as a tar: its bytes, or written
    to tar_path (then None)."""
    with tempfile.TemporaryDirectory(prefix="ports-rootfs-") as root:
        os.mkdir(os.path.join(root, "bin"))
        shutil.copy("/bin/busybox", os.path.join(root, "bin"))
        for applet in ("sh", "httpd"):
            os.symlink("busybox", os.path.join(root, "bin", applet))
        if tar_path:
            subprocess.run(["tar", "-C", root, "-cf", tar_path, "."], check=True)
            return None
        return subprocess.run(["tar", "-C", root, "-c", "."], stdout=subprocess.PIPE,
                              check=True).stdout
