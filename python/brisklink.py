"""The Brisklink device library (isp/brisklink.h) from Python through ctypes,
with no build step: one Adapter per adapter, each usable from its own thread.

    import brisklink
    for found in brisklink.list_adapters("Update-2.1.0.exe"):
        with brisklink.Adapter("Update-2.1.0.exe", found.location) as adapter:
            print(found.location, adapter.read_version())
            adapter.run_application()

The updater named is a packed one: its trailer says which adapters it is for
(their USB identities) and the command key they take. The library is found
through BRISKLINK_LIBRARY, else beside this file as the release lays it out
(library/windows/brisklink-isp.dll, library/linux/libbrisklink-isp.so), else
in a build of the sources (build/linux/bin)."""
import ctypes
import os
import sys
import time

__all__ = ["Adapter", "Error", "Found", "list_adapters", "settled_adapters"]


class Error(Exception):
    """A failure, with the library's reason."""


class Found(ctypes.Structure):
    """One adapter on the bus (bl_found)."""
    _fields_ = [("_location", ctypes.c_char * 256), ("_mode", ctypes.c_char * 16),
                ("vendor_id", ctypes.c_uint16), ("product_id", ctypes.c_uint16),
                ("_serial", ctypes.c_char * 68)]
    location = property(lambda self: self._location.decode())
    mode = property(lambda self: self._mode.decode())
    serial = property(lambda self: self._serial.decode())

    def __repr__(self):
        return (f"Found({self.location!r}, {self.mode}, "
                f"{self.vendor_id:04X}:{self.product_id:04X}, serial {self.serial!r})")


_PROGRESS = ctypes.CFUNCTYPE(None, ctypes.c_void_p, ctypes.c_char_p, ctypes.c_int)
_library = None


def _candidates():
    if os.environ.get("BRISKLINK_LIBRARY"):
        yield os.environ["BRISKLINK_LIBRARY"]
        return
    here = os.path.dirname(os.path.abspath(__file__))
    name = "brisklink-isp.dll" if sys.platform == "win32" else "libbrisklink-isp.so"
    system = "windows" if sys.platform == "win32" else "linux"
    yield os.path.join(here, "..", system, name)
    yield os.path.join(here, "..", "build", system, "bin", name)


def _lib():
    global _library
    if _library is not None:
        return _library
    for path in _candidates():
        if os.path.exists(path):
            lib = ctypes.CDLL(os.path.abspath(path))
            break
    else:
        raise Error("the Brisklink device library was not found (set BRISKLINK_LIBRARY)")
    handle, text, u8p = ctypes.c_void_p, ctypes.c_char_p, ctypes.POINTER(ctypes.c_uint8)
    signatures = {
        "bl_list": ([text, ctypes.POINTER(Found), ctypes.c_int], ctypes.c_int),
        "bl_open": ([text, text, ctypes.c_char_p, ctypes.c_int], handle),
        "bl_close": ([handle], None),
        "bl_cancel": ([handle], None),
        "bl_last_error": ([handle], text),
        "bl_enter_loader": ([handle], ctypes.c_int),
        "bl_read_version": ([handle, ctypes.c_char_p, ctypes.c_int], ctypes.c_int),
        "bl_run_application": ([handle], ctypes.c_int),
        "bl_update": ([handle, text, _PROGRESS, ctypes.c_void_p], ctypes.c_int),
        "bl_read_data": ([handle, ctypes.c_uint32, ctypes.c_uint32, u8p], ctypes.c_int),
    }
    for name, (arguments, result) in signatures.items():
        function = getattr(lib, name)
        function.argtypes, function.restype = arguments, result
    _library = lib
    return lib


def _path(updater):
    return os.fsencode(updater) if updater is not None else None


def list_adapters(updater):
    """The adapters on the bus that `updater` is for, as Found entries."""
    lib = _lib()
    count = lib.bl_list(_path(updater), None, 0)
    if count < 0:
        raise Error(f"{updater!r} is not a packed updater (no valid trailer)")
    found = (Found * max(count, 1))()
    count = lib.bl_list(_path(updater), found, len(found))
    return list(found[:min(count, len(found))])


def settled_adapters(updater, still=1.0, limit=10.0):
    """The adapters once the bus has been still for `still` seconds (the same
    ones in the same modes), at most `limit` seconds: an adapter that was
    just restarted is off the bus for a second or so."""
    began = time.monotonic()
    last, since = None, began
    while True:
        found = list_adapters(updater)
        now = [(f.location, f.mode) for f in found]
        if now != last:
            last, since = now, time.monotonic()
        elif now and time.monotonic() - since >= still:
            return found
        if time.monotonic() - began >= limit:
            return found
        time.sleep(0.3)


class Adapter:
    """One adapter, opened for the release of a packed updater. A context
    manager: the adapter is closed (and free for others) when it ends."""

    def __init__(self, updater, location):
        self.updater, self.location, self._handle = updater, location, None

    def open(self):
        error = ctypes.create_string_buffer(512)
        self._handle = _lib().bl_open(_path(self.updater), self.location.encode(), error,
                                      len(error))
        if not self._handle:
            raise Error(f"{self.location}: {error.value.decode()}")
        return self

    def close(self):
        if self._handle:
            _lib().bl_close(self._handle)
            self._handle = None

    __enter__ = open

    def __exit__(self, *exception):
        self.close()

    @property
    def last_error(self):
        return _lib().bl_last_error(self._handle).decode() if self._handle else "not open"

    def _check(self, result, what):
        if result != 0:
            raise Error(f"{self.location}: {what}: {self.last_error or 'failed'}")

    def enter_loader(self):
        """From its application into its loader, authenticated, read."""
        self._check(_lib().bl_enter_loader(self._handle), "entering the loader")

    def read_version(self):
        """The version its version record holds ("" when erased); the
        adapter is left in its loader until run_application()."""
        text = ctypes.create_string_buffer(132)
        self._check(_lib().bl_read_version(self._handle, text, len(text)), "reading the version")
        return text.value.decode("latin-1")

    def cancel(self):
        """From another thread: the running enter_loader, read_version or
        update stops at its next report and raises Error ("cancelled
        during STEP"); the adapter is left as an interrupted update leaves
        it, and updating again restores it."""
        if self._handle:
            _lib().bl_cancel(self._handle)

    def run_application(self):
        self._check(_lib().bl_run_application(self._handle), "starting the application")

    def update(self, updater=None, progress=None):
        """The whole update with the firmware of `updater` (default: the one
        it was opened with); progress(step, percent) as it goes."""
        callback = _PROGRESS(lambda user, step, percent: progress(step.decode(), percent)
                             if progress else None)
        self._check(_lib().bl_update(self._handle, _path(updater), callback, None), "updating")

    def read(self, start, end):
        """Bytes start..end (inclusive) of its memory, in its loader."""
        buffer = (ctypes.c_uint8 * (end - start + 1))()
        self._check(_lib().bl_read_data(self._handle, start, end, buffer), "reading")
        return bytes(buffer)
