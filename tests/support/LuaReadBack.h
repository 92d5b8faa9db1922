// Documents and the rule scripts made from them, kept for the Lua read-back check that ctest runs
// once the tests that write them are done (tests/lua/rule_scripts.lua): Lua loads every script as
// the filter engine does and compares the rules it finds with the document's rules.
#pragma once

#include <windows.h>
#include <msxml2.h>

#include <string>
#include <vector>

namespace VrxTest {

// One element child of a document's root: its name, whether it carries "type", and its text as
// parsed (the text and CDATA nodes below it, joined in document order), before the escape.
struct DocumentRule {
    std::wstring name;
    bool typed = false;
    std::wstring text;
};

// The element children of the document's root, in document order.
std::vector<DocumentRule> RulesOf(IXMLDOMDocument2* document);

// How many random cases a generated test runs: the number in the environment variable
// `variable` when it is set, else `otherwise`.
unsigned RandomCaseCount(const char* variable, unsigned otherwise);

// A file of records for the check, <test executable folder>\lua-read-back\<name>.txt, written
// afresh when the object goes (none when nothing was added). The check expects a script for each
// list that the document has rules of (black: a child without "type"; white: one with it), holding
// the rules of the list's kinds in the order the stylesheets write them, each with its text
// escaped.
class CLuaReadBack {
public:
    explicit CLuaReadBack(const std::wstring& name);
    ~CLuaReadBack();
    CLuaReadBack(const CLuaReadBack&) = delete;
    CLuaReadBack& operator=(const CLuaReadBack&) = delete;

    // One document and its scripts as stored, terminating zero byte included (null: not stored).
    void Add(const std::string& label, const std::vector<DocumentRule>& rules,
             const std::string* black, const std::string* white);

private:
    std::wstring m_path;
    std::string m_records;
};

}  // namespace VrxTest
