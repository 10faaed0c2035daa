"""Package services: log set-up, command record, S3 backups, exit status, start-up."""

import logging
import subprocess
import sys
import textwrap

import pytest

from brimvale_testlibs.bin.core.AppExitStatus import AppExitStatus
from brimvale_testlibs.bin.core.Globals import Globals
from brimvale_testlibs.bin.core.ValueNotFoundException import ValueNotFoundException
from brimvale_testlibs.bin.lib.commonlib import Common
from brimvale_testlibs.bin.lib.s3 import S3BackupCmd


@pytest.fixture
def pkg_logger():
    lg = logging.getLogger("brimvale_testlibs")
    saved = list(lg.handlers)
    yield lg
    for h in list(lg.handlers):
        if h not in saved:
            lg.removeHandler(h)
            h.close()


def test_log_location_is_set_once(tmp_path, monkeypatch, pkg_logger):
    monkeypatch.chdir(tmp_path)
    Common.initLogLocation("run/a")
    Common.initLogLocation("run/a")
    ours = [h for h in pkg_logger.handlers if hasattr(h, "_brimvale_handler")]
    assert len(ours) == 2  # one file, one console
    logging.getLogger("brimvale_testlibs.bin.lib.nat").info("child line")
    for h in ours:
        h.flush()
    text = (tmp_path / "run/a/log/brimvale_testlibs.log").read_text()
    assert text.count("child line") == 1
    assert " INFO child line" in text


@pytest.mark.parametrize(
    "command,expected",
    [
        (
            "cellscan --vpc v spoke --controller_password s3cr3t --controller_user u",
            "cellscan --vpc v spoke --controller_password **** --controller_user u",
        ),
        ("cellscan spoke --controller_password=s3cr3t", "cellscan spoke --controller_password=****"),
        ("rollprobe --test_config a.json", "rollprobe --test_config a.json"),
    ],
)
def test_command_record_masks_the_password(caplog, command, expected):
    caplog.set_level(logging.INFO, "brimvale_testlibs")
    Common.logCommandOptions(command)
    assert caplog.messages == [expected]


def test_exit_status_only_rises():
    status = AppExitStatus()
    assert status.getStatus() == 0
    AppExitStatus.raiseStatus(1)
    AppExitStatus.raiseStatus(0)
    assert AppExitStatus().getStatus() == 1


def test_globals_and_exception():
    Globals.TEST_CONFIG = "b/subnet.config"
    assert Globals.TEST_CONFIG == "b/subnet.config"
    with pytest.raises(ValueNotFoundException, match="not yet"):
        raise ValueNotFoundException("not yet")
    assert issubclass(ValueNotFoundException, Exception)


def test_upload_under_relative_key(aws, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    aws.s3.create_bucket(Bucket="backup-bucket")
    (tmp_path / "b/log").mkdir(parents=True)
    (tmp_path / "b/log/brimvale_testlibs.log").write_text("hello")
    assert S3BackupCmd(aws.s3, ".", "backup-bucket", "b/log/brimvale_testlibs.log").uploadAFile() is True
    body = aws.s3.get_object(Bucket="backup-bucket", Key="b/log/brimvale_testlibs.log")["Body"].read()
    assert body == b"hello"


@pytest.mark.parametrize("case", ["no client", "missing file", "no bucket"])
def test_upload_failures_are_one_error_line(aws, tmp_path, monkeypatch, caplog, case):
    monkeypatch.chdir(tmp_path)
    (tmp_path / "f.txt").write_text("x")
    client = None if case == "no client" else aws.s3
    path = "absent.txt" if case == "missing file" else "f.txt"
    assert S3BackupCmd(client, ".", "nobucket", path).uploadAFile() is False
    errors = [r.getMessage() for r in caplog.records if r.levelno == logging.ERROR]
    assert len(errors) == 1 and errors[0].startswith("  **Error** ")


def run_python(code):
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True, timeout=60)


def test_second_initialisation_is_refused():
    r = run_python("""
        import importlib.util
        import brimvale_testlibs.bin.lib.nat as first
        spec = importlib.util.spec_from_file_location("another.nat", first.__file__)
        try:
            spec.loader.exec_module(importlib.util.module_from_spec(spec))
        except ImportError as e:
            print("refused:", e)
    """)
    assert "refused:" in r.stdout and "already initialised" in r.stdout, r.stderr


def test_other_interpreter_version_warns():
    r = run_python("""
        import sys, warnings
        class V(tuple):
            major, minor = 3, 99
        real = sys.version_info
        sys.version_info = V((3, 99))
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            import brimvale_testlibs.bin.core.Globals
        sys.version_info = real
        print([str(w.message) for w in caught if w.category is RuntimeWarning])
    """)
    assert "runs on 3.99" in r.stdout, r.stderr
