#!/usr/bin/env python3
"""Writes the sample directory examples/data: a few small tables in several
dialects, byte by byte. Run from the repository root: python3 tools/make_examples.py
"""
import datetime
import os
import struct

OUT = 'examples/data'


def descriptor(name, ftype, length, decimals=0, flags=0):
    d = bytearray(32)
    d[0:len(name)] = name.encode('ascii')
    d[11] = ord(ftype)
    d[16] = length & 0xFF
    d[17] = decimals
    d[18] = flags
    return bytes(d)


def write_table(path, version, fields, records, language_driver=0, vfp=False, deleted=()):
    """fields: (name, type, length, decimals, flags); records: bytes per field."""
    # A C field's decimals byte is the high byte of its length (FoxPro, Clipper).
    record_length = 1 + sum(f[2] + (256 * f[3] if f[1] == 'C' else 0) for f in fields)
    header_length = 32 + 32 * len(fields) + 1 + (263 if vfp else 0)
    header = bytearray(32)
    header[0] = version
    header[1:4] = bytes([124, 11, 30])
    struct.pack_into('<IHH', header, 4, len(records), header_length, record_length)
    header[29] = language_driver
    out = bytearray(header)
    for f in fields:
        out += descriptor(*f)
    out += b'\x0d'
    if vfp:
        out += bytes(263)
    for i, rec in enumerate(records):
        body = b''.join(rec)
        assert len(body) == record_length - 1, (path, i, len(body), record_length)
        out += (b'*' if i in deleted else b' ') + body
    out += b'\x1a'
    with open(os.path.join(OUT, path), 'wb') as f:
        f.write(out)


def c(text, n, cp='cp850'):
    return text.encode(cp)[:n].ljust(n, b' ')


def num(value, n, dec=0):
    return (('%*.*f' % (n, dec, value)) if value is not None else ' ' * n).encode('ascii')


def date(d):
    return d.strftime('%Y%m%d').encode('ascii') if d else b' ' * 8


def customers():
    fields = [('ID', 'N', 6, 0, 0), ('NAME', 'C', 24, 0, 0), ('CITY', 'C', 16, 0, 0),
              ('BALANCE', 'N', 10, 2, 0), ('SINCE', 'D', 8, 0, 0), ('ACTIVE', 'L', 1, 0, 0)]
    rows = [(1, 'Dupont & Fils', 'Besançon', 1520.5, datetime.date(2001, 3, 14), 'T'),
            (2, 'Müller GmbH', 'Köln', -87.25, datetime.date(1999, 12, 31), 'T'),
            (3, 'Ñandú Import', 'Málaga', 0, datetime.date(2024, 2, 29), 'F'),
            (4, 'Old Customer', 'Lyon', None, None, '?'),
            (5, 'Østergaard A/S', 'Århus', 99999.99, datetime.date(2010, 7, 1), 'Y')]
    recs = [[num(i, 6), c(n, 24), c(ci, 16), num(b, 10, 2), date(d), l.encode()] for i, n, ci, b, d, l in rows]
    write_table('customers.dbf', 0x03, fields, recs, language_driver=0x02, deleted={3})


def products():
    # FoxPro 2 layout (version 0xF5) with an F field of length 20 and a long C field
    # whose length takes the decimals byte as its high byte (300 characters).
    fields = [('CODE', 'C', 8, 0, 0), ('LABEL', 'C', 300 & 0xFF, 300 >> 8, 0), ('PRICE', 'F', 20, 4, 0),
              ('STOCK', 'N', 5, 0, 0)]
    rows = [('A-100', 'Widget, small', 2.5, 120), ('A-200', 'Widget, large; ' + 'x' * 40, 12.125, 7),
            ('B-001', 'Gadget', 1234.5678, 0)]
    recs = [[c(a, 8), c(b, 300), num(p, 20, 4), num(s, 5)] for a, b, p, s in rows]
    write_table('products.dbf', 0xF5, fields, recs, language_driver=0x03)


def events():
    # Visual FoxPro: integer, currency, date-time, double, varchar with _NullFlags.
    fields = [('ID', 'I', 4, 0, 0), ('FEE', 'Y', 8, 4, 0), ('AT', 'T', 8, 0, 0), ('RATIO', 'B', 8, 2, 0),
              ('NOTE', 'V', 20, 0, 0x02), ('_NullFlags', '0', 1, 0, 0x05)]

    def dt(y, mo, d, h, mi, s):
        jd = datetime.date(y, mo, d).toordinal() + 1721425
        return struct.pack('<II', jd, ((h * 60 + mi) * 60 + s) * 1000)

    def note(text):
        if text is None:
            return b' ' * 20, 0b10
        raw = text.encode('cp1252')
        return (raw.ljust(19, b' ') + bytes([len(raw)])) if len(raw) < 20 else raw[:20], (1 if len(raw) < 20 else 0)

    recs = []
    for i, fee, when, ratio, text in [(1, 12.5, dt(2026, 1, 5, 9, 30, 0), 0.25, 'kick-off'),
                                      (2, 1999.9999, dt(2026, 3, 17, 14, 5, 59), 3.14159, None),
                                      (3, -3.0, dt(1999, 12, 31, 23, 59, 59), -1e-3, 'a full twenty chars!')]:
        body, bits = note(text)
        recs.append([struct.pack('<i', i), struct.pack('<q', int(fee * 10000)), when, struct.pack('<d', ratio),
                     body, bytes([bits])])
    write_table('events.dbf', 0x30, fields, recs, language_driver=0x03, vfp=True)


if __name__ == '__main__':
    os.makedirs(OUT, exist_ok=True)
    customers()
    products()
    events()
