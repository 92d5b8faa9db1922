#include <gtest/gtest.h>

#include <windows.h>
#include <msxml2.h>

#include <cstring>
#include <string>
#include <vector>

#include "src/common/vrxrunonce/RuleScripts.h"
#include "src/common/vrxrunonce/UserFilters.h"
#include "tests/support/Files.h"
#include "tests/support/LogCapture.h"
#include "tests/support/LuaReadBack.h"
#include "tests/support/Registry.h"
#include "tests/support/SettingsStore.h"
#include "tests/support/SettingsLibraryTest.h"
#include "tests/support/Signing.h"

using namespace VrxRunOnce;
using namespace VrxTest;
using Names = std::vector<std::wstring>;

namespace {

// ---- Reading documents back -------------------------------------------------------------------

UniqueXmlDocument Parse(const std::wstring& xml) {
    UniqueXmlDocument document = CreateXmlDocument();
    EXPECT_TRUE(document);
    if (document) {
        const Tessel::UniqueBstr source(::SysAllocString(xml.c_str()));
        VARIANT_BOOL loaded = VARIANT_FALSE;
        EXPECT_EQ(S_OK, document.get()->loadXML(source.get(), &loaded)) << xml;
        EXPECT_EQ(VARIANT_TRUE, loaded) << xml;
    }
    return document;
}

std::wstring WideOf(const char* ascii) {
    return std::wstring(ascii, ascii + std::strlen(ascii));
}

std::wstring TextOf(IXMLDOMNode* node) {
    BSTR raw = nullptr;
    node->get_text(&raw);
    const Tessel::UniqueBstr text(raw);
    return text ? std::wstring(text.get(), ::SysStringLen(text.get())) : std::wstring();
}

// The root's children, one a line: "name[c=value]:" and the element's content, CDATA sections
// shown as such. Serialised text is never compared: its formatting depends on the engine.
std::wstring Describe(IXMLDOMDocument2* document) {
    Tessel::UniqueComPtr<IXMLDOMElement> root;
    Tessel::UniqueComPtr<IXMLDOMNodeList> children;
    if (FAILED(document->get_documentElement(root.put())) || !root ||
        FAILED(root.get()->get_childNodes(children.put()))) {
        return L"<no root>";
    }
    std::wstring description;
    Tessel::UniqueComPtr<IXMLDOMNode> child;
    for (long at = 0; children.get()->get_item(at, child.put()) == S_OK && child; ++at) {
        BSTR raw = nullptr;
        child.get()->get_nodeName(&raw);
        const Tessel::UniqueBstr name(raw);
        description += name.get();
        Tessel::UniqueComPtr<IXMLDOMNamedNodeMap> attributes;
        Tessel::UniqueComPtr<IXMLDOMNode> mark;
        const Tessel::UniqueBstr c(::SysAllocString(L"c"));
        if (child.get()->get_attributes(attributes.put()) == S_OK && attributes &&
            attributes.get()->getNamedItem(c.get(), mark.put()) == S_OK && mark) {
            description += L"[c=" + TextOf(mark.get()) + L"]";
        }
        description += L":";
        Tessel::UniqueComPtr<IXMLDOMNode> content;
        for (child.get()->get_firstChild(content.put()); content;) {
            DOMNodeType type = NODE_INVALID;
            content.get()->get_nodeType(&type);
            description += type == NODE_CDATA_SECTION
                               ? L"<![CDATA[" + TextOf(content.get()) + L"]]>"
                               : TextOf(content.get());
            Tessel::UniqueComPtr<IXMLDOMNode> next;
            content.get()->get_nextSibling(next.put());
            content = std::move(next);
        }
        description += L"\n";
    }
    return description;
}

// ---- Escaping and code pages ------------------------------------------------------------------

TEST(ConvertUFiltersEscape, ClosingBracketsOfRuleTextsAreEscaped) {
    // A CDATA text a]]b, and a regular expression for "]]>".
    EXPECT_EQ(L"<A><![CDATA[a]\\x5Db]]></A>", EscapeClosingBrackets(L"<A><![CDATA[a]]b]]></A>"));
    EXPECT_EQ(L"<A><![CDATA[x]\\x5D>]]></A>",
              EscapeClosingBrackets(L"<A><![CDATA[x]]\\x3E]]></A>"));
    EXPECT_EQ(L"<A>a]\\x5Db]\\x5D]</A>", EscapeClosingBrackets(L"<A>a]]b]]]</A>"));
    // Brackets before a section's end: pairs from the left are escaped, the last two end it.
    EXPECT_EQ(L"<![CDATA[]\\x5D]]><B/>", EscapeClosingBrackets(L"<![CDATA[]]]]><B/>"));
    // An odd one left over stays, so a text ending in "]" ("[a-z]") keeps its section closed.
    EXPECT_EQ(L"<![CDATA[[a-z]]]><B/>", EscapeClosingBrackets(L"<![CDATA[[a-z]]]><B/>"));
    // "]]>" that is not followed by a tag is escaped like any other pair.
    EXPECT_EQ(L"]\\x5D> <", EscapeClosingBrackets(L"]]> <"));
    EXPECT_EQ(L"]]><", EscapeClosingBrackets(L"]]><"));
    // Text that happens to look like an internal marker is not turned into a section end.
    EXPECT_EQ(L"a]_]_>_<b", EscapeClosingBrackets(L"a]_]_>_<b"));

    // What the escape gives back passes through it unchanged.
    for (const wchar_t* text :
         {L"<A><![CDATA[a]]b]]]]]><B>c]]]d</B>]]\\x3E", L"x]]]]]]><y]]", L"]]\\x3E]]><"}) {
        SCOPED_TRACE(text);
        const std::wstring once = EscapeClosingBrackets(text);
        EXPECT_EQ(once, EscapeClosingBrackets(once));
    }
}

TEST(CharsetNames, TokensAreSplitAtSeparatorsAndMatchedExactly) {
    const Names latin = {L"WINDOWS-1252", L"IBM850", L"ISO-8859-1"};
    EXPECT_EQ(latin, CharsetNamesFromCodePages(L"1252;28591"));
    EXPECT_EQ(latin, CharsetNamesFromCodePages(L"1252;;;28591;"));
    EXPECT_EQ((Names{L"WINDOWS-1251", L"IBM855", L"ISO-IR-111", L"IBM866"}),
              CharsetNamesFromCodePages(L";;1251;;"));
    EXPECT_EQ((Names{L"WINDOWS-1252", L"IBM850"}), CharsetNamesFromCodePages(L"1252; 28591"));
    EXPECT_EQ((Names{L"US-ASCII", L"UTF-8"}), CharsetNamesFromCodePages(L"20127;337;65001"));
    for (const wchar_t* none : {L"", L";;", L"1252 ", L"01252", L"1252,28591", L"utf-8"}) {
        SCOPED_TRACE(none);
        EXPECT_EQ(Names{}, CharsetNamesFromCodePages(none));
    }
}

// ---- The Charset repair -----------------------------------------------------------------------

std::wstring Converted(const Names& names) {
    std::wstring lines;
    for (const std::wstring& name : names) {
        lines += L"Charset[c=y]:<![CDATA[" + name + L"]]>\n";
    }
    return lines;
}

class ConvertUFiltersCharsetTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(S_OK, ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)); }
    void TearDown() override { ::CoUninitialize(); }
};

TEST_F(ConvertUFiltersCharsetTest, TheFirstUnconvertedElementReplacesEveryCharsetElement) {
    const struct {
        const wchar_t* filters;  // inside the root element
        std::wstring repaired;
    } cases[] = {
        {L"<SubjCont>a</SubjCont><Charset>1252;28591</Charset><BodyCont>b</BodyCont>",
         L"SubjCont:a\nBodyCont:b\n" + Converted({L"WINDOWS-1252", L"IBM850", L"ISO-8859-1"})},
        {L"<Charset>;;1251;;</Charset>",
         Converted({L"WINDOWS-1251", L"IBM855", L"ISO-IR-111", L"IBM866"})},
        {L"<Charset>1252; 28591</Charset>", Converted({L"WINDOWS-1252", L"IBM850"})},
        // Only the first one's code pages survive.
        {L"<Charset>20866;65001</Charset><SubjCont>a</SubjCont><Charset>1252</Charset>",
         L"SubjCont:a\n" + Converted({L"KOI8-R", L"UTF-8"})},
        // Taken in document order, below other elements too; a converted one goes as well.
        {L"<Charset c=\"y\"><![CDATA[BIG5]]></Charset><SubjCont><Charset>1252</Charset>"
         L"</SubjCont><Charset>51949</Charset>",
         L"SubjCont:\n" + Converted({L"WINDOWS-1252", L"IBM850"})},
        // No known code page: all are removed and none is added.
        {L"<Charset>20127; 1252</Charset><SubjCont>a</SubjCont><Charset c=\"y\">x</Charset>",
         L"SubjCont:a\n"},
        // Elements that carry "c" (whatever its value) or have no content stay as they are.
        {L"<Charset c=\"y\"><![CDATA[UTF-8]]></Charset><Charset c=\"n\">1252</Charset><Charset/>",
         L"Charset[c=y]:<![CDATA[UTF-8]]>\nCharset[c=n]:1252\nCharset:\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.filters);
        UniqueXmlDocument document =
            Parse(L"<VRXFilters>" + std::wstring(c.filters) + L"</VRXFilters>");
        ASSERT_TRUE(document);
        EXPECT_EQ(S_OK, ConvertCharsetElements(document.get()));
        EXPECT_EQ(c.repaired, Describe(document.get()));
    }
    // The new elements go to the root element also when a comment follows it.
    UniqueXmlDocument document =
        Parse(L"<VRXFilters><Charset>65001</Charset></VRXFilters><!--z-->");
    ASSERT_TRUE(document);
    ConvertCharsetElements(document.get());
    EXPECT_EQ(Converted({L"UTF-8"}), Describe(document.get()));
}

// ---- The action -------------------------------------------------------------------------------

LogRecord ActionRecord(int line, const std::wstring& text) {
    return {4, L"VrxRunOnce", L"ConvertUFilters", line, text};
}

const LogRecord kNotLoaded = ActionRecord(636, L"ConvertUFilters: Failed to load Settings DLL.");
const LogRecord kNoApi = ActionRecord(643, L"ConvertUFilters: Failed to get Settings API.");
const LogRecord kNoRoot = ActionRecord(649, L"ConvertUFilters: Failed to get Settings ROOT.");
const LogRecord kNoUsers = ActionRecord(658, L"ConvertUFilters: Failed to get usr enum.");

std::string FiltersUser(const std::string& path, const std::wstring& filters) {
    return StoreNode(path) + StoreValue(path, "UserFilters", TextHex(filters));
}

// A user with rules in both lists, a rule text with "]]", a regular expression ending in "]" and
// a Charset element in the form before conversion.
const std::wstring kFilters =
    L"<VRXFilters><SubjCont><![CDATA[a]]b]]></SubjCont>"
    L"<BodyContRE><![CDATA[[a-z]]]></BodyContRE><Charset>1252;28591</Charset>"
    L"<SndrContAllow type=\"1\">friend@example.org</SndrContAllow></VRXFilters>";
const std::wstring kConvertedFilters =
    L"SubjCont:<![CDATA[a]\\x5Db]]>\nBodyContRE:<![CDATA[[a-z]]]>\n"
    L"SndrContAllow:friend@example.org\n" +
    Converted({L"WINDOWS-1252", L"IBM850", L"ISO-8859-1"});
const std::string kBlackScript =
    "black={op=\"OR\",params={{op=\"OR\",params={"
    "{part=NodeType.UsedCharset(),test=[[WINDOWS-1252]]},"
    "{part=NodeType.UsedCharset(),test=[[IBM850]]},"
    "{part=NodeType.UsedCharset(),test=[[ISO-8859-1]]},}},"
    "{part=NodeType.Headers(), field=\"subject\", test=[[a]\\x5Db]]},"
    "{part=NodeType.Body(), test=Regex.new([[((?i)[a-z])]])},}};";
const std::string kWhiteScript =
    "white={op=\"OR\",params={{part=NodeType.Headers(), field=\"from\", "
    "test=[[friend@example.org]]},}};";

class ConvertUFiltersTest : public SettingsLibraryTest {
protected:
    std::vector<LogRecord> Run() {
        std::vector<LogRecord> records = RunWithTestValidator(&ConvertUserFilters);
        ReadBackStoredScripts();
        return records;
    }

    // Every user with a stored script, with the stored document it was made from, for the Lua
    // read-back check. COM is joined only for parsing, if the thread has not joined it.
    void ReadBackStoredScripts() {
        const HRESULT joined = ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
        ASSERT_TRUE(SUCCEEDED(joined) || joined == RPC_E_CHANGED_MODE);
        const std::string store = ReadTextFile(StorePath());
        ++runs;
        for (size_t line = 0; line < store.size(); line = store.find('\n', line) + 1) {
            const std::string entry = store.substr(line, store.find('\n', line) - line);
            if (entry.compare(0, 5, "node|") != 0 || entry.find('\\') != std::string::npos) {
                continue;
            }
            const std::string user = entry.substr(5);
            std::string filters, black, white;
            // The stand-in keeps a cleared value as an empty one.
            const bool hasBlack =
                FindStoredValue(store, user, "UserFiltersBlack", black) && !black.empty();
            const bool hasWhite =
                FindStoredValue(store, user, "UserFiltersWhite", white) && !white.empty();
            if (!hasBlack && !hasWhite) {
                continue;
            }
            UniqueXmlDocument document;
            if (FindStoredValue(store, user, "UserFilters", filters)) {
                document = Parse(WideTextOf(filters));
            }
            if (!document) {
                ADD_FAILURE() << user << ": scripts stored without a document that parses";
                continue;
            }
            readBack.Add("run-" + std::to_string(runs) + "-" + user, RulesOf(document.get()),
                         hasBlack ? &black : nullptr, hasWhite ? &white : nullptr);
        }
        if (SUCCEEDED(joined)) {
            ::CoUninitialize();
        }
    }

    std::string Stored(const std::string& user, const char* name) const {
        std::string bytes;
        return FindStoredValue(ReadTextFile(StorePath()), user, name, bytes) ? bytes : "<none>";
    }
    // The user's stored filters document, described; COM is joined only for reading it.
    std::wstring StoredFilters(const std::string& user) const {
        EXPECT_TRUE(SUCCEEDED(::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)));
        std::wstring description;
        {
            UniqueXmlDocument document = Parse(WideTextOf(Stored(user, "UserFilters")));
            description = document ? Describe(document.get()) : L"<not parsed>";
        }
        ::CoUninitialize();
        return description;
    }
    void ExpectConverted(const std::string& user) const {
        SCOPED_TRACE(user);
        EXPECT_EQ(kConvertedFilters, StoredFilters(user));
        EXPECT_EQ(kBlackScript + '\0', Stored(user, "UserFiltersBlack"));
        EXPECT_EQ(kWhiteScript + '\0', Stored(user, "UserFiltersWhite"));
    }

    int runs = 0;
    CLuaReadBack readBack{L"ConvertUFiltersTest." +
                          WideOf(::testing::UnitTest::GetInstance()->current_test_info()->name())};
};

// Whether COM is initialised on the calling thread, in any apartment; leaves it as it was.
bool ComInitialised() {
    const HRESULT probe = ::CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    if (SUCCEEDED(probe)) {
        ::CoUninitialize();
    }
    return probe != S_OK;
}

}  // namespace

TEST_F(ConvertUFiltersTest, EveryUserIsConvertedAndASecondRunChangesNoRuleText) {
    Install(FiltersUser("first", kFilters) + FiltersUser("second", kFilters) +
            // Only black-list rules: the white script is cleared.
            FiltersUser("third", L"<VRXFilters><SubjCont>x</SubjCont></VRXFilters>"));
    EXPECT_EQ(std::vector<LogRecord>{}, Run());
    EXPECT_EQ(
        L"first|UserFilters;first|UserFiltersBlack;first|UserFiltersWhite;"
        L"second|UserFilters;second|UserFiltersBlack;second|UserFiltersWhite;"
        L"third|UserFilters;third|UserFiltersBlack;",
        SettingsWriteNames());
    EXPECT_EQ(L"0", SettingsObjectsLive()) << "every node and enumerator is given back";
    ExpectConverted("first");
    ExpectConverted("second");
    EXPECT_EQ("", Stored("third", "UserFiltersWhite"));

    // The second run reads its own output: rule texts, Charset elements and scripts stay.
    ClearSettingsStandInRecords();
    EXPECT_EQ(std::vector<LogRecord>{}, Run());
    ExpectConverted("first");
    ExpectConverted("second");
}

// The rules users write most end in "]" (subject tags), and parsing can make "]]" where the text
// of the document had none. Every rule reaches its script, the stored document holds no "]]" in
// a rule text, and a second run over it changes nothing.
TEST_F(ConvertUFiltersTest, RuleTextsEndingInABracketOrPairedByParsingKeepEveryRule) {
    Install(FiltersUser(
        "tags",
        L"<VRXFilters><SubjCont>[SPAM]</SubjCont><SubjNotCont><![CDATA[[External]]]></SubjNotCont>"
        L"<BodyCont>&#93;&#93;x</BodyCont><SndrCont>a]<![CDATA[]b]]></SndrCont>"
        L"<Charset c=\"y\"><![CDATA[x]]]></Charset><SubjContAllow type=\"1\">]</SubjContAllow>"
        L"</VRXFilters>"));
    const std::wstring stored =
        L"SubjCont:[SPAM]\nSubjNotCont:<![CDATA[[External]]]>\nBodyCont:]\\x5Dx\n"
        L"SndrCont:a]<![CDATA[\\x5Db]]>\nCharset[c=y]:<![CDATA[x]]]>\nSubjContAllow:]\n";
    const std::string black =
        "black={op=\"OR\",params={{op=\"OR\",params={"
        "{part=NodeType.UsedCharset(),test=[=[x]]=]},}},"
        "{part=NodeType.Headers(), field=\"subject\", test=[=[[SPAM]]=]},"
        "{op=\"NOT\",params={{part=NodeType.Headers(), field=\"subject\", test=[=[[External]]=]}}},"
        "{part=NodeType.Body(), test=[[]\\x5Dx]]},"
        "{part=NodeType.Headers(), field=\"from\", test=[[a]\\x5Db]]},}};";
    const std::string white =
        "white={op=\"OR\",params={{part=NodeType.Headers(), field=\"subject\", test=[=[]]=]},}};";
    for (int run = 1; run <= 2; ++run) {
        SCOPED_TRACE(run);
        EXPECT_EQ(std::vector<LogRecord>{}, Run());
        EXPECT_EQ(stored, StoredFilters("tags"));
        EXPECT_EQ(black + '\0', Stored("tags", "UserFiltersBlack"));
        EXPECT_EQ(white + '\0', Stored("tags", "UserFiltersWhite"));
    }
}

TEST_F(ConvertUFiltersTest, UsersWithoutUsableFiltersAreSkippedWithNothingWritten) {
    Install(StoreNode("missing") + FiltersUser("empty", L"") + StoreNode("odd") +
            StoreValue("odd", "UserFilters", "3c0041") +
            FiltersUser("malformed", L"<VRXFilters><SubjCont>x</VRXFilters>") +
            // A section end not followed by a tag is escaped, which leaves the section unclosed.
            FiltersUser("unclosed", L"<VRXFilters><A><![CDATA[x]]> y</A></VRXFilters>") +
            FiltersUser("hidden", kFilters) + StoreFailure("hidden", "Current") +
            FiltersUser("last", kFilters));
    EXPECT_EQ(std::vector<LogRecord>{}, Run());
    EXPECT_EQ(L"last|UserFilters;last|UserFiltersBlack;last|UserFiltersWhite;",
              SettingsWriteNames());
    EXPECT_EQ(L"0", SettingsObjectsLive());
    ExpectConverted("last");
}

TEST_F(ConvertUFiltersTest, WithoutAnInstallFolderNothingIsLoaded) {
    // No product key, and a program-files folder too long for the fallback folder to fit. The
    // process asks for its own program-files folder: the 32-bit one for a 32-bit process.
    const wchar_t* const currentVersion = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion";
    const RegValue programFiles = ReadValue(currentVersion, L"ProgramFilesDir", kNativeView);
    ASSERT_TRUE(programFiles.present);
    RemoveProductKeys();
    SetString(currentVersion, L"ProgramFilesDir", L"C:\\" + std::wstring(250, L'p'), REG_SZ,
              kNativeView);
    const std::vector<LogRecord> records = Run();
    SetString(currentVersion, L"ProgramFilesDir", programFiles.AsString(), REG_SZ, kNativeView);
    EXPECT_EQ(std::vector<LogRecord>{ActionRecord(
                  625, L"ConvertUFilters: GetVRXInstallPath returned false.")},
              records);
}

TEST_F(ConvertUFiltersTest, WithoutTheStoreItsRootOrItsUsersNothingIsWritten) {
    const std::string user = FiltersUser("first", kFilters);
    struct Case {
        const char* failure;
        LogRecord record;
    };
    for (const Case& failure : {Case{"GETSETTINGS", kNoRoot}, Case{"NullRoot", kNoRoot},
                                Case{"RootWithFailure", kNoRoot}, Case{"EnumChildren", kNoUsers}}) {
        SCOPED_TRACE(failure.failure);
        ClearSettingsStandInRecords();
        Install(StoreFailure("", failure.failure) + user);
        EXPECT_EQ(std::vector<LogRecord>{failure.record}, Run());
        EXPECT_EQ(L"", SettingsWrites());
        const std::wstring live = SettingsObjectsLive();
        EXPECT_TRUE(live.empty() || live == L"0") << "objects left: " << live;
    }

    // A module of the accepted publisher that is not a settings library.
    Install("", L"signed.dll");
    EXPECT_EQ(std::vector<LogRecord>{kNoApi}, Run());

    // An unsigned library, or none at all, is never loaded.
    Install(user, L"settings-unsigned\\VrxSet.dll");
    EXPECT_EQ((std::vector<LogRecord>{RefusedRecord(LibraryPath()), kNotLoaded}), Run());
    ASSERT_TRUE(::DeleteFileW(LibraryPath().c_str()));
    EXPECT_EQ((std::vector<LogRecord>{RefusedRecord(LibraryPath()), kNotLoaded}), Run());
}

TEST_F(ConvertUFiltersTest, ComIsUninitialisedOnlyWhenTheActionInitialisedIt) {
    ASSERT_FALSE(ComInitialised());
    Install(FiltersUser("first", kFilters) + FiltersUser("second", kFilters));
    EXPECT_EQ(std::vector<LogRecord>{}, Run());
    EXPECT_FALSE(ComInitialised());
    ExpectConverted("second");

    for (const DWORD model : {COINIT_APARTMENTTHREADED, COINIT_MULTITHREADED}) {
        SCOPED_TRACE(model);
        Install(FiltersUser("first", kFilters));
        ASSERT_EQ(S_OK, ::CoInitializeEx(nullptr, model));
        EXPECT_EQ(std::vector<LogRecord>{}, Run());
        // Still initialised in the host's apartment: joining it again only counts once more.
        EXPECT_EQ(S_FALSE, ::CoInitializeEx(nullptr, model));
        ::CoUninitialize();
        ::CoUninitialize();
        ExpectConverted("first");
    }
}
