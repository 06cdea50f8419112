"""imagetool on the host: build -> info -> extract round trips and the
reports of damaged containers. The tool touches only the files it is given."""
import json
import os
import struct
import subprocess
import zlib

import pytest

BUILD_DIR = os.environ.get("LAUNCHER_BUILD_DIR", "")
TOOL = os.path.join(BUILD_DIR, "tools", "imagetool", "imagetool")

TYPES = {
    "application": ("APPLICATION", 0x014B4152),
    "bootloader": ("UBOOT", 0x024B4152),
    "kernel": ("KERNEL", 0x034B4152),
    "rfs": ("RFS", 0x044B4152),
    "devicetree": ("DFT", 0x054B4152),
    "diagnostics": ("DIAGS", 0x064B4152),
    "0x074B4152": ("0x074B4152", 0x074B4152),
}
FORMS = {"plain": 1, "extended": 2, "hdr3": 3}

pytestmark = pytest.mark.skipif(not os.access(TOOL, os.X_OK), reason="imagetool not built")


def run(*args):
    return subprocess.run([TOOL, *map(str, args)], capture_output=True, text=True, timeout=60)


def info(path):
    r = run("info", "--json", path)
    return r.returncode, json.loads(r.stdout)


def reference_crc(record):
    # The record checksum is the complement of the standard CRC-32 of bytes 4..T-1.
    return (~zlib.crc32(record[4:])) & 0xFFFFFFFF


@pytest.fixture
def payload(tmp_path):
    data = bytes((i * 37 + 11) & 0xFF for i in range(700))
    path = tmp_path / "payload.bin"
    path.write_bytes(data)
    return path, data


@pytest.mark.parametrize("form", FORMS)
@pytest.mark.parametrize("type_name", TYPES)
def test_round_trip_every_type_and_form(tmp_path, payload, type_name, form):
    src, data = payload
    out = tmp_path / "c.img"
    args = ["build", "-o", out, "--form", form, "--version", "1.2.3.250"]
    if form != "plain":
        args += ["--header-length", 40]
    r = run(*args, f"{type_name}={src}")
    assert r.returncode == 0, r.stderr

    status, report = info(out)
    assert status == 0 and report["ok"]
    (rec,) = report["records"]
    word, type_id = TYPES[type_name]
    assert (rec["type"], rec["type_id"], rec["form"]) == (word, f"0x{type_id:08X}", form)
    assert rec["version"] == "1.2.3.250"
    h = 16 if form == "plain" else 40
    assert (rec["header_length"], rec["payload_length"]) == (h, len(data))
    raw = out.read_bytes()
    assert rec["total_length"] == len(raw) == h + len(data)
    assert rec["crc"] == rec["computed_crc"] == f"0x{reference_crc(raw):08X}"
    crc, length, magic, ident = struct.unpack(">IIII", raw[:16])
    assert magic & 0x7FFFFFFF == type_id
    assert bool(magic & 0x80000000) == (form == "extended")
    assert length == (len(raw) - 16 if form == "hdr3" else len(data))
    assert ident == 0x010203FA

    extracted = tmp_path / "x.bin"
    assert run("extract", out, 0, "-o", extracted).returncode == 0
    got = extracted.read_bytes()
    if type_name == "bootloader":
        # The version block at 240 carries the record's len, magic and id.
        assert got[:240] == data[:240] and got[256:] == data[256:]
        assert got[240:256] == bytes(4) + raw[4:16]
    else:
        assert got == data


def test_bootloader_without_version_block_and_short_binary(tmp_path):
    small = tmp_path / "u.bin"
    small.write_bytes(b"\x11" * 100)
    out = tmp_path / "c.img"
    assert run("build", "-o", out, "--no-version-block", f"bootloader={small}").returncode == 0
    assert out.read_bytes()[16:] == b"\x11" * 100
    # A binary too short for its version block is padded up to it.
    assert run("build", "-o", out, f"bootloader={small}").returncode == 0
    raw = out.read_bytes()
    assert raw[16:116] == b"\x11" * 100 and len(raw) == 16 + 256
    assert raw[16 + 244:16 + 256] == raw[4:16]


def test_records_in_the_given_order_with_their_own_options(tmp_path, payload):
    src, data = payload
    out = tmp_path / "bundle.img"
    r = run("build", "-o", out, "--version", "1.0.0.1", f"kernel={src}",
            "--form", "hdr3", "--header-length", "0x40", f"rfs={src}", f"application={src}")
    assert r.returncode == 0, r.stderr
    status, report = info(out)
    assert status == 0
    recs = report["records"]
    assert [x["type"] for x in recs] == ["KERNEL", "RFS", "APPLICATION"]
    assert [x["form"] for x in recs] == ["plain", "hdr3", "plain"]
    assert [x["version"] for x in recs] == ["1.0.0.1", "0.0.0.0", "0.0.0.0"]
    assert recs[1]["offset"] == 16 + len(data) and recs[1]["header_length"] == 0x40
    extracted = tmp_path / "x.bin"
    assert run("extract", out, 2, "-o", extracted).returncode == 0
    assert extracted.read_bytes() == data
    assert run("extract", out, 3, "-o", extracted).returncode == 1


def test_corrupt_crc_is_reported_bad(tmp_path, payload):
    src, _ = payload
    out = tmp_path / "c.img"
    assert run("build", "-o", out, f"kernel={src}", "--corrupt-crc", f"rfs={src}").returncode == 0
    status, report = info(out)
    assert status != 0 and not report["ok"]
    assert [x["status"] for x in report["records"]] == ["OK", "BAD CRC"]
    bad = report["records"][1]
    assert bad["crc"] != bad["computed_crc"]
    text = run("info", out)
    assert text.returncode != 0 and "BAD CRC" in text.stdout
    # A damaged payload is never handed out as a good one.
    assert run("extract", out, 1, "-o", tmp_path / "x.bin").returncode == 1


def test_truncated_file_is_reported_truncated(tmp_path, payload):
    src, _ = payload
    out = tmp_path / "c.img"
    assert run("build", "-o", out, f"kernel={src}", f"application={src}").returncode == 0
    raw = out.read_bytes()
    out.write_bytes(raw[:-1])
    status, report = info(out)
    assert status != 0
    assert [x["status"] for x in report["records"]] == ["OK", "TRUNCATED"]
    assert report["records"][1]["computed_crc"] is None
    assert "TRUNCATED" in run("info", out).stdout


def test_inconsistent_and_oversized_records(tmp_path):
    out = tmp_path / "c.img"
    # Extended header claiming H = 8: no record can be made of it.
    out.write_bytes(struct.pack(">IIIIHHHH", 0, 4, 0x834B4152, 0, 0, 8, 0, 0) + bytes(8))
    status, report = info(out)
    assert status != 0 and report["records"][0]["status"] == "INCONSISTENT"
    assert report["records"][0]["total_length"] is None
    # A boot loader whose len is one over its limit.
    big = tmp_path / "big.bin"
    big.write_bytes(bytes(0x80001))
    assert run("build", "-o", out, f"bootloader={big}").returncode == 0
    status, report = info(out)
    assert status != 0 and report["records"][0]["status"] == "TOO BIG"


def test_short_tail_is_not_a_record(tmp_path, payload):
    src, _ = payload
    out = tmp_path / "c.img"
    assert run("build", "-o", out, f"kernel={src}").returncode == 0
    out.write_bytes(out.read_bytes() + bytes(23))
    status, report = info(out)
    assert status == 0 and len(report["records"]) == 1 and report["trailing_bytes"] == 23
    empty = tmp_path / "empty.img"
    empty.write_bytes(b"")
    status, report = info(empty)
    assert status != 0 and report["records"] == []


@pytest.mark.parametrize("args", [
    [],
    ["frobnicate"],
    ["build", "kernel=x"],
    ["build", "-o", "OUT"],
    ["build", "-o", "OUT", "kernel"],
    ["build", "-o", "OUT", "pizza=x"],
    ["build", "-o", "OUT", "--form", "wide", "kernel=x"],
    ["build", "-o", "OUT", "--header-length", "16", "--form", "hdr3", "kernel=x"],
    ["build", "-o", "OUT", "--header-length", "64", "kernel=x"],
    ["build", "-o", "OUT", "--version", "1.2.3", "kernel=x"],
    ["build", "-o", "OUT", "--version", "1.2.3.256", "kernel=x"],
    ["build", "-o", "OUT", "kernel=x", "--version", "1.2.3.4"],
    ["info"],
    ["info", "--yaml", "f"],
    ["extract", "f", "-o", "OUT"],
    ["extract", "f", "-1", "-o", "OUT"],
    ["extract", "f", "one", "-o", "OUT"],
])
def test_usage_errors_exit_2_with_one_line(tmp_path, args):
    args = [str(tmp_path / a) if a == "OUT" else a for a in args]
    r = run(*args)
    assert r.returncode == 2
    assert r.stdout == "" and r.stderr.count("\n") == 1 and r.stderr.startswith("imagetool: ")
    assert not (tmp_path / "OUT").exists()


def test_unreadable_files_fail_with_one_line(tmp_path):
    missing = tmp_path / "missing"
    for args in (["info", missing], ["extract", missing, 0, "-o", tmp_path / "x"],
                 ["build", "-o", tmp_path / "c", f"kernel={missing}"]):
        r = run(*args)
        assert r.returncode == 1 and r.stderr.count("\n") == 1 and str(missing) in r.stderr
    assert not (tmp_path / "c").exists()
    # A read error is a failure, not the end of an empty container.
    r = run("info", tmp_path)
    assert r.returncode == 1 and r.stderr.count("\n") == 1 and "read error" in r.stderr
