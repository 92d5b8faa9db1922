// vrx_test_roots add|remove CERT.der...: adds the certificates to, or removes them from, the
// machine's root store. Only processes started afterwards see the change.
#include <windows.h>
#include <wincrypt.h>

#include <cstdio>
#include <cwchar>
#include <fstream>
#include <iterator>
#include <vector>

namespace {

bool ReadFileBytes(const wchar_t* path, std::vector<BYTE>& data) {
    std::ifstream in(path, std::ios::binary);
    data.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return in.good() || in.eof();
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 3 || (wcscmp(argv[1], L"add") != 0 && wcscmp(argv[1], L"remove") != 0)) {
        fwprintf(stderr, L"usage: vrx_test_roots add|remove CERT.der...\n");
        return 2;
    }
    const bool add = wcscmp(argv[1], L"add") == 0;
    const HCERTSTORE store =
        ::CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE, L"Root");
    if (store == nullptr) {
        fwprintf(stderr, L"cannot open the root store: %lu\n", ::GetLastError());
        return 1;
    }
    int failures = 0;
    for (int i = 2; i < argc; ++i) {
        std::vector<BYTE> data;
        if (!ReadFileBytes(argv[i], data) || data.empty()) {
            ++failures;
            continue;
        }
        if (add) {
            if (!::CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, data.data(),
                                                    static_cast<DWORD>(data.size()),
                                                    CERT_STORE_ADD_REPLACE_EXISTING, nullptr)) {
                ++failures;
            }
            continue;
        }
        const PCCERT_CONTEXT wanted = ::CertCreateCertificateContext(
            X509_ASN_ENCODING, data.data(), static_cast<DWORD>(data.size()));
        if (wanted == nullptr) {
            ++failures;
            continue;
        }
        const PCCERT_CONTEXT found = ::CertFindCertificateInStore(
            store, X509_ASN_ENCODING, 0, CERT_FIND_EXISTING, wanted, nullptr);
        if (found != nullptr) {
            ::CertDeleteCertificateFromStore(found);  // frees `found`
        }
        ::CertFreeCertificateContext(wanted);
    }
    ::CertCloseStore(store, 0);
    return failures == 0 ? 0 : 1;
}
