#include <gtest/gtest.h>

#include <windows.h>

#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "src/common/vrxrunonce/RuleScripts.h"

using namespace VrxRunOnce;

namespace {

// A user node that records what is stored and cleared, in order.
class RecordingNode final : public SettingsNode {
public:
    std::vector<std::wstring> calls;
    std::map<std::wstring, std::string> values;  // the stored bytes, terminator included
    DWORD setAnswer = ERROR_SUCCESS;

    DWORD OpenChild(const wchar_t*, SettingsNode** child) override {
        *child = nullptr;
        return ERROR_FILE_NOT_FOUND;
    }
    DWORD ReservedSlot1() override { return ERROR_CALL_NOT_IMPLEMENTED; }
    DWORD EnumChildren(SettingsEnumerator** enumerator) override {
        *enumerator = nullptr;
        return ERROR_ACCESS_DENIED;
    }
    DWORD GetValue(const wchar_t*, void*, DWORD*) override { return ERROR_FILE_NOT_FOUND; }
    DWORD SetValue(const wchar_t* name, const void* data, DWORD bytes, DWORD flags) override {
        calls.push_back(L"set " + std::wstring(name) + L" " + std::to_wstring(flags));
        if (setAnswer == ERROR_SUCCESS) {
            values[name].assign(static_cast<const char*>(data), bytes);
        }
        return setAnswer;
    }
    DWORD ClearValue(const wchar_t* name, DWORD flags) override {
        calls.push_back(L"clear " + std::wstring(name) + L" " + std::to_wstring(flags));
        values.erase(name);
        return ERROR_SUCCESS;
    }
    ULONG Release() override { return 1; }

    // The stored script as text, checking its single terminating zero byte.
    std::string Script(const wchar_t* name) const {
        const auto found = values.find(name);
        if (found == values.end()) {
            return "<none>";
        }
        const std::string& bytes = found->second;
        EXPECT_FALSE(bytes.empty());
        EXPECT_EQ('\0', bytes.back());
        EXPECT_EQ(bytes.size() - 1, bytes.find('\0'));
        return bytes.substr(0, bytes.size() - 1);
    }
};

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
TEST_F(RuleScriptsTest, ClosingBracketsInRuleTextsAreEscaped) {
    Convert(
        L"<VRXFilters><SubjCont>a]&#93;},os.exit()--</SubjCont>"
        L"<BodyContRE><![CDATA[x]]]]><![CDATA[]]]></BodyContRE>"
        L"<SndrCont>a]\\x5Db</SndrCont></VRXFilters>");
    EXPECT_EQ(Black("{part=NodeType.Headers(), field=\"subject\", test=[[a]\\x5D},os.exit()--]]},"
                    "{part=NodeType.Body(), test=Regex.new([[((?i)x]\\x5D])]])},"
                    "{part=NodeType.Headers(), field=\"from\", test=[[a]\\x5Db]]},"),
              node.Script(kUserFiltersBlack));
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
