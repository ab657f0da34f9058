"""Lists what lies in this machine's product folders (/Library, /Users, /Applications) before the
suite and fails after it when anything new appeared: every test works in a temporary root.

    machine_folders.py record LISTING
    machine_folders.py compare LISTING
"""
import os
import sys

FOLDERS = ("/Library", "/Users", "/Applications")


def listing():
    seen = set()
    for top in FOLDERS:
        if not os.path.lexists(top):
            continue
        seen.add(top)
        for folder, dirs, files in os.walk(top, onerror=lambda e: None):
            for name in dirs + files:
                seen.add(os.path.join(folder, name))
    return seen


def main():
    mode, path = sys.argv[1], sys.argv[2]
    if mode == "record":
        with open(path, "w", encoding="utf-8", errors="surrogateescape") as out:
            out.write("".join(p + "\n" for p in sorted(listing())))
        return 0
    with open(path, encoding="utf-8", errors="surrogateescape") as recorded:
        before = set(recorded.read().splitlines())
    new = sorted(listing() - before)
    if new:
        print("the tests wrote into this machine's folders:")
        for p in new:
            print("  " + p)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
