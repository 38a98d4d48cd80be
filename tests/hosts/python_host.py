#!/usr/bin/env python3
"""A Python host: loads the library through ctypes, finds the handheld, uploads a file and ends.

    python_host.py upload return|exit

The library file is TARVIX_LIBRARY, the PC file TARVIX_HOST_UPLOAD.  Prints "leaving" when it starts
to leave; exit status 0 when every step went as expected, 3 when one did not."""
import ctypes
import os
import sys


def fail(what, value):
    print(f"host: {what} ({value})", file=sys.stderr, flush=True)
    sys.exit(3)


def main():
    if len(sys.argv) != 3 or sys.argv[1] != "upload" or sys.argv[2] not in ("return", "exit"):
        fail("usage: python_host.py upload return|exit", 0)
    lib = ctypes.CDLL(os.environ["TARVIX_LIBRARY"])
    port, rate, mode = ctypes.c_int32(1), ctypes.c_int32(115200), ctypes.c_uint8(0)
    found = lib.AdPortAndRateAndMode(ctypes.byref(port), ctypes.byref(rate), ctypes.byref(mode))
    if found != 0:
        fail("no handheld found", found)
    pc_path = os.environ["TARVIX_HOST_UPLOAD"].encode()
    result = lib.SendFileToHc(0, 0, b"\\UP.BIN", pc_path, 0, 1)
    if result != 0:
        fail("upload", result)
    print("leaving", flush=True)
    if sys.argv[2] == "exit":
        sys.exit(0)


main()
