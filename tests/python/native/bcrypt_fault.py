# Windows' counterpart of getrandom_fault.c: stand-ins for the module's BCryptGenRandom and
# SystemFunction036 (RtlGenRandom), put into the module's own import address table with ctypes,
# so that only the module's calls reach them. Run as the prelude of a test's interpreter (see
# PRELUDES in conftest.py), after `import pyvelkor_core`; it binds `fault`:
#
#   fault.script(data)         answer the next requests of either generator from these bytes, in
#                              order; a request that needs more than is left takes the rest and
#                              the real generator's bytes after it
#   fault.script_left()        the number of scripted bytes not handed out yet
#   fault.arm(after, status, fallback_fills)
#                              let `after` more BCryptGenRandom calls succeed, then make every
#                              call return `status` (a failing status fills nothing); the
#                              fallback then fills its piece and returns TRUE if fallback_fills,
#                              else returns FALSE
#   fault.calls                every call so far: ("bcrypt", length, flags, null handle) or
#                              ("fallback", length)
#   fault.on_fill              None, or a function called with no arguments after scripted
#                              bytes have been written into the module's buffer
import ctypes
import ctypes.wintypes
import struct

import pyvelkor_core


class _Fault:
    BCRYPT = ctypes.WINFUNCTYPE(ctypes.c_long, ctypes.c_void_p, ctypes.c_void_p, ctypes.c_ulong, ctypes.c_ulong)
    FALLBACK = ctypes.WINFUNCTYPE(ctypes.c_ubyte, ctypes.c_void_p, ctypes.c_ulong)

    def __init__(self):
        self.calls = []
        self._script = b""
        self._next = 0
        self._after = -1
        self._status = 0
        self._fallback_fills = True
        self.on_fill = None
        kernel32 = ctypes.WinDLL("kernel32", use_last_error=True)
        kernel32.GetModuleHandleW.restype = ctypes.c_void_p
        kernel32.VirtualProtect.argtypes = [ctypes.c_void_p, ctypes.c_size_t, ctypes.c_ulong, ctypes.c_void_p]
        base = kernel32.GetModuleHandleW(pyvelkor_core.__file__)
        assert base, "pyvelkor_core.pyd is not loaded"
        slots = self._import_slots(base)
        real_bcrypt = self.BCRYPT(self._read(slots["bcrypt.dll", b"BCryptGenRandom"]))
        real_fallback = self.FALLBACK(self._read(slots["advapi32.dll", b"SystemFunction036"]))

        def bcrypt(handle, buffer, length, flags):
            self.calls.append(("bcrypt", length, flags, handle is None))
            armed = self._after == 0
            if self._after > 0:
                self._after -= 1
            if armed and self._status >= 0xC0000000:
                return ctypes.c_long(self._status).value
            status = self._fill(buffer, length, lambda at, size: real_bcrypt(handle, at, size, flags))
            # A status of a success severity is returned for a filled piece.
            return ctypes.c_long(self._status).value if armed and status == 0 else status

        def fallback(buffer, length):
            self.calls.append(("fallback", length))
            if not self._fallback_fills:
                return 0
            return 1 if self._fill(buffer, length, lambda at, size: 0 if real_fallback(at, size) else 1) == 0 else 0

        # Kept alive with the object: the import table points into them.
        self._stand_ins = (self.BCRYPT(bcrypt), self.FALLBACK(fallback))
        for slot, stand_in in zip(
            (slots["bcrypt.dll", b"BCryptGenRandom"], slots["advapi32.dll", b"SystemFunction036"]),
            self._stand_ins,
            strict=True,
        ):
            old = ctypes.c_ulong()
            assert kernel32.VirtualProtect(slot, 8, 0x04, ctypes.byref(old)), ctypes.get_last_error()  # PAGE_READWRITE
            ctypes.c_void_p.from_address(slot).value = ctypes.cast(stand_in, ctypes.c_void_p).value
            assert kernel32.VirtualProtect(slot, 8, old.value, ctypes.byref(old)), ctypes.get_last_error()

    @staticmethod
    def _read(address):
        return ctypes.c_void_p.from_address(address).value

    @staticmethod
    def _import_slots(base):
        """{(DLL name in lower case, function name): address of its import address table slot}
        from the PE32+ image at `base`."""

        def u32(address):
            return ctypes.c_uint32.from_address(address).value

        nt = base + u32(base + 0x3C)
        optional = nt + 24
        assert ctypes.c_uint16.from_address(optional).value == 0x20B, "not a PE32+ image"
        imports = base + u32(optional + 112 + 8)  # data directory 1: the import directory
        slots = {}
        while u32(imports + 12):  # Name
            dll = ctypes.string_at(base + u32(imports + 12)).decode().lower()
            names, table = base + u32(imports), base + u32(imports + 16)  # OriginalFirstThunk, FirstThunk
            for i in range(1 << 16):
                entry = struct.unpack("<Q", ctypes.string_at(names + 8 * i, 8))[0]
                if entry == 0:
                    break
                if not entry >> 63:  # by name: a 16-bit hint, then the name
                    slots[dll, ctypes.string_at(base + (entry & 0x7FFFFFFF) + 2)] = table + 8 * i
            imports += 20
        return slots

    def _fill(self, buffer, length, real):
        """Fills `length` bytes at `buffer` from the script, then from `real(at, size)`, which
        returns a status; returns the status (0 when filled)."""
        taken = min(length, len(self._script) - self._next)
        if taken:
            ctypes.memmove(buffer, self._script[self._next : self._next + taken], taken)
            self._next += taken
            if self.on_fill is not None:
                self.on_fill()
        return real(buffer + taken, length - taken) if length > taken else 0

    def script(self, data):
        self._script, self._next = bytes(data), 0

    def script_left(self):
        return len(self._script) - self._next

    def arm(self, after, status, fallback_fills):
        self._after, self._status, self._fallback_fills = after, status, fallback_fills


fault = _Fault()
