"""Host tools: imagetool's build / info / extract command line, and that a board run
writes nothing outside its board folder."""

import json
import os
import struct
import subprocess
import zlib

import pytest

from conftest import BOARDSIM, runner

TOOL = os.path.join(runner.build_dir("host"), "tools", "imagetool", "imagetool")
TYPES = {"application": ("APPLICATION", 0x014B4152), "bootloader": ("UBOOT", 0x024B4152),
         "kernel": ("KERNEL", 0x034B4152), "rfs": ("RFS", 0x044B4152),
         "devicetree": ("DFT", 0x054B4152), "diagnostics": ("DIAGS", 0x064B4152),
         "0x074B4152": ("0x074B4152", 0x074B4152)}
DATA = bytes((i * 37 + 11) & 0xFF for i in range(700))


def run(*args):
    return subprocess.run([TOOL, *map(str, args)], capture_output=True, text=True, timeout=60)


def info(path):
    r = run("info", "--json", path)
    return r.returncode, json.loads(r.stdout)


@pytest.mark.parametrize("type_name,form", [(t, ("plain", "extended", "hdr3")[i % 3])
                                            for i, t in enumerate(TYPES)])
def test_round_trip(tmp_path, type_name, form):
    (tmp_path / "p").write_bytes(DATA)
    out, h = tmp_path / "c.img", 16 if form == "plain" else 40
    extra = [] if form == "plain" else ["--header-length", h]
    assert run("build", "-o", out, "--form", form, "--version", "1.2.3.250", *extra,
               "%s=%s" % (type_name, tmp_path / "p")).returncode == 0
    status, report = info(out)
    (rec,) = report["records"]
    raw = out.read_bytes()
    word, type_id = TYPES[type_name]
    crc = "0x%08X" % (~zlib.crc32(raw[4:]) & 0xFFFFFFFF)  # complement of the standard CRC-32
    assert status == 0 and report["ok"]
    assert (rec["type"], rec["type_id"], rec["form"], rec["version"]) == (
        word, "0x%08X" % type_id, form, "1.2.3.250")
    assert (rec["header_length"], rec["payload_length"], rec["total_length"]) == (
        h, len(DATA), len(raw))
    assert rec["crc"] == rec["computed_crc"] == crc and len(raw) == h + len(DATA)
    _, length, magic, ident = struct.unpack(">IIII", raw[:16])
    assert (magic & 0x7FFFFFFF, magic >> 31, ident) == (type_id, form == "extended", 0x010203FA)
    assert length == (len(raw) - 16 if form == "hdr3" else len(DATA))
    assert run("extract", out, 0, "-o", tmp_path / "x").returncode == 0
    got = (tmp_path / "x").read_bytes()
    if type_name == "bootloader":  # the version block at 240 carries len, magic and id
        assert got[:240] + got[256:] == DATA[:240] + DATA[256:]
        assert got[240:256] == bytes(4) + raw[4:16]
    else:
        assert got == DATA


def test_bundle_order_options_and_damage_reports(tmp_path):
    src, out = tmp_path / "p", tmp_path / "c.img"
    src.write_bytes(DATA)
    assert run("build", "-o", out, "--version", "1.0.0.1", "kernel=%s" % src, "--form", "hdr3",
               "--header-length", "0x40", "rfs=%s" % src, "--corrupt-crc",
               "application=%s" % src).returncode == 0
    status, report = info(out)
    recs = report["records"]
    assert status != 0 and not report["ok"]
    assert [(x["type"], x["form"], x["version"], x["status"]) for x in recs] == [
        ("KERNEL", "plain", "1.0.0.1", "OK"), ("RFS", "hdr3", "0.0.0.0", "OK"),
        ("APPLICATION", "plain", "0.0.0.0", "BAD CRC")]
    assert recs[1]["offset"] == 16 + len(DATA) and recs[1]["header_length"] == 0x40
    assert run("extract", out, 1, "-o", tmp_path / "x").returncode == 0
    assert (tmp_path / "x").read_bytes() == DATA
    # A damaged payload is never handed out; there is no fourth record.
    assert [run("extract", out, n, "-o", tmp_path / "x").returncode for n in (2, 3)] == [1, 1]
    assert "BAD CRC" in run("info", out).stdout
    out.write_bytes(out.read_bytes()[:-1])
    status, report = info(out)
    assert status != 0 and report["records"][2]["status"] == "TRUNCATED"
    assert report["records"][2]["computed_crc"] is None
    # Extended header claiming H = 8, then a boot loader one byte over its limit.
    out.write_bytes(struct.pack(">IIIIHHHH", 0, 4, 0x834B4152, 0, 0, 8, 0, 0) + bytes(8))
    status, report = info(out)
    assert status != 0 and report["records"][0]["status"] == "INCONSISTENT"
    assert report["records"][0]["total_length"] is None
    (tmp_path / "big").write_bytes(bytes(0x80001))
    assert run("build", "-o", out, "bootloader=%s" % (tmp_path / "big")).returncode == 0
    assert info(out)[1]["records"][0]["status"] == "TOO BIG"
    assert run("build", "-o", out, "kernel=%s" % src).returncode == 0
    out.write_bytes(out.read_bytes() + bytes(23))
    status, report = info(out)
    assert status == 0 and len(report["records"]) == 1 and report["trailing_bytes"] == 23
    out.write_bytes(b"")
    status, report = info(out)
    assert status != 0 and report["records"] == []


def test_bootloader_version_block(tmp_path):
    (tmp_path / "u").write_bytes(b"\x11" * 100)
    out = tmp_path / "c.img"
    assert run("build", "-o", out, "--no-version-block", "bootloader=%s" % (tmp_path / "u")
               ).returncode == 0
    assert out.read_bytes()[16:] == b"\x11" * 100
    # A binary too short for its version block is padded up to it.
    assert run("build", "-o", out, "bootloader=%s" % (tmp_path / "u")).returncode == 0
    raw = out.read_bytes()
    assert raw[16:116] == b"\x11" * 100 and len(raw) == 16 + 256 and raw[260:272] == raw[4:16]


@pytest.mark.parametrize("args", [
    [], ["frobnicate"], ["build", "kernel=x"], ["build", "-o", "OUT"],
    ["build", "-o", "OUT", "kernel"], ["build", "-o", "OUT", "pizza=x"],
    ["build", "-o", "OUT", "--form", "wide", "kernel=x"],
    ["build", "-o", "OUT", "--header-length", "16", "--form", "hdr3", "kernel=x"],
    ["build", "-o", "OUT", "--header-length", "64", "kernel=x"],
    ["build", "-o", "OUT", "--version", "1.2.3", "kernel=x"],
    ["build", "-o", "OUT", "--version", "1.2.3.256", "kernel=x"],
    ["build", "-o", "OUT", "kernel=x", "--version", "1.2.3.4"], ["info"],
    ["info", "--yaml", "f"], ["extract", "f", "-o", "OUT"], ["extract", "f", "-1", "-o", "OUT"],
    ["extract", "f", "one", "-o", "OUT"]])
def test_usage_errors_exit_2_with_one_line(tmp_path, args):
    r = run(*[str(tmp_path / a) if a == "OUT" else a for a in args])
    assert r.returncode == 2 and r.stdout == "" and r.stderr.count("\n") == 1
    assert r.stderr.startswith("imagetool: ") and not (tmp_path / "OUT").exists()


def test_board_run_writes_nothing_outside_its_folder(board, tmp_path):
    build, outside = tmp_path / "fake-build", tmp_path / "cwd"
    build.mkdir()
    outside.mkdir()
    token = "boardsim-probe-%d" % os.getpid()
    (build / "launcher").write_text(
        "#!/.sim/busybox sh\nfor d in / /tmp /user /mnt/usb /dev /etc /usr/lib; do\n"
        "  echo x > $d/%s 2>/dev/null && echo wrote-$d\ndone\n" % token)
    (build / "launcher").chmod(0o755)
    env = dict(os.environ, LAUNCHER_BUILD_DIR=str(build), HOME=str(outside), TMPDIR=str(outside))
    out = subprocess.run([str(BOARDSIM), "run", str(board.path)], cwd=outside, env=env,
                         capture_output=True, text=True, timeout=60).stdout
    assert all("wrote-%s\n" % d in out for d in ("/tmp", "/user", "/mnt/usb"))
    assert "wrote-/usr/lib" not in out and list(outside.iterdir()) == []
    for host in ("/", "/tmp", "/user", "/mnt/usb", "/dev", "/etc", "/usr/lib"):
        assert not os.path.exists(os.path.join(host, token)), host
    for inside in ("tmp", "user", "usb"):
        assert (board.path / inside / token).exists()
