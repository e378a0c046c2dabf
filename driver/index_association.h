#pragma once
// Index files joined to a table description: each tag of the file becomes a key,
// either an existing field (the tag's expression is that field) or a composite key
// made from the tag's expression.

#include <string>

class XbaseTableDescription;
class XbaseItemDescription;
class CXErrorHolder;
struct KeyTranslation;

// Options of an association.
enum : int {
    kAssociateAllTags = 0x01,   // a tag whose expression cannot be a key fails the whole file
    kAssociateKeepKeys = 0x02,  // a key that has an index file keeps it (the tag is left out, and reported)
    // A conditional index (one that leaves records out) is not associated but
    // answered 2, so that an index of every record may take the key first.
    kAssociateConditionalLater = 0x04,
};

// Makes `key` the composite key of `expression` over the description's fields:
// its components and its host size (the sum of theirs). False with error 1069 or
// 1070 in `holder`. `translation` (may be null) receives the key's type and length.
bool make_composite_key(XbaseTableDescription* description, XbaseItemDescription* key, const std::string& expression,
                        CXErrorHolder* holder, KeyTranslation* translation = nullptr);

// Associates the index file `path` with the description, under `key_name` when the
// file has one tag and a name is given (else each key is named after its tag).
// Answers 1, or 0 with the reason in `holder`; the description is unchanged then.
int associate_index(XbaseTableDescription* description, const std::u16string& path, const std::u16string& key_name,
                    int options, CXErrorHolder* holder);

// After an open by file name: the production index of dBASE IV and Visual FoxPro
// tables, the "*.??x" files of the directory for the others. Failures are added to
// the description's association report and do not stop the open.
void discover_indexes(XbaseTableDescription* description);
