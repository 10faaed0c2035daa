"""
Upload of one local file to S3.
"""

from __future__ import annotations
import typing

__all__: list[str] = ["S3BackupCmd"]

class S3BackupCmd:
    """
    The upload of the file ``path`` to ``bucket`` under its path relative
    to ``root``.

    """
    def __init__(self, s3_client: typing.Any, root: str, bucket: typing.Any, path: str) -> None:
        """
        The upload of `path` with `s3_client`; nothing is sent yet.
        """
    def key(self) -> str:
        """
        The object key: the file's path relative to root, with forward slashes.
        """
    def uploadAFile(self) -> bool:
        """
        Uploads the file; returns True when done. A missing client or file or
        a failed upload is one error line and False, never an exception.
        """
