#!/usr/bin/env python3
# SPDX-License-Identifier: Apache-2.0
"""no_build_paths.py BINARY... -- PATH...

Fails if any BINARY holds one of the PATHs (the source and build folders):
the build maps them out of the binaries' debug information and file names,
so that two checkouts in different places build the same bytes."""

import sys


def main():
    args = sys.argv[1:]
    if "--" not in args:
        sys.exit(__doc__)
    split = args.index("--")
    binaries, paths = args[:split], args[split + 1 :]
    if not binaries or not paths:
        sys.exit(__doc__)
    found = 0
    for binary in binaries:
        with open(binary, "rb") as f:
            data = f.read()
        for path in paths:
            at = data.find(path.encode())
            if at >= 0:
                found += 1
                start = max(data.rfind(b"\0", 0, at) + 1, at - 80)
                end = data.find(b"\0", at, at + 200)
                text = data[start : end if end >= 0 else at + 200].decode("utf-8", "replace")
                print(f"{binary}: {path} at offset {at}: {text!r}", file=sys.stderr)
    if found:
        sys.exit(1)
    print(f"none of {len(paths)} build paths in {len(binaries)} binaries")


if __name__ == "__main__":
    main()
