// A stand-in for the product's settings library VrxSet.dll. GETSETTINGS reads the store from the
// file "VrxSet.store" beside the library; changes are kept in memory and written back to it once,
// when the caller releases the root (every caller releases it last). The file
// holds one entry a line, fields separated by '|', a node's path being its names from the root
// joined by '\' (the root's path is empty):
//   node|<path>                      a node; parents come before their children, children are
//                                    enumerated in the order of the file
//   value|<path>|<name>|<hex bytes>  a value of a node
//   fail|<path>|<operation>          makes an operation fail (answer 5):
//       GETSETTINGS      (path empty) GETSETTINGS, handing out no root
//       RootWithFailure  (path empty) GETSETTINGS, handing out the root nevertheless
//       NullRoot         (path empty) GETSETTINGS answers 0 but hands out no root
//       EnumChildren     EnumChildren of the node
//       Current          Current of an enumerator standing on the node
//       SetValue         SetValue on the node
// What the store is asked is recorded in environment variables of the calling process:
//   VRXSET_STANDIN_LIVE    nodes and enumerators handed out and not yet given back
//   VRXSET_STANDIN_WRITES  "<path>|<name>|<hex bytes>;" for every SetValue asked for, added
//                          when the root is released
#include <windows.h>

#include <cstdio>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "src/includes/VrxSettings.h"

namespace {

constexpr DWORD kInjectedFailure = ERROR_ACCESS_DENIED;

struct StoreNode {
    std::string name;
    std::string path;
    std::vector<std::pair<std::string, std::string>> values;  // name, bytes
    std::vector<std::unique_ptr<StoreNode>> children;         // in the order of the file
    std::map<std::string, StoreNode*> childByName;            // so that a store of many users loads
    std::set<std::string> failing;

    StoreNode* Child(const std::string& childName) const {
        const auto found = childByName.find(childName);
        return found != childByName.end() ? found->second : nullptr;
    }
    void AddChild(std::unique_ptr<StoreNode> child) {
        childByName.emplace(child->name, child.get());
        children.push_back(std::move(child));
    }
    std::string* Value(const std::string& valueName) {
        for (auto& value : values) {
            if (value.first == valueName) {
                return &value.second;
            }
        }
        return nullptr;
    }
    bool Fails(const char* operation) const { return failing.count(operation) != 0; }
};

std::unique_ptr<StoreNode> g_root;
std::wstring g_storePath;
LONG g_live = 0;
bool g_changed = false;       // the store differs from its file
std::wstring g_writesToNote;  // SetValue records not yet added to VRXSET_STANDIN_WRITES

// The whole value, however long: the records grow with every value written.
std::wstring Variable(const wchar_t* name) {
    const DWORD size = ::GetEnvironmentVariableW(name, nullptr, 0);
    if (size == 0) {
        return std::wstring();
    }
    std::wstring value(size, L'\0');
    const DWORD chars = ::GetEnvironmentVariableW(name, &value[0], size);
    value.resize(chars < size ? chars : 0);
    return value;
}

void AddLive(LONG change) {
    g_live += change;
    ::SetEnvironmentVariableW(L"VRXSET_STANDIN_LIVE", std::to_wstring(g_live).c_str());
}

// Names are ASCII in the store file; the interface speaks wide strings.
std::string Narrow(const wchar_t* text) {
    std::string narrow;
    for (; text != nullptr && *text != L'\0'; ++text) {
        narrow += static_cast<char>(*text);
    }
    return narrow;
}

std::string Hex(const std::string& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string hex;
    for (const unsigned char byte : bytes) {
        hex += digits[byte >> 4];
        hex += digits[byte & 0xF];
    }
    return hex;
}

std::string Unhex(const std::string& hex) {
    std::string bytes;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) {
        bytes += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
    }
    return bytes;
}

std::vector<std::string> Split(const std::string& line, char separator) {
    std::vector<std::string> fields(1);
    for (const char c : line) {
        if (c == separator) {
            fields.emplace_back();
        } else {
            fields.back() += c;
        }
    }
    return fields;
}

StoreNode* Find(const std::string& path) {
    StoreNode* node = g_root.get();
    if (path.empty()) {
        return node;
    }
    for (const std::string& name : Split(path, '\\')) {
        node = node != nullptr ? node->Child(name) : nullptr;
    }
    return node;
}

bool Load() {
    g_root = std::make_unique<StoreNode>();
    FILE* file = _wfopen(g_storePath.c_str(), L"rb");
    if (file == nullptr) {
        return false;
    }
    std::string text;
    char chunk[4096];
    for (size_t read; (read = fread(chunk, 1, sizeof(chunk), file)) > 0;) {
        text.append(chunk, read);
    }
    fclose(file);
    for (std::string line : Split(text, '\n')) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        const std::vector<std::string> fields = Split(line, '|');
        if (fields[0] == "node" && fields.size() == 2) {
            const size_t cut = fields[1].rfind('\\');
            StoreNode* parent = Find(cut == std::string::npos ? "" : fields[1].substr(0, cut));
            if (parent != nullptr) {
                auto child = std::make_unique<StoreNode>();
                child->name = cut == std::string::npos ? fields[1] : fields[1].substr(cut + 1);
                child->path = fields[1];
                parent->AddChild(std::move(child));
            }
        } else if (fields[0] == "value" && fields.size() == 4) {
            if (StoreNode* node = Find(fields[1])) {
                node->values.emplace_back(fields[2], Unhex(fields[3]));
            }
        } else if (fields[0] == "fail" && fields.size() == 3) {
            if (StoreNode* node = Find(fields[1])) {
                node->failing.insert(fields[2]);
            }
        }
    }
    return true;
}

void WriteNode(const StoreNode& node, std::string& text) {
    if (&node != g_root.get()) {
        text += "node|" + node.path + "\n";
    }
    for (const auto& value : node.values) {
        text += "value|" + node.path + "|" + value.first + "|" + Hex(value.second) + "\n";
    }
    for (const std::string& operation : node.failing) {
        text += "fail|" + node.path + "|" + operation + "\n";
    }
    for (const auto& child : node.children) {
        WriteNode(*child, text);
    }
}

// Writes the store back to its file when it changed, and notes the SetValue calls.
void Flush() {
    if (g_changed) {
        std::string text;
        WriteNode(*g_root, text);
        if (FILE* file = _wfopen(g_storePath.c_str(), L"wb")) {
            fwrite(text.data(), 1, text.size(), file);
            fclose(file);
        }
        g_changed = false;
    }
    if (!g_writesToNote.empty()) {
        const wchar_t* record = L"VRXSET_STANDIN_WRITES";
        ::SetEnvironmentVariableW(record, (Variable(record) + g_writesToNote).c_str());
        g_writesToNote.clear();
    }
}

class Node final : public SettingsNode {
public:
    explicit Node(StoreNode* node) : m_node(node) { AddLive(1); }

    DWORD OpenChild(const wchar_t* name, SettingsNode** child) override {
        StoreNode* found = m_node->Child(Narrow(name));
        *child = found != nullptr ? new Node(found) : nullptr;
        return found != nullptr ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND;
    }
    DWORD ReservedSlot1() override { return ERROR_CALL_NOT_IMPLEMENTED; }
    DWORD EnumChildren(SettingsEnumerator** enumerator) override;
    DWORD GetValue(const wchar_t* name, void* buffer, DWORD* bytes) override {
        const std::string* value = m_node->Value(Narrow(name));
        if (value == nullptr) {
            return ERROR_FILE_NOT_FOUND;
        }
        const DWORD size = static_cast<DWORD>(value->size());
        if (buffer == nullptr || *bytes < size) {
            *bytes = size;
            return ERROR_MORE_DATA;
        }
        value->copy(static_cast<char*>(buffer), size);
        *bytes = size;
        return ERROR_SUCCESS;
    }
    DWORD SetValue(const wchar_t* name, const void* data, DWORD bytes, DWORD) override {
        const std::string stored(static_cast<const char*>(data), bytes);
        const std::string entry = m_node->path + "|" + Narrow(name) + "|" + Hex(stored) + ";";
        g_writesToNote.append(entry.begin(), entry.end());
        if (m_node->Fails("SetValue")) {
            return kInjectedFailure;
        }
        Store(Narrow(name), stored);
        return ERROR_SUCCESS;
    }
    DWORD ClearValue(const wchar_t* name, DWORD) override {
        Store(Narrow(name), std::string());
        return ERROR_SUCCESS;
    }
    ULONG Release() override {
        if (m_node == g_root.get()) {
            Flush();
        }
        AddLive(-1);
        delete this;
        return 0;
    }

private:
    void Store(const std::string& name, const std::string& bytes) {
        if (std::string* value = m_node->Value(name)) {
            *value = bytes;
        } else {
            m_node->values.emplace_back(name, bytes);
        }
        g_changed = true;
    }

    StoreNode* m_node;
};

class Enumerator final : public SettingsEnumerator {
public:
    explicit Enumerator(StoreNode* parent) : m_parent(parent) { AddLive(1); }

    DWORD Reset() override {
        m_at = 0;
        return ERROR_SUCCESS;
    }
    DWORD Current(SettingsNode** child) override {
        *child = nullptr;
        if (m_at >= m_parent->children.size()) {
            return ERROR_NO_MORE_ITEMS;
        }
        StoreNode* node = m_parent->children[m_at].get();
        if (node->Fails("Current")) {
            return kInjectedFailure;
        }
        *child = new Node(node);
        return ERROR_SUCCESS;
    }
    DWORD Next() override {
        if (m_at < m_parent->children.size()) {
            ++m_at;
        }
        return ERROR_SUCCESS;
    }
    DWORD AtEnd() override { return m_at >= m_parent->children.size() ? 1 : 0; }
    ULONG Release() override {
        AddLive(-1);
        delete this;
        return 0;
    }

private:
    StoreNode* m_parent;
    size_t m_at = 0;
};

DWORD Node::EnumChildren(SettingsEnumerator** enumerator) {
    *enumerator = nullptr;
    if (m_node->Fails("EnumChildren")) {
        return kInjectedFailure;
    }
    *enumerator = new Enumerator(m_node);
    return ERROR_SUCCESS;
}

std::wstring StorePathBesideModule() {
    HMODULE self = nullptr;
    ::GetModuleHandleExW(
        GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
        reinterpret_cast<const wchar_t*>(&g_live), &self);
    wchar_t path[MAX_PATH] = {};
    ::GetModuleFileNameW(self, path, MAX_PATH);
    std::wstring folder(path);
    return folder.substr(0, folder.rfind(L'\\') + 1) + L"VrxSet.store";
}

}  // namespace

extern "C" __declspec(dllexport) DWORD WINAPI GETSETTINGS(SettingsNode** root) {
    *root = nullptr;
    g_storePath = StorePathBesideModule();
    if (!Load()) {
        return ERROR_FILE_NOT_FOUND;
    }
    if (g_root->Fails("GETSETTINGS")) {
        return kInjectedFailure;
    }
    if (g_root->Fails("NullRoot")) {
        return ERROR_SUCCESS;
    }
    *root = new Node(g_root.get());
    return g_root->Fails("RootWithFailure") ? kInjectedFailure : ERROR_SUCCESS;
}
