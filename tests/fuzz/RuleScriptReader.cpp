#include "RuleScriptReader.h"

#include <cctype>
#include <cstring>
#include <set>

namespace VrxFuzz {
namespace {

class CReader {
public:
    explicit CReader(const std::string& text) : m_text(text) {}

    RuleScript Read() {
        RuleScript script;
        m_script = &script;
        SkipSpace();
        while (Ok() && m_at < m_text.size()) {
            const std::string name = Name();
            if (Ok() && name != "black" && name != "white") {
                Fail("assignment to " + name);
            }
            if (Ok() && !script.list.empty()) {
                Fail("a second assignment");
            }
            script.list = name;
            Expect('=');
            Table();
            if (Ok() && Peek() == ';') {
                Take();
            }
        }
        if (Ok() && script.list.empty()) {
            Fail("no assignment");
        }
        script.error = m_error;
        return script;
    }

private:
    bool Ok() const { return m_error.empty(); }
    void Fail(const std::string& what) {
        if (Ok()) {
            m_error = what + " at byte " + std::to_string(m_at);
        }
    }
    char Peek() const { return m_at < m_text.size() ? m_text[m_at] : '\0'; }
    char Take() {
        const char c = Peek();
        ++m_at;
        SkipSpace();
        return c;
    }
    void SkipSpace() {
        while (m_at < m_text.size() && std::strchr(" \t\r\n\v\f", m_text[m_at]) != nullptr) {
            ++m_at;
        }
        if (m_text.compare(m_at, 2, "--") == 0) {
            Fail("a comment");
        }
    }
    void Expect(char c) {
        if (Ok() && Peek() != c) {
            Fail(std::string("'") + c + "' expected");
        }
        if (Ok()) {
            Take();
        }
    }
    static bool IsNameChar(char c, bool first) {
        return c == '_' || std::isalpha(static_cast<unsigned char>(c)) ||
               (!first && std::isdigit(static_cast<unsigned char>(c)));
    }
    std::string Name() {
        const size_t start = m_at;
        while (m_at < m_text.size() && IsNameChar(m_text[m_at], m_at == start)) {
            ++m_at;
        }
        if (m_at == start) {
            Fail("a name expected");
            return std::string();
        }
        const std::string name = m_text.substr(start, m_at - start);
        SkipSpace();
        return name;
    }

    // A line end inside a string: "\r\n", "\n\r", "\n" or "\r", read as one "\n".
    size_t LineEnd(size_t at) const {
        const char c = m_text[at];
        const char next = at + 1 < m_text.size() ? m_text[at + 1] : '\0';
        return (next == '\r' || next == '\n') && next != c ? 2 : 1;
    }

    bool AtLongBracket(size_t& level) const {
        if (Peek() != '[') {
            return false;
        }
        size_t at = m_at + 1;
        while (at < m_text.size() && m_text[at] == '=') {
            ++at;
        }
        level = at - m_at - 1;
        return at < m_text.size() && m_text[at] == '[';
    }
    std::string LongString(size_t level) {
        m_at += level + 2;
        const std::string close = "]" + std::string(level, '=') + "]";
        if (m_at < m_text.size() && (m_text[m_at] == '\r' || m_text[m_at] == '\n')) {
            m_at += LineEnd(m_at);
        }
        std::string value;
        while (m_at < m_text.size() && m_text.compare(m_at, close.size(), close) != 0) {
            if (m_text[m_at] == '\r' || m_text[m_at] == '\n') {
                m_at += LineEnd(m_at);
                value += '\n';
            } else {
                value += m_text[m_at++];
            }
        }
        if (m_at >= m_text.size()) {
            Fail("an unfinished long string");
            return value;
        }
        m_at += close.size();
        SkipSpace();
        return value;
    }
    static void AppendUtf8(std::string& out, unsigned long code) {
        if (code < 0x80) {
            out += static_cast<char>(code);
        } else if (code < 0x800) {
            out += static_cast<char>(0xC0 | code >> 6);
            out += static_cast<char>(0x80 | (code & 0x3F));
        } else if (code < 0x10000) {
            out += static_cast<char>(0xE0 | code >> 12);
            out += static_cast<char>(0x80 | (code >> 6 & 0x3F));
            out += static_cast<char>(0x80 | (code & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | code >> 18);
            out += static_cast<char>(0x80 | (code >> 12 & 0x3F));
            out += static_cast<char>(0x80 | (code >> 6 & 0x3F));
            out += static_cast<char>(0x80 | (code & 0x3F));
        }
    }
    std::string ShortString() {
        const char quote = m_text[m_at++];
        std::string value;
        while (Ok()) {
            if (m_at >= m_text.size() || m_text[m_at] == '\r' || m_text[m_at] == '\n') {
                Fail("an unfinished string");
                break;
            }
            const char c = m_text[m_at++];
            if (c == quote) {
                break;
            }
            if (c != '\\') {
                value += c;
                continue;
            }
            Escape(value);
        }
        SkipSpace();
        return value;
    }
    void Escape(std::string& value) {
        static const std::string kSimple = "abfnrtv\\\"'";
        static const std::string kMeaning = "\a\b\f\n\r\t\v\\\"'";
        const char e = Peek();
        const size_t simple = kSimple.find(e);
        if (e != '\0' && simple != std::string::npos) {
            value += kMeaning[simple];
            ++m_at;
        } else if (e == '\r' || e == '\n') {
            m_at += LineEnd(m_at);
            value += '\n';
        } else if (e == 'x') {
            ++m_at;
            const std::string digits = m_text.substr(m_at, 2);
            if (digits.size() != 2 || !std::isxdigit(static_cast<unsigned char>(digits[0])) ||
                !std::isxdigit(static_cast<unsigned char>(digits[1]))) {
                Fail("a bad \\x escape");
                return;
            }
            value += static_cast<char>(std::stoul(digits, nullptr, 16));
            m_at += 2;
        } else if (e == 'z') {
            ++m_at;
            while (m_at < m_text.size() && std::isspace(static_cast<unsigned char>(m_text[m_at]))) {
                ++m_at;
            }
        } else if (std::isdigit(static_cast<unsigned char>(e))) {
            unsigned long code = 0;
            for (int i = 0; i < 3 && std::isdigit(static_cast<unsigned char>(Peek())); ++i) {
                code = code * 10 + static_cast<unsigned long>(m_text[m_at++] - '0');
            }
            if (code > 255) {
                Fail("a decimal escape too large");
                return;
            }
            value += static_cast<char>(code);
        } else if (e == 'u' && m_text.compare(m_at, 2, "u{") == 0) {
            m_at += 2;
            unsigned long code = 0;
            size_t digits = 0;
            while (std::isxdigit(static_cast<unsigned char>(Peek())) && code < 0x80000000UL) {
                code = code * 16 + std::stoul(std::string(1, m_text[m_at++]), nullptr, 16);
                ++digits;
            }
            if (digits == 0 || Peek() != '}' || code >= 0x80000000UL) {
                Fail("a bad \\u escape");
                return;
            }
            ++m_at;
            AppendUtf8(value, code);
        } else {
            Fail("an invalid escape");
        }
    }
    bool AtString(size_t& level) const {
        level = 0;
        return Peek() == '"' || Peek() == '\'' || AtLongBracket(level);
    }
    std::string String() {
        size_t level = 0;
        if (!AtString(level)) {
            Fail("a string expected");
            return std::string();
        }
        return Peek() == '[' ? LongString(level) : ShortString();
    }

    // A value of a field: a string, a table, or one of the calls the scripts make. `test`
    // receives the string a rule's test field holds.
    void Value(ScriptRule* test) {
        size_t level = 0;
        if (AtString(level)) {
            const std::string text = String();
            if (test != nullptr) {
                test->test = text;
            }
            return;
        }
        if (Peek() == '{') {
            Table();
            return;
        }
        const std::string object = Name();
        Expect('.');
        const std::string method = Ok() ? Name() : std::string();
        Expect('(');
        static const std::set<std::string> kParts = {"Headers", "Body", "RawHeaders",
                                                     "UsedCharset"};
        if (Ok() && object == "NodeType" && kParts.count(method) != 0 && test == nullptr) {
            Expect(')');
        } else if (Ok() && object == "Regex" && method == "new" && test != nullptr) {
            test->test = String();
            test->regex = true;
            Expect(')');
        } else {
            Fail("the call " + object + "." + method);
        }
    }

    void Table() {
        Expect('{');
        if (++m_depth > 64) {
            Fail("tables nested too deep");
        }
        ScriptRule rule;
        bool isRule = false;
        while (Ok() && Peek() != '}') {
            static const std::set<std::string> kFields = {"op", "params", "part", "field", "test"};
            size_t level = 0;
            if (IsNameChar(Peek(), true)) {
                const std::string field = Name();
                if (Ok() && kFields.count(field) == 0) {
                    Fail("the field " + field);
                }
                Expect('=');
                if (field == "test") {
                    if (isRule) {
                        Fail("a second test field");
                    }
                    isRule = true;
                    Value(&rule);
                } else {
                    Value(nullptr);
                }
            } else if (Peek() == '{') {
                Table();
            } else if (AtString(level)) {
                String();
            } else {
                Fail("a field expected");
            }
            if (Ok() && (Peek() == ',' || Peek() == ';')) {
                Take();
            } else if (Ok() && Peek() != '}') {
                Fail("'}' expected");
            }
        }
        Expect('}');
        --m_depth;
        if (Ok() && isRule) {
            m_script->rules.push_back(rule);
        }
    }

    const std::string& m_text;
    size_t m_at = 0;
    int m_depth = 0;
    std::string m_error;
    RuleScript* m_script = nullptr;
};

}  // namespace

RuleScript ReadRuleScript(const std::string& script) {
    return CReader(script).Read();
}

}  // namespace VrxFuzz
