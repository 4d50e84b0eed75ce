#!/usr/bin/env python3
"""Updates every adapter that a packed updater is for with its firmware, all
at once, one thread each, with a progress line per adapter and step. Exit code
1 when one failed.
    update_all.py UPDATER"""
import os
import sys
import threading

sys.path[:0] = [os.path.join(os.path.dirname(os.path.abspath(__file__)), d)
                for d in ("../python", ".")]
import brisklink  # noqa: E402

print_lock = threading.Lock()


def say(text):
    with print_lock:
        print(text, flush=True)


def main(updater):
    found = brisklink.settled_adapters(updater)
    if not found:
        print("No adapter is on the bus.", file=sys.stderr)
        return 1
    failed = []

    def update(location):
        shown = {}

        def progress(step, percent):
            # Each step's start, its quarters and its end.
            if percent // 25 != shown.get(step, -1):
                shown[step] = percent // 25
                say(f"[{location}] {step} {percent}%")

        try:
            with brisklink.Adapter(updater, location) as a:
                a.update(progress=progress)
            say(f"[{location}] updated")
        except brisklink.Error as e:
            failed.append(location)
            say(f"[{location}] failed: {e}")

    threads = [threading.Thread(target=update, args=(a.location,)) for a in found]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    say(f"{len(found)} adapters: {len(found) - len(failed)} updated, {len(failed)} failed")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]) if len(sys.argv) == 2 else __doc__)
