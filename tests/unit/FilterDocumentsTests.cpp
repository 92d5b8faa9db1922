// Filters documents as a user could write them to attack the conversion: document type
// declarations, and random documents from a small grammar run through the whole conversion.
#include <gtest/gtest.h>

#include <windows.h>

#include <random>
#include <string>
#include <vector>

#include "src/common/vrxrunonce/RuleScripts.h"
#include "src/common/vrxrunonce/UserFilters.h"
#include "tests/support/LogCapture.h"
#include "tests/support/LuaReadBack.h"
#include "tests/support/RecordingSettingsNode.h"

using namespace VrxRunOnce;
using VrxTest::RecordingNode;

namespace {

TEST(FilterDocumentProlog, OnlyCommentsAndProcessingInstructionsMayPrecedeTheRoot) {
    const struct {
        const wchar_t* text;
        bool mayDeclare;
    } cases[] = {
        {L"<VRXFilters/>", false},
        {L"\xFEFF <?xml version=\"1.0\"?>\r\n<!-- <!DOCTYPE a> --><?pi <!DOCTYPE?>\t<VRXFilters/>",
         false},
        {L"<VRXFilters><BodyCont><![CDATA[<!DOCTYPE html>]]></BodyCont></VRXFilters>", false},
        {L"<!DOCTYPE VRXFilters><VRXFilters/>", true},
        {L"<?xml version=\"1.0\"?><!-- c --><!DOCTYPE VRXFilters []><VRXFilters/>", true},
        {L"<!---><!DOCTYPE a>--><VRXFilters/>", false},  // the opener's dashes do not close it
        {L"<!-- unclosed <VRXFilters/>", true},
        {L"<?pi unclosed <VRXFilters/>", true},
        {L"x<!DOCTYPE a><VRXFilters/>", true},
        {L"</VRXFilters>", true},
        {L"<", true},
        {L"  ", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(c.mayDeclare, MayDeclareDocumentType(c.text));
    }
}

class FilterDocumentsTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(S_OK, ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED));
        VrxTest::ClearLogRecords();
    }
    void TearDown() override { ::CoUninitialize(); }

    static void Convert(RecordingNode& user) {
        CComApartment apartment;
        ConvertFiltersOfUser(&user, apartment);
    }
};

// Entity expansion and external entities never reach the parser: the user is skipped and keeps
// the document as it was.
TEST_F(FilterDocumentsTest, DocumentsWithADocumentTypeAreLeftAsTheyWere) {
    const std::wstring expanding = L"<!DOCTYPE VRXFilters [<!ENTITY e \"" +
                                   std::wstring(100 * 1024, L'x') + L"\">]><VRXFilters><BodyCont>";
    std::wstring references;
    for (int i = 0; i < 4000; ++i) {
        references += L"&e;";
    }
    for (const std::wstring& filters :
         {expanding + references + L"</BodyCont></VRXFilters>",
          std::wstring(L"<?xml version=\"1.0\"?><!DOCTYPE VRXFilters [<!ENTITY e SYSTEM "
                       L"\"file:///C:/windows/win.ini\">]><VRXFilters><SubjCont>&e;"
                       L"</SubjCont></VRXFilters>")}) {
        RecordingNode user;
        user.Hold(kUserFilters, filters);
        const auto held = user.values;
        Convert(user);
        EXPECT_TRUE(user.calls.empty());
        EXPECT_EQ(held, user.values);
    }
    EXPECT_TRUE(VrxTest::LogRecords().empty());
}

// ---- Random documents ---------------------------------------------------------------------------

// Documents from a small grammar: rules of both lists and Charset elements whose texts mix
// bracket runs, CDATA sections, character references, the escape's own sequences, non-ASCII
// text and nested elements.
class CFiltersGrammar {
public:
    explicit CFiltersGrammar(unsigned seed) : m_random(seed) {}

    std::wstring Document() {
        std::wstring document = Pick({L"", L"<?xml version=\"1.0\"?>", L"<!--c-->"});
        document += L"<VRXFilters>";
        for (int rules = Below(5); rules > 0; --rules) {
            document += Rule();
        }
        return document + L"</VRXFilters>";
    }

private:
    int Below(int bound) { return std::uniform_int_distribution<int>(0, bound - 1)(m_random); }
    std::wstring Pick(std::initializer_list<const wchar_t*> choices) {
        return *(choices.begin() + Below(static_cast<int>(choices.size())));
    }
    std::wstring Brackets() { return std::wstring(1 + Below(5), L']'); }

    std::wstring Rule() {
        const std::wstring name =
            Pick({L"SubjCont", L"BodyContRE", L"SndrNotCont", L"HeaderNotContREAllow",
                  L"RecvContAllow", L"Charset", L"Other"});
        const std::wstring attributes =
            Pick({L"", L" type=\"1\"", name == L"Charset" ? L" c=\"y\"" : L""});
        const std::wstring content =
            name == L"Charset" && attributes.empty() ? Pick({L"1252;28591", L";936"}) : Content(0);
        return L"<" + name + attributes + L">" + content + L"</" + name + L">";
    }

    std::wstring Content(int depth) {
        std::wstring content;
        for (int pieces = Below(6); pieces > 0; --pieces) {
            switch (Below(8)) {
                case 0:
                    content += Brackets();
                    break;
                case 1:
                    content += Pick({L"&#93;", L"&#x5D;", L"&gt;", L"&amp;"});
                    break;
                case 2:
                    content += L"<![CDATA[" + Section() + L"]]>";
                    break;
                case 3:
                    content += Pick({L"\\x5D", L"\\x3E", L"]]\\x3E", L"]_]_&gt;_&lt;"});
                    break;
                case 4:
                    content += Pick({L"a", L"\u00e9t\u00e9", L"\u0436", L"\U0001F600"});
                    break;
                case 5:
                    content += Pick({L"[[", L"(?i)", L"}},", L"[a-z]"});
                    break;
                default:
                    if (depth < 3) {
                        content += L"<x>" + Content(depth + 1) + L"</x>";
                    }
            }
        }
        return content;
    }

    // A CDATA section's text, which cannot hold "]]>".
    std::wstring Section() {
        std::wstring text;
        for (int pieces = Below(4); pieces > 0; --pieces) {
            text += Below(2) == 0 ? Brackets() : Pick({L"b", L">", L"<x>", L"\u00e9"});
        }
        while (text.find(L"]]>") != std::wstring::npos) {
            text.erase(text.find(L"]]>") + 2, 1);
        }
        return text;
    }

    std::mt19937 m_random;
};

// The stored document holds no "]]" in a rule text, the scripts read back in Lua as exactly its
// rule texts (checked after the suite), and a second run gives the same scripts. Set
// VRX_RANDOM_FILTER_DOCUMENTS to run more documents than the suite does.
TEST_F(FilterDocumentsTest, RandomDocumentsReadBackInLuaAsTheirStoredRuleTexts) {
    CFiltersGrammar grammar(12);
    VrxTest::CLuaReadBack readBack(L"FilterDocumentsTest.RandomDocuments");
    for (unsigned count = VrxTest::RandomCaseCount("VRX_RANDOM_FILTER_DOCUMENTS", 300),
                  document = 0;
         document < count; ++document) {
        const std::wstring filters = grammar.Document();
        SCOPED_TRACE(filters);
        RecordingNode user;
        user.Hold(kUserFilters, filters);
        Convert(user);
        if (user.calls.empty()) {
            continue;  // does not parse once escaped
        }
        const std::string stored = user.values[kUserFilters];
        UniqueXmlDocument parsed = CreateXmlDocument();
        const Tessel::UniqueBstr text(
            ::SysAllocString(reinterpret_cast<const wchar_t*>(stored.c_str())));
        VARIANT_BOOL loaded = VARIANT_FALSE;
        ASSERT_TRUE(parsed && parsed.get()->loadXML(text.get(), &loaded) == S_OK && loaded);

        const std::vector<VrxTest::DocumentRule> rules = VrxTest::RulesOf(parsed.get());
        for (const VrxTest::DocumentRule& rule : rules) {
            EXPECT_EQ(std::wstring::npos, rule.text.find(L"]]")) << rule.text;
        }
        readBack.Add("document-" + std::to_string(document), rules, user.Stored(kUserFiltersBlack),
                     user.Stored(kUserFiltersWhite));

        const std::string black = user.Script(kUserFiltersBlack);
        const std::string white = user.Script(kUserFiltersWhite);

        user.calls.clear();
        Convert(user);
        EXPECT_EQ(black, user.Script(kUserFiltersBlack));
        EXPECT_EQ(white, user.Script(kUserFiltersWhite));
        ASSERT_TRUE(VrxTest::LogRecords().empty());
    }
}

}  // namespace
