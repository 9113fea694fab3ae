"""Arrow C data interface structures made with ctypes, for producers that break the interface's rules in ways
pyarrow never does (released structures, misnamed capsules, texts that are not UTF-8, impossible lengths)."""

import ctypes
from ctypes import CFUNCTYPE, POINTER, c_char_p, c_int64, c_void_p


class ArrowSchema(ctypes.Structure):
    pass


class ArrowArray(ctypes.Structure):
    pass


SchemaRelease = CFUNCTYPE(None, POINTER(ArrowSchema))
ArrayRelease = CFUNCTYPE(None, POINTER(ArrowArray))
ArrowSchema._fields_ = [
    ("format", c_char_p), ("name", c_char_p), ("metadata", c_char_p), ("flags", c_int64), ("n_children", c_int64),
    ("children", POINTER(POINTER(ArrowSchema))), ("dictionary", POINTER(ArrowSchema)), ("release", SchemaRelease),
    ("private_data", c_void_p)]
ArrowArray._fields_ = [
    ("length", c_int64), ("null_count", c_int64), ("offset", c_int64), ("n_buffers", c_int64),
    ("n_children", c_int64), ("buffers", POINTER(c_void_p)), ("children", POINTER(POINTER(ArrowArray))),
    ("dictionary", POINTER(ArrowArray)), ("release", ArrayRelease), ("private_data", c_void_p)]

_capsule_new = ctypes.pythonapi.PyCapsule_New
_capsule_new.restype = ctypes.py_object
_capsule_new.argtypes = [c_void_p, c_char_p, c_void_p]


class Producer:
    """__arrow_c_array__ of a schema and an array (each a struct, or None for a null release), in capsules named
    `names`; `released` lists what the importer released ("schema", "array")."""

    def __init__(self, schema_format=b"+s", child_formats=(), length=0, names=(b"arrow_schema", b"arrow_array"),
                 release=(True, True)):
        self.released = []
        self.keep = []
        children = [self._schema(f, b"c", True) for f in child_formats]
        self.schema = self._schema(schema_format, b"", release[0], children)
        self.array = ArrowArray(length=length, n_buffers=1, buffers=(c_void_p * 1)(None))
        self.array.n_children = len(children)
        if release[1]:
            self.array.release = self._release(ArrayRelease, "array")
        self.names = names

    def _release(self, kind, what):
        def release(p):
            self.released.append(what)
            p.contents.release = kind()

        callback = kind(release)
        self.keep.append(callback)
        return callback

    def _schema(self, fmt, name, release, children=()):
        s = ArrowSchema(format=fmt, name=name, n_children=len(children))
        if children:
            s.children = (POINTER(ArrowSchema) * len(children))(*[ctypes.pointer(c) for c in children])
        if release:
            s.release = self._release(SchemaRelease, "schema" if name == b"" else "child")
        self.keep.append(s)
        return s

    def __arrow_c_array__(self, requested_schema=None):
        return tuple(_capsule_new(ctypes.addressof(s), name, None)
                     for s, name in zip((self.schema, self.array), self.names))
