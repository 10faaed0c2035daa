"""The wheel build is incremental: a source changed in the sdist is compiled
again in the kept build folder, though the sdist gives every file one old time."""

import io
import os
import shutil
import subprocess
import tarfile

import pytest

from lab import wheels

OLD = 1668000000  # every member's time in the sdist, long before any build
MISSING = [tool for tool in ("cmake", "ninja", "cc") if shutil.which(tool) is None]


def sdist(path, files):
    with tarfile.open(path, "w:gz") as tar:
        for name, text in files.items():
            data = text.encode()
            member = tarfile.TarInfo(f"pkg-0.1.0/{name}")
            member.size, member.mtime = len(data), OLD
            tar.addfile(member, io.BytesIO(data))
    return path


@pytest.mark.skipif(bool(MISSING), reason=f"no {', '.join(MISSING)} here to build with")
def test_changed_source_is_compiled_again(tmp_path):
    source, build = tmp_path / "src", tmp_path / "build"
    cmake = "cmake_minimum_required(VERSION 3.15)\nproject(p C)\nadd_executable(p main.c)\n"
    first = {
        "CMakeLists.txt": cmake,
        "main.c": '#include "v.h"\nint main(void){return V;}\n',
        "v.h": "#define V 3\n",
        "gone.txt": "x",
    }
    wheels.refresh_sources(sdist(tmp_path / "a.tar.gz", first), source)
    (source / wheels.STAMP).write_text("a")
    subprocess.run(["cmake", "-G", "Ninja", "-S", source, "-B", build], check=True, capture_output=True)
    subprocess.run(["cmake", "--build", build], check=True, capture_output=True)
    assert subprocess.run([build / "p"]).returncode == 3
    unchanged = os.stat(source / "main.c").st_mtime_ns

    second = dict(first, **{"v.h": "#define V 5\n", "new/x.txt": "y"})
    del second["gone.txt"]
    wheels.refresh_sources(sdist(tmp_path / "b.tar.gz", second), source)
    assert os.stat(source / "main.c").st_mtime_ns == unchanged  # not compiled again for nothing
    assert (source / "new" / "x.txt").read_text() == "y"
    assert not (source / "gone.txt").exists() and (source / wheels.STAMP).read_text() == "a"
    assert not (tmp_path / "unpack").exists()
    subprocess.run(["cmake", "--build", build], check=True, capture_output=True)
    assert subprocess.run([build / "p"]).returncode == 5  # not the stale program

    third = dict(second, **{"new": "a file where a folder was"})
    del third["new/x.txt"]
    wheels.refresh_sources(sdist(tmp_path / "c.tar.gz", third), source)
    assert (source / "new").read_text() == "a file where a folder was"
