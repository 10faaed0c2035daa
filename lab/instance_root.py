"""The test instance's root file system: Debian 11 (Python 3.9, glibc 2.31,
no compiler), made once per machine by debootstrap from Debian's packages and
cached outside the checkout; each instance runs its boot script in its own
overlay of it (see `mount_lines`).

What the image provides, the root provides as the image would:
- `python3.9`, `ping`, `traceroute`, `ip` from Debian's packages;
- `pip3 install` resolves through /etc/pip.conf: no index, the wheelhouse
  that each instance gets bind-mounted read-only at WHEELHOUSE;
- `aws`: the AWS CLI, installed in the root from the instance wheelhouse;
  its endpoint and region come from the instance's /root/.aws/config and its
  credentials from the instance-metadata endpoint (lab/metadata.py).

    python -m lab root [--arch aarch64]     # makes (or finds) the cached root, prints its path

A root of another architecture (aarch64 on an x86_64 machine) runs under
qemu's user-mode emulation: debootstrap unpacks it (--foreign), its second
stage and everything after run in it through binfmt_misc (`emulation`).
"""

import hashlib
import os
import shutil
import subprocess
import sys
from pathlib import Path

from lab.wheels import HOST_ARCH

CACHE = Path("/var/cache/brimvale-lab")
SUITE = "bullseye"
PACKAGES = ("python3", "python3-venv", "python3-pip", "iputils-ping", "traceroute", "iproute2", "ca-certificates")
WHEELHOUSE = "/opt/wheelhouse"
PIP_CONF = f"[global]\nno-index = true\nfind-links = {WHEELHOUSE}\ndisable-pip-version-check = true\n"
DEBIAN_ARCH = {"x86_64": "amd64", "aarch64": "arm64"}
# binfmt_misc's entry for aarch64 ELF executables, as qemu's own binfmt
# configuration writes it; F: the interpreter is opened now, so it serves
# inside any chroot.
BINFMT = Path("/proc/sys/fs/binfmt_misc")
QEMU = {
    "aarch64": (
        r"\x7fELF\x02\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\xb7\x00",
        r"\xff\xff\xff\xff\xff\xff\xff\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff",
    )
}


class RootUnavailable(RuntimeError):
    """The instance root cannot be made here; the message says why."""


def debian_mirror():
    """The Debian mirror this machine's apt uses (its sources files)."""
    sources = sorted(Path("/etc/apt").glob("sources.list.d/*.sources")) + [Path("/etc/apt/sources.list")]
    for path in sources:
        if not path.is_file():
            continue
        for line in path.read_text().splitlines():
            words = line.split()
            if path.suffix == ".sources" and words[:1] == ["URIs:"]:
                for uri in words[1:]:
                    if uri.rstrip("/").endswith("/debian"):
                        return uri
            elif words[:1] == ["deb"]:
                uri = next((w for w in words[1:] if "://" in w), "")
                if uri.rstrip("/").endswith("/debian"):
                    return uri
    raise RootUnavailable("no Debian mirror in /etc/apt's sources files")


# The environment of what runs in the root: nothing of this machine's own
# settings (its pip configuration above all) reaches it.
ENV = {"PATH": "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin", "HOME": "/root", "LANG": "C.UTF-8"}


def _install(package, command):
    if shutil.which(command) is None:
        if shutil.which("apt-get") is None:
            raise RootUnavailable(f"{command} is missing and there is no apt-get to install {package}")
        _run("apt-get", "update", "-qq", timeout=600)
        _run("apt-get", "install", "-y", "-qq", package, timeout=600)


def emulation(arch):
    """Executables of `arch` run on this machine from here on: qemu's static
    user-mode emulator registered with binfmt_misc, as its Debian package
    registers it on a machine with systemd (the registration stays, for
    every later run)."""
    if arch == HOST_ARCH:
        return
    if arch not in QEMU:
        raise RootUnavailable(f"no emulation of {arch} on {HOST_ARCH}")
    _install("qemu-user-static", f"qemu-{arch}-static")
    if not (BINFMT / "register").exists():
        try:
            subprocess.run(["mount", "-t", "binfmt_misc", "binfmt_misc", str(BINFMT)], check=True, capture_output=True)
        except subprocess.CalledProcessError as e:
            raise RootUnavailable(f"binfmt_misc cannot be mounted: {e.stderr.decode().strip()}") from None
    entry = BINFMT / f"qemu-{arch}"
    if entry.exists():
        if "enabled" not in entry.read_text().splitlines()[:1]:
            entry.write_text("1")
        return
    magic, mask = QEMU[arch]
    interpreter = shutil.which(f"qemu-{arch}-static")
    try:
        (BINFMT / "register").write_text(f":qemu-{arch}:M::{magic}:{mask}:{interpreter}:F")
    except OSError as e:
        raise RootUnavailable(f"binfmt_misc refused the {arch} emulator: {e}") from None


def _run(*argv, timeout=1800):
    r = subprocess.run([str(a) for a in argv], capture_output=True, text=True, timeout=timeout, env=ENV)
    if r.returncode != 0:
        raise RootUnavailable(f"{' '.join(map(str, argv[:3]))}: {(r.stderr or r.stdout).strip()[-1500:]}")
    return r.stdout


def _awscli_wheels(wheelhouse):
    return sorted(p.name for p in Path(wheelhouse).glob("awscli-*.whl"))


def stamp(wheelhouse, arch=HOST_ARCH):
    """What the root is made of: the suite, the architecture, the packages,
    the AWS CLI's wheel."""
    text = "\n".join([SUITE, DEBIAN_ARCH[arch], *PACKAGES, *_awscli_wheels(wheelhouse), PIP_CONF])
    return hashlib.sha256(text.encode()).hexdigest()[:16]


def ensure_root(wheelhouse, log=print, arch=HOST_ARCH):
    """The cached root of `arch` for `wheelhouse` (made when missing: a few
    minutes, more under emulation)."""
    if os.geteuid() != 0:
        raise RootUnavailable("the instance root needs root (debootstrap, chroot, overlay mounts)")
    if not _awscli_wheels(wheelhouse):
        raise RootUnavailable(f"no AWS CLI wheel in {wheelhouse}")
    emulation(arch)
    digest = stamp(wheelhouse, arch)
    name = f"{SUITE}-{DEBIAN_ARCH[arch]}"
    root = CACHE / f"{name}-{digest}"
    if (root / ".stamp").is_file() and (root / ".stamp").read_text() == digest:
        return root
    _install("debootstrap", "debootstrap")
    CACHE.mkdir(parents=True, exist_ok=True)
    for old in CACHE.glob(f"{name}-*"):
        shutil.rmtree(old, ignore_errors=True)
    work = CACHE / f".{name}-{digest}.partial"
    shutil.rmtree(work, ignore_errors=True)
    log(f"instance root: debootstrap {SUITE} ({DEBIAN_ARCH[arch]}) into {work} (once per machine)")
    mirror = debian_mirror()
    options = ["--variant=minbase", f"--include={','.join(PACKAGES)}", f"--arch={DEBIAN_ARCH[arch]}"]
    if arch == HOST_ARCH:
        _run("debootstrap", *options, SUITE, work, mirror)
    else:
        _run("debootstrap", *options, "--foreign", SUITE, work, mirror)
        log(f"instance root: debootstrap's second stage under emulation of {arch}")
        _run("chroot", work, "/debootstrap/debootstrap", "--second-stage", timeout=3600)
    house = work / WHEELHOUSE.lstrip("/")
    house.mkdir(parents=True)
    for wheel in Path(wheelhouse).glob("*.whl"):
        shutil.copy2(wheel, house)
    (work / "etc" / "pip.conf").write_text(PIP_CONF)
    log("instance root: the AWS CLI from the wheelhouse")
    _run("chroot", work, "python3", "-m", "pip", "install", "-q", "awscli")
    shutil.rmtree(house)
    house.mkdir()
    _run("chroot", work, "aws", "--version")
    (work / ".stamp").write_text(digest)
    work.rename(root)
    return root


def mount_lines(root, instance_dir, wheelhouse):
    """Shell lines (run in the instance's private mount namespace) that mount
    the instance's overlay of `root` at instance_dir/root, with /proc, /dev
    and the wheelhouse read-only."""
    merged = f"{instance_dir}/root"
    return [
        f"mkdir -p {instance_dir}/upper {instance_dir}/overlay-work {merged}",
        f"mount -t overlay overlay -o lowerdir={root},upperdir={instance_dir}/upper,"
        f"workdir={instance_dir}/overlay-work {merged}",
        f"mount -t proc proc {merged}/proc",
        f"mount --rbind /dev {merged}/dev",
        f"mount --bind {wheelhouse} {merged}{WHEELHOUSE}",
        f"mount -o remount,bind,ro {merged}{WHEELHOUSE}",
    ]


def prepare_or_host(log=print):
    """(wheelhouse, root) of `prepare`; where the root cannot be made, one
    line says why and the boot scripts run on this machine's interpreter
    with a local wheel: (that wheelhouse, None)."""
    import time

    from lab.netlab import prepare_wheelhouse

    began = time.monotonic()
    try:
        wheelhouse, root = prepare(log)
        log(f"instance root {root} ({time.monotonic() - began:.1f} s)")
        return wheelhouse, root
    except RootUnavailable as e:
        log(f"instance root unavailable: {e}; the boot scripts run on this machine's Python instead")
    wheelhouse = prepare_wheelhouse()
    log(f"wheelhouse {wheelhouse} ready ({time.monotonic() - began:.1f} s)")
    return wheelhouse, None


def arch_option(argv):
    """(arch, the other arguments) of a command line with an optional
    `--arch A` in front."""
    argv = list(argv or [])
    if argv[:1] == ["--arch"] and len(argv) > 1 and argv[1] in DEBIAN_ARCH:
        return argv[1], argv[2:]
    if argv[:1] == ["--arch"]:
        raise RootUnavailable(f"--arch takes one of {', '.join(DEBIAN_ARCH)}")
    return HOST_ARCH, argv


def main(argv=None):
    try:
        arch, _ = arch_option(argv)
        print(prepare(arch=arch)[1])
    except RootUnavailable as e:
        print(f"lab: {e}", file=sys.stderr)
        return 1
    return 0


def prepare(log=print, arch=HOST_ARCH):
    """The instance wheelhouse of `arch` (this checkout's cp39 manylinux
    wheel and its dependencies, built when the sources changed) and the
    cached root made for it: (wheelhouse, root)."""
    from lab import wheels

    try:
        house = wheels.instance_wheelhouse_of_checkout(log, arch)
    except SystemExit as e:
        if str(e).startswith("error:"):
            raise  # a failed build is a failure, not a machine without the means
        raise RootUnavailable(str(e)) from None
    return house, ensure_root(house, log, arch)
