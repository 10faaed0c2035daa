"""The suite on the test instance's Python: the instance root's Python 3.9
installs the published artefact (the cp39 manylinux wheel, with the test
extra, from a wheelhouse of cp39 manylinux wheels) and runs the suite of
this checkout against it, in an overlay of the root that goes with the run.

    python -m lab suite [--arch aarch64] [pytest arguments]      # default: -m "not slow" -q

With --arch aarch64 the root, the wheel and every dependency's wheel are
aarch64's, and the suite runs under qemu's user-mode emulation.
"""

import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

from lab import instance_root, wheels
from lab.netlab import PREFIX, WORK_ROOT

CHECKOUT = "/checkout"
SUITE_VENV = "/opt/suite"


def test_wheelhouse(wheel, arch, log=print):
    """The instance wheelhouse plus the test extra's cp39 manylinux wheels,
    made once per wheel."""
    house = wheel.parent.parent / f"test-{wheel.parent.name}"
    if list(house.glob("brimvale_testlibs-*.whl")):
        return house
    for stale in wheel.parent.parent.glob(f"test-instance-{arch}-*"):
        shutil.rmtree(stale, ignore_errors=True)
    python = wheels.find_python(wheels.INSTANCE_PYTHON)
    wheels.instance_wheelhouse(python, wheel, house, arch, extras=(), wanted="[test]")
    log(f"test wheelhouse {house} ({len(list(house.glob('*.whl')))} wheels)")
    return house


def run(pytest_args, arch=wheels.HOST_ARCH, log=print):
    house, root = instance_root.prepare(log, arch)
    wheel = next(house.glob("brimvale_testlibs-*.whl"))
    tests = test_wheelhouse(wheel, arch, log)
    work = Path(tempfile.mkdtemp(prefix=PREFIX + "suite-", dir=WORK_ROOT))
    merged = work / "root"
    lines = ["set -e", "mount --make-rprivate /"]
    lines += instance_root.mount_lines(root, work, tests)
    lines += [
        f"mount --rbind /sys {merged}/sys",
        f"mkdir -p {merged}{CHECKOUT}",
        f"mount --bind {wheels.ROOT} {merged}{CHECKOUT}",
    ]
    inner = " && ".join(
        [
            f"python3.9 -m venv {SUITE_VENV}",
            f"{SUITE_VENV}/bin/pip install -q 'brimvale-testlibs[test]'",
            f"cd {CHECKOUT}",
            # the checkout is this machine's: the run leaves nothing in it
            f"exec {SUITE_VENV}/bin/python -m pytest -p no:cacheprovider " + " ".join(map(_quote, pytest_args)),
        ]
    )
    lines.append(f"exec chroot {merged} /bin/bash -c {_quote(inner)}")
    log(f"the suite on the {arch} instance root's Python 3.9 ({wheel.name})")
    try:
        return subprocess.run(
            ["unshare", "--mount", "--propagation", "private", "bash", "-c", "\n".join(lines)],
            env={**instance_root.ENV, "PYTHONDONTWRITEBYTECODE": "1"},
        ).returncode
    finally:
        shutil.rmtree(work, ignore_errors=True)


def _quote(text):
    return "'" + text.replace("'", "'\\''") + "'"


def main(argv=None):
    try:
        arch, argv = instance_root.arch_option(sys.argv[1:] if argv is None else argv)
        return run(argv or ["-m", "not slow", "-q"], arch)
    except instance_root.RootUnavailable as e:
        print(f"lab: {e}", file=sys.stderr)
        return 2
