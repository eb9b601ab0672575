#!/usr/bin/env python3
"""Writes the seed inputs of the control fuzzer into fuzz/corpus (run from anywhere).

An input is a little program (see tests/support/control_fuzz.h): a request count, then per
request the unit, the kind of control code, the code, the two lengths, the contents mode,
in-place flag, the bytes a valid block asks for, the mutation count and, for pass-through
blocks, where the data address points. Each seed is one valid use of the interface.
"""
import os
import struct

PRIVATE = ["exec", "params", "record", "status", "create", "init", "lock", "unlock",
           "record_ex", "allocate", "deallocate", "record_ex2", "properties"]


def request(code, in_len, out_len, extra=b"", in_place=0, unit=0, place=None):
    out = bytes([unit, 0, PRIVATE.index(code)]) + struct.pack("<HH", in_len, out_len)
    out += bytes([1, in_place]) + extra + bytes([0])  # valid block, no mutations
    if code == "exec":
        out += bytes([0]) if place is None else bytes([1, place]) + struct.pack("<H", 16)
    return out


def program(*requests):
    return bytes([len(requests) - 1]) + b"".join(requests)


SEEDS = {
    "record": program(request("allocate", 4, 4, b"\x00"), request("record", 2076, 8),
                      request("status", 64, 64, in_place=1)),
    "record_ex": program(request("record_ex", 324, 0), request("status", 64, 64)),
    "record_ex2": program(request("allocate", 4, 4, b"\x50"), request("record_ex2", 2336, 0)),
    "inquiry": program(request("exec", 60, 60, b"\x00", in_place=1)),
    "read_readonly": program(request("exec", 60, 60, b"\x02", in_place=1, place=2)),
    "write_unmapped": program(request("exec", 60, 60, b"\x03\x05", in_place=1, place=1)),
    "read_short": program(request("exec", 60, 60, b"\x02", in_place=1, place=3)),
    "cache_drive": program(request("create", 8, 0), request("init", 8, 0), request("lock", 0, 0),
                           request("unlock", 0, 0)),
    "properties": program(request("properties", 2072, 2072, b"\x09", in_place=1)),
    "desktop": program(request("params", 0, 20, unit=3), request("deallocate", 0, 0, unit=3)),
    "standard": program(bytes([0, 5, 1]) + struct.pack("<HH", 12, 1024) + bytes([2, 0])),
}

if __name__ == "__main__":
    directory = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus")
    os.makedirs(directory, exist_ok=True)
    for name, data in SEEDS.items():
        with open(os.path.join(directory, name), "wb") as seed:
            seed.write(data)
