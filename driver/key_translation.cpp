// Key expressions as composite keys (see key_translation.h).

#include "driver/key_translation.h"

#include <cctype>
#include <cstdlib>
#include <cstring>

#include "framework/error.h"

namespace {

const char kDelimiters[] = " .;:,'\"\t\r\n()[]{}<>!?/+*#";
const char* const kFunctions[] = {"SUBSTR", "RIGHT", "LEFT", "STR", "UPPER", "LOWER", "DTOC", "DTOS"};

bool is_delimiter(char c) { return c != 0 && strchr(kDelimiters, c) != nullptr; }

std::string upper(std::string s) {
    for (char& c : s) c = (char)toupper((unsigned char)c);
    return s;
}

// A composite key may hold fields whose values have a key form: not memos, not
// binary values.
bool allowed_in_key(char type) {
    switch (toupper((unsigned char)type)) {
    case 'C': case 'V': case 'N': case 'F': case 'D': case 'L': case 'I': case 'B': case 'Y': case 'T': return true;
    default: return false;
    }
}

bool numeric(char type) { return type == 'N' || type == 'F'; }

struct Operand {
    char type = 0;
    int length = 0;
    bool is_number = false;  // a literal: `value` holds it
    long value = 0;
};

class Parser {
public:
    Parser(const std::string& text, const std::string& key, const std::function<bool(const std::string&, KeyField*)>& lookup,
           KeyTranslation* out)
        : text_(text), key_(upper(key)), lookup_(lookup), out_(out) {}

    bool run() {
        skip_blanks();
        Operand result;
        if (!expression(&result)) return false;
        skip_blanks();
        if (pos_ < text_.size()) return syntax(kMsgSyntaxError, text_.substr(pos_));
        out_->type = result.is_number ? 'N' : result.type;
        out_->length = result.length;
        return true;
    }

private:
    void skip_blanks() {
        while (pos_ < text_.size() && isspace((unsigned char)text_[pos_])) pos_++;
    }
    bool at(char c) {
        skip_blanks();
        return pos_ < text_.size() && text_[pos_] == c;
    }
    std::string word() {
        skip_blanks();
        size_t start = pos_;
        while (pos_ < text_.size() && !is_delimiter(text_[pos_])) pos_++;
        return text_.substr(start, pos_ - start);
    }
    bool syntax(uint32_t id, const std::string& insert) {
        if (!out_->error_id) out_->error_id = 1069;
        out_->messages.push_back({id, insert});
        return false;
    }
    bool field_error(const std::string& name) {
        out_->error_id = 1070;
        out_->field = name;
        return false;
    }

    bool expression(Operand* result) {
        if (!term(result)) return false;
        while (at('+')) {
            pos_++;
            Operand right;
            if (!term(&right)) return false;
            char a = result->is_number ? 'N' : result->type, b = right.is_number ? 'N' : right.type;
            if (numeric(a) && numeric(b)) {
                result->length = result->length > right.length ? result->length : right.length;
            } else if (a == b) {
                result->length += right.length;
            } else {
                return syntax(kMsgMixedTypes, "");
            }
            result->type = a;
            result->is_number = false;
        }
        return true;
    }

    bool term(Operand* result) {
        skip_blanks();
        if (pos_ >= text_.size()) return syntax(kMsgSyntaxError, text_);
        std::string w = word();
        if (w.empty()) return syntax(kMsgUnknownFunction, std::string(1, text_[pos_]));
        std::string name = upper(w);
        if (isdigit((unsigned char)w[0])) {
            // A number: digits, and a decimal part after a point.
            if (at('.')) {
                pos_++;
                w += '.';
                w += word();
            }
            result->is_number = true;
            result->value = strtol(w.c_str(), nullptr, 10);
            result->type = 'N';
            result->length = (int)w.size();
            return true;
        }
        for (const char* f : kFunctions)
            if (name == f) return function(name, result);
        if (at('(')) return syntax(kMsgUnknownFunction, w);
        KeyField field;
        if (name == key_ || !lookup_(name, &field) || !allowed_in_key(field.type)) return field_error(w);
        out_->components.push_back(name);
        result->type = (char)toupper((unsigned char)field.type);
        result->length = field.length;
        return true;
    }

    bool function(const std::string& name, Operand* result) {
        if (!at('(')) return syntax(kMsgMissingLeftParenthesis, name);
        pos_++;
        std::vector<Operand> args;
        if (at(')')) return syntax(kMsgNeedsAnArgument, name);
        for (;;) {
            Operand a;
            if (!expression(&a)) return false;
            args.push_back(a);
            if (at(',')) {
                pos_++;
                if (args.size() == 3) return syntax(kMsgSyntaxError, name);
                continue;
            }
            if (at(')')) {
                pos_++;
                break;
            }
            return syntax(kMsgMissingRightParenthesis, name);
        }
        const Operand& arg = args[0];
        result->type = 'C';
        result->is_number = false;
        if (name == "SUBSTR" || name == "LEFT" || name == "RIGHT") {
            if (args.size() < 2) return syntax(kMsgNeedsASecondArgument, name);
            long second = args[1].is_number ? args[1].value : 0;
            if (name == "SUBSTR") {
                // From `second` (counted from 1) to the end, or `third` characters.
                long start = second < 1 ? 1 : second;
                long length = arg.length - start + 1;
                if (args.size() == 3 && args[2].is_number && args[2].value < length) length = args[2].value;
                result->length = length < 0 ? 0 : (int)length;
            } else {
                result->length = second < arg.length ? (second < 0 ? 0 : (int)second) : arg.length;
            }
        } else if (name == "STR") {
            result->length = args.size() >= 2 && args[1].is_number ? (int)args[1].value : 10;
        } else if (name == "UPPER" || name == "LOWER") {
            result->length = arg.length;
        } else {  // DTOC, DTOS
            result->length = 8;
        }
        return true;
    }

    const std::string& text_;
    std::string key_;
    const std::function<bool(const std::string&, KeyField*)>& lookup_;
    KeyTranslation* out_;
    size_t pos_ = 0;
};

}  // namespace

KeyTranslation translate_key_expression(const std::string& expression, const std::string& key_name,
                                        const std::function<bool(const std::string&, KeyField*)>& lookup) {
    KeyTranslation t;
    Parser parser(expression, key_name, lookup, &t);
    t.ok = parser.run();
    if (!t.ok) {
        t.components.clear();
        t.type = 0;
        t.length = 0;
    }
    return t;
}

void raise_key_translation_error(CXErrorHolder* holder, const KeyTranslation& t, const std::string& expression,
                                 const std::string& key_name) {
    if (t.error_id == 1070) {
        raise_error(holder, 1070, 102, 12, {t.field});
        return;
    }
    std::u16string lines;
    for (const auto& m : t.messages) {
        if (!lines.empty()) lines += u"\n";
        lines += load_message(m.first, {m.second});
    }
    raise_error(holder, 1069, 102, 11, {expression, key_name, lines});
}
