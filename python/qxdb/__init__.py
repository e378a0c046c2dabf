"""xBase tables through QXDB's C interface (libqxdbc), with ctypes only.

Every write goes through the library as a host's does: each index of the table
and its memo file follow the write, and record and file locks are taken as other
xBase programs expect.

    with qxdb.open("data/customers.dbf", write=True) as t:
        n = t.append(NAME="Ada", CITY="London")
        t.update(n, CITY="Paris")
        for record in t.range("NAME", "A", "B"):
            print(record["NAME"])

Records are dicts of field names to values: str for text and memos, int or float
for numbers, datetime.date, datetime.datetime, bool, and None where a field holds
no value. Failures raise qxdb.Error (qxdb.NotFound, qxdb.Locked for those
statuses) carrying the English message, the status and the library's own message.
"""

import ctypes
import ctypes.util
import datetime
import decimal
import json
import os
import subprocess

__all__ = ["open", "create", "Table", "Field", "Key", "Error", "NotFound", "Locked",
           "TEXT", "NUMBER", "INTEGER", "DATE", "DATETIME", "LOGICAL", "MEMO", "BINARY", "CURRENCY",
           "DBASE3", "DBASE4", "FOXBASE", "CLIPPER"]

OK, END, NOT_FOUND, LOCKED, INVALID, REFUSED, NO_LIBRARY = range(7)
TEXT, NUMBER, INTEGER, DATE, DATETIME, LOGICAL, MEMO, BINARY, CURRENCY = range(1, 10)
DBASE3, DBASE4, FOXBASE, CLIPPER = 2, 3, 4, 6
_WRITE, _HOST_TEXT = 1, 2
_TYPE_NAMES = {"text": TEXT, "number": NUMBER, "integer": INTEGER, "date": DATE, "datetime": DATETIME,
               "logical": LOGICAL, "memo": MEMO, "binary": BINARY, "currency": CURRENCY,
               "C": TEXT, "N": NUMBER, "I": INTEGER, "D": DATE, "T": DATETIME, "L": LOGICAL, "M": MEMO,
               "Y": CURRENCY}


class Error(Exception):
    """A call QXDB refused: `message` in English, `status` (qxdb_status), and the
    library's own message and error number when it gave one."""

    def __init__(self, message, status=REFUSED, library_message="", library_error=0):
        super().__init__(message + (" [%s, error %d]" % (library_message, library_error) if library_error else ""))
        self.message = message
        self.status = status
        self.library_message = library_message
        self.library_error = library_error


class NotFound(Error):
    """No such record or table."""


class Locked(Error):
    """Another program's lock refused the operation, after the wait."""


class Field(tuple):
    """A field of the table: name, type (qxdb.TEXT ...), xBase letter, size, decimals."""
    __slots__ = ()
    name = property(lambda self: self[0])
    type = property(lambda self: self[1])
    xbase_type = property(lambda self: self[2])
    size = property(lambda self: self[3])
    decimals = property(lambda self: self[4])

    def __new__(cls, name, type, xbase_type, size, decimals):
        return tuple.__new__(cls, (name, type, xbase_type, size, decimals))

    def __repr__(self):
        return "Field(%r, %r, %r, %d, %d)" % tuple(self)


class Key(tuple):
    """A key of the table: name (to walk, seek and count by), expression, index file,
    unique, descending."""
    __slots__ = ()
    name = property(lambda self: self[0])
    expression = property(lambda self: self[1])
    file = property(lambda self: self[2])
    unique = property(lambda self: self[3])
    descending = property(lambda self: self[4])

    def __new__(cls, name, expression, file, unique, descending):
        return tuple.__new__(cls, (name, expression, file, unique, descending))

    def __repr__(self):
        return "Key(%r, %r, %r, unique=%r, descending=%r)" % tuple(self)


class _FieldInfo(ctypes.Structure):
    _fields_ = [("name", ctypes.c_char_p), ("type", ctypes.c_int), ("xbase_type", ctypes.c_char),
                ("size", ctypes.c_int), ("decimals", ctypes.c_int)]


class _KeyInfo(ctypes.Structure):
    _fields_ = [("name", ctypes.c_char_p), ("expression", ctypes.c_char_p), ("file", ctypes.c_char_p),
                ("unique", ctypes.c_int), ("descending", ctypes.c_int)]


class _FieldDef(ctypes.Structure):
    _fields_ = [("name", ctypes.c_char_p), ("type", ctypes.c_int), ("size", ctypes.c_int),
                ("decimals", ctypes.c_int)]


class _KeyDef(ctypes.Structure):
    _fields_ = [("name", ctypes.c_char_p), ("expression", ctypes.c_char_p), ("file", ctypes.c_char_p)]


_PROGRESS = ctypes.CFUNCTYPE(None, ctypes.c_void_p, ctypes.c_uint64, ctypes.c_uint64)


def _find_library():
    path = os.environ.get("QXDB_C_LIBRARY")
    if path:
        return path
    found = ctypes.util.find_library("qxdbc")
    if found:
        return found
    try:
        libdir = subprocess.run(["pkg-config", "--variable=libdir", "qxdb"], capture_output=True, text=True,
                                check=True).stdout.strip()
        if libdir and os.path.exists(os.path.join(libdir, "libqxdbc.so")):
            return os.path.join(libdir, "libqxdbc.so")
    except (OSError, subprocess.CalledProcessError):
        pass
    return "libqxdbc.so"


_lib = None


def _library():
    global _lib
    if _lib is not None:
        return _lib
    try:
        lib = ctypes.CDLL(_find_library())
    except OSError as e:
        raise Error("cannot load QXDB's C library libqxdbc.so (set QXDB_C_LIBRARY to its path): %s" % e,
                    NO_LIBRARY)
    P, I, S, L, D = ctypes.c_void_p, ctypes.c_int, ctypes.c_char_p, ctypes.c_int64, ctypes.c_double
    signatures = {
        "qxdb_message": (S, []), "qxdb_library_message": (S, []), "qxdb_library_error": (I, []),
        "qxdb_open": (I, [S, I, ctypes.POINTER(P)]), "qxdb_close": (None, [P]),
        "qxdb_create": (I, [S, S, I, ctypes.POINTER(_FieldDef), I, ctypes.POINTER(_KeyDef), I]),
        "qxdb_field_count": (I, [P]), "qxdb_field": (I, [P, I, ctypes.POINTER(_FieldInfo)]),
        "qxdb_key_count": (I, [P]), "qxdb_key": (I, [P, I, ctypes.POINTER(_KeyInfo)]), "qxdb_path": (S, [P]),
        "qxdb_first": (I, [P, S]), "qxdb_last": (I, [P, S]), "qxdb_next": (I, [P]), "qxdb_prev": (I, [P]),
        "qxdb_range": (I, [P, S, S, S]), "qxdb_seek": (I, [P, S, S, I]), "qxdb_goto": (I, [P, L]),
        "qxdb_count": (I, [P, S, S, S, ctypes.POINTER(L)]), "qxdb_recno": (L, [P]), "qxdb_deleted": (I, [P]),
        "qxdb_record_json": (S, [P]), "qxdb_set": (I, [P, S, S]), "qxdb_clear": (None, [P]),
        "qxdb_append": (I, [P, ctypes.POINTER(L)]), "qxdb_update": (I, [P, L]), "qxdb_delete": (I, [P, L]),
        "qxdb_recall": (I, [P, L]), "qxdb_lock_record": (I, [P, L, D]), "qxdb_unlock_record": (I, [P, L]),
        "qxdb_lock_table": (I, [P, D]), "qxdb_unlock_table": (I, [P]),
        "qxdb_pack": (I, [P, _PROGRESS, P]), "qxdb_reindex": (I, [P, _PROGRESS, P]),
        "qxdb_filter": (I, [P, S]),
        "qxdb_read_json": (I, [P, I, ctypes.POINTER(ctypes.c_char_p), ctypes.POINTER(I), ctypes.POINTER(L),
                               ctypes.POINTER(I)]),
    }
    for name, (restype, argtypes) in signatures.items():
        function = getattr(lib, name)
        function.restype = restype
        function.argtypes = argtypes
    _lib = lib
    return lib


def _raise(status):
    lib = _library()
    message = lib.qxdb_message().decode("utf-8", "replace")
    library_message = lib.qxdb_library_message().decode("utf-8", "replace")
    kind = NotFound if status == NOT_FOUND else Locked if status == LOCKED else Error
    raise kind(message, status, library_message, lib.qxdb_library_error())


def _check(status):
    if status != OK:
        _raise(status)


def _text(value):
    """A Python value as the text the C interface takes (None: blank)."""
    if value is None:
        return None
    if isinstance(value, bool):
        return b"T" if value else b"F"
    if isinstance(value, datetime.datetime):
        return value.strftime("%Y-%m-%dT%H:%M:%S").encode()
    if isinstance(value, datetime.date):
        return value.strftime("%Y-%m-%d").encode()
    if isinstance(value, float):
        return repr(value).encode()
    if isinstance(value, (int, decimal.Decimal)):
        return str(value).encode()
    if isinstance(value, bytes):
        return value
    return str(value).encode("utf-8")


_date = datetime.date.fromisoformat
_datetime = datetime.datetime.fromisoformat


def _bytes(value):
    return None if value is None else str(value).encode("utf-8")


class Table:
    """An open table. Iterating gives its records in record order (deleted records
    passed over); walk, range and seek go by a key."""

    def __init__(self, path, write=False, host_text=False):
        lib = _library()
        handle = ctypes.c_void_p()
        _check(lib.qxdb_open(os.fsencode(path), (_WRITE if write else 0) | (_HOST_TEXT if host_text else 0),
                             ctypes.byref(handle)))
        self._lib = lib
        self._t = handle
        self.fields = []
        info = _FieldInfo()
        for i in range(lib.qxdb_field_count(handle)):
            _check(lib.qxdb_field(handle, i, ctypes.byref(info)))
            self.fields.append(Field(info.name.decode("utf-8"), info.type, info.xbase_type.decode("latin-1"),
                                     info.size, info.decimals))
        self.keys = []
        key = _KeyInfo()
        for i in range(lib.qxdb_key_count(handle)):
            _check(lib.qxdb_key(handle, i, ctypes.byref(key)))
            self.keys.append(Key(key.name.decode("utf-8"), key.expression.decode("utf-8"), key.file.decode("utf-8"),
                                 bool(key.unique), bool(key.descending)))
        self.path = lib.qxdb_path(handle).decode("utf-8")
        # Fields whose JSON strings become dates and date-times.
        self._dates = [f.name for f in self.fields if f.type == DATE]
        self._datetimes = [f.name for f in self.fields if f.type == DATETIME]
        # The record last handed out: its number and deleted flag (a walk reads
        # ahead of what it has handed out).
        self._recno, self._deleted = 0, False

    # ---- life ----
    def close(self):
        """Releases the table's locks and closes it."""
        if self._t:
            self._lib.qxdb_close(self._t)
            self._t = None

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
        return False

    def __del__(self):
        try:
            self.close()
        except Exception:
            pass

    def _handle(self):
        if not self._t:
            raise Error("the table is closed", INVALID)
        return self._t

    # ---- reading ----
    def _typed(self, record):
        """Dates and date-times, which JSON gives as text, as Python's own."""
        for name in self._dates:
            v = record[name]
            if v is not None:
                record[name] = _date(v)
        for name in self._datetimes:
            v = record[name]
            if v is not None:
                record[name] = _datetime(v)
        return record

    def _record(self):
        lib, t = self._lib, self._t
        self._recno, self._deleted = lib.qxdb_recno(t), bool(lib.qxdb_deleted(t))
        return self._typed(json.loads(lib.qxdb_record_json(t)))

    _BATCH = 512

    def _walk(self, status):
        """The records from the one read on, read a batch per call."""
        lib, t = self._lib, self._t
        if status not in (OK, END):
            _raise(status)
        text, count = ctypes.c_char_p(), ctypes.c_int()
        recnos, deleted = (ctypes.c_int64 * self._BATCH)(), (ctypes.c_int * self._BATCH)()
        typed = self._typed
        while status == OK:
            status = lib.qxdb_read_json(t, self._BATCH, ctypes.byref(text), ctypes.byref(count), recnos, deleted)
            if status not in (OK, END):
                _raise(status)
            for i, record in enumerate(json.loads(text.value)):
                self._recno, self._deleted = recnos[i], bool(deleted[i])
                yield typed(record)

    def __iter__(self):
        return self.walk()

    def walk(self, key=None, reverse=False):
        """The records in record order (key None, deleted ones passed over) or in the
        order of `key` (deleted ones included: see recno/deleted)."""
        lib, t = self._lib, self._handle()
        if reverse:
            return self._walk_back(lib.qxdb_last(t, _bytes(key)))
        return self._walk(lib.qxdb_first(t, _bytes(key)))

    def _walk_back(self, status):
        lib, t = self._lib, self._t
        while status == OK:
            yield self._record()
            status = lib.qxdb_prev(t)
        if status != END:
            _raise(status)

    def range(self, key, lo=None, hi=None):
        """The records whose `key` lies between lo and hi (None: open); text bounds are
        prefixes ("B" to "C" takes every key from B to C...)."""
        lib, t = self._lib, self._handle()
        return self._walk(lib.qxdb_range(t, _bytes(key), _text(lo), _text(hi)))

    def seek(self, key, value, prefix=False):
        """The first record whose key equals value (begins with it, with prefix), or None."""
        status = self._lib.qxdb_seek(self._handle(), _bytes(key), _text(value), 1 if prefix else 0)
        if status == NOT_FOUND:
            return None
        _check(status)
        return self._record()

    def read(self, recno):
        """Record recno (counted from 1), deleted or not."""
        _check(self._lib.qxdb_goto(self._handle(), recno))
        return self._record()

    def where(self, condition):
        """The records in record order that meet an xBase condition
        (CITY = "Lyon" .AND. AMOUNT > 1000, EMPTY(BORN) ...)."""
        lib, t = self._lib, self._handle()
        _check(lib.qxdb_filter(t, _bytes(condition)))
        try:
            yield from self._walk(lib.qxdb_first(t, None))
        finally:
            lib.qxdb_filter(t, None)

    @property
    def recno(self):
        """The number of the record handed out last (0: none)."""
        return self._recno

    @property
    def deleted(self):
        """Whether the record handed out last is marked deleted."""
        return self._deleted

    def count(self, key=None, lo=None, hi=None):
        """The table's records (deleted included), or the keys of `key` between lo and hi."""
        n = ctypes.c_int64()
        _check(self._lib.qxdb_count(self._handle(), _bytes(key), _text(lo), _text(hi), ctypes.byref(n)))
        return n.value

    def __len__(self):
        return self.count()

    # ---- writing ----
    def _set(self, values, kw):
        lib, t = self._lib, self._handle()
        lib.qxdb_clear(t)
        items = dict(values or {}, **kw)
        for name, value in items.items():
            _check(lib.qxdb_set(t, _bytes(name), _text(value)))

    def append(self, values=None, **kw):
        """Adds a record (fields left out are blank); returns its number."""
        self._set(values, kw)
        n = ctypes.c_int64()
        _check(self._lib.qxdb_append(self._t, ctypes.byref(n)))
        return n.value

    def update(self, recno, values=None, **kw):
        """Changes the fields given of record recno (the others keep what the record
        holds when its lock is taken)."""
        self._set(values, kw)
        _check(self._lib.qxdb_update(self._t, recno))

    def delete(self, recno):
        _check(self._lib.qxdb_delete(self._handle(), recno))

    def recall(self, recno):
        _check(self._lib.qxdb_recall(self._handle(), recno))

    # ---- locks ----
    def lock(self, recno=None, wait=0.0):
        """Locks record recno, or the whole table (recno None), waiting up to `wait`
        seconds for another program's lock; usable as a context manager that unlocks."""
        if recno is None:
            _check(self._lib.qxdb_lock_table(self._handle(), float(wait)))
        else:
            _check(self._lib.qxdb_lock_record(self._handle(), recno, float(wait)))
        return _Lock(self, recno)

    def unlock(self, recno=None):
        """Unlocks record recno, or every lock the table holds (recno None)."""
        if recno is None:
            _check(self._lib.qxdb_unlock_table(self._handle()))
        else:
            _check(self._lib.qxdb_unlock_record(self._handle(), recno))

    # ---- maintenance ----
    def _maintain(self, function, progress):
        callback = _PROGRESS(lambda context, done, total: progress(done, total)) if progress else _PROGRESS()
        _check(function(self._handle(), callback, None))

    def pack(self, progress=None):
        """Removes the deleted records and their memos, then builds every index again;
        progress(done, total) is called as it goes."""
        self._maintain(self._lib.qxdb_pack, progress)

    def reindex(self, progress=None):
        """Builds every index of the table again."""
        self._maintain(self._lib.qxdb_reindex, progress)


class _Lock:
    def __init__(self, table, recno):
        self._table, self._recno = table, recno

    def __enter__(self):
        return self._table

    def __exit__(self, *exc):
        self._table.unlock(self._recno)
        return False


def open(path, write=False, host_text=False):
    """Opens the table at path (the data file, with or without its extension).
    host_text gives text as a host sees it (code page 1252) instead of the table's own."""
    return Table(path, write, host_text)


def create(directory, name, fields, keys=(), format=CLIPPER):
    """Creates a table with its index files (and memo file when a field is a memo).
    fields: (name, type[, size[, decimals]]) with type qxdb.TEXT ... or "C", "N", "D",
    "L", "M"; keys: (name, expression, index file). Returns nothing; open it after."""
    lib = _library()
    field_defs = (_FieldDef * len(fields))()
    for i, f in enumerate(fields):
        type_ = _TYPE_NAMES.get(f[1], f[1]) if isinstance(f[1], str) else f[1]
        if not isinstance(type_, int):
            raise Error("field %s: %r is no type" % (f[0], f[1]), INVALID)
        field_defs[i] = _FieldDef(f[0].encode("utf-8"), type_, f[2] if len(f) > 2 else 0, f[3] if len(f) > 3 else 0)
    key_defs = (_KeyDef * max(len(keys), 1))()
    for i, k in enumerate(keys):
        key_defs[i] = _KeyDef(k[0].encode("utf-8"), k[1].encode("utf-8"), k[2].encode("utf-8"))
    _check(lib.qxdb_create(os.fsencode(directory), name.encode("utf-8"), format, field_defs, len(fields),
                           key_defs, len(keys)))
