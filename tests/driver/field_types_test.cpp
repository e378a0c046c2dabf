// The mapping between xBase fields and host items, index names, and key
// expressions as composite keys: table-driven, one case per rule.

#include <gtest/gtest.h>

#include <map>

#include "driver/field_types.h"
#include "driver/index_names.h"
#include "driver/key_translation.h"
#include "driver/paths.h"
#include "framework/error.h"

namespace {

TEST(FieldTypes, DescribingGivesTheHostTypeAndSizeOfEveryField) {
    struct Case {
        char letter;
        int length, decimals;
        int type, size;
    } cases[] = {
        {'C', 30, 0, kItemText, 30},    {'c', 12, 0, kItemText, 12},      {'V', 40, 0, kItemText, 40},
        {'D', 8, 0, kItemDate, 0},      {'T', 8, 0, kItemDateTime, 0},    {'L', 1, 0, kItemBoolean, 0},
        {'M', 10, 0, kItemTextMemo, 0}, {'G', 4, 0, kItemBinaryMemo, 0},  {'P', 4, 0, kItemBinaryMemo, 0},
        {'W', 4, 0, kItemBinaryMemo, 0}, {'Q', 20, 0, kItemBinary, 0},    {'?', 4, 0, kItemBinary, 0},
        {'B', 8, 0, kItemReal8, 8},     {'I', 4, 0, kItemInt32, 4},       {'Y', 8, 4, kItemCurrency, 10},
        {'X', 5, 0, kItemNoType, 0},
        // Numbers: the smallest type that holds every value the field can store.
        {'N', 2, 0, kItemInt8, 1},      {'N', 3, 0, kItemInt16, 2},       {'N', 4, 0, kItemInt16, 2},
        {'N', 5, 0, kItemInt32, 4},     {'N', 9, 0, kItemInt32, 4},       {'N', 10, 0, kItemInt64, 8},
        {'N', 19, 0, kItemInt64, 8},    {'N', 20, 0, kItemDecimal, 13},    {'F', 10, 2, kItemCurrency, 10},
        {'N', 12, 2, kItemCurrency, 10}, {'N', 8, 6, kItemCurrency, 10},  {'N', 12, 7, kItemDecimal, 9},
        {'N', 30, 10, kItemDecimal, 17}, {'N', 40, 0, kItemReal8, 8},     {'N', 20, 18, kItemDecimal, 9},
        {'N', 1, 0, kItemInt8, 1},
    };
    for (const Case& c : cases) {
        HostItemShape s = host_item_of_field(c.letter, c.length, c.decimals);
        EXPECT_EQ(s.type, c.type) << c.letter << "(" << c.length << "," << c.decimals << ")";
        EXPECT_EQ(s.size, c.size) << c.letter << "(" << c.length << "," << c.decimals << ")";
    }
    HostItemShape money = host_item_of_field('N', 10, 2);
    EXPECT_EQ(money.digits, 7);
    EXPECT_EQ(money.decimals, 2);
    EXPECT_EQ(host_item_of_field('N', 6, 0).digits, 6);
}

TEST(FieldTypes, HostFormatCodesRoundTripThroughCreation) {
    const int expected[11] = {0, 2, 3, 4, 4, 6, 5, 1, 4, 1, 4};
    for (int variant = 1; variant <= 10; variant++) {
        int format = host_format_of_variant(variant);
        EXPECT_EQ(format, expected[variant]) << variant;
        // Creating with that format gives a variant that describes as it again
        // (format 1, of the variants without a creation format, creates dBASE III).
        if (format != 1) {
            EXPECT_EQ(host_format_of_variant(creation_variant_of_host_format(format)), format) << variant;
        }
    }
    EXPECT_EQ(creation_variant_of_host_format(1), 1);
    EXPECT_EQ(creation_variant_of_host_format(99), 1);
}

TEST(FieldTypes, CreatingGivesTheFieldOfEveryHostItem) {
    struct Case {
        int host_type, size, digits, decimals, variant;
        bool logicals;
        char type;
        int length, dec;
    } cases[] = {
        {2, 30, 0, 0, 1, false, 'C', 30, 0},   {26, 5, 0, 0, 1, false, 'C', 5, 0},  {26, 5, 0, 0, 1, true, 'L', 1, 0},
        {5, 4, 6, 0, 1, false, 'N', 6, 0},     {5, 4, 6, 0, 10, false, 'I', 4, 0},  {3, 2, 4, 0, 2, false, 'N', 4, 0},
        {7, 8, 5, 2, 2, false, 'F', 8, 2},     {7, 8, 5, 2, 1, false, 'N', 8, 2},   {7, 8, 5, 2, 10, false, 'N', 8, 2},
        {17, 10, 9, 4, 10, false, 'Y', 8, 4},  {17, 10, 9, 4, 4, false, 'F', 14, 4},
        {7, 8, 18, 2, 1, false, 'N', 19, 5},   {7, 8, 18, 2, 8, false, 'F', 20, 5}, {7, 8, 18, 2, 10, false, 'N', 20, 5},
        {7, 8, 19, 2, 1, false, 'N', 19, 5},   {7, 8, 17, 2, 2, false, 'F', 20, 2}, {7, 8, -1, 2, 1, false, 'N', 19, 5},
        {7, 8, 3, -1, 2, false, 'F', 20, 5},   {14, 0, 0, 0, 1, false, 'D', 8, 0},  {15, 0, 0, 0, 1, false, 'M', 10, 0},
        {18, 0, 0, 0, 10, false, 'P', 4, 0},   {24, 0, 0, 0, 1, false, 'C', 18, 0}, {27, 0, 0, 0, 1, false, 'L', 1, 0},
    };
    for (const Case& c : cases) {
        XbaseFieldShape f;
        ASSERT_TRUE(field_of_host_item(c.host_type, c.size, c.digits, c.decimals, c.variant, c.logicals, &f))
            << c.host_type << " on " << c.variant;
        EXPECT_EQ(f.type, c.type) << c.host_type << " on " << c.variant;
        EXPECT_EQ(f.length, c.length) << c.host_type << " on " << c.variant;
        EXPECT_EQ(f.decimals, c.dec) << c.host_type << " on " << c.variant;
    }
    XbaseFieldShape f;
    EXPECT_FALSE(field_of_host_item(18, 0, 0, 0, 1, false, &f));  // binary memos only on Visual FoxPro
    EXPECT_FALSE(field_of_host_item(8, 0, 0, 0, 1, false, &f));
    EXPECT_FALSE(field_of_host_item(99, 0, 0, 0, 1, false, &f));
    EXPECT_FALSE(field_of_host_item(2, 0, 0, 0, 1, false, &f));  // text of no length
}

TEST(IndexNames, TypesFromExtensionsAndPathsFromNames) {
    std::map<std::string, int> types = {{"a.NDX", kIndexNdx}, {"a.ndx", kIndexNdx}, {"b.Mdx", kIndexMdx},
                                        {"c.ntx", kIndexNtx}, {"d.IDX", kIndexIdx}, {"e.cdx", kIndexCdx},
                                        {"e.CDX", kIndexCdx}, {"f.TXT", kIndexUnsupported},
                                        {"", kIndexUnsupported}, {"dir.ndx/name", kIndexUnsupported},
                                        {".ndx", kIndexUnsupported}, {"C:\\D\\G.NTX", kIndexNtx}};
    for (const auto& t : types) EXPECT_EQ(index_type_of_path(t.first), t.second) << t.first;
    EXPECT_EQ(index_path_from_name("CUST", "/data/t.dbf"), "/data/CUST.ndx");
    EXPECT_EQ(index_path_from_name("CUST.NTX", "/data/t.dbf"), "/data/CUST.NTX");
    EXPECT_EQ(index_path_from_name("/other/CUST", "/data/t.dbf"), "/other/CUST.ndx");
    EXPECT_EQ(index_path_from_name("CUST", "C:\\DATA\\T.DBF"), "C:\\DATA\\CUST.ndx");
    EXPECT_EQ(index_path_from_name("CUST", "t.dbf"), "CUST.ndx");
    // The path parts behind them, for both kinds of path.
    EXPECT_EQ(path_stem(std::u16string(u"C:\\DATA\\PEOPLE.DBF")), u"PEOPLE");
    EXPECT_EQ(path_directory(std::u16string(u"C:PEOPLE.DBF")), u"C:");
    EXPECT_EQ(path_without_extension(std::string("/d.v2/.hidden")), "/d.v2/.hidden");
    EXPECT_EQ(path_extension(std::string("/d.v2/name")), "");
    EXPECT_EQ(path_stem(std::string("a.b.c")), "a.b");
}

// The fields of the examples: NAME C(30), AGE N(3,0), SALARY N(10,2), BORN D,
// ACTIVE L, NOTES M.
bool people(const std::string& name, KeyField* f) {
    static const std::map<std::string, KeyField> fields = {{"NAME", {'C', 30}}, {"AGE", {'N', 3}},
                                                           {"SALARY", {'N', 10}}, {"BORN", {'D', 8}},
                                                           {"ACTIVE", {'L', 1}}, {"NOTES", {'M', 10}}};
    auto it = fields.find(name);
    if (it == fields.end()) return false;
    *f = it->second;
    return true;
}

TEST(KeyTranslation, ExpressionsBecomeCompositeKeys) {
    struct Case {
        const char* expression;
        char type;
        int length;
        std::vector<std::string> components;
    } cases[] = {
        {"UPPER(NAME)+DTOS(BORN)", 'C', 38, {"NAME", "BORN"}},
        {"  upper( name ) + dtoc(born)", 'C', 38, {"NAME", "BORN"}},
        {"SUBSTR(NAME,3,5)", 'C', 5, {"NAME"}},
        {"SUBSTR(NAME,28)", 'C', 3, {"NAME"}},
        {"LEFT(NAME,10)+RIGHT(NAME,40)", 'C', 40, {"NAME", "NAME"}},
        {"STR(AGE,5)+NAME", 'C', 35, {"AGE", "NAME"}},
        {"STR(SALARY)", 'C', 10, {"SALARY"}},
        {"AGE+SALARY", 'N', 10, {"AGE", "SALARY"}},
        {"BORN", 'D', 8, {"BORN"}},
        {"LOWER(UPPER(NAME))", 'C', 30, {"NAME"}},
    };
    for (const Case& c : cases) {
        KeyTranslation t = translate_key_expression(c.expression, "KEY", people);
        ASSERT_TRUE(t.ok) << c.expression << " error " << t.error_id;
        EXPECT_EQ(t.type, c.type) << c.expression;
        EXPECT_EQ(t.length, c.length) << c.expression;
        EXPECT_EQ(t.components, c.components) << c.expression;
    }
}

TEST(KeyTranslation, ErrorsSayWhatIsWrong) {
    struct Case {
        const char* expression;
        uint32_t error;
        uint32_t message;  // 1069: the first parser message
        const char* insert;
    } cases[] = {
        {"UPPER(NAME", 1069, kMsgMissingRightParenthesis, "UPPER"},
        {"NAME+AGE", 1069, kMsgMixedTypes, ""},
        {"FOO(NAME)", 1069, kMsgUnknownFunction, "FOO"},
        {"SUBSTR(NAME)", 1069, kMsgNeedsASecondArgument, "SUBSTR"},
        {"UPPER()", 1069, kMsgNeedsAnArgument, "UPPER"},
        {"UPPER NAME", 1069, kMsgMissingLeftParenthesis, "UPPER"},
        {"NAME)", 1069, kMsgSyntaxError, ")"},
        {"NAME+", 1069, kMsgSyntaxError, "NAME+"},
        {"*NAME", 1069, kMsgUnknownFunction, "*"},
        {"", 1069, kMsgSyntaxError, ""},
        {"NOTES", 1070, 0, "NOTES"},
        {"UPPER(CITY)", 1070, 0, "CITY"},
        {"KEY+NAME", 1070, 0, "KEY"},
    };
    for (const Case& c : cases) {
        KeyTranslation t = translate_key_expression(c.expression, "key", people);
        ASSERT_FALSE(t.ok) << c.expression;
        EXPECT_EQ(t.error_id, c.error) << c.expression;
        EXPECT_TRUE(t.components.empty()) << c.expression;
        if (c.error == 1069) {
            ASSERT_FALSE(t.messages.empty()) << c.expression;
            EXPECT_EQ(t.messages[0].first, c.message) << c.expression;
            EXPECT_EQ(t.messages[0].second, c.insert) << c.expression;
        } else {
            EXPECT_EQ(t.field, c.insert) << c.expression;
        }
    }
}

// The raised errors read as the message table holds them.
TEST(KeyTranslation, RaisedErrorsCarryTheParserMessages) {
    CXErrorHolder holder;
    KeyTranslation t = translate_key_expression("UPPER(NAME", "BYNAME", people);
    raise_key_translation_error(&holder, t, "UPPER(NAME", "BYNAME");
    EXPECT_EQ(holder.CurrentErrorId(), 1069u);
    EXPECT_EQ(std::u16string(holder.CurrentMessage()),
              u"La formule <UPPER(NAME> de la clé composée <BYNAME> est incorrecte.\n"
              u"Il manque la parenthèse de droite : <UPPER>");
    t = translate_key_expression("UPPER(CITY)", "BYCITY", people);
    raise_key_translation_error(&holder, t, "UPPER(CITY)", "BYCITY");
    EXPECT_EQ(holder.CurrentErrorId(), 1070u);
    EXPECT_EQ(std::u16string(holder.CurrentMessage()),
              u"La rubrique <CITY> n'appartient pas au fichier ou son type n'est pas autorisé dans une clé composée.");
}

}  // namespace
