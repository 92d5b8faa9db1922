// A stand-in for the product's settings library VrxSet.dll. GETSETTINGS opens the store file
// "VrxSet.store" beside the library and indexes it: the node tree and where each value's bytes
// lie in the file. Values are read from the file when asked for, not held in memory. A SetValue
// appends the bytes to the log "VrxSet.store.log" beside the store; when the caller releases the
// root (every caller releases it last) a changed store is rewritten once, streamed from the old
// file and the log into "VrxSet.store.new", which then replaces it. The log is deleted when it is
// closed. A store that cannot be rewritten stays as it was.
//
// The file holds one entry a line, fields separated by '|', a node's path being its names from
// the root joined by '\' (the root's path is empty):
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
// What the store is asked is recorded for the calling process:
//   VRXSET_STANDIN_LIVE    (environment variable) nodes and enumerators handed out and not yet
//                          given back
//   VRXSET_STANDIN_RECORD  (environment variable) names a file to which "<path>|<name>|<hex
//                          bytes>;" is appended for every SetValue asked for; unset, nothing is
//                          recorded
#include <windows.h>

#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "src/includes/VrxSettings.h"
#include "support/UniqueAny.h"

namespace {

constexpr DWORD kInjectedFailure = ERROR_ACCESS_DENIED;
constexpr size_t kChunk = 64 * 1024;

// Where a value's hex digits lie.
enum class Source : unsigned char { Empty, Store, Log };

struct StoredValue {
    std::string name;
    Source source = Source::Empty;
    uint64_t offset = 0;  // of the first hex digit in its file
    DWORD bytes = 0;
};

struct StoreNode {
    std::string name;
    std::string path;
    std::vector<StoredValue> values;
    std::vector<std::unique_ptr<StoreNode>> children;  // in the order of the file
    std::map<std::string, StoreNode*> childByName;     // so that a store of many users loads
    std::set<std::string> failing;

    StoreNode* Child(const std::string& childName) const {
        const auto found = childByName.find(childName);
        return found != childByName.end() ? found->second : nullptr;
    }
    void AddChild(std::unique_ptr<StoreNode> child) {
        childByName.emplace(child->name, child.get());
        children.push_back(std::move(child));
    }
    // The first value of that name, as the file lists them.
    StoredValue* Value(const std::string& valueName) {
        for (auto& value : values) {
            if (value.name == valueName) {
                return &value;
            }
        }
        return nullptr;
    }
    bool Fails(const char* operation) const { return failing.count(operation) != 0; }
};

std::unique_ptr<StoreNode> g_root;
std::wstring g_storePath;
Tessel::UniqueFileHandle g_store;  // open for reading while a root is out
Tessel::UniqueFileHandle g_log;    // created by the first SetValue of a session
uint64_t g_logEnd = 0;
LONG g_live = 0;
bool g_changed = false;  // the store differs from its file

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

std::string Hex(const void* data, DWORD bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string hex;
    hex.reserve(bytes * 2);
    for (DWORD i = 0; i < bytes; ++i) {
        const unsigned char byte = static_cast<const unsigned char*>(data)[i];
        hex += digits[byte >> 4];
        hex += digits[byte & 0xF];
    }
    return hex;
}

int Nibble(char digit) {
    if (digit >= '0' && digit <= '9')
        return digit - '0';
    if (digit >= 'a' && digit <= 'f')
        return digit - 'a' + 10;
    if (digit >= 'A' && digit <= 'F')
        return digit - 'A' + 10;
    return 0;
}

OVERLAPPED At(uint64_t offset) {
    OVERLAPPED at = {};
    at.Offset = static_cast<DWORD>(offset);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    return at;
}

bool ReadAt(HANDLE file, uint64_t offset, char* buffer, DWORD bytes) {
    OVERLAPPED at = At(offset);
    DWORD read = 0;
    return ::ReadFile(file, buffer, bytes, &read, &at) && read == bytes;
}

bool WriteAt(HANDLE file, uint64_t offset, const char* data, DWORD bytes) {
    OVERLAPPED at = At(offset);
    DWORD written = 0;
    return ::WriteFile(file, data, bytes, &written, &at) && written == bytes;
}

HANDLE FileOf(Source source) {
    return source == Source::Log ? g_log.get() : g_store.get();
}

// The value's bytes, decoded from its hex digits into `buffer`.
bool ReadValue(const StoredValue& value, void* buffer) {
    std::string hex(2 * static_cast<size_t>(value.bytes), '\0');
    if (value.bytes != 0 &&
        !ReadAt(FileOf(value.source), value.offset, &hex[0], static_cast<DWORD>(hex.size()))) {
        return false;
    }
    for (DWORD i = 0; i < value.bytes; ++i) {
        static_cast<unsigned char*>(buffer)[i] =
            static_cast<unsigned char>(Nibble(hex[2 * i]) << 4 | Nibble(hex[2 * i + 1]));
    }
    return true;
}

// Appends "<text>" to the file named by VRXSET_STANDIN_RECORD, when the caller asked for one.
void Record(const std::string& text) {
    wchar_t path[MAX_PATH] = {};
    const DWORD chars = ::GetEnvironmentVariableW(L"VRXSET_STANDIN_RECORD", path, MAX_PATH);
    if (chars == 0 || chars >= MAX_PATH) {
        return;
    }
    const Tessel::UniqueFileHandle file(::CreateFileW(path, FILE_APPEND_DATA, FILE_SHARE_READ,
                                                      nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                                                      nullptr));
    DWORD written = 0;
    ::WriteFile(file.get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
}

// Reads a file one line at a time, telling where each line starts.
class LineReader {
public:
    explicit LineReader(HANDLE file) : m_file(file), m_chunk(kChunk) {}

    bool Next(std::string& line, uint64_t& lineOffset) {
        line.clear();
        lineOffset = m_chunkOffset + m_at;
        for (;;) {
            if (m_at == m_filled && !Refill()) {
                return !line.empty();
            }
            const char* start = m_chunk.data() + m_at;
            const char* end = static_cast<const char*>(memchr(start, '\n', m_filled - m_at));
            if (end != nullptr) {
                line.append(start, end);
                m_at += end - start + 1;
                if (!line.empty() && line.back() == '\r') {
                    line.pop_back();
                }
                return true;
            }
            line.append(start, m_filled - m_at);
            m_at = m_filled;
        }
    }

private:
    bool Refill() {
        m_chunkOffset += m_filled;
        m_at = 0;
        m_filled = 0;
        DWORD read = 0;
        if (!::ReadFile(m_file, m_chunk.data(), static_cast<DWORD>(m_chunk.size()), &read,
                        nullptr)) {
            return false;
        }
        m_filled = read;
        return read != 0;
    }

    HANDLE m_file;
    std::vector<char> m_chunk;
    uint64_t m_chunkOffset = 0;
    size_t m_at = 0;
    size_t m_filled = 0;
};

// The fields of a line, cut at '|' at most `count - 1` times; the last field keeps the rest.
std::vector<std::string> Fields(const std::string& line, size_t count) {
    std::vector<std::string> fields;
    size_t start = 0;
    while (fields.size() + 1 < count) {
        const size_t cut = line.find('|', start);
        if (cut == std::string::npos) {
            break;
        }
        fields.push_back(line.substr(start, cut - start));
        start = cut + 1;
    }
    fields.push_back(line.substr(start));
    return fields;
}

StoreNode* Find(const std::string& path) {
    StoreNode* node = g_root.get();
    for (size_t start = 0; node != nullptr && !path.empty() && start <= path.size();) {
        size_t end = path.find('\\', start);
        if (end == std::string::npos) {
            end = path.size();
        }
        node = node->Child(path.substr(start, end - start));
        start = end + 1;
    }
    return node;
}

void AddNode(const std::string& path) {
    const size_t cut = path.rfind('\\');
    StoreNode* parent = Find(cut == std::string::npos ? "" : path.substr(0, cut));
    if (parent != nullptr) {
        auto child = std::make_unique<StoreNode>();
        child->name = cut == std::string::npos ? path : path.substr(cut + 1);
        child->path = path;
        parent->AddChild(std::move(child));
    }
}

// A value line's hex digits are not kept: only where they start and how many bytes they hold.
void AddValue(const std::string& line, uint64_t lineOffset) {
    const std::vector<std::string> fields = Fields(line, 4);
    if (fields.size() != 4 || fields[3].find('|') != std::string::npos) {
        return;
    }
    if (StoreNode* node = Find(fields[1])) {
        StoredValue value;
        value.name = fields[2];
        value.source = Source::Store;
        value.offset = lineOffset + (line.size() - fields[3].size());
        value.bytes = static_cast<DWORD>(fields[3].size() / 2);
        node->values.push_back(std::move(value));
    }
}

void AddFailure(const std::string& line) {
    const std::vector<std::string> fields = Fields(line, 3);
    if (fields.size() != 3 || fields[2].find('|') != std::string::npos) {
        return;
    }
    if (StoreNode* node = Find(fields[1])) {
        node->failing.insert(fields[2]);
    }
}

bool Load() {
    g_root = std::make_unique<StoreNode>();
    g_changed = false;
    g_log.reset();
    g_logEnd = 0;
    g_store.reset(::CreateFileW(g_storePath.c_str(), GENERIC_READ,
                                FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!g_store) {
        return false;
    }
    LineReader reader(g_store.get());
    std::string line;
    uint64_t lineOffset = 0;
    while (reader.Next(line, lineOffset)) {
        if (line.compare(0, 5, "node|") == 0) {
            const std::string path = line.substr(5);
            if (path.find('|') == std::string::npos) {
                AddNode(path);
            }
        } else if (line.compare(0, 6, "value|") == 0) {
            AddValue(line, lineOffset);
        } else if (line.compare(0, 5, "fail|") == 0) {
            AddFailure(line);
        }
    }
    return true;
}

// Appends a value's hex digits to the log; where they start.
bool AppendToLog(const std::string& hex, uint64_t& offset) {
    if (!g_log) {
        g_log.reset(::CreateFileW((g_storePath + L".log").c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                                  nullptr, CREATE_ALWAYS,
                                  FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr));
        g_logEnd = 0;
        if (!g_log) {
            return false;
        }
    }
    if (!WriteAt(g_log.get(), g_logEnd, hex.data(), static_cast<DWORD>(hex.size()))) {
        return false;
    }
    offset = g_logEnd;
    g_logEnd += hex.size();
    return true;
}

// Writes the new store file through a buffer, keeping count of where it stands.
class StoreWriter {
public:
    explicit StoreWriter(HANDLE file) : m_file(file) { m_buffer.reserve(kChunk); }

    uint64_t Offset() const { return m_flushed + m_buffer.size(); }
    bool ok() const { return m_ok; }

    void Put(const std::string& text) { Put(text.data(), text.size()); }
    void Put(const char* data, size_t size) {
        m_buffer.append(data, size);
        if (m_buffer.size() >= kChunk) {
            Flush();
        }
    }
    // Copies `size` bytes of `source` starting at `offset`.
    void Copy(HANDLE source, uint64_t offset, uint64_t size) {
        std::vector<char> chunk(static_cast<size_t>(size < kChunk ? size : kChunk));
        while (m_ok && size != 0) {
            const DWORD part = static_cast<DWORD>(size < chunk.size() ? size : chunk.size());
            m_ok = ReadAt(source, offset, chunk.data(), part);
            Put(chunk.data(), part);
            offset += part;
            size -= part;
        }
    }
    bool Flush() {
        DWORD written = 0;
        if (m_ok && !m_buffer.empty()) {
            m_ok = ::WriteFile(m_file, m_buffer.data(), static_cast<DWORD>(m_buffer.size()),
                               &written, nullptr) &&
                   written == m_buffer.size();
        }
        m_flushed += m_buffer.size();
        m_buffer.clear();
        return m_ok;
    }

private:
    HANDLE m_file;
    std::string m_buffer;
    uint64_t m_flushed = 0;
    bool m_ok = true;
};

// Where each value's digits will lie in the new file, applied once it has replaced the old one.
using NewOffsets = std::vector<std::pair<StoredValue*, uint64_t>>;

void WriteNode(StoreNode& node, StoreWriter& writer, NewOffsets& offsets) {
    if (&node != g_root.get()) {
        writer.Put("node|" + node.path + "\n");
    }
    for (StoredValue& value : node.values) {
        writer.Put("value|" + node.path + "|" + value.name + "|");
        offsets.emplace_back(&value, writer.Offset());
        if (value.source != Source::Empty) {
            writer.Copy(FileOf(value.source), value.offset, 2 * uint64_t{value.bytes});
        }
        writer.Put("\n", 1);
    }
    for (const std::string& operation : node.failing) {
        writer.Put("fail|" + node.path + "|" + operation + "\n");
    }
    for (const auto& child : node.children) {
        WriteNode(*child, writer, offsets);
    }
}

// Rewrites a changed store into a new file and puts it in the old one's place.
bool Flush() {
    if (!g_changed) {
        return true;
    }
    const std::wstring newPath = g_storePath + L".new";
    NewOffsets offsets;
    bool written = false;
    {
        const Tessel::UniqueFileHandle file(::CreateFileW(newPath.c_str(), GENERIC_WRITE, 0,
                                                          nullptr, CREATE_ALWAYS,
                                                          FILE_ATTRIBUTE_NORMAL, nullptr));
        if (file) {
            StoreWriter writer(file.get());
            WriteNode(*g_root, writer, offsets);
            written = writer.Flush();
        }
    }
    if (!written) {
        ::DeleteFileW(newPath.c_str());
        return false;
    }
    g_store.reset();
    if (!::MoveFileExW(newPath.c_str(), g_storePath.c_str(),
                       MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        ::DeleteFileW(newPath.c_str());
        return false;
    }
    for (const auto& moved : offsets) {
        moved.first->offset = moved.second;
        if (moved.first->source == Source::Log) {
            moved.first->source = Source::Store;
        }
    }
    g_changed = false;
    return true;
}

// The end of a session: the store is written back and its files closed.
void Close() {
    Flush();
    g_store.reset();
    g_log.reset();
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
        const StoredValue* value = m_node->Value(Narrow(name));
        if (value == nullptr) {
            return ERROR_FILE_NOT_FOUND;
        }
        if (buffer == nullptr || *bytes < value->bytes) {
            *bytes = value->bytes;
            return ERROR_MORE_DATA;
        }
        if (!ReadValue(*value, buffer)) {
            return ERROR_READ_FAULT;
        }
        *bytes = value->bytes;
        return ERROR_SUCCESS;
    }
    DWORD SetValue(const wchar_t* name, const void* data, DWORD bytes, DWORD) override {
        const std::string valueName = Narrow(name);
        const std::string hex = Hex(data, bytes);
        Record(m_node->path + "|" + valueName + "|" + hex + ";");
        if (m_node->Fails("SetValue")) {
            return kInjectedFailure;
        }
        uint64_t offset = 0;
        if (!AppendToLog(hex, offset)) {
            return ERROR_WRITE_FAULT;
        }
        Store(valueName, Source::Log, offset, bytes);
        return ERROR_SUCCESS;
    }
    DWORD ClearValue(const wchar_t* name, DWORD) override {
        Store(Narrow(name), Source::Empty, 0, 0);
        return ERROR_SUCCESS;
    }
    ULONG Release() override {
        if (m_node == g_root.get()) {
            Close();
        }
        AddLive(-1);
        delete this;
        return 0;
    }

private:
    void Store(const std::string& name, Source source, uint64_t offset, DWORD bytes) {
        StoredValue* value = m_node->Value(name);
        if (value == nullptr) {
            m_node->values.emplace_back();
            value = &m_node->values.back();
            value->name = name;
        }
        value->source = source;
        value->offset = offset;
        value->bytes = bytes;
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
    if (g_root->Fails("GETSETTINGS") || g_root->Fails("NullRoot")) {
        g_store.reset();  // no root will come back to close it
        return g_root->Fails("GETSETTINGS") ? kInjectedFailure : ERROR_SUCCESS;
    }
    *root = new Node(g_root.get());
    return g_root->Fails("RootWithFailure") ? kInjectedFailure : ERROR_SUCCESS;
}
