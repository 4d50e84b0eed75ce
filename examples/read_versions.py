#!/usr/bin/env python3
"""Reads the firmware version of every adapter that a packed updater is for,
all adapters at once, one thread each, and starts each one's application
again. Prints "LOCATION  SERIAL  VERSION" per adapter; exit code 1 when one
could not be read.
    read_versions.py UPDATER"""
import os
import sys
import threading

sys.path[:0] = [os.path.join(os.path.dirname(os.path.abspath(__file__)), d)
                for d in ("../python", ".")]
import brisklink  # noqa: E402


def main(updater):
    found = brisklink.settled_adapters(updater)
    if not found:
        print("No adapter is on the bus.", file=sys.stderr)
        return 1
    results = {}

    def read(adapter):
        try:
            with brisklink.Adapter(updater, adapter.location) as a:
                version = a.read_version() or "(erased)"
                a.run_application()
                results[adapter.location] = version
        except brisklink.Error as e:
            results[adapter.location] = f"failed: {e}"

    threads = [threading.Thread(target=read, args=(a,)) for a in found]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    for a in found:
        print(f"{a.location}  {a.serial or '-'}  {results[a.location]}")
    return 1 if any(r.startswith("failed") for r in results.values()) else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]) if len(sys.argv) == 2 else __doc__)
