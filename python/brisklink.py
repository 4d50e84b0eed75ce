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
import threading
import time

__all__ = ["Adapter", "Error", "Found", "Interrupted", "list_adapters", "settled_adapters"]

_INTERRUPTED = 2  # BL_INTERRUPTED


class Error(Exception):
    """A failure, with the library's reason; every failure of this module is
    one. `status` is "failed", or "interrupted" for an Interrupted."""
    status = "failed"


class Interrupted(Error):
    """An operation stopped by cancel() or close(): the adapter is left as an
    interrupted update leaves it, and updating again restores it."""
    status = "interrupted"


def _text(raw):
    # The library's texts are UTF-8; a byte that is not decodes as U+FFFD.
    return raw.decode("utf-8", "replace") if raw else ""


def _encode(value, what):
    if isinstance(value, bytes):
        return value
    if isinstance(value, str):
        return value.encode("utf-8", "surrogateescape")
    if isinstance(value, os.PathLike):
        return os.fsencode(value)
    raise Error(f"{what} must be a text or a path, not {type(value).__name__}")


class Found(ctypes.Structure):
    """One adapter on the bus (bl_found)."""
    _fields_ = [("_location", ctypes.c_char * 256), ("_mode", ctypes.c_char * 16),
                ("vendor_id", ctypes.c_uint16), ("product_id", ctypes.c_uint16),
                ("_serial", ctypes.c_char * 68)]
    location = property(lambda self: _text(self._location))
    mode = property(lambda self: _text(self._mode))
    serial = property(lambda self: _text(self._serial))

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
            try:
                lib = ctypes.CDLL(os.path.abspath(path))
            except OSError as e:
                raise Error(f"the Brisklink device library {path} cannot be loaded: {e}") from None
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
    return _encode(updater, "the updater") if updater is not None else None


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
    manager: the adapter is closed (and free for others) when it ends. Its
    calls run one at a time; cancel() and close() may come from any other
    thread (never from a progress callback): close() cancels a running call,
    waits for it and then frees the handle, and later calls raise Error."""

    def __init__(self, updater, location):
        self.updater, self.location, self._handle = updater, location, None
        self._calls = threading.Lock()   # one call at a time on the link
        self._state = threading.Lock()   # the handle, against a cancel during its close
        self._closing = False

    def open(self):
        error = ctypes.create_string_buffer(512)
        location = _encode(self.location, "the location")
        with self._calls:
            if self._handle:
                return self
            handle = _lib().bl_open(_path(self.updater), location, error, len(error))
            if not handle:
                raise Error(f"{self.location}: {_text(error.value)}")
            with self._state:
                self._handle, self._closing = handle, False
        return self

    def close(self):
        with self._state:
            self._closing = True
            if self._handle:
                _lib().bl_cancel(self._handle)
        with self._calls, self._state:
            if self._handle:
                _lib().bl_close(self._handle)
                self._handle = None

    __enter__ = open

    def __exit__(self, *exception):
        self.close()

    @property
    def last_error(self):
        with self._state:
            return _text(_lib().bl_last_error(self._handle)) if self._handle else "not open"

    def _call(self, what, function, *arguments):
        with self._calls:
            if not self._handle or self._closing:
                raise Error(f"{self.location}: {what}: the adapter is not open")
            result = function(self._handle, *arguments)
            if result == 0:
                return
            reason = _text(_lib().bl_last_error(self._handle)) or "failed"
        kind = Interrupted if result == _INTERRUPTED else Error
        raise kind(f"{self.location}: {what}: {reason}")

    def enter_loader(self):
        """From its application into its loader, authenticated, read."""
        self._call("entering the loader", _lib().bl_enter_loader)

    def read_version(self):
        """The version its version record holds ("" when erased); the
        adapter is left in its loader until run_application()."""
        text = ctypes.create_string_buffer(132)
        self._call("reading the version", _lib().bl_read_version, text, len(text))
        return _text(text.value)

    def cancel(self):
        """From another thread: the running enter_loader, read_version or
        update stops at its next report and raises Interrupted ("cancelled
        during STEP"); the adapter is left as an interrupted update leaves
        it, and updating again restores it."""
        with self._state:
            if self._handle:
                _lib().bl_cancel(self._handle)

    def run_application(self):
        self._call("starting the application", _lib().bl_run_application)

    def update(self, updater=None, progress=None):
        """The whole update with the firmware of `updater` (default: the one
        it was opened with); progress(step, percent) as it goes."""
        callback = _PROGRESS(lambda user, step, percent: progress(_text(step), percent)
                             if progress else None)
        self._call("updating", _lib().bl_update, _path(updater), callback, None)

    def read(self, start, end):
        """Bytes start..end (inclusive) of its memory, in its loader."""
        if not 0 <= start <= end <= 0xFFFFFFFF:
            raise Error(f"{self.location}: reading: {start:#x}..{end:#x} is no address range")
        buffer = (ctypes.c_uint8 * (end - start + 1))()
        self._call("reading", _lib().bl_read_data, start, end, buffer)
        return bytes(buffer)
