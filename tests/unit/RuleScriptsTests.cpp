#include <gtest/gtest.h>

#include <windows.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "src/common/vrxrunonce/RuleScripts.h"
#include "tests/support/LogCapture.h"
#include "tests/support/RecordingSettingsNode.h"

using namespace VrxRunOnce;
using VrxTest::RecordingNode;

namespace {

const std::string kNone = "<none>";

class RuleScriptsTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(S_OK, ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)); }
    void TearDown() override { ::CoUninitialize(); }

    static UniqueXmlDocument Parse(const std::wstring& xml) {
        UniqueXmlDocument document = CreateXmlDocument();
        EXPECT_TRUE(document);
        if (document) {
            BSTR source = ::SysAllocString(xml.c_str());
            VARIANT_BOOL loaded = VARIANT_FALSE;
            EXPECT_EQ(S_OK, document.get()->loadXML(source, &loaded)) << xml;
            EXPECT_EQ(VARIANT_TRUE, loaded) << xml;
            ::SysFreeString(source);
        }
        return document;
    }

    // Runs the conversion on `xml` and expects it to succeed.
    void Convert(const std::wstring& xml) {
        UniqueXmlDocument filters = Parse(xml);
        ASSERT_TRUE(filters);
        EXPECT_EQ(S_OK, WriteUserRuleScripts(filters.get(), &node));
    }

    RecordingNode node;
};

std::string Black(const std::string& rules) {
    return "black={op=\"OR\",params={" + rules + "}};";
}
std::string White(const std::string& rules) {
    return "white={op=\"OR\",params={" + rules + "}};";
}

}  // namespace

TEST_F(RuleScriptsTest, OneRuleInEachListIsStoredAsUtf8WithOneTerminator) {
    Convert(
        L"<VRXFilters><SubjCont>cheap</SubjCont>"
        L"<SndrContAllow type=\"1\">alice</SndrContAllow></VRXFilters>");
    EXPECT_EQ(Black("{part=NodeType.Headers(), field=\"subject\", test=[[cheap]]},"),
              node.Script(kUserFiltersBlack));
    EXPECT_EQ(White("{part=NodeType.Headers(), field=\"from\", test=[[alice]]},"),
              node.Script(kUserFiltersWhite));
    EXPECT_EQ((std::vector<std::wstring>{L"set UserFiltersBlack 0", L"set UserFiltersWhite 0"}),
              node.calls);
}

// Every group and form, given in the document in the reverse of the order they are written.
TEST_F(RuleScriptsTest, EveryGroupAndFormInBothLists) {
    const std::vector<std::pair<std::string, std::string>> groups = {
        {"Subj", "part=NodeType.Headers(), field=\"subject\""},
        {"Body", "part=NodeType.Body()"},
        {"Sndr", "part=NodeType.Headers(), field=\"from\""},
        {"Header", "part=NodeType.RawHeaders()"},
        {"Recv", "part=NodeType.Headers(), field=\"to\""}};
    std::wstring black, white;
    std::string blackRules, whiteRules;
    for (const auto& [prefix, part] : groups) {
        const std::map<std::string, std::string> forms = {
            {"Cont", "{" + part + ", test=[[V]]},"},
            {"ContRE", "{" + part + ", test=Regex.new([[((?i)V)]])},"},
            {"NotCont", "{op=\"NOT\",params={{" + part + ", test=[[V]]}}},"},
            {"NotContRE", "{op=\"NOT\",params={{" + part + ", test=Regex.new([[((?i)V)]])}}},"}};
        for (const char* form : {"Cont", "ContRE", "NotCont", "NotContRE"}) {
            const std::wstring name(prefix.begin(), prefix.end());
            const std::wstring wform(form, form + std::strlen(form));
            const std::string text = prefix + form;
            const std::wstring wtext(text.begin(), text.end());
            black = L"<" + name + wform + L">" + wtext + L"</" + name + wform + L">" + black;
            white = L"<" + name + wform + L"Allow type=\"w\">" + wtext + L"w</" + name + wform +
                    L"Allow>" + white;
            std::string rule = forms.at(form);
            const size_t at = rule.find("V");
            blackRules += std::string(rule).replace(at, 1, text);
            whiteRules += rule.replace(at, 1, text + "w");
        }
    }
    Convert(L"<VRXFilters>" + white + black + L"</VRXFilters>");
    EXPECT_EQ(Black(blackRules), node.Script(kUserFiltersBlack));
    EXPECT_EQ(White(whiteRules), node.Script(kUserFiltersWhite));
}

TEST_F(RuleScriptsTest, KindsInFixedOrderAndOneKindInDocumentOrder) {
    Convert(
        L"<VRXFilters><BodyContRE>a+</BodyContRE><BodyContRE>b+</BodyContRE>"
        L"<SubjCont>win</SubjCont></VRXFilters>");
    EXPECT_EQ(Black("{part=NodeType.Headers(), field=\"subject\", test=[[win]]},"
                    "{part=NodeType.Body(), test=Regex.new([[((?i)a+)]])},"
                    "{part=NodeType.Body(), test=Regex.new([[((?i)b+)]])},"),
              node.Script(kUserFiltersBlack));
    EXPECT_EQ(kNone, node.Script(kUserFiltersWhite));
    EXPECT_EQ(L"clear UserFiltersWhite 0", node.calls.back());
}

TEST_F(RuleScriptsTest, CharsetGroupComesFirstWithoutBlanks) {
    Convert(
        L"<VRXFilters><SubjCont>x</SubjCont><Charset c=\"y\"><![CDATA[UTF-8]]></Charset>"
        L"<Charset c=\"y\"><![CDATA[koi8-r]]></Charset></VRXFilters>");
    EXPECT_EQ(Black("{op=\"OR\",params={{part=NodeType.UsedCharset(),test=[[UTF-8]]},"
                    "{part=NodeType.UsedCharset(),test=[[koi8-r]]},}},"
                    "{part=NodeType.Headers(), field=\"subject\", test=[[x]]},"),
              node.Script(kUserFiltersBlack));

    node = RecordingNode();
    Convert(L"<VRXFilters><Charset c=\"y\"><![CDATA[UTF-8]]></Charset></VRXFilters>");
    EXPECT_EQ(Black("{op=\"OR\",params={{part=NodeType.UsedCharset(),test=[[UTF-8]]},}},"),
              node.Script(kUserFiltersBlack));
    EXPECT_EQ(kNone, node.Script(kUserFiltersWhite));
}

// The lists are told apart by the "type" attribute; the templates then select by name.
TEST_F(RuleScriptsTest, TypeAttributeDecidesWhichListIsWritten) {
    Convert(L"<VRXFilters><Unknown>ignored</Unknown></VRXFilters>");
    EXPECT_EQ(Black(""), node.Script(kUserFiltersBlack));
    EXPECT_EQ(kNone, node.Script(kUserFiltersWhite));

    node = RecordingNode();
    Convert(L"<VRXFilters><SubjContAllow>no type</SubjContAllow></VRXFilters>");
    EXPECT_EQ(Black(""), node.Script(kUserFiltersBlack));
    EXPECT_EQ(kNone, node.Script(kUserFiltersWhite));

    node = RecordingNode();
    Convert(
        L"<VRXFilters><SubjCont type=\"1\">typed</SubjCont><BodyCont>b</BodyCont>"
        L"</VRXFilters>");
    EXPECT_EQ(Black("{part=NodeType.Headers(), field=\"subject\", test=[[typed]]},"
                    "{part=NodeType.Body(), test=[[b]]},"),
              node.Script(kUserFiltersBlack));
    EXPECT_EQ(White(""), node.Script(kUserFiltersWhite));
}

TEST_F(RuleScriptsTest, EmptyOrForeignDocumentClearsBothScripts) {
    const std::vector<std::wstring> cleared = {L"clear UserFiltersBlack 0",
                                               L"clear UserFiltersWhite 0"};
    for (const wchar_t* xml : {L"<VRXFilters/>", L"<VRXFilters>  </VRXFilters>",
                               L"<Other><SubjCont>}};os.exit()</SubjCont>text</Other>"}) {
        SCOPED_TRACE(xml);
        node = RecordingNode();
        Convert(xml);
        EXPECT_EQ(cleared, node.calls);
    }
}

TEST_F(RuleScriptsTest, RuleTextsAreWrittenAsTheirCharactersInUtf8) {
    Convert(
        L"<VRXFilters><SubjCont>a &lt;b&gt; &amp; \"c\"</SubjCont>"
        L"<BodyCont>\u00e9t\u00e9 \u0436 \U0001F600</BodyCont></VRXFilters>");
    EXPECT_EQ(
        Black("{part=NodeType.Headers(), field=\"subject\", test=[[a <b> & \"c\"]]},"
              "{part=NodeType.Body(), test=[[\xc3\xa9t\xc3\xa9 \xd0\xb6 \xf0\x9f\x98\x80]]},"),
        node.Script(kUserFiltersBlack));
}

// However "]]" reached a rule text, it cannot close the long brackets of the script.
// Also where the pair is split between two pieces of one text and nothing else needs the escape.
TEST_F(RuleScriptsTest, ClosingBracketsInRuleTextsAreEscaped) {
    const struct {
        const wchar_t* filters;
        const char* black;
    } cases[] = {
        {L"<VRXFilters><SubjCont>a]&#93;},os.exit()--</SubjCont>"
         L"<BodyContRE><![CDATA[x]]]]><![CDATA[]]]></BodyContRE>"
         L"<SndrCont>a]\\x5Db</SndrCont></VRXFilters>",
         "{part=NodeType.Headers(), field=\"subject\", test=[[a]\\x5D},os.exit()--]]},"
         "{part=NodeType.Body(), test=Regex.new([[((?i)x]\\x5D])]])},"
         "{part=NodeType.Headers(), field=\"from\", test=[[a]\\x5Db]]},"},
        {L"<VRXFilters><SubjCont><![CDATA[a]]]><![CDATA[]b]]></SubjCont></VRXFilters>",
         "{part=NodeType.Headers(), field=\"subject\", test=[[a]\\x5Db]]},"},
    };
    for (const auto& each : cases) {
        Convert(each.filters);
        EXPECT_EQ(Black(each.black), node.Script(kUserFiltersBlack)) << each.black;
    }
}

TEST_F(RuleScriptsTest, RefusedWriteIsReportedAndTheOtherListStillWritten) {
    node.setAnswer = ERROR_ACCESS_DENIED;
    UniqueXmlDocument filters = Parse(
        L"<VRXFilters><SubjCont>a</SubjCont>"
        L"<SubjContAllow type=\"1\">b</SubjContAllow></VRXFilters>");
    EXPECT_EQ(E_FAIL, WriteUserRuleScripts(filters.get(), &node));
    EXPECT_EQ((std::vector<std::wstring>{L"set UserFiltersBlack 0", L"set UserFiltersWhite 0"}),
              node.calls);
}

// Without a document no transform can run: nothing is stored or cleared.
TEST_F(RuleScriptsTest, MissingDocumentLeavesBothScriptsAlone) {
    EXPECT_EQ(E_FAIL, WriteUserRuleScripts(nullptr, &node));
    EXPECT_TRUE(node.calls.empty());
}

TEST(RuleScriptsUtf8, EmptyTextAndTextCutAtItsFirstZero) {
    std::string utf8 = "stale";
    EXPECT_TRUE(ConvertToUtf8(L"", 0, utf8));
    EXPECT_EQ("", utf8);
    EXPECT_TRUE(ConvertToUtf8(L"a\0b", 3, utf8));
    EXPECT_EQ("a", utf8);
}

// However many pairs reach one rule text, every rule is written: the escape is no longer a
// recursion that gives up and leaves the script empty. The caller's document keeps its texts.
TEST_F(RuleScriptsTest, ManyPairsInOneRuleKeepEveryRule) {
    std::wstring references;
    std::string escaped;
    for (int pair = 0; pair < 3000; ++pair) {
        references += L"&#93;&#93;";
        escaped += "]\\x5D";
    }
    UniqueXmlDocument filters = Parse(L"<VRXFilters><SubjCont>keep-me</SubjCont><BodyCont>" +
                                      references + L"</BodyCont></VRXFilters>");
    ASSERT_TRUE(filters);
    EXPECT_EQ(S_OK, WriteUserRuleScripts(filters.get(), &node));
    EXPECT_EQ(Black("{part=NodeType.Headers(), field=\"subject\", test=[[keep-me]]},"
                    "{part=NodeType.Body(), test=[[" +
                    escaped + "]]},"),
              node.Script(kUserFiltersBlack));
    BSTR raw = nullptr;
    ASSERT_EQ(S_OK, filters.get()->get_text(&raw));
    const Tessel::UniqueBstr text(raw);
    EXPECT_EQ(L"keep-me" + std::wstring(6000, L']'), text.get());
}

// A transform that fails, or gives no script for a document with rules of its list, is logged
// and stores nothing for that list or the one after it.
TEST_F(RuleScriptsTest, FailedOrEmptyTransformLeavesTheStoredScriptAlone) {
    const std::wstring empty =
        L"<xsl:stylesheet version=\"1.0\" xmlns:xsl=\"http://www.w3.org/1999/XSL/Transform\">"
        L"<xsl:output method=\"text\"/><xsl:template match=\"/\"/></xsl:stylesheet>";
    const VrxTest::LogRecord emptyBlack = {
        4, L"VrxRunOnce", L"WriteUserRuleScripts", 711,
        L"WriteUserRuleScripts: Empty UserFiltersBlack for a document with rules."};
    VrxTest::LogRecord emptyWhite = emptyBlack;
    emptyWhite.text = L"WriteUserRuleScripts: Empty UserFiltersWhite for a document with rules.";
    const struct {
        RuleStylesheets stylesheets;
        std::vector<std::wstring> calls;
        VrxTest::LogRecord record;
    } cases[] = {
        {{empty.c_str(), kWhiteListStylesheet}, {}, emptyBlack},
        {{kBlackListStylesheet, empty.c_str()}, {L"set UserFiltersBlack 0"}, emptyWhite},
        // Windows fails this transform (line 705, with the result code); Wine gives no text.
        {{L"<not-a-stylesheet/>", kWhiteListStylesheet}, {}, emptyBlack},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.record.text);
        node = RecordingNode();
        UniqueXmlDocument filters = Parse(
            L"<VRXFilters><SubjCont>a</SubjCont><SubjContAllow type=\"1\">b</SubjContAllow>"
            L"</VRXFilters>");
        VrxTest::ClearLogRecords();
        EXPECT_EQ(E_FAIL, WriteUserRuleScripts(filters.get(), &node, c.stylesheets));
        EXPECT_EQ(c.calls, node.calls);
        std::vector<VrxTest::LogRecord> records = VrxTest::LogRecords();
        if (records.size() == 1 && records[0].line == 705) {
            EXPECT_EQ(0u, records[0].text.find(L"WriteUserRuleScripts: Failed to transform "
                                               L"UserFiltersBlack, hr = 0x"));
            records[0] = c.record;
        }
        EXPECT_EQ(std::vector<VrxTest::LogRecord>{c.record}, records);
    }
}

// A benchmark, not run in the suite: time and memory of one 4 MB rule text with 1,400 "]]" pairs
// that reach it through character references. Run it alone, under a memory meter:
//   vrxro_unit_tests.exe --gtest_also_run_disabled_tests --gtest_filter=*Benchmark*
TEST_F(RuleScriptsTest, DISABLED_BenchmarkLongRuleWithManyPairs) {
    constexpr size_t kLength = 4u << 20;
    constexpr size_t kPairs = 1400;
    std::wstring rule;
    for (size_t pair = 0; pair < kPairs; ++pair) {
        rule.append(kLength / kPairs - 2, L'a').append(L"&#93;&#93;");
    }
    UniqueXmlDocument filters = Parse(L"<VRXFilters><SubjCont>keep-me</SubjCont><BodyCont>" + rule +
                                      L"</BodyCont></VRXFilters>");
    ASSERT_TRUE(filters);
    const ULONGLONG start = ::GetTickCount64();
    EXPECT_EQ(S_OK, WriteUserRuleScripts(filters.get(), &node));
    std::printf("transform: %llu ms, black script: %zu bytes\n", ::GetTickCount64() - start,
                node.Script(kUserFiltersBlack).size());
}

// Stylesheets parsed once serve every later document with the scripts of that document; one that
// cannot be parsed fails every document at its list, without being parsed again.
TEST_F(RuleScriptsTest, ParsedStylesheetsServeEveryDocument) {
    CParsedStylesheets parsed;
    for (const char* text : {"a", "b"}) {
        SCOPED_TRACE(text);
        const std::wstring wide(text, text + 1);
        node = RecordingNode();
        UniqueXmlDocument filters =
            Parse(L"<VRXFilters><SubjCont>" + wide + L"</SubjCont><SubjContAllow type=\"1\">" +
                  wide + L"</SubjContAllow></VRXFilters>");
        ASSERT_TRUE(filters);
        EXPECT_EQ(S_OK, WriteUserRuleScripts(filters.get(), &node, parsed));
        const std::string rule =
            std::string("{part=NodeType.Headers(), field=\"subject\", test=[[") + text + "]]},";
        EXPECT_EQ(Black(rule), node.Script(kUserFiltersBlack));
    }
    CParsedStylesheets broken({kBlackListStylesheet, L"<unclosed>"});
    for (int document = 0; document < 2; ++document) {
        node = RecordingNode();
        UniqueXmlDocument filters = Parse(L"<VRXFilters><SubjCont>a</SubjCont></VRXFilters>");
        EXPECT_EQ(E_FAIL, WriteUserRuleScripts(filters.get(), &node, broken));
        EXPECT_EQ(std::vector<std::wstring>{L"set UserFiltersBlack 0"}, node.calls);
    }
}
