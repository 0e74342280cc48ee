// The registry (Windows only): the default value of a key under HKEY_CURRENT_USER, as a browser
// reads a native messaging host's manifest path from it, and a machine-wide setting under
// HKEY_LOCAL_MACHINE. On other systems every call fails.
#pragma once

#include <string>

namespace plat {

// Creates the key (and its parents) and sets its default value. False on failure.
bool SetUserKeyDefault(const std::u16string& key, const std::u16string& value);
// The key's default value; false when the key or its value is missing.
bool GetUserKeyDefault(const std::u16string& key, std::u16string& value);
// Removes the key with its values; true when it is gone (or never was).
bool DeleteUserKey(const std::u16string& key);
// A string value (REG_SZ, or REG_EXPAND_SZ with its variables expanded) of a key under
// HKEY_LOCAL_MACHINE; false when the key or the value is missing or not a string.
bool GetMachineValue(const std::u16string& key, const std::u16string& name, std::u16string& value);

} // namespace plat
