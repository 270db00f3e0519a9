"""Programs the tests and the benchmarks start on this machine's loopback: an sshd with keys made
for the run, and OpenOCD with its dummy adapter. Each raises RuntimeError, saying why, where it
cannot run, so that a test can skip or fail and a benchmark can leave its row out."""

from __future__ import annotations

import os
import shutil
import socket
import subprocess
import textwrap
import time
from collections.abc import Iterator
from contextlib import contextmanager
from pathlib import Path
from typing import IO


def free_port() -> int:
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


@contextmanager
def sshd(home: Path) -> Iterator[list[str]]:
    """An sshd on a free loopback port, its keys and configuration in `home`: the ssh command
    that reaches it as this user (the host, 127.0.0.1, and the remote command go after)."""
    program = Path("/usr/sbin/sshd")
    if not program.exists() or shutil.which("ssh") is None or shutil.which("ssh-keygen") is None:
        raise RuntimeError("openssh-server and openssh-client are not installed")
    for name in ("host_key", "user_key"):
        subprocess.run(["ssh-keygen", "-q", "-t", "ed25519", "-N", "", "-f", str(home / name)],
                       check=True)
    (home / "authorized_keys").write_bytes((home / "user_key.pub").read_bytes())
    port = free_port()
    (home / "sshd_config").write_text(textwrap.dedent(f"""\
        Port {port}
        ListenAddress 127.0.0.1
        HostKey {home}/host_key
        AuthorizedKeysFile {home}/authorized_keys
        PasswordAuthentication no
        KbdInteractiveAuthentication no
        UsePAM no
        StrictModes no
        PermitRootLogin yes
        PidFile {home}/sshd.pid
        """))
    if os.geteuid() == 0:
        os.makedirs("/run/sshd", exist_ok=True)  # the privilege separation directory
    # A sanitizer runtime preloaded into the tests is not for the ssh daemon.
    clean = {k: v for k, v in os.environ.items() if k not in ("LD_PRELOAD", "PYTHONMALLOC")}
    with open(home / "sshd.log", "w+") as log:
        server = subprocess.Popen([str(program), "-D", "-e", "-f", str(home / "sshd_config")],
                                  stderr=log, env=clean)
        ssh = ["ssh", "-F", "/dev/null", "-i", str(home / "user_key"), "-p", str(port), "-o",
               "BatchMode=yes", "-o", "StrictHostKeyChecking=no", "-o",
               "UserKnownHostsFile=/dev/null", "-o", "LogLevel=ERROR"]
        try:
            for _ in range(100):
                if server.poll() is not None:
                    raise RuntimeError(f"sshd did not start: {_tail(log)}")
                probe = subprocess.run([*ssh, "127.0.0.1", "true"], capture_output=True,
                                       timeout=20)
                if probe.returncode == 0:
                    break
                time.sleep(0.1)
            else:
                raise RuntimeError("sshd does not let this user in")
            yield ssh
        finally:
            server.terminate()
            server.wait(10)


def start_openocd(log: IO[str]) -> tuple[subprocess.Popen[bytes], int]:
    """OpenOCD with its dummy adapter and one TAP, serving Tcl on a free loopback port, and that
    port; what it prints goes to `log`."""
    port = free_port()
    process = subprocess.Popen(
        ["openocd", "-c", "adapter driver dummy", "-c", "transport select jtag",
         "-c", "jtag newtap chip cpu -irlen 4 -expected-id 0", "-c", f"tcl_port {port}",
         "-c", "gdb_port disabled", "-c", "telnet_port disabled", "-c", "init"],
        stdin=subprocess.DEVNULL, stdout=log, stderr=log)  # fmt: skip
    deadline = time.monotonic() + 30
    while True:
        try:
            socket.create_connection(("127.0.0.1", port)).close()
            return process, port
        except ConnectionRefusedError:
            if process.poll() is not None or time.monotonic() > deadline:
                stop(process)
                raise RuntimeError(f"OpenOCD did not start:\n{_tail(log)}") from None
            time.sleep(0.05)


def stop(process: subprocess.Popen[bytes]) -> None:
    if process.poll() is None:
        process.terminate()
        process.wait(timeout=30)


def _tail(log: IO[str]) -> str:
    log.flush()
    log.seek(0)
    return log.read()[-2000:]
