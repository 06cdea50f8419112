"""Test images: a container whose application prints its version."""

from __future__ import annotations

import os
from typing import Optional, Union

from ._sim import images

PathLike = Union[str, os.PathLike]


def make_image(out: PathLike, version: str = "1.0.0.1", program: Optional[bytes] = None,
               kernel: Optional[bytes] = None, files: Optional[dict] = None) -> str:
    """Writes an image container to `out` (as 'boardsim image' does) and returns
    its path: an application record of `version` (A.B.C.D) whose
    home/bin/mp.elf.strip is `program` (default: a script printing
    'Application VERSION running'), `files` more archive entries {path: bytes},
    and a kernel record of the bytes `kernel` before it. ValueError for a bad
    version."""
    images.parse_version(version)
    records = [{"type": "kernel", "data": kernel, "version": version}] if kernel else []
    records.append({"type": "application", "version": version,
                    "data": images.app_archive(version, app=program, extra=files)})
    return str(images.build_container(str(out), records))
