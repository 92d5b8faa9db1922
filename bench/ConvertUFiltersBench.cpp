// ConvertUFilters over a store of users with filters documents of about 900 characters, against
// the bare MSXML work on the same documents.
//   vrx_bench_convertufilters time <users> [runs]
//       milliseconds per user, side by side in one run:
//         floor        a new DOMDocument, loadXML and the two transforms of each document, the
//                      stylesheets loaded once;
//         store walk   the stand-in store's own walk of the users doing the floor's work and the
//                      three writes per user (the floor plus what the store costs);
//         action       ConvertUFilters with the test-signed stand-in.
//   vrx_bench_convertufilters peak <action|walk> <users>
//       the process's peak working set after one action or one store walk.
// The stand-in is installed in a scratch folder that "Install Dir" names while the program runs.
#include <windows.h>
#include <msxml2.h>

#include <cstdlib>
#include <cwchar>
#include <string>

#include "SettingsBench.h"
#include "Stats.h"
#include "src/common/vrxrunonce/RuleScripts.h"
#include "src/common/vrxrunonce/UserFilters.h"
#include "src/includes/VrxSettings.h"
#include "support/FileValidator.h"
#include "support/UniqueAny.h"

namespace {

using Tessel::UniqueBstr;
using VrxRunOnce::UniqueXmlDocument;

// A user's filters before conversion: rules of both lists, CDATA texts, regular expressions and
// a Charset rule of three code pages. About 900 characters.
std::wstring FiltersDocument(int user) {
    const std::wstring n = std::to_wstring(user);
    return L"<VRXFilters>"
           L"<SubjCont><![CDATA[cheap watches " +
           n +
           L"]]></SubjCont>"
           L"<SubjContRE><![CDATA[win(ner)? [0-9]{3,} (prize|award)]]></SubjContRE>"
           L"<BodyCont>click here to unsubscribe</BodyCont>"
           L"<BodyContRE><![CDATA[[a-z0-9.]+@offers\\.example\\.(com|net)]]></BodyContRE>"
           L"<BodyNotCont>meeting agenda</BodyNotCont>"
           L"<SndrCont>promotions@shop" +
           n +
           L".example</SndrCont>"
           L"<SndrNotContRE><![CDATA[@(work|home)\\.example$]]></SndrNotContRE>"
           L"<HeaderCont>X-Mailer: BulkSender</HeaderCont>"
           L"<RecvNotCont>me@home.example</RecvNotCont>"
           L"<RecvContRE><![CDATA[undisclosed[- ]recipients]]></RecvContRE>"
           L"<Charset>1251;1252;28591</Charset>"
           L"<SubjContAllow type=\"1\">weekly report</SubjContAllow>"
           L"<SndrContAllow type=\"1\">friend" +
           n +
           L"@example.org</SndrContAllow>"
           L"<SndrContREAllow type=\"1\"><![CDATA[@(family|friends)\\.example\\.org$]]>"
           L"</SndrContREAllow>"
           L"<BodyContAllow type=\"1\">see you tomorrow</BodyContAllow>"
           L"<RecvContAllow type=\"1\">team@work.example</RecvContAllow>"
           L"</VRXFilters>";
}

std::string UserLines(int user) {
    const std::string path = "user" + std::to_string(user);
    return VrxBench::StoreNode(path) +
           VrxBench::StoreText(path, "_SETTINGS_NAME", L"S-1-5-21-" + std::to_wstring(user)) +
           VrxBench::StoreText(path, "UserFilters", FiltersDocument(user));
}

struct Stylesheets {
    UniqueXmlDocument black = VrxRunOnce::CreateXmlDocument();
    UniqueXmlDocument white = VrxRunOnce::CreateXmlDocument();
};

bool LoadXml(IXMLDOMDocument2* document, const wchar_t* text, UINT length) {
    const UniqueBstr source(::SysAllocStringLen(text, length));
    VARIANT_BOOL loaded = VARIANT_FALSE;
    return source && document->loadXML(source.get(), &loaded) == S_OK && loaded == VARIANT_TRUE;
}

bool LoadStylesheets(Stylesheets& sheets) {
    const wchar_t* black = VrxRunOnce::kBlackListStylesheet;
    const wchar_t* white = VrxRunOnce::kWhiteListStylesheet;
    return sheets.black && sheets.white &&
           LoadXml(sheets.black.get(), black, static_cast<UINT>(std::wcslen(black))) &&
           LoadXml(sheets.white.get(), white, static_cast<UINT>(std::wcslen(white)));
}

// The floor's work on one document: a new DOMDocument, loadXML, and both transforms.
bool BareTransforms(const Stylesheets& sheets, const wchar_t* text, UINT length, UniqueBstr& black,
                    UniqueBstr& white) {
    const UniqueXmlDocument document = VrxRunOnce::CreateXmlDocument();
    BSTR raw = nullptr;
    if (!document || !LoadXml(document.get(), text, length) ||
        FAILED(document.get()->transformNode(sheets.black.get(), &raw))) {
        return false;
    }
    black = UniqueBstr(raw);
    raw = nullptr;
    const HRESULT hr = document.get()->transformNode(sheets.white.get(), &raw);
    white = UniqueBstr(raw);
    return SUCCEEDED(hr) && ::SysStringLen(black.get()) > 0 && ::SysStringLen(white.get()) > 0;
}

double FloorMsPerUser(const Stylesheets& sheets, const std::vector<std::wstring>& documents) {
    const LARGE_INTEGER start = VrxBench::Now();
    for (const std::wstring& document : documents) {
        UniqueBstr black;
        UniqueBstr white;
        if (!BareTransforms(sheets, document.c_str(), static_cast<UINT>(document.size()), black,
                            white)) {
            std::fprintf(stderr, "the bare transforms failed\n");
            std::exit(1);
        }
    }
    return VrxBench::Seconds(start, VrxBench::Now()) * 1000.0 / documents.size();
}

// The store's own walk: each user's filters read, transformed bare and written back with both
// scripts, through the stand-in loaded without validation.
void WalkStore(const VrxBench::SettingsInstall& install, const Stylesheets& sheets) {
    const Tessel::UniqueHModule library(::LoadLibraryW(install.LibraryPath().c_str()));
    const auto getSettings = reinterpret_cast<GetSettingsFn>(
        reinterpret_cast<void*>(::GetProcAddress(library.get(), kGetSettingsExport)));
    UniqueSettingsNode root;
    UniqueSettingsEnumerator users;
    if (getSettings == nullptr || getSettings(root.put()) != ERROR_SUCCESS ||
        root.get()->EnumChildren(users.put()) != ERROR_SUCCESS) {
        std::fprintf(stderr, "cannot walk the store\n");
        std::exit(1);
    }
    std::wstring text;
    for (users.get()->Reset(); users.get()->AtEnd() == 0; users.get()->Next()) {
        UniqueSettingsNode user;
        users.get()->Current(user.put());
        DWORD bytes = 0;
        user.get()->GetValue(VrxRunOnce::kUserFilters, nullptr, &bytes);
        text.resize(bytes / sizeof(wchar_t));
        user.get()->GetValue(VrxRunOnce::kUserFilters, &text[0], &bytes);
        UniqueBstr black;
        UniqueBstr white;
        BareTransforms(sheets, text.c_str(), static_cast<UINT>(text.size() - 1), black, white);
        user.get()->SetValue(VrxRunOnce::kUserFilters, text.c_str(), bytes, 0);
        user.get()->SetValue(VrxRunOnce::kUserFiltersBlack, black.get(),
                             ::SysStringByteLen(black.get()), 0);
        user.get()->SetValue(VrxRunOnce::kUserFiltersWhite, white.get(),
                             ::SysStringByteLen(white.get()), 0);
    }
    users.reset();
    root.reset();  // the stand-in writes its file here
}

void ConvertWithTestValidator(const VrxBench::SettingsInstall& install) {
    Tessel::CFileValidator validator(install.TestSignatureConfig());
    VrxRunOnce::ConvertUserFilters(validator);
}

// Counts the users whose white-list script the store now holds: every user, or the run did not
// do its work.
int ConvertedUsers(const VrxBench::SettingsInstall& install) {
    return install.CountInStore("|UserFiltersWhite|");
}

template <typename Run>
double TimedMsPerUser(const VrxBench::SettingsInstall& install, int users, Run run) {
    install.WriteStore(users, &UserLines);
    const LARGE_INTEGER start = VrxBench::Now();
    run();
    const double ms = VrxBench::Seconds(start, VrxBench::Now()) * 1000.0 / users;
    if (ConvertedUsers(install) != users) {
        std::fprintf(stderr, "not every user was converted\n");
        std::exit(1);
    }
    return ms;
}

int Time(const VrxBench::SettingsInstall& install, const Stylesheets& sheets, int users, int runs) {
    std::vector<std::wstring> documents;
    size_t characters = 0;
    for (int user = 0; user < users; ++user) {
        documents.push_back(FiltersDocument(user));
        characters += documents.back().size();
    }
    std::printf("ConvertUFilters: %d users, %zu characters a document\n", users,
                characters / users);
    std::vector<double> floor;
    std::vector<double> walk;
    std::vector<double> action;
    for (int run = 0; run < runs; ++run) {
        floor.push_back(FloorMsPerUser(sheets, documents));
        walk.push_back(TimedMsPerUser(install, users, [&] { WalkStore(install, sheets); }));
        action.push_back(
            TimedMsPerUser(install, users, [&] { ConvertWithTestValidator(install); }));
    }
    const double floorMedian = VrxBench::Summarise("bare load + 2 transforms", floor, "ms/user");
    const double walkMedian = VrxBench::Summarise("store walk + bare work", walk, "ms/user");
    const double actionMedian = VrxBench::Summarise("ConvertUFilters", action, "ms/user");
    VrxBench::PrintRatio("ConvertUFilters", actionMedian / floorMedian, "<= 1.2x");
    VrxBench::PrintRatio("ConvertUFilters to the store walk", actionMedian / walkMedian, "-");
    return 0;
}

int Peak(const VrxBench::SettingsInstall& install, const Stylesheets& sheets, bool action,
         int users) {
    install.WriteStore(users, &UserLines);
    const double before = VrxBench::PeakWorkingSetMegabytes();
    if (action) {
        ConvertWithTestValidator(install);
    } else {
        WalkStore(install, sheets);
    }
    const double after = VrxBench::PeakWorkingSetMegabytes();
    if (ConvertedUsers(install) != users) {
        std::fprintf(stderr, "not every user was converted\n");
        return 1;
    }
    std::printf("peak working set, %-12s %6d users: %8.1f MB (%.1f MB before the run)\n",
                action ? "action," : "store walk,", users, after, before);
    return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    const bool time = argc >= 3 && std::wcscmp(argv[1], L"time") == 0;
    const bool peak = argc >= 4 && std::wcscmp(argv[1], L"peak") == 0;
    if (!time && !peak) {
        std::fprintf(stderr,
                     "usage: vrx_bench_convertufilters time <users> [runs]\n"
                     "       vrx_bench_convertufilters peak <action|walk> <users>\n");
        return 2;
    }
    if (FAILED(::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))) {
        return 1;
    }
    int status = 1;
    {
        const VrxBench::SettingsInstall install;
        Stylesheets sheets;
        if (install.ok() && LoadStylesheets(sheets)) {
            status =
                time ? Time(install, sheets, _wtoi(argv[2]), argc > 3 ? _wtoi(argv[3]) : 5)
                     : Peak(install, sheets, std::wcscmp(argv[2], L"action") == 0, _wtoi(argv[3]));
        }
    }
    ::CoUninitialize();
    return status;
}
