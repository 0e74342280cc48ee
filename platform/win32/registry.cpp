// The current user's registry keys on Windows.
#include "platform/registry.h"

#include <vector>

#include "platform/win32/win.h"

namespace plat {

namespace {

const wchar_t* wide(const std::u16string& text) {
    return reinterpret_cast<const wchar_t*>(text.c_str());
}

} // namespace

bool SetUserKeyDefault(const std::u16string& key, const std::u16string& value) {
    HKEY handle = nullptr;
    if (::RegCreateKeyExW(HKEY_CURRENT_USER, wide(key), 0, nullptr, REG_OPTION_NON_VOLATILE,
                          KEY_SET_VALUE, nullptr, &handle, nullptr) != ERROR_SUCCESS) {
        return false;
    }
    const DWORD bytes = static_cast<DWORD>((value.size() + 1) * sizeof(char16_t));
    const LONG rc = ::RegSetValueExW(handle, nullptr, 0, REG_SZ,
                                     reinterpret_cast<const BYTE*>(value.c_str()), bytes);
    ::RegCloseKey(handle);
    return rc == ERROR_SUCCESS;
}

bool GetUserKeyDefault(const std::u16string& key, std::u16string& value) {
    DWORD bytes = 0;
    if (::RegGetValueW(HKEY_CURRENT_USER, wide(key), nullptr, RRF_RT_REG_SZ, nullptr, nullptr,
                       &bytes) != ERROR_SUCCESS) {
        return false;
    }
    std::vector<char16_t> buffer(bytes / sizeof(char16_t) + 1, u'\0');
    bytes = static_cast<DWORD>(buffer.size() * sizeof(char16_t));
    if (::RegGetValueW(HKEY_CURRENT_USER, wide(key), nullptr, RRF_RT_REG_SZ, nullptr, buffer.data(),
                       &bytes) != ERROR_SUCCESS) {
        return false;
    }
    value.assign(buffer.data());
    return true;
}

bool DeleteUserKey(const std::u16string& key) {
    const LONG rc = ::RegDeleteTreeW(HKEY_CURRENT_USER, wide(key));
    if (rc != ERROR_SUCCESS && rc != ERROR_FILE_NOT_FOUND) {
        return false;
    }
    // RegDeleteTreeW empties the key; the key itself goes with RegDeleteKeyW.
    const LONG gone = ::RegDeleteKeyW(HKEY_CURRENT_USER, wide(key));
    return gone == ERROR_SUCCESS || gone == ERROR_FILE_NOT_FOUND;
}

} // namespace plat
