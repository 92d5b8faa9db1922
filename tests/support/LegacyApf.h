// The "apf" folder of an earlier install under the 32-bit program-files folder, for tests. It lies
// outside any scratch folder, so the object removes exactly the folders it created.
#pragma once

#include <windows.h>

#include <string>

namespace VrxTest {

class LegacyApfFolder {
public:
    // Notes which of "Varlen", "Varlen\VRX" exist and removes any "apf" folder left behind by an
    // earlier run; creates nothing yet.
    LegacyApfFolder();
    // Removes the topmost folder this object created, with all it holds.
    ~LegacyApfFolder();
    LegacyApfFolder(const LegacyApfFolder&) = delete;
    LegacyApfFolder& operator=(const LegacyApfFolder&) = delete;

    void Create();

    // <32-bit program files>\Varlen\VRX (the earlier product folder) and its "apf" sub-folder.
    const std::wstring& ProductFolder() const { return m_product; }
    const std::wstring& Path() const { return m_apf; }
    std::wstring operator/(const std::wstring& relative) const { return m_apf + L"\\" + relative; }

private:
    std::wstring m_varlen;
    std::wstring m_product;
    std::wstring m_apf;
    bool m_varlenExisted = false;
    bool m_productExisted = false;
};

}  // namespace VrxTest
