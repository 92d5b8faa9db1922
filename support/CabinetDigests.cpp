#include "support/CabinetDigests.h"

#include <fcntl.h>
#include <fdi.h>

// The low-level SHA-256 links only the digest and starts no libcrypto initialisation; OpenSSL 3
// marks it deprecated.
#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/sha.h>

#include <memory>
#include <string>

#include "support/UniqueAny.h"

namespace Tessel {

namespace {

// What the cabinet interface's callbacks see behind a handle: the cabinet file being read, or a
// member being "written" into a digest.
struct CallbackHandle {
    HANDLE file = INVALID_HANDLE_VALUE;
    std::unique_ptr<SHA256_CTX> digest;
    std::vector<Sha256Digest>* digests = nullptr;
};

struct CopyContext {
    USHORT folders = 0;  // the cabinet's folder count
    std::vector<Sha256Digest>* digests = nullptr;
    bool failed = false;
};

// Whether a member lies in a folder of the cabinet. The platform's cabinet interface has been
// seen to follow a null folder when it is asked for a member of a cabinet without folders (a
// crash of the host); a member of another cabinet of a set (an index from 0xFFFD up) lies in none.
bool InAFolder(const FDINOTIFICATION& member, USHORT folders) {
    return member.iFolder < folders;
}

FNALLOC(Alloc) {
    return ::HeapAlloc(::GetProcessHeap(), 0, cb);
}

FNFREE(Free) {
    ::HeapFree(::GetProcessHeap(), 0, pv);
}

FNOPEN(Open) {
    // The interface only opens the cabinet itself, for reading.
    if ((oflag & (_O_WRONLY | _O_RDWR | _O_CREAT)) != 0) {
        return -1;
    }
    (void)pmode;
    const HANDLE file = ::CreateFileA(pszFile, GENERIC_READ, FILE_SHARE_READ, nullptr,
                                      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return -1;
    }
    auto* handle = new CallbackHandle;
    handle->file = file;
    return reinterpret_cast<INT_PTR>(handle);
}

FNREAD(Read) {
    auto* handle = reinterpret_cast<CallbackHandle*>(hf);
    DWORD read = 0;
    if (handle->file == INVALID_HANDLE_VALUE || !::ReadFile(handle->file, pv, cb, &read, nullptr)) {
        return static_cast<UINT>(-1);
    }
    return read;
}

FNWRITE(Write) {
    auto* handle = reinterpret_cast<CallbackHandle*>(hf);
    if (!handle->digest || SHA256_Update(handle->digest.get(), pv, cb) != 1) {
        return static_cast<UINT>(-1);
    }
    return cb;
}

FNCLOSE(Close) {
    auto* handle = reinterpret_cast<CallbackHandle*>(hf);
    if (handle->file != INVALID_HANDLE_VALUE) {
        ::CloseHandle(handle->file);
    }
    delete handle;
    return 0;
}

FNSEEK(Seek) {
    auto* handle = reinterpret_cast<CallbackHandle*>(hf);
    const DWORD method = seektype == SEEK_CUR   ? FILE_CURRENT
                         : seektype == SEEK_END ? FILE_END
                                                : FILE_BEGIN;
    const DWORD position = ::SetFilePointer(handle->file, dist, nullptr, method);
    return position == INVALID_SET_FILE_POINTER ? -1 : static_cast<long>(position);
}

FNFDINOTIFY(Notify) {
    auto* context = static_cast<CopyContext*>(pfdin->pv);
    switch (fdint) {
        case fdintCOPY_FILE: {
            if (!InAFolder(*pfdin, context->folders)) {
                context->failed = true;
                return -1;
            }
            auto* handle = new CallbackHandle;
            handle->digest = std::make_unique<SHA256_CTX>();
            handle->digests = context->digests;
            if (SHA256_Init(handle->digest.get()) != 1) {
                delete handle;
                context->failed = true;
                return -1;
            }
            return reinterpret_cast<INT_PTR>(handle);
        }
        case fdintCLOSE_FILE_INFO: {
            auto* handle = reinterpret_cast<CallbackHandle*>(pfdin->hf);
            Sha256Digest digest = {};
            const bool done = SHA256_Final(digest.data(), handle->digest.get()) == 1;
            if (done) {
                handle->digests->push_back(digest);
            } else {
                context->failed = true;
            }
            Close(pfdin->hf);
            return done ? TRUE : -1;
        }
        case fdintNEXT_CABINET:
            // Cabinet sets are not examined.
            context->failed = true;
            return -1;
        default:
            return 0;
    }
}

bool ToAnsi(const std::wstring& text, std::string& ansi) {
    if (text.empty()) {
        ansi.clear();
        return true;
    }
    BOOL lossy = FALSE;
    const int bytes = ::WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, text.c_str(), -1, nullptr,
                                            0, nullptr, &lossy);
    if (bytes <= 0 || lossy) {
        return false;
    }
    ansi.assign(static_cast<size_t>(bytes), '\0');
    ::WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, text.c_str(), -1, &ansi[0], bytes, nullptr,
                          nullptr);
    ansi.resize(static_cast<size_t>(bytes) - 1);
    return true;
}

struct FdiDestroyer {
    void operator()(void* fdi) const { FDIDestroy(fdi); }
};

struct ListContext {
    USHORT folders = 0;  // the cabinet's folder count
    std::vector<std::wstring>* names = nullptr;
    bool failed = false;
};

// A member's name as stored: UTF-8 when its attributes say so, otherwise the ANSI code page.
bool MemberName(const FDINOTIFICATION& member, std::wstring& name) {
    const UINT codePage = (member.attribs & _A_NAME_IS_UTF) != 0 ? CP_UTF8 : CP_ACP;
    const int chars =
        ::MultiByteToWideChar(codePage, MB_ERR_INVALID_CHARS, member.psz1, -1, nullptr, 0);
    if (chars <= 0) {
        return false;
    }
    name.assign(static_cast<size_t>(chars), L'\0');
    ::MultiByteToWideChar(codePage, MB_ERR_INVALID_CHARS, member.psz1, -1, &name[0], chars);
    name.resize(static_cast<size_t>(chars) - 1);
    return true;
}

// Notes each member's name and skips its data.
FNFDINOTIFY(ListNotify) {
    auto* context = static_cast<ListContext*>(pfdin->pv);
    switch (fdint) {
        case fdintCOPY_FILE: {
            std::wstring name;
            if (!InAFolder(*pfdin, context->folders) || !MemberName(*pfdin, name)) {
                context->failed = true;
                return -1;
            }
            context->names->push_back(std::move(name));
            return 0;
        }
        case fdintNEXT_CABINET:
            context->failed = true;
            return -1;
        default:
            return 0;
    }
}

// Splits `path` into the folder (with its separator) and the file name the cabinet interface
// takes, in the ANSI code page.
bool SplitCabinetPath(const wchar_t* path, std::string& folder, std::string& name) {
    if (path == nullptr) {
        return false;
    }
    const std::wstring full(path);
    const size_t split = full.find_last_of(L"\\/");
    return split != std::wstring::npos && ToAnsi(full.substr(0, split + 1), folder) &&
           ToAnsi(full.substr(split + 1), name) && !name.empty();
}

// The folder count that the header of the cabinet `path` (in the ANSI code page) gives; false
// when the file is no cabinet.
bool CabinetFolders(void* fdi, const std::string& path, USHORT& folders) {
    const INT_PTR file = Open(const_cast<char*>(path.c_str()), _O_RDONLY | _O_BINARY, 0);
    if (file == -1) {
        return false;
    }
    FDICABINETINFO info = {};
    const BOOL isCabinet = FDIIsCabinet(fdi, file, &info);
    Close(file);
    folders = info.cFolders;
    return isCabinet != FALSE;
}

// Runs the cabinet interface over the cabinet `path` with `notify` and its `context`, whose
// folder count it sets first.
template <typename TContext>
bool CopyCabinet(const wchar_t* path, PFNFDINOTIFY notify, TContext& context) {
    std::string folder;
    std::string name;
    if (!SplitCabinetPath(path, folder, name)) {
        return false;
    }
    ERF error = {};
    const std::unique_ptr<void, FdiDestroyer> fdi(
        FDICreate(Alloc, Free, Open, Read, Write, Close, Seek, cpuUNKNOWN, &error));
    return fdi && CabinetFolders(fdi.get(), folder + name, context.folders) &&
           FDICopy(fdi.get(), &name[0], &folder[0], 0, notify, nullptr, &context);
}

}  // namespace

bool DigestCabinetMembers(const wchar_t* path, std::vector<Sha256Digest>& digests) {
    digests.clear();
    std::vector<Sha256Digest> found;
    CopyContext context;
    context.digests = &found;
    if (!CopyCabinet(path, Notify, context) || context.failed) {
        return false;
    }
    digests = std::move(found);
    return true;
}

bool ListCabinetMembers(const wchar_t* path, std::vector<std::wstring>& names) {
    names.clear();
    std::vector<std::wstring> found;
    ListContext context;
    context.names = &found;
    if (!CopyCabinet(path, ListNotify, context) || context.failed) {
        return false;
    }
    names = std::move(found);
    return true;
}

}  // namespace Tessel
