"""Building what boards boot: application archives and image containers.

Containers are built with the project's imagetool when it has been built
($LAUNCHER_BUILD_DIR/tools/imagetool/imagetool); without it, plain-form
records are encoded here with the same checksum rule (the complement of the
standard CRC-32 over record bytes 4..T-1).
"""

import io
import os
import subprocess
import tarfile
import tempfile
import zlib

import runner

TYPE_IDS = {
    "application": 0x014B4152,
    "bootloader": 0x024B4152,
    "kernel": 0x034B4152,
    "rfs": 0x044B4152,
    "devicetree": 0x054B4152,
    "diagnostics": 0x064B4152,
}


def app_script(version):
    """The text of a stand-in application that prints its version."""
    return "#!/bin/sh\necho \"Application %s running\"\n" % version


def make_archive(files):
    """A gzip-compressed tar archive (bytes) of {path: bytes|str}; paths ending in
    '/' are folders; entries under home/bin/ and names ending in .sh or
    .strip are executable."""
    buf = io.BytesIO()
    with tarfile.open(fileobj=buf, mode="w:gz", format=tarfile.GNU_FORMAT) as tar:
        for name, data in files.items():
            info = tarfile.TarInfo(name.rstrip("/"))
            info.mtime = 1700000000
            if name.endswith("/"):
                info.type = tarfile.DIRTYPE
                info.mode = 0o755
                tar.addfile(info)
                continue
            if isinstance(data, str):
                data = data.encode()
            info.size = len(data)
            executable = name.startswith("home/bin/") or name.endswith((".sh", ".strip"))
            info.mode = 0o755 if executable else 0o644
            tar.addfile(info, io.BytesIO(data))
    return buf.getvalue()


def app_archive(version="1.0.0.1", install_sh=None, env_setup=None, diags=False,
                app=None, extra=None):
    """An application archive: home/bin/mp.elf.strip printing its version (or
    `app`), optional home/bin/install.sh and home/bin/env-setup; with `diags`
    the program is mpdiag.elf.strip at the top instead."""
    program = app if app is not None else app_script(version)
    files = {"home/": None, "home/bin/": None}
    if diags:
        files["mpdiag.elf.strip"] = program
    else:
        files["home/bin/mp.elf.strip"] = program
    if install_sh is not None:
        files["home/bin/install.sh"] = install_sh
    if env_setup is not None:
        files["home/bin/env-setup"] = env_setup
    files.update(extra or {})
    return make_archive(files)


def parse_version(text):
    parts = [int(p) for p in text.split(".")]
    if len(parts) != 4 or not all(0 <= p <= 255 for p in parts):
        raise ValueError("version must be A.B.C.D with parts 0-255: %r" % text)
    return bytes(parts)


def plain_record(type_id, payload, version="0.0.0.0", corrupt_crc=False):
    """One plain-form record (bytes): crc, len, magic, id, payload."""
    if isinstance(type_id, str):
        type_id = TYPE_IDS[type_id]
    body = len(payload).to_bytes(4, "big") + type_id.to_bytes(4, "big") + \
        parse_version(version) + bytes(payload)
    crc = (~zlib.crc32(body)) & 0xFFFFFFFF
    if corrupt_crc:
        crc ^= 1
    return crc.to_bytes(4, "big") + body


def imagetool_path():
    path = runner.build_programs()["imagetool"]
    return path if os.access(path, os.X_OK) else None


def build_container(out, records):
    """Writes a container to `out` from records, each a dict with 'type' (name or
    number), 'data' (bytes) and optional 'version', 'form', 'header_length',
    'corrupt_crc', 'no_version_block' (imagetool's options). Uses imagetool when
    built; otherwise only plain records without those extras can be made."""
    tool = imagetool_path()
    if tool is None:
        with open(out, "wb") as f:
            for r in records:
                if r.get("form", "plain") != "plain" or r.get("header_length") or \
                        r.get("no_version_block"):
                    raise RuntimeError("imagetool is not built: only plain records possible")
                f.write(plain_record(r["type"], r["data"], r.get("version", "0.0.0.0"),
                                     r.get("corrupt_crc", False)))
        return out
    with tempfile.TemporaryDirectory(prefix="boardsim-image.") as scratch:
        argv = [tool, "build", "-o", str(out)]
        for i, r in enumerate(records):
            payload = os.path.join(scratch, "payload%d" % i)
            with open(payload, "wb") as f:
                f.write(r["data"])
            argv += _record_options(r)
            kind = r["type"] if isinstance(r["type"], str) else "0x%08x" % r["type"]
            argv.append("%s=%s" % (kind, payload))
        subprocess.run(argv, check=True, stdout=subprocess.DEVNULL)  # not its summary line
    return out


def _record_options(r):
    opts = []
    if "form" in r:
        opts += ["--form", r["form"]]
    if r.get("header_length"):
        opts += ["--header-length", str(r["header_length"])]
    if "version" in r:
        opts += ["--version", r["version"]]
    if r.get("corrupt_crc"):
        opts.append("--corrupt-crc")
    if r.get("no_version_block"):
        opts.append("--no-version-block")
    return opts
