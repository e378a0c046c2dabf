#pragma once
// A key expression of an index (UPPER(NAME)+DTOS(BORN)) as the host's composite
// key: the fields it is made of, in order of appearance, and the type and length
// of the key; or why it cannot be one.
//
//   expression = term { "+" term }
//   term       = function "(" expression { "," expression } ")" | number | field
//   function   = SUBSTR | RIGHT | LEFT | STR | UPPER | LOWER | DTOC | DTOS (any case)
//
// Words end at any of " .;:,'\"\t\r\n()[]{}<>!?/+*#". Every function gives text;
// a field gives its own type and length; "+" joins two operands of one type:
// numbers (N and F) add (the longer length), the others concatenate (the sum).

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

struct KeyField {
    char type = 0;  // the field's type letter
    int length = 0;
};

struct KeyTranslation {
    bool ok = false;
    char type = 0;  // 'C' for anything made by a function
    int length = 0;
    std::vector<std::string> components;  // field names, in order of appearance
    // On failure: error 1069 with the parser's messages (message id and insert),
    // or error 1070 naming the field that cannot be part of the key.
    uint32_t error_id = 0;
    std::vector<std::pair<uint32_t, std::string>> messages;
    std::string field;
};

// `lookup` finds a field of the table by its name (upper case); `key_name` is the
// key being defined, which cannot be part of itself.
KeyTranslation translate_key_expression(const std::string& expression, const std::string& key_name,
                                        const std::function<bool(const std::string&, KeyField*)>& lookup);

class CXErrorHolder;
// Raises the failure of a translation into `holder`: error 1069 (the formula, the
// key, and the parser's messages one per line) or 1070 (the field).
void raise_key_translation_error(CXErrorHolder* holder, const KeyTranslation& t, const std::string& expression,
                                 const std::string& key_name);

// Parser message ids.
enum : uint32_t {
    kMsgUnknownFunction = 28948,
    kMsgMissingRightParenthesis = 28949,
    kMsgNeedsAnArgument = 28950,
    kMsgNeedsASecondArgument = 28951,
    kMsgSyntaxError = 28952,
    kMsgMixedTypes = 28953,
    kMsgFieldNotAllowed = 28954,
    kMsgMissingLeftParenthesis = 28955,
};
