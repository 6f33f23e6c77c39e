#!/usr/bin/env python3
"""Writes the seed corpora: valid records in the input layout of each target."""
import gzip, hashlib, os, struct, sys

out = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus")
be16, be32 = (lambda v: struct.pack(">H", v)), (lambda v: struct.pack(">I", v))


def seed(target, name, data):
    os.makedirs(os.path.join(out, target), exist_ok=True)
    with open(os.path.join(out, target, name), "wb") as f:
        f.write(data)


def section(slot, data, magic=None):
    magic = magic if magic is not None else (0x12611925 if slot in (2, 3) else 0x12611920)
    return hashlib.md5(data).digest() + be32(len(data)) + be32(magic) + data


def piece(b):
    return be16(len(b)) + b


def store(caps, slots):
    return be16(caps[0]) + be16(caps[1]) + b"".join(piece(s) for s in slots)


pattern = bytes((i * 37 + 11) & 0xFF for i in range(256))
seed("store", "all-valid", store((100, 64), [section(0, b"ZR0112345ABCD\0"), section(1, pattern[:220]),
                                             section(2, pattern[:32]), section(3, pattern[:48]),
                                             section(4, b"x")]))
seed("store", "unknown-serial", store((0, 0xFFFF), [section(0, b"unknown\0")]))
seed("store", "cleared", store((16, 16), [bytes(16) + be32(0) + be32(0xED9EE6DF) + b"\0",
                                          bytes(16) + be32(0) + be32(0xED9EE6DF) + b"\0",
                                          bytes(16) + be32(0) + be32(0xED9EE6DA) + b"\0"]))
seed("store", "empty-and-swapped", store((8, 8), [section(0, b""), section(1, b"", 0x12611925),
                                                  section(2, pattern[:8], 0x12611920)]))

FLASH1 = b'exec -b 0x200002c -l 0x200000 -c "console=ttyS1,115200 root=/dev/mtdblock7" \r\0'
RAM1 = (b"nand -t 15 -p 0xe80 -b 0x1000000 -n 0x600000 \r nand -t 15 -p 0xe00 -b 0x2000000 -n "
        b"0x200000 \r  exec -b 0x2000000  -l 0x200000 -r 0x1000000 -s 0x600000  -c "
        b'"console=ttyS1,115200 root=/dev/ram0 "  \r\0')


def bootopts(flash=FLASH1, ram=RAM1, flag=0, version=b"1.92.27\0"):
    body = flash.ljust(1024, b"\0") + ram.ljust(1024, b"\0") + be32(flag) + version.ljust(256, b"\0")
    rec = bytearray(be32(0) + body + be32(0x0E0D))
    total, off = (rec[4] << 8) | rec[5], 6
    while (rec[off] << 8 | rec[off + 1]) != 0x0E0D:
        total += rec[off] << 8 | rec[off + 1]
        off += 2
    rec[0:4] = be32(total)
    return bytes(rec)


assert bootopts()[:4] == be32(0x0023C6E9), "default record checksum"
seed("bootopts", "default-keep", bytes([0x00]) + piece(b"") + bootopts())
seed("bootopts", "append", bytes([0x04]) + piece(b" quiet loglevel=3") + bootopts(flag=1))
seed("bootopts", "ttys0-keep-ram", bytes([0x21]) + piece(b"") + bootopts(version=b"2.0\0"))
seed("bootopts", "erased-flag", bytes([0x12]) + piece(b""))
seed("bootopts", "refused", bytes([0x63]) + piece(b"x") + bootopts())

serial, oem = b"ZR0112345ABCD\n", b"OEM12345"
seed("authkey", "encrypt", bytes([1]) + be16(256) + piece(serial) + piece(oem) + pattern[:16])
seed("authkey", "encrypt-short-oem", bytes([1]) + be16(64) + piece(serial) + piece(b"A\0") + pattern[:40])
seed("authkey", "no-oem-partition", bytes([5]) + be16(64) + piece(serial) + piece(b"") + pattern[:15])
seed("authkey", "no-serial", bytes([3]) + be16(32) + piece(b"") + piece(oem) + pattern[:16])
seed("authkey", "raw-record", bytes([0]) + be16(64) + piece(serial) + piece(oem) + section(3, pattern[:32]))

gz = lambda b: gzip.compress(b, mtime=0)
for i, name in enumerate(["sysa_kernel", "sysb_kernel", "sysa_code"]):
    seed("image", "plain-" + name, bytes([0, i]) + pattern * 5)
    seed("image", "gzip-" + name, bytes([0, i]) + gz(pattern * 64))
seed("image", "kernel-signed-a", bytes([1, 128 + 3]) + pattern[:100])
seed("image", "kernel-plain-b", bytes([1, 128 + 0]) + pattern)
seed("image", "kernel-gzip-a", bytes([1, 128 + 2]) + gz(pattern * 64))
seed("image", "pending-all", bytes([2, 7]) + piece(gz(bytes(4096))) + piece(pattern[:64]) + piece(pattern[:32]))
seed("image", "pending-empty-kitb", bytes([2, 6]) + piece(b"") + piece(b"") + piece(pattern[:8]))

seed("board_conf", "default", b"""# Default board
part cfg nand size=512K erase=128K alias=cfg0,rcfg0
part mfg nand size=128K erase=128K
part bootcfg nor size=256K erase=64K
part sysa_kernel nand size=4M erase=128K
part sysb_kernel nand size=4M erase=128K
part sysa_code nand size=16M erase=128K
""")
seed("board_conf", "faults", b"""part cfg nand size=0x40000 erase=16k alias=cfg0,rcfg0 bad=1,3
part sysb_kernel 8 size=64K erase=16K nobbt
part odd ram size=5000 erase=4096
pending_limit 1M
fault read /dev/tqrd.rcfg0 nth=2 count=0 partial=2048
fault mkstemp /pending/KERNEL_IMAGE.* errno=ENOSPC
fault MEMGETBADBLOCK * errno=95 count=3
""")
