// The product's folder under the common application-data folder, which the auto-fill action
// writes to (C:\ProgramData\Varlen\VRX in the test prefix).
#pragma once

#include <windows.h>

#include <string>

namespace VrxTest {

// Removes the product's data folder when made and again when it goes, everything in it (read-only
// files included); "Varlen" above it goes too when the test made it and it holds nothing else.
class ProductDataFolder {
public:
    ProductDataFolder();
    ~ProductDataFolder();
    ProductDataFolder(const ProductDataFolder&) = delete;
    ProductDataFolder& operator=(const ProductDataFolder&) = delete;

    const std::wstring& Path() const { return m_path; }
    std::wstring operator/(const std::wstring& relative) const { return m_path + L"\\" + relative; }
    // The auto-fill database file.
    std::wstring Database() const { return *this / L"VRXWMAutoFillDB.dat"; }

private:
    std::wstring m_maker;
    std::wstring m_path;
    bool m_makerExisted = false;
};

}  // namespace VrxTest
