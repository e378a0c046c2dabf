// Error objects, the error-definition table, the message table and formatting.

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>

#include <set>

#include "engine/core/status.h"
#include "framework/codepage.h"
#include "framework/error.h"
#include "framework/message_format.h"
#include "resources/messages.h"
#include "tests/support/wide.h"

namespace {

std::string u8(const std::u16string& s) { return wide_to_utf8(s); }

TEST(MessageFormat, EveryInsertKindWithWideText) {
    std::u16string name = w("Ünïcødé 名前 \xF0\x9F\x98\x80");
    EXPECT_EQ(format_message(u"<%1> <%1!s!> [%2!d!] [%2!ld!] [%3!u!] [%4!I64d!]",
                             {name, -42, 4000000000u, 9007199254740993ll}),
              u"<" + name + u"> <" + name + u"> [-42] [-42] [4000000000] [9007199254740993]");
    // Width, precision and padding like printf.
    EXPECT_EQ(format_message(u"[%1!5d!][%1!-5d!][%1!05d!][%2!6s!][%2!-6s!][%2!.2s!][%1!x!]", {255, u"ab"}),
              u"[  255][255  ][00255][    ab][ab    ][ab][ff]");
    // Escapes, and %0 ends the text.
    EXPECT_EQ(format_message(u"100%% sure%nnext%rline%ttab% space%.%!%0 never", {}),
              u"100% sure\r\nnext\rline\ttab space.!");
    // "%1s" is insert 1 followed by an s; %10 is insert ten.
    EXPECT_EQ(format_message(u"'%1s' %10", {u"x", 2, 3, 4, 5, 6, 7, 8, 9, u"ten"}), u"'xs' ten");
    // An insert with nothing to insert stays as written.
    EXPECT_EQ(format_message(u"a %2!d! b %1", {u"one"}), u"a %2!d! b one");
    // Numbers from text, text from numbers.
    EXPECT_EQ(format_message(u"%1!d!/%2", {u" 17", 5}), u"17/5");
    EXPECT_EQ(format_message(u"%1!I64d!", {u"-9223372036854775807"}), u"-9223372036854775807");
}

TEST(MessageTable, SortedCompleteAndCoveringEveryDefinition) {
    std::set<unsigned> ids;
    unsigned previous = 0;
    for (size_t i = 0; i < qxdb_message_count(); i++) {
        unsigned id = qxdb_message_id_at(i);
        EXPECT_GT(id, previous) << "the table must stay sorted by id";
        previous = id;
        ids.insert(id);
        EXPECT_STRNE(qxdb_message_text(id), "") << id;
    }
    for (size_t i = 0; i < gstErrorDefCount; i++) EXPECT_TRUE(ids.count(gstErrorDef[i].message_id)) << gstErrorDef[i].error_id;
    for (int s = -59; s <= 12; s++) {
        const XdbStatusInfo* info = xdb_status_info((XDSTATUS)s);
        ASSERT_NE(info, nullptr);
        EXPECT_TRUE(ids.count(info->message_id)) << s;
        if (info->explanation_id) {
            EXPECT_TRUE(ids.count(info->explanation_id)) << s;
        }
    }
    for (unsigned id = 28842; id <= 28865; id++) EXPECT_TRUE(ids.count(id)) << id;
    for (unsigned id = 28948; id <= 28955; id++) EXPECT_TRUE(ids.count(id)) << id;
    EXPECT_STREQ(qxdb_message_text(2962), "Le répertoire '%1!s!' fourni dans la connexion n'existe pas.");
    EXPECT_STREQ(qxdb_message_text(28437), "Opération non supportée.");
    EXPECT_EQ(qxdb_message_text(1), nullptr);
}

TEST(ErrorDefinitions, FamiliesCodesLevelsAndOrder) {
    EXPECT_EQ(gstErrorDefCount, 150u);  // 148 identifiers, 29 and 1011 twice
    const uint32_t first[] = {1, 2, 4, 5, 6, 12, 34, 42, 43, 44, 45, 7, 8};
    for (size_t i = 0; i < std::size(first); i++) EXPECT_EQ(gstErrorDef[i].error_id, first[i]);
    int count29 = 0, count1011 = 0;
    uint32_t last_driver = 999;
    for (size_t i = 0; i < gstErrorDefCount; i++) {
        const ErrorDefinition& d = gstErrorDef[i];
        count29 += d.error_id == 29;
        count1011 += d.error_id == 1011;
        if (d.error_id >= 1000) {
            EXPECT_GE(d.error_id, last_driver) << "driver errors come in ascending order";
            last_driver = d.error_id;
            EXPECT_EQ(d.external_code, d.message_id);
            bool warning = d.error_id == 1001 || d.error_id == 1004 || d.error_id == 1010 || d.error_id == 1025 ||
                           d.error_id == 1033 || d.error_id == 1041;
            EXPECT_EQ(d.level, warning ? 2u : 3u) << d.error_id;
        } else {
            EXPECT_EQ(last_driver, 999u) << "framework errors come first";
            bool by_message = d.error_id >= 17 && d.error_id <= 20;
            EXPECT_EQ(d.external_code, by_message ? d.message_id : d.error_id) << d.error_id;
            EXPECT_EQ(d.level, d.error_id == 21 || d.error_id == 73 ? 2u : 3u) << d.error_id;
        }
    }
    EXPECT_EQ(count29, 2);
    EXPECT_EQ(count1011, 2);
    EXPECT_EQ(find_error_definition(19)->external_code, 28417u);
    EXPECT_EQ(find_error_definition(3), nullptr);
}

TEST(CXError, RaiseFromTheTable) {
    CXError e;
    e.RaiseV(1032, "C:\\DATA\\CLIENTS.DBF");
    EXPECT_EQ(e.Level(), 3u);
    EXPECT_EQ(e.ExternalCode(), 2963u);
    EXPECT_EQ(u8(e.UserMessage()), "Le fichier 'C:\\DATA\\CLIENTS.DBF' n'existe pas.");
    CXError warn;
    warn.Raise(1001, {u"T.DBF"});
    EXPECT_EQ(warn.Level(), 2u);
    CXError missing;
    missing.Raise(36, {});
    EXPECT_EQ(missing.Level(), 3u);
    EXPECT_EQ(u8(missing.UserMessage()), "##(CXError)-Pas de definition d'erreur dans gstErrorDef pour l'identifiant <36>##");
    EXPECT_EQ(u8(load_message(99999, {})), "##(CXError)-Ressource <99999> non chargée##");
    CXError text;
    text.RaiseText(u"free text %1!d!", {7});
    EXPECT_EQ(text.UserMessage(), u"free text 7");
}

TEST(CXError, AppendsAndEngineStatusLines) {
    CXError e;
    e.Raise(1000, {});
    e.AppendUserMessage(2963, {u"X"});
    EXPECT_EQ(u8(e.UserMessage()), "Echec lors de l'initialisation de la bibliothèque xBase.\r\nLe fichier 'X' n'existe pas.");
    e.AppendDebugInfo(28858);
    EXPECT_EQ(u8(e.DebugInfo()), "Pas de message d'erreur");

    auto lines = [](const std::u16string& t) { return t.empty() ? 0 : 1 + (int)std::count(t.begin(), t.end(), u'\n'); };
    for (int status : {-41, 0}) {
        CXError s;
        s.AddEngineStatus(status);
        EXPECT_EQ(lines(s.UserMessage()), 1) << status;
        EXPECT_TRUE(s.DebugInfo().empty());
    }
    for (int status : {13, -60, (int)(int16_t)0xC005}) {
        CXError s;
        s.AddEngineStatus(status);
        EXPECT_TRUE(s.UserMessage().empty()) << status;
    }
    CXError plain;  // explanation to the user message
    plain.AddEngineStatus(XD_NOFILE);
    EXPECT_EQ(lines(plain.UserMessage()), 2);
    EXPECT_EQ(u8(plain.UserMessage()).rfind("ERREUR - Le fichier n'existe pas.\r\n", 0), 0u);
    CXError dagger;  // explanation marked for the debug information
    dagger.AddEngineStatus(XD_BADKEYEXPR);
    EXPECT_EQ(lines(dagger.UserMessage()), 1);
    EXPECT_EQ(lines(dagger.DebugInfo()), 1);
    CXError twelve;  // status 12 shares the texts of status 4
    twelve.AddEngineStatus(XD_KEYNOTFOUNDEND);
    CXError four;
    four.AddEngineStatus(XD_KEYNOTFOUND);
    EXPECT_EQ(twelve.UserMessage(), four.UserMessage());
}

struct Counted : IXRefCounted {
    int refs = 1;
    uint32_t AddRef() override { return (uint32_t)++refs; }
    uint32_t Release() override { return (uint32_t)--refs; }
};

struct TrackedException : CXExceptionObject {
    int* alive;
    explicit TrackedException(int* a) : alive(a) { ++*alive; }
    ~TrackedException() override { --*alive; }
};

TEST(CXError, ItemsKindsReleaseAndClear) {
    Counted a, b;
    int exceptions = 0;
    {
        CXError e;
        e.SetItemInt(EIT_BASECODE, -5);
        e.SetItemInt(EIT_BASECODE, -37);
        EXPECT_EQ(e.ItemCount(), 1u);
        ErrorItemValue v;
        ASSERT_TRUE(e.GetItem(EIT_BASECODE, &v));
        EXPECT_EQ(v.number, -37);
        e.SetItemInt64(EIT_RECNUM, 2147483646ll * 3);
        e.SetItemString(29, u"nothing");  // no value kind: not stored
        e.SetItemString(45, u"out of range");
        e.SetItemString(0, u"out of range");
        EXPECT_EQ(e.ItemCount(), 2u);
        EXPECT_FALSE(e.GetItem(29, nullptr));
        e.SetItemObject(EIT_DATAACCESS, &a);
        EXPECT_EQ(a.refs, 2);
        e.SetItemObject(EIT_DATAACCESS, &a);  // the same object is not taken twice
        EXPECT_EQ(a.refs, 2);
        e.SetItemObject(EIT_DATAACCESS, &b);  // replacing releases the old one
        EXPECT_EQ(a.refs, 1);
        EXPECT_EQ(b.refs, 2);
        e.SetItemException(EIT_EXCEPTIONJAVA, new TrackedException(&exceptions));
        e.SetItemException(EIT_EXCEPTIONJAVA, new TrackedException(&exceptions));
        EXPECT_EQ(exceptions, 1);
        e.SetItemException(EIT_PATHFIC, new TrackedException(&exceptions));  // not an exception item
        EXPECT_EQ(exceptions, 1);
        e.SetItemString(EIT_PATHFIC, u"");
        std::string items = u8(e.DumpItems());
        EXPECT_EQ(items.find("EIT_PATHFIC"), std::string::npos);  // empty strings print nothing
        EXPECT_NE(items.find("\r\nEIT_BASECODE : <-37>"), std::string::npos);
        EXPECT_NE(items.find("\r\nEIT_RECNUM : <6442450938>"), std::string::npos);
        EXPECT_NE(items.find("\r\nEIT_EXCEPTIONJAVA"), std::string::npos);
        // Lines follow the order in which items were first set.
        EXPECT_LT(items.find("EIT_BASECODE"), items.find("EIT_RECNUM"));
        e.SetItemString(EIT_PILEWL, u"frame 1");
        EXPECT_NE(u8(e.DumpItems()).find("EIT_PILEWL :\r\nframe 1"), std::string::npos);
        e.RaiseV(1032, "F");
        e.SetLevel(EL_NONE);  // clears everything
        EXPECT_EQ(e.ItemCount(), 0u);
        EXPECT_TRUE(e.UserMessage().empty());
        EXPECT_EQ(b.refs, 1);
        EXPECT_EQ(exceptions, 0);
        e.SetItemObject(EIT_DATAACCESS, &a);
        e.SetItemException(EIT_EXCEPTIONDOTNET, new TrackedException(&exceptions));
    }
    EXPECT_EQ(a.refs, 1);  // released when the error went away
    EXPECT_EQ(exceptions, 0);
}

TEST(CXError, DumpSectionsInOrder) {
    CXErrorHolder holder;
    int status = XD_LOCKVIOLATION;
    raise_error(&holder, 1041, 106, 62, {42}, &status);
    CXError& sub = holder.AddSubError();
    sub.RaiseV(1032, "B.DBF");
    holder.Current().SetSystemError(33, u"The process cannot access the file.");
    HostCallInfo call{u"Traitement1", u" (onglet)", 12, 3, u"HLitRecherche", 1};
    std::string d = u8(holder.Dump(call));
    const char* in_order[] = {
        "\r\n----- Appel VL : -----\r\n\r\n",
        "Traitement de 'Traitement1' (onglet), ligne 12, thread 3",
        "Fonction 'HLitRecherche', syntaxe 1",
        "\r\n----- Que s'est-il passé ? -----\r\n\r\n",
        "Il n'est pas possible d'accéder à l'enregistrement <42> car il a été bloqué par une autre application.",
        "Code erreur : 3038",
        "Niveau : erreur non fatale (EL_ONRETURN)",
        "Code erreur QX55 : 1041",
        "Pas de code d'erreur système",
        "Pas de message d'erreur système",
        "Dump de l'erreur du module 'QXDB' (23.0.2.0).",
        "Pas d'identifiant des informations détaillées (.err)",
        "\r\n----- Informations de débogage : -----\r\n\r\nIEQXDB=106.62\r\nModule=<QXDB>\r\nVersion=<23.0.2.0>",
        "\r\n----- Informations supplémentaires : -----\r\n\r\nEIT_BASECODE : <-37>",
        "\r\n----- Sous-erreur n°1 -----\r\n\r\n",
        "Le fichier 'B.DBF' n'existe pas.",
        "Niveau : erreur fatale (EL_FATAL)",
        "Code d'erreur système : 33",
        "Message d'erreur système :\r\nThe process cannot access the file.",
        "Pas d'information de débogage",
        "Pas d'information supplémentaire",
    };
    size_t at = 0;
    for (const char* piece : in_order) {
        size_t found = d.find(piece, at);
        ASSERT_NE(found, std::string::npos) << "missing or out of order: " << piece << "\n" << d;
        at = found + strlen(piece);
    }
}

TEST(CXErrorHolder, CurrentResetBaseCodeAndNoHolder) {
    CXErrorHolder h;
    EXPECT_EQ(h.BaseCode(), 0);
    int status = XD_BADVERSION;
    raise_error(&h, 1001, 102, 3, {u"T.DBF"}, &status);
    EXPECT_EQ(h.BaseCode(), -18);
    EXPECT_EQ(h.LastStatus(), -18);
    EXPECT_EQ(u8(h.Current().DebugInfo()), "IEQXDB=102.3\r\nModule=<QXDB>\r\nVersion=<23.0.2.0>");
    CXError& sub = h.AddSubError();
    EXPECT_EQ(&h.Current(), &sub);
    EXPECT_EQ(h.BaseCode(), 0);
    h.Reset();
    EXPECT_EQ(h.SubErrorCount(), 0u);
    EXPECT_EQ(h.LastStatus(), -1);
    EXPECT_EQ(h.Current().Level(), 1u);
    EXPECT_TRUE(h.Current().UserMessage().empty());

    std::u16string seen;
    set_ignored_error_sink([&](const std::u16string& t) { seen = t; });
    raise_error(nullptr, 1031, 101, 26, {u"/nowhere"});
    set_ignored_error_sink(nullptr);
    std::string s = u8(seen);
    EXPECT_EQ(s.rfind("Message d'erreur ignoré :", 0), 0u);
    EXPECT_NE(s.find("Le répertoire '/nowhere' fourni dans la connexion n'existe pas."), std::string::npos);

    EXPECT_EQ(map_error_gravity(1), 1);
    EXPECT_EQ(map_error_gravity(3), 3);
    EXPECT_EQ(map_error_gravity(7), 4);
    EXPECT_EQ(map_error_gravity(0), -3);
}

// Every identifier of the documented table finds its own message, code and level:
// a pair swapped or mistyped in the table fails here.
TEST(ErrorDefinitions, EveryIdentifierMapsToItsDocumentedMessage) {
    std::ifstream in(std::string(QXDB_TEST_DATA) + "/error_definitions.tsv");
    ASSERT_TRUE(in.good());
    std::string line;
    int checked = 0;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#') continue;
        unsigned id = 0, message = 0, code = 0, level = 0;
        ASSERT_EQ(sscanf(line.c_str(), "%u %u %u %u", &id, &message, &code, &level), 4) << line;
        const ErrorDefinition* d = find_error_definition(id);
        ASSERT_NE(d, nullptr) << id;
        EXPECT_EQ(d->message_id, message) << id;
        EXPECT_EQ(d->external_code, code) << id;
        EXPECT_EQ(d->level, level) << id;
        checked++;
    }
    EXPECT_EQ(checked, 148);
}

}  // namespace
