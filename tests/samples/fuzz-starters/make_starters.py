#!/usr/bin/env python3
"""Writes valid Data.dat files (compressed) and raw records with profiles,
paths and groups: the starting points of the fuzzer. Run: python3 make_starters.py
"""
import os
import struct
import sys
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "datadat"))
from make_samples import event, group, profile, text  # noqa: E402


def config(profiles, groups, remote=False):
    """A whole record with settings of its own: a local folder or a remote host."""
    flags = 0x800009FF if remote else 0x000009F7
    head = struct.pack("<IHHi", flags, 8873 if remote else 873, 128 if remote else 0, 30)
    head += text("E:\\Journal\\transfer.log") + text("%o %f %l") + text("%f")
    head += text("E:\\Secrets\\rsync.pw" if remote else "")
    if remote:
        head += struct.pack("<i", 1) + text("maria") + text("backup-host")
    else:
        head += struct.pack("<i", 0) + text("F:\\Archive\\")
    head += text("Family") + text("Tools\\rsync.exe")
    head += text("maria@example.net") + text("reports@example.net") + text("127.0.0.1:2525")
    head += text("maria" if remote else "")
    head += struct.pack("<i", len(profiles)) + b"".join(profiles)
    head += struct.pack("<i", len(groups)) + b"".join(groups)
    return head


NO_GROUPS = [group("StartupRestore", ()), group("ShutdownRestore", ()),
             group("StartupBackup", ()), group("ShutdownBackup", ())]

STARTERS = {
    "no_profiles": config(profiles=[], groups=NO_GROUPS),
    "single_profile": config(
        profiles=[profile(paths=("F:\\Music",), sources=0x0010, kind=2,
                          ev=event("Evening", 46100.875, 1, 2))],
        groups=NO_GROUPS),
    "profiles_and_groups": config(
        profiles=[
            profile(paths=("C:\\Recipes", "D:\\Scans 2019", "\\\\server\\team\\plans"),
                    sources=0x0603, kind=3, ev=event("Nightly", 46000.25, 1, 2)),
            profile(paths=(), sources=0x0002, kind=0, ev=event("Ad hoc", 45000.0, 0, 0)),
            profile(paths=("E:\\",), sources=0, kind=8, ev=event("Yearly", 47000.5, 1, 7)),
        ],
        groups=[group("StartupRestore", (0,)), group("ShutdownRestore", ()),
                group("StartupBackup", (1, 2)), group("ShutdownBackup", (2, 0))]),
    "remote_destination": config(
        [profile(paths=("C:\\Users\\maria\\Letters",), sources=0x07FF, kind=6,
                 ev=event("Weekly letters", 46200.5, 1, 3))],
        [group("StartupRestore", ()), group("ShutdownRestore", ()),
         group("StartupBackup", ()), group("ShutdownBackup", (0,))],
        remote=True),
}

for name, raw in STARTERS.items():
    with open(os.path.join(HERE, name + ".raw"), "wb") as f:
        f.write(raw)
    with open(os.path.join(HERE, name + ".dat"), "wb") as f:
        f.write(zlib.compress(raw, -1))
