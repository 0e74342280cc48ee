// The registry on Windows: the current user's keys and machine-wide settings.
#include "platform/registry.h"

#include <vector>

#include "platform/win32/win.h"

namespace plat {

namespace {

const wchar_t* wide(const std::u16string& text) {
    return reinterpret_cast<const wchar_t*>(text.c_str());
}

// A string value of a key under `root` (the default value when `name` is null). RRF_RT_REG_SZ
// also takes REG_EXPAND_SZ, expanded; the expanded text may need more room than first reported.
bool GetString(HKEY root, const std::u16string& key, const wchar_t* name, std::u16string& value) {
    DWORD bytes = 0;
    LONG rc = ::RegGetValueW(root, wide(key), name, RRF_RT_REG_SZ, nullptr, nullptr, &bytes);
    for (int round = 0; round < 3 && rc == ERROR_SUCCESS; ++round) {
        std::vector<char16_t> buffer(bytes / sizeof(char16_t) + 1, u'\0');
        bytes = static_cast<DWORD>(buffer.size() * sizeof(char16_t));
        rc = ::RegGetValueW(root, wide(key), name, RRF_RT_REG_SZ, nullptr, buffer.data(), &bytes);
        if (rc == ERROR_SUCCESS) {
            value.assign(buffer.data());
            return true;
        }
        if (rc == ERROR_MORE_DATA) {
            rc = ERROR_SUCCESS;
        }
    }
    return false;
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
    return GetString(HKEY_CURRENT_USER, key, nullptr, value);
}

bool GetMachineValue(const std::u16string& key, const std::u16string& name, std::u16string& value) {
    return GetString(HKEY_LOCAL_MACHINE, key, wide(name), value);
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
