#!/usr/bin/env python3
"""Writes valid Data.dat files (compressed) and raw records with profiles,
paths and groups: the starting points of the fuzzer. Run: python3 make_seeds.py
"""
import os
import struct
import sys
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "datadat"))
from make_samples import event, group, profile, record, text  # noqa: E402


def remote_record(profiles, groups):
    head = struct.pack("<IHHi", 0x800009FF, 8730, 64, 10)
    head += text("D:\\Logs\\rsync.log") + text("%t %f") + text("%n") + text("D:\\Keys\\pw.txt")
    head += struct.pack("<i", 1) + text("jo") + text("store")
    head += text("Master") + text("Bin\\RSync.exe")
    head += text("ops@example.org") + text("kal@example.org") + text("127.0.0.1") + text("")
    head += struct.pack("<i", len(profiles)) + b"".join(profiles)
    head += struct.pack("<i", len(groups)) + b"".join(groups)
    return head


SEEDS = {
    "empty_config": record(profiles=[], groups=[]),
    "one_profile": record(),
    "profiles_and_groups": record(
        profiles=[
            profile(paths=("C:\\Data", "D:\\Photos 2008", "\\\\nas\\share\\x"), sources=0x0603,
                    kind=3, ev=event("Home", 46000.25, 1, 2)),
            profile(paths=(), sources=0x0002, kind=0, ev=event("Work", 45000.0, 0, 0)),
            profile(paths=("E:\\",), sources=0, kind=8, ev=event("Yearly", 47000.5, 1, 7)),
        ],
        groups=[group("StartupRestore", (0,)), group("ShutdownRestore", ()),
                group("StartupBackup", (1, 2)), group("ShutdownBackup", (2, 0))]),
    "remote_destination": remote_record(
        [profile(paths=("C:\\Users\\jo\\My Documents",), sources=0x07FF, kind=6)],
        [group("ShutdownBackup", (0,))]),
}

for name, raw in SEEDS.items():
    with open(os.path.join(HERE, name + ".raw"), "wb") as f:
        f.write(raw)
    with open(os.path.join(HERE, name + ".dat"), "wb") as f:
        f.write(zlib.compress(raw, -1))
