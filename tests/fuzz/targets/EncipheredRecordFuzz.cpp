// The enciphered registry record, read as CObfuscatedRegKey reads a stored value. An input is
// either a stored record as it is, or (mostly) the makings of one, which the target enciphers with
// the library's own writer and seals with a fresh digest, so that the engine reaches the decoder
// behind the digest:
//
//   byte 0      how to make the record (kRaw, or any of the other bits)
//   bytes 1-4   the recorded value type
//   bytes 5-8   the record version
//   bytes 9-10  the capacity, in bytes, of one more buffer the value is read into
//   the rest    the stored record (kRaw), or the plaintext payload
//
// What must hold: a value reads the same into every buffer that holds it, a buffer one byte short
// is refused with the size needed, and nothing is written past a buffer. A value read is written
// back by the library's writer into the same record, but for the version (ignored on reading) and
// the one shorthand the reader accepts: a string list whose final empty string is left out.
#include <cstdint>
#include <cstring>
#include <vector>

#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/md5.h>

#include "FuzzSupport.h"
#include "support/RegKey.h"

namespace {

using Bytes = std::vector<BYTE>;

constexpr BYTE kRaw = 0x01;           // the rest is the stored record
constexpr BYTE kStaleDigest = 0x02;   // the digest is left as the writer made it
constexpr BYTE kLongerLength = 0x04;  // the length field counts one byte more than stored
constexpr BYTE kExtraByte = 0x08;     // one byte more is stored than the length field counts
constexpr size_t kHeader = 11;
constexpr size_t kRecordHeader = 32;

DWORD Le32(const uint8_t* at) {
    return static_cast<DWORD>(at[0]) | static_cast<DWORD>(at[1]) << 8 |
           static_cast<DWORD>(at[2]) << 16 | static_cast<DWORD>(at[3]) << 24;
}

void PutLe32(Bytes& record, size_t at, DWORD value) {
    for (int i = 0; i < 4; ++i) {
        record[at + i] = static_cast<BYTE>(value >> (8 * i));
    }
}

void Seal(Bytes& record) {
    std::memset(record.data() + 16, 0, 16);
    BYTE digest[MD5_DIGEST_LENGTH];
    MD5(record.data(), record.size(), digest);
    std::memcpy(record.data() + 16, digest, sizeof(digest));
}

// The record an input describes; empty when it describes none.
Bytes MakeRecord(const uint8_t* data, size_t size) {
    const BYTE how = data[0];
    if ((how & kRaw) != 0) {
        return Bytes(data + kHeader, data + size);
    }
    // The writer stores other types' bytes as they come: as REG_BINARY it enciphers the plaintext
    // unchanged, and the recorded type is set afterwards.
    const Bytes plain(data + kHeader, data + size);
    Bytes record;
    const BYTE none = 0;
    if (Tessel::BuildEncipheredRecord(REG_BINARY, plain.empty() ? &none : plain.data(),
                                      static_cast<DWORD>(plain.size()), record) != ERROR_SUCCESS) {
        return Bytes();
    }
    if (plain.empty()) {
        record.resize(kRecordHeader);
        PutLe32(record, 8, 0);
    }
    PutLe32(record, 4, Le32(data + 5));
    PutLe32(record, 12, Le32(data + 1));
    if ((how & kLongerLength) != 0) {
        PutLe32(record, 8, Le32(record.data() + 8) + 1);
    }
    if ((how & kExtraByte) != 0) {
        record.push_back(0);
    }
    if ((how & kStaleDigest) == 0) {
        Seal(record);
    }
    return record;
}

struct Reading {
    DWORD status = 0;
    DWORD type = REG_NONE;
    DWORD bytes = 0;
    Bytes value;
};

// Reads the record into a buffer of `capacity` bytes that ends at a page no one may touch.
Reading ReadInto(const Bytes& record, DWORD capacity) {
    BYTE* const buffer = VrxFuzz::GuardedBytes(capacity);
    std::memset(buffer, 0xA5, capacity);
    Reading reading;
    reading.bytes = capacity;
    reading.status = Tessel::ReadEncipheredRecord(record.data(), record.size(), &reading.type,
                                                  buffer, &reading.bytes);
    reading.value.assign(buffer, buffer + capacity);
    return reading;
}

// A delivered value of a string type is what a string reader checks for: whole characters, each
// string terminated, a list ended by an empty string.
void CheckStringShape(DWORD type, const Bytes& value) {
    VRX_FUZZ_CHECK(value.size() % 2 == 0 && value.size() >= 2, "string value of %zu bytes",
                   value.size());
    const size_t chars = value.size() / 2;
    auto at = [&value](size_t i) { return value[2 * i] | value[2 * i + 1] << 8; };
    VRX_FUZZ_CHECK(at(chars - 1) == 0, "string value without its terminator");
    for (size_t i = 0; i + 1 < chars; ++i) {
        if (type == REG_SZ) {
            VRX_FUZZ_CHECK(at(i) != 0, "string value with a zero at %zu", i);
        } else {
            VRX_FUZZ_CHECK(at(i) != 0 || at(i + 1) != 0 || i + 2 == chars,
                           "list value with an empty string at %zu before its end", i);
        }
    }
}

// The record the writer makes of the value read must be the record read.
void CheckWrittenBack(const Bytes& record, DWORD type, const Bytes& value) {
    if (value.empty()) {
        return;  // the writer refuses empty data
    }
    Bytes written;
    VRX_FUZZ_CHECK(
        Tessel::BuildEncipheredRecord(type, value.data(), static_cast<DWORD>(value.size()),
                                      written) == ERROR_SUCCESS,
        "a value read cannot be written");
    Bytes expected = record;
    PutLe32(expected, 4, 1);
    // A list stored without its final empty string is written with it.
    const bool shortList =
        type == REG_MULTI_SZ && written.size() == record.size() + 1 &&
        std::equal(record.begin() + kRecordHeader, record.end(), written.begin() + kRecordHeader);
    if (shortList) {
        expected = written;
    }
    Seal(expected);
    VRX_FUZZ_CHECK(written == expected,
                   "type %lu: a %zu-byte record reads as %zu bytes, which are written as a "
                   "%zu-byte record of other contents",
                   type, record.size(), value.size(), written.size());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < kHeader) {
        return 0;
    }
    const Bytes record = MakeRecord(data, size);
    DWORD type = REG_NONE;
    DWORD needed = 0;
    const DWORD status =
        Tessel::ReadEncipheredRecord(record.data(), record.size(), &type, nullptr, &needed);
    const Reading exact = ReadInto(record, status == ERROR_SUCCESS ? needed : 16);
    VRX_FUZZ_CHECK(exact.status == status, "a size query gives %lu, a read %lu", status,
                   exact.status);
    if (status != ERROR_SUCCESS) {
        return 0;
    }
    VRX_FUZZ_CHECK(exact.type == type && exact.bytes == needed,
                   "the read disagrees with the query");
    const Bytes& value = exact.value;
    if (type == REG_SZ || type == REG_MULTI_SZ) {
        CheckStringShape(type, value);
    } else if ((data[0] & (kRaw | kLongerLength | kExtraByte)) == 0) {
        VRX_FUZZ_CHECK(value == Bytes(data + kHeader, data + size),
                       "a value of type %lu is not its plaintext", type);
    }
    if (needed > 0) {
        const Reading shorter = ReadInto(record, needed - 1);
        VRX_FUZZ_CHECK(shorter.status == ERROR_MORE_DATA && shorter.bytes == needed,
                       "a buffer one byte short gives %lu and %lu bytes", shorter.status,
                       shorter.bytes);
        if (type == REG_MULTI_SZ) {
            VRX_FUZZ_CHECK(shorter.value == Bytes(needed - 1, 0), "a short list is not cleared");
        }
    }
    const DWORD capacity = data[9] | data[10] << 8;
    const Reading other = ReadInto(record, capacity);
    VRX_FUZZ_CHECK((other.status == ERROR_SUCCESS) == (capacity >= needed) && other.bytes == needed,
                   "a buffer of %lu bytes for a value of %lu gives %lu", capacity, needed,
                   other.status);
    VRX_FUZZ_CHECK(other.status != ERROR_SUCCESS ||
                       std::equal(value.begin(), value.end(), other.value.begin()),
                   "the value reads differently into a larger buffer");
    CheckWrittenBack(record, type, value);
    return 0;
}
