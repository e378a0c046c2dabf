#pragma once
// Key expressions: the xBase text that says how an index key is computed from a
// record, such as UPPER(NAME)+DTOS(BIRTH), and the collation of character keys.
//
// Grammar (after every blank is removed and the text upper-cased):
//   expression = term { ("+" | "-") term }
//   term       = SUBSTR(sum,start[,count]) | LEFT(sum,n) | RIGHT(sum,n)
//              | STR(sum[,len[,dec]]) | DTOC(sum) | DTOS(sum) | UPPER(sum)
//              | LOWER(sum) | ALLTRIM(sum) | LTRIM(sum) | RTRIM(sum) | TRIM(sum)
//              | LEN(sum) | RECNO() | [alias->] token
//   sum        = term { ("+" | "-") term }
//   alias      = the table's own alias (its file's base name); another table's
//                fields cannot be reached
//   token      = up to 10 characters before ',' ')' '+' '-' or the end: a field of
//                the table, else a number (digits and '.'), else a text literal
// Character terms concatenate, numbers add and subtract, a date stands alone or
// goes through DTOC/DTOS. SUBS is SUBSTR (Clipper programs abbreviate function
// names to four letters).

#include <cstddef>
#include <cstdint>

#include "engine/core/status.h"

struct XdbKeyValue {
    const void* value;  // owned by the evaluator, valid until the next evaluation
    uint16_t type;      // 'C', 'N'/'F' (a double), 'D' (date text), or a field's letter
    uint16_t length;    // C: characters; N, F: 8; D: characters of the date text
};

// Evaluates `expression` (modified in place: blanks removed, upper-cased) against
// the current record of data handle `handle`. A term limit above 0 stops after
// that many terms (partial keys).
XDSTATUS xdb_eval_key(int16_t handle, char* expression, int term_limit, XdbKeyValue* out);

// The alias programs give the table of data handle `handle`: its file's base name,
// upper-cased, characters a name cannot hold as '_' (empty when unknown).
void xdb_table_alias(int16_t handle, char* out, size_t cap);

// The collation flag: 1 byte order, 0 the national order table. Returns whether
// the flag was 1; when `set` is non-zero, stores `value & 1`.
int xdb_collation(int value, int set);
// Compares two character keys of `length` bytes by the collation flag.
int xdb_compare_keys(const void* a, const void* b, size_t length);
// The national order as one weight per byte (its rank; 255 for bytes outside the
// order, which compare equal to each other and after every ranked byte): keys
// compare by xdb_compare_keys as their weights compare by byte order.
const uint8_t* xdb_national_weights();
