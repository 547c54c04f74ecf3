#!/usr/bin/env python3
"""Writes the damaged Data.dat samples of this folder and expected.txt.

Each sample is named for its damage; expected.txt maps it to the error text that
loading it must raise. Run from anywhere: python3 make_samples.py
"""
import os
import struct
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))


def i32(v):
    return struct.pack("<i", v)


def text(s, length=None):
    b = s.encode("latin-1")
    return i32(len(b) if length is None else length) + b


def event(name="Home", when=45000.5, active=1, repeat=3, name_length=None):
    return text(name, name_length) + struct.pack("<dBB", when, active, repeat)


def profile(paths=("C:\\Data",), sources=0x0001, kind=4, path_count=None, ev=None):
    count = len(paths) if path_count is None else path_count
    body = struct.pack("<HB", sources, kind) + (ev if ev is not None else event())
    body += i32(count) + b"".join(text(p) for p in paths)
    return body


def group(name="StartupBackup", members=(0,), member_count=None):
    count = len(members) if member_count is None else member_count
    return text(name) + i32(count) + b"".join(i32(m) for m in members)


def record(class_number=0, log_file=None, profiles=None, profile_count=None, groups=None,
           group_count=None):
    profiles = [profile()] if profiles is None else profiles
    groups = [group()] if groups is None else groups
    head = struct.pack("<IHHi", 0x9FF, 873, 0, -1)
    head += (log_file if log_file is not None else text("")) + text("") * 3
    head += i32(class_number) + text("C:\\Kalvaren Backup\\")
    head += text("Demo") + text("Bin\\RSync.exe") + text("") * 4
    head += i32(len(profiles) if profile_count is None else profile_count) + b"".join(profiles)
    head += i32(len(groups) if group_count is None else group_count) + b"".join(groups)
    return head


def z(data):
    return zlib.compress(data, -1)


def flip(data, at):
    b = bytearray(data)
    b[at] ^= 0xFF
    return bytes(b)


READ = "Stream read error"
GOOD = z(record())

SAMPLES = {
    # the file itself
    "empty_file": (b"", READ),
    "cut_in_compressed_data": (GOOD[: len(GOOD) // 2], READ),
    "cut_in_settings": (z(record()[:30]), READ),
    "cut_in_profile": (z(record()[:120]), READ),
    "cut_in_group": (z(record()[:-3]), READ),
    "not_compressed": (record(), "Error"),
    "damaged_compressed_data": (flip(GOOD, 12), "Error"),
    "damaged_checksum": (flip(GOOD, len(GOOD) - 1), "Error"),
    "missing_checksum": (GOOD[:-4], "Error"),
    # lookups
    "class_number_7": (z(record(class_number=7)), "List index out of bounds (7)"),
    "class_number_negative": (z(record(class_number=-1)), "List index out of bounds (-1)"),
    "member_position_past_profiles": (z(record(groups=[group(members=(0, 5))])),
                                      "List index out of bounds (5)"),
    "member_position_negative": (z(record(groups=[group(members=(-2,))])),
                                 "List index out of bounds (-2)"),
    # counts and lengths
    "negative_profile_count": (z(record(profile_count=-1)), "Invalid profile count -1"),
    "negative_path_count": (z(record(profiles=[profile(paths=(), path_count=-3)])),
                            "Invalid path count -3"),
    "negative_group_count": (z(record(group_count=-1)), "Invalid group count -1"),
    "negative_member_count": (z(record(groups=[group(members=(), member_count=-2)])),
                              "Invalid group member count -2"),
    "negative_string_length": (z(record(log_file=i32(-5))), "Invalid string length -5"),
    "negative_event_name_length": (z(record(profiles=[profile(ev=event(name_length=-4))])),
                                   "Invalid string length -4"),
    "too_many_profiles": (z(record(profile_count=10001)),
                          "Invalid profile count 10001 (at most 10000)"),
    "too_many_groups": (z(record(group_count=10001)), "Invalid group count 10001 (at most 10000)"),
    "absurd_string_length": (z(record(log_file=i32(0x7FFFFFFF) + b"abc")), READ),
    "absurd_profile_count": (z(record(profile_count=0x7FFFFFFF)),
                             "Invalid profile count 2147483647 (at most 10000)"),
    "absurd_path_count": (z(record(profiles=[profile(path_count=0x7FFFFFFF)], groups=[])), READ),
    "absurd_member_count": (z(record(groups=[group(member_count=0x7FFFFFFF)])), READ),
    # a few kilobytes that unpack into a string of 70 MB
    "unpacks_too_large": (z(record(log_file=i32(70 << 20) + bytes(70 << 20))),
                          "The data unpacks to more than 67108864 bytes"),
    "schedule_kind_9": (z(record(profiles=[profile(kind=9)])), "Invalid schedule kind 9"),
}


def main():
    for name in os.listdir(HERE):
        if name.endswith(".dat"):
            os.remove(os.path.join(HERE, name))
    lines = []
    for name, (data, message) in sorted(SAMPLES.items()):
        with open(os.path.join(HERE, name + ".dat"), "wb") as f:
            f.write(data)
        lines.append(f"{name}.dat|{message}\n")
    # The intact file the damaged ones start from: it must load.
    with open(os.path.join(HERE, "intact.dat"), "wb") as f:
        f.write(GOOD)
    with open(os.path.join(HERE, "expected.txt"), "w", newline="\n") as f:
        f.write("# sample|error text raised by loading it (make_samples.py writes both)\n")
        f.writelines(lines)


if __name__ == "__main__":
    main()
