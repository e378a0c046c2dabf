#pragma once
// Conditions: the logical xBase expressions of an index's FOR clause (and of the
// filters a user writes), evaluated against the record buffer of a table. Keys
// follow the narrower key grammar of keyexpr.h; a condition is a full expression:
//
//   condition = and { ".OR." and }
//   and       = not { ".AND." not }
//   not       = (".NOT." | "!") not | compare
//   compare   = sum [ ("=" | "==" | "<>" | "#" | "!=" | "<" | ">" | "<=" | ">=" | "$") sum ]
//   sum       = product { ("+" | "-") product }
//   product   = unary { ("*" | "/") unary }
//   unary     = "-" unary | primary
//   primary   = "(" condition ")" | 'text' | "text" | [text] | number | .T. | .F.
//             | function "(" [condition { "," condition }] ")" | [alias "->"] field
//   function  = DELETED EMPTY UPPER LOWER SUBSTR (SUBS) LEFT RIGHT STR DTOS DTOC
//               ALLTRIM LTRIM RTRIM TRIM LEN RECNO VAL IIF
//
// Names are case-insensitive. A name that is no field of the table is an error
// (never a text literal, as in keys): a condition that names a program's variable
// cannot be evaluated here. Text compares as xBase does with EXACT off: "=" is
// true when the left text begins with the right one (an empty right text matches
// everything), "==" needs both equal; "$" is "is contained in". Dates compare in
// their stored order (blank first), numbers as numbers, logicals by "=" and "<>".
// DELETED() reads the deletion mark of the record buffer, so that a caller may ask
// about a record as it is about to be written.

#include <cstddef>
#include <cstdint>

#include "engine/core/status.h"

// Evaluates `condition` against the record buffer of data handle `handle`:
// *result is the condition's truth. XD_BADKEYEXPR for a condition that does not
// parse, names no field, mixes types or does not give a logical value; the reason
// in words in `why` (may be null).
XDSTATUS xdb_eval_condition(int16_t handle, const char* condition, bool* result, char* why, size_t why_cap);

// Checks that `condition` parses and evaluates on the table's current record
// buffer to a logical value, without caring for the value.
XDSTATUS xdb_check_condition(int16_t handle, const char* condition, char* why, size_t why_cap);
