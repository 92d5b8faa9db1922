// A strict reader of the Lua the filter engine's rule scripts are written in: assignments of a
// table constructor to "black" or "white", whose tables hold the fields op, params, part, field
// and test, with strings (short ones with their escapes, long brackets of any level), the calls
// NodeType.<part>() and Regex.new(<string>), and nothing else. It reads strings as Lua 5.4 does
// (a long string drops a newline right after its opening bracket and reads every line end as
// "\n"), so that a rule's value is what the engine would get. Anything outside the subset, a
// comment or another name or call among them, makes the script unreadable: a rule text that
// escapes its string shows up as such.
#pragma once

#include <string>
#include <vector>

namespace VrxFuzz {

struct ScriptRule {
    std::string test;    // the value of the rule's test field
    bool regex = false;  // given as Regex.new(test)
};

struct RuleScript {
    std::string error;              // empty when the script was read
    std::string list;               // "black" or "white"
    std::vector<ScriptRule> rules;  // every table with a test field, in order
};

RuleScript ReadRuleScript(const std::string& script);

}  // namespace VrxFuzz
