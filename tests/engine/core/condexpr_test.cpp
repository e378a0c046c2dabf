// Conditions (FOR clauses) against records: each operator and function on text,
// numbers, dates and logicals, the record buffer's deletion mark, and the
// conditions that cannot be evaluated here, refused with their reason.

#include <gtest/gtest.h>

#include <string>

#include "engine/core/condexpr.h"
#include "engine/core/dbf.h"
#include "engine/core/engine.h"
#include "tests/support/dbf_builder.h"
#include "tests/support/engine_test.h"

namespace {

class ConditionTest : public EngineTest {
protected:
    void SetUp() override {
        EngineTest::SetUp();
        build_dbf(0x03, {{"NAME", 'C', 10}, {"BORN", 'D', 8}, {"AMOUNT", 'N', 8, 2}, {"ACTIVE", 'L', 1}, {"CITY", 'C', 8}},
                  {"Smith     19690420  123.45TLyon    ", "jones             -0.50F        "})
            .write(dir_ + "/people.dbf");
        ASSERT_EQ(dbf_open(&h_, (dir_ + "/people.dbf").c_str(), XDB_OPEN_SHORTHAND | 1), XD_OK);
    }
    // The condition's truth on record `recno`; fails the test when it has none.
    bool on(uint32_t recno, const char* condition) {
        xdb_set_status(XD_OK);
        EXPECT_GE(dbf_read_record(h_, recno), XD_OK);
        bool result = false;
        char why[160] = "";
        EXPECT_EQ(xdb_eval_condition(h_, condition, &result, why, sizeof why), XD_OK) << condition << ": " << why;
        xdb_set_status(XD_OK);
        return result;
    }
    std::string refused(const char* condition) {
        xdb_set_status(XD_OK);
        dbf_read_record(h_, 1);
        bool result = false;
        char why[160] = "";
        EXPECT_EQ(xdb_eval_condition(h_, condition, &result, why, sizeof why), XD_BADKEYEXPR) << condition;
        xdb_set_status(XD_OK);
        return why;
    }
    int16_t h_ = -1;
};

TEST_F(ConditionTest, ComparisonsOfEachType) {
    // Text, EXACT off: "=" is "begins with", "==" is equal.
    EXPECT_TRUE(on(1, "NAME = 'Smi'"));
    EXPECT_FALSE(on(1, "NAME == 'Smith'"));  // the field keeps its blanks
    EXPECT_TRUE(on(1, "TRIM(NAME) == 'Smith'"));
    EXPECT_TRUE(on(1, "NAME = ''"));
    EXPECT_FALSE(on(1, "'Smi' = NAME"));
    EXPECT_TRUE(on(1, "NAME <> 'Jones' .AND. NAME # 'x' .AND. NAME != \"y\""));
    EXPECT_TRUE(on(2, "NAME > 'Smith'"));  // byte order: lower case after upper
    EXPECT_TRUE(on(1, "'yo' $ CITY .OR. 'Ly' $ CITY"));
    EXPECT_TRUE(on(1, "UPPER(CITY) = [LYON]"));
    // Numbers.
    EXPECT_TRUE(on(1, "AMOUNT > 100 .AND. AMOUNT <= 123.45 .AND. AMOUNT >= 123.45"));
    EXPECT_TRUE(on(2, "AMOUNT < 0 .AND. -AMOUNT = 0.5 .AND. AMOUNT * 2 + 1 = 0"));
    EXPECT_TRUE(on(1, "AMOUNT / 5 > 24"));
    // Dates in their stored order, the blank date first.
    EXPECT_TRUE(on(1, "DTOS(BORN) > '19600101' .AND. DTOS(BORN) = '1969'"));
    EXPECT_TRUE(on(2, "EMPTY(BORN) .AND. DTOS(BORN) < '1'"));
    EXPECT_TRUE(on(1, "DTOC(BORN) = '04/20/69'"));
    // Logicals.
    EXPECT_TRUE(on(1, "ACTIVE"));
    EXPECT_TRUE(on(2, ".NOT. ACTIVE .AND. !ACTIVE .AND. ACTIVE = .F."));
    EXPECT_TRUE(on(1, "(ACTIVE .OR. .F.) .AND. .T."));
    EXPECT_TRUE(on(1, "AMOUNT>0.AND.!DELETED()"));  // as some writers store it, without blanks
}

TEST_F(ConditionTest, FunctionsKeysUseToo) {
    EXPECT_TRUE(on(1, "SUBSTR(NAME, 2, 3) == 'mit' .AND. SUBS(NAME,2) = 'mith'"));
    EXPECT_TRUE(on(1, "LEFT(NAME,2) == 'Sm' .AND. RIGHT(TRIM(NAME),2) == 'th'"));
    EXPECT_TRUE(on(1, "LEN(ALLTRIM(NAME)) = 5 .AND. LEN(NAME) = 10 .AND. LTRIM('  a') == 'a'"));
    EXPECT_TRUE(on(1, "STR(AMOUNT, 8, 2) == '  123.45' .AND. VAL('12.5') = 12.5"));
    EXPECT_TRUE(on(2, "LOWER(NAME) = 'jon' .AND. RECNO() = 2"));
    EXPECT_TRUE(on(1, "IIF(ACTIVE, AMOUNT, 0) > 1"));
    EXPECT_TRUE(on(1, "PEOPLE->AMOUNT > 1"));  // the table's own alias
    EXPECT_TRUE(on(2, "EMPTY(CITY) .AND. !EMPTY(NAME) .AND. EMPTY(0) .AND. EMPTY(.F.)"));
}

TEST_F(ConditionTest, DeletedReadsTheBufferMark) {
    EXPECT_FALSE(on(1, "DELETED()"));
    EXPECT_TRUE(on(1, "!DELETED()"));
    xdb_set_status(XD_OK);
    ASSERT_EQ(dbf_delete_record(h_, 1), XD_OK);
    EXPECT_TRUE(on(1, "DELETED()"));
    // A record about to be written: the caller sets the mark in the buffer.
    char* record = nullptr;
    uint16_t length = 0, fields = 0;
    ASSERT_EQ(dbf_record_layout(h_, &record, &length, &fields), XD_OK);
    record[0] = ' ';
    bool live = false;
    ASSERT_EQ(xdb_eval_condition(h_, "!DELETED()", &live, nullptr, 0), XD_OK);
    EXPECT_TRUE(live);
}

TEST_F(ConditionTest, WhatCannotBeEvaluatedIsRefusedWithItsReason) {
    EXPECT_NE(refused("NOSUCH > 1").find("no field"), std::string::npos);
    EXPECT_NE(refused("NAME").find("no logical"), std::string::npos);
    EXPECT_NE(refused("NAME = 1").find("two types"), std::string::npos);
    EXPECT_NE(refused("(ACTIVE").find("')' expected"), std::string::npos);
    EXPECT_NE(refused("NAME = 'open").find("not closed"), std::string::npos);
    EXPECT_NE(refused("DATE() > BORN").find("not a function"), std::string::npos);
    EXPECT_NE(refused("OTHER->NAME = 'x'").find("alias"), std::string::npos);
    EXPECT_NE(refused("AMOUNT / 0 > 1").find("division"), std::string::npos);
    EXPECT_NE(refused("ACTIVE ACTIVE").find("unexpected"), std::string::npos);
    EXPECT_NE(refused("ACTIVE .XOR. ACTIVE").find("unknown operator"), std::string::npos);
    EXPECT_NE(refused("ACTIVE > .T.").find("= and <>"), std::string::npos);
    EXPECT_NE(refused("").find("ends too soon"), std::string::npos);
}

}  // namespace
