"""Wheels a test instance can install: from the sdist, one wheel per CPython
3.9-3.13 for x86_64 or aarch64, compiled by zig for glibc 2.28 (its C++
runtime linked in statically), repaired and checked by auditwheel; and the
instance's wheelhouse: the cp39 wheel with every dependency's cp39 manylinux
wheel and the AWS CLI's.

    python -m lab.wheels [--pythons 3.9,3.13] [--arch aarch64] [--out build/wheels]

aarch64 is cross-compiled: this machine's interpreters give CMake the
headers (the same on both 64-bit Linux targets); the target's extension
suffix and platform go to scikit-build-core (SETUPTOOLS_EXT_SUFFIX,
_PYTHON_HOST_PLATFORM) and to pybind11 (PYTHON_MODULE_EXTENSION, else it
asks the x86_64 interpreter), and CMake is told the target system.

The glibc target is 2.28: Amazon Linux 2023 (2.34) and Debian 11 (2.31)
accept the wheel; auditwheel reads the symbols the modules really use (2.17
at most, so the wheel carries the manylinux2014 tags too). The zig compiler
and its cache live under build/; an unchanged sdist builds nothing again.
"""

import argparse
import fcntl
import hashlib
import os
import re
import shutil
import subprocess
import sys
import tarfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
PYTHONS = ("3.9", "3.10", "3.11", "3.12", "3.13")
GLIBC = "2.28"
ARCHES = ("x86_64", "aarch64")
HOST_ARCH = os.uname().machine
INSTANCE_PYTHON = "3.9"
STAMP = ".content"  # beside the unpacked sources: the digest of their sdist


def platform_of(arch):
    return f"manylinux_{GLIBC.replace('.', '_')}_{arch}"


def instance_platforms(arch):
    """What pip on the instance accepts for a dependency without a compiler."""
    return (f"manylinux2014_{arch}", platform_of(arch))


def house_link(out, arch):
    """The link to the instance wheelhouse of `arch` (x86_64's is `instance`)."""
    return out / ("instance" if arch == "x86_64" else f"instance-{arch}")


# On the instance the boot script's `aws` is the AWS CLI of its image; the
# lab's instance root installs it from this wheelhouse.
INSTANCE_EXTRAS = ("awscli",)


def log(text):
    print(text, flush=True)


def run(*argv, env=None, cwd=None):
    r = subprocess.run([str(a) for a in argv], env=env, cwd=cwd, capture_output=True, text=True)
    if r.returncode != 0:
        raise SystemExit(f"error: {' '.join(map(str, argv[:4]))} ...: {(r.stderr or r.stdout).strip()[-2000:]}")
    return r.stdout


def find_python(version):
    """The interpreter of a major.minor on PATH or in pyenv, or None."""
    pyenv = Path(os.environ.get("PYENV_ROOT", Path.home() / ".pyenv")) / "versions"
    for candidate in [shutil.which(f"python{version}")] + sorted(pyenv.glob(f"{version}.*/bin/python{version}")):
        if candidate and subprocess.run([str(candidate), "-c", "import sys"], capture_output=True).returncode == 0:
            return str(candidate)
    return None


def compilers(work, arch):
    """cc and c++ wrappers that call zig for the glibc target (CMake wants a
    compiler path, not a command line)."""
    work.mkdir(parents=True, exist_ok=True)
    cache = work / "cache"
    suffix = "" if arch == "x86_64" else f"-{arch}"
    for mode in ("cc", "c++"):
        path = work / f"{mode}{suffix}"
        path.write_text(
            "#!/bin/sh\n"
            f'ZIG_GLOBAL_CACHE_DIR="{cache}" ZIG_LOCAL_CACHE_DIR="{cache}" '
            f'exec "{sys.executable}" -m ziglang {mode} -target {arch}-linux-gnu.{GLIBC} "$@"\n'
        )
        path.chmod(0o755)
    return work / f"cc{suffix}", work / f"c++{suffix}"


def target_env(python, arch, cc, cxx):
    """The build's environment: zig as the compiler and, for another
    architecture than this machine's, the target's suffix, platform and
    system."""
    env = dict(os.environ, CC=str(cc), CXX=str(cxx))
    if arch != HOST_ARCH:
        version = run(python, "-c", "import sys; print('%d%d' % sys.version_info[:2])").strip()
        suffix = f".cpython-{version}-{arch}-linux-gnu.so"
        env["SETUPTOOLS_EXT_SUFFIX"] = suffix
        env["_PYTHON_HOST_PLATFORM"] = f"linux-{arch}"
        # pybind11 asks the interpreter for the suffix unless it is given
        env["CMAKE_ARGS"] = (
            f"-DCMAKE_SYSTEM_NAME=Linux -DCMAKE_SYSTEM_PROCESSOR={arch} -DPYTHON_MODULE_EXTENSION={suffix}"
        )
    return env


def sdist(out):
    """The sdist of this checkout and its digest."""
    out.mkdir(parents=True, exist_ok=True)
    for old in out.glob("*.tar.gz"):
        old.unlink()
    run(sys.executable, "-m", "build", "--sdist", "--outdir", out, ROOT)
    path = next(out.glob("*.tar.gz"))
    digest = hashlib.sha256()
    with tarfile.open(path) as tar:  # the content, not the archive's time stamps
        for member in sorted(tar.getmembers(), key=lambda m: m.name):
            if member.isfile():
                digest.update(member.name.encode())
                digest.update(tar.extractfile(member).read())
    return path, digest.hexdigest()[:16]


def refresh_sources(archive, source):
    """Unpacks the sdist `archive` into `source` so that the kept CMake folders
    see what changed. The archive gives every file one fixed, old time, older
    than any object built before; unpacked over wholesale, a changed source
    would look older than its object and not be compiled again. So a file whose
    bytes are unchanged keeps the file (and the time) it had, a changed or new
    one is written with the present time, and one the archive no longer holds
    is removed."""
    unpack = source.parent / "unpack"
    shutil.rmtree(unpack, ignore_errors=True)
    with tarfile.open(archive) as tar:
        top = tar.getmembers()[0].name.split("/")[0]
        safe = {"filter": "data"} if hasattr(tarfile, "data_filter") else {}
        tar.extractall(unpack, **safe)
    fresh = unpack / top
    source.mkdir(parents=True, exist_ok=True)
    now = time.time()
    held = set()
    for new in sorted(fresh.rglob("*")):
        if new.is_dir():
            continue
        rel = new.relative_to(fresh)
        held.add(rel)
        old = source / rel
        if old.is_file() and not old.is_symlink() and old.read_bytes() == new.read_bytes():
            continue
        for parent in reversed(list(rel.parents)[:-1]):  # a file that became a folder
            if (source / parent).is_symlink() or (source / parent).is_file():
                (source / parent).unlink()
        if old.is_dir() and not old.is_symlink():  # a folder that became a file
            shutil.rmtree(old)
        old.parent.mkdir(parents=True, exist_ok=True)
        os.replace(new, old)
        os.utime(old, (now, now))
    for old in sorted(source.rglob("*"), reverse=True):
        rel = old.relative_to(source)
        if old.is_symlink() or old.is_file():
            if rel not in held and rel != Path(STAMP):
                old.unlink()
        elif not any(old.iterdir()):
            old.rmdir()
    shutil.rmtree(unpack, ignore_errors=True)


def build_requirements():
    text = (ROOT / "pyproject.toml").read_text()
    return re.findall(r'"([^"]+)"', re.search(r"^requires\s*=\s*\[(.*?)\]", text, re.M).group(1))


def build(python, source, arch, cc, cxx, raw, work):
    """A wheel of `source` for `python`, compiled by zig; its path. The build
    runs in a build environment of its own that outlives the run, without
    isolation, so that a second build compiles only what changed."""
    version = run(python, "-c", "import sys; print('%d%d' % sys.version_info[:2])").strip()
    env_dir = work / f"env-cp{version}"
    if not (env_dir / "bin" / "python").exists():
        run(python, "-m", "venv", env_dir)
    run(env_dir / "bin" / "python", "-m", "pip", "install", "-q", "--disable-pip-version-check", *build_requirements())
    for old in raw.glob(f"*-cp{version}-*_{arch}.whl"):
        old.unlink()
    run(
        env_dir / "bin" / "python",
        "-m",
        "pip",
        "wheel",
        "-q",
        "--disable-pip-version-check",
        "--no-build-isolation",
        "--no-deps",
        "-w",
        raw,
        f"--config-settings=build-dir={work}/build/{{wheel_tag}}",
        source,
        env=target_env(python, arch, cc, cxx),
    )
    return next(raw.glob(f"*-cp{version}-*_{arch}.whl"))


def repaired(out, version, arch):
    return list(out.glob(f"*-cp{version}-cp{version}-*manylinux*_{arch}.whl"))


def repair(wheel, out, version, arch):
    """auditwheel's repaired wheel and its report."""
    tools = dict(os.environ, PATH=f"{Path(sys.executable).parent}{os.pathsep}{os.environ['PATH']}")
    for old in repaired(out, version, arch):
        old.unlink()
    # auditwheel names only this machine's architecture's platforms; for
    # another it takes the oldest one the wheel's symbols allow ("auto")
    plat = platform_of(arch) if arch == HOST_ARCH else "auto"
    run(sys.executable, "-m", "auditwheel", "repair", "--plat", plat, "-w", out, wheel, env=tools)
    fixed = repaired(out, version, arch)[0]
    return fixed, run(sys.executable, "-m", "auditwheel", "show", fixed, env=tools)


def dependencies():
    text = (ROOT / "pyproject.toml").read_text()
    block = re.search(r"^dependencies\s*=\s*\[(.*?)\]", text, re.S | re.M).group(1)
    return re.findall(r'"([^"]+)"', block)


def instance_wheelhouse(python, wheel, dest, arch="x86_64", extras=INSTANCE_EXTRAS, wanted=""):
    """The folder the instance's pip installs from: `wheel` and the binary
    wheels of its dependencies (and `extras`) for the instance's Python.
    `python` is an interpreter of that version: pip evaluates the
    requirements' markers with its own interpreter's version. `wanted`: the
    wheel's extras to include ("[test]")."""
    dest.mkdir(parents=True, exist_ok=True)
    for old in dest.glob("*.whl"):
        old.unlink()
    shutil.copy2(wheel, dest)
    platforms = [a for p in instance_platforms(arch) for a in ("--platform", p)]
    run(
        python,
        "-m",
        "pip",
        "download",
        "-q",
        "--disable-pip-version-check",
        "--only-binary=:all:",
        *platforms,
        "--python-version",
        INSTANCE_PYTHON,
        "--implementation",
        "cp",
        "-d",
        dest,
        f"{wheel}{wanted}",
        *extras,
    )
    return dest


def instance_wheelhouse_of_checkout(log=log, arch="x86_64"):
    """The instance wheelhouse of this checkout for `arch` (built when
    missing or stale); its resolved path."""
    if find_python(INSTANCE_PYTHON) is None:
        raise SystemExit(f"python{INSTANCE_PYTHON} (the test instances') is not on this machine")
    try:
        import ziglang  # noqa: F401
    except ImportError:
        raise SystemExit("the wheel extra (zig, auditwheel) is not installed: ./run installs it") from None
    began = time.monotonic()
    main(["--pythons", INSTANCE_PYTHON, "--arch", arch], quiet=True)
    house = house_link(ROOT / "build" / "wheels", arch).resolve()
    log(f"instance wheelhouse {house.relative_to(ROOT)} ready ({time.monotonic() - began:.1f} s)")
    return house


def main(argv=None, quiet=False):
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--pythons", default=",".join(PYTHONS), help="major.minor versions, comma-separated")
    p.add_argument("--arch", choices=ARCHES, default="x86_64")
    p.add_argument("--out", default=str(ROOT / "build" / "wheels"))
    args = p.parse_args(argv)
    say = (lambda text: None) if quiet else log
    out = Path(args.out).resolve()
    work = ROOT / "build" / "zig"
    work.mkdir(parents=True, exist_ok=True)
    # One build at a time: a second one would unpack the sources anew under
    # the first one's feet.
    with open(work / ".lock", "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        return _build_all(args, out, work, say)


def _build_all(args, out, work, say):
    arch = args.arch
    cc, cxx = compilers(work, arch)
    path, digest = sdist(out / "sdist")
    source = work / "src"
    stamp = source / STAMP
    if (source / ".digest").exists():  # unpacked wholesale by an earlier build: its times say nothing
        say("sources unpacked by an earlier build: compiling everything again")
        shutil.rmtree(work / "build", ignore_errors=True)
        shutil.rmtree(source)
    if not stamp.exists() or stamp.read_text() != digest:
        refresh_sources(path, source)
        stamp.write_text(digest)
    say(f"sdist {path.name} (content {digest})")
    built = {}
    for version in args.pythons.split(","):
        python = find_python(version)
        if python is None:
            say(f"note: python{version} not found; its wheel is not built")
            continue
        tag = version.replace(".", "")
        stamp = out / f".cp{tag}-{arch}.digest"
        done = repaired(out, tag, arch)
        if stamp.exists() and stamp.read_text() == digest and done:
            fixed = done[0]
            report = run(sys.executable, "-m", "auditwheel", "show", fixed)
        else:
            raw = build(python, source, arch, cc, cxx, out / "raw", work)
            fixed, report = repair(raw, out, tag, arch)
            stamp.write_text(digest)
        built[version] = fixed
        say(f"{fixed.name} {fixed.stat().st_size / 1e6:.1f} MB")
        say("  " + " ".join(report.split()))
    if INSTANCE_PYTHON in built:
        house = out / f"instance-{arch}-{digest}"
        if not list(house.glob("brimvale_testlibs-*.whl")):
            for stale in out.glob(f"instance-{arch}-*"):
                if stale.is_dir():
                    shutil.rmtree(stale)
            instance_wheelhouse(find_python(INSTANCE_PYTHON), built[INSTANCE_PYTHON], house, arch)
        house_link(out, arch).unlink(missing_ok=True)
        house_link(out, arch).symlink_to(house.name)
        say(f"instance wheelhouse {house} ({len(list(house.glob('*.whl')))} wheels)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
