#include "host/Install.h"

#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include <nlohmann/json.hpp>

#include "peer/TokenRequests.h"
#include "platform/registry.h"

namespace host {

namespace fs = std::filesystem;

namespace {

const char* g_kDescription = "Tessivo: signing with the smart card from web pages";

std::string Environment(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
}

bool Fail(InstallResult& result, const std::string& error) {
    result.ok = false;
    result.error = error;
    return false;
}

bool WriteText(const fs::path& path, const std::string& text, InstallResult& result) {
    std::error_code ec;
    fs::create_directories(path.parent_path(), ec);
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    out.close();
    if (!out) {
        return Fail(result, "cannot write " + path.string());
    }
    result.written.push_back(path.string());
    return true;
}

// Removes a folder that holds nothing; true when it is gone.
bool RemoveIfEmpty(const fs::path& folder) {
    std::error_code ec;
    return fs::is_directory(folder, ec) && fs::is_empty(folder, ec) && fs::remove(folder, ec);
}

#if defined(_WIN32)
// The registry keys each browser reads, under HKEY_CURRENT_USER.
const char* const kRegistryRoots[] = {
    "Software\\Google\\Chrome\\NativeMessagingHosts\\",
    "Software\\Chromium\\NativeMessagingHosts\\",
    "Software\\Microsoft\\Edge\\NativeMessagingHosts\\",
};
const char* const kFirefoxRoot = "Software\\Mozilla\\NativeMessagingHosts\\";

fs::path WindowsFolder() {
    return fs::path(Environment("LOCALAPPDATA")) / "Tessivo";
}
#else
// The user's home, where each browser looks; false (the result says why) when it is not known.
bool Home(fs::path& home, InstallResult& result) {
    home = Environment("HOME");
    return !home.empty() || Fail(result, "HOME is not set");
}

struct LinuxPlace {
    const char* folder; // under $HOME
    bool firefox;
};
const LinuxPlace kLinuxPlaces[] = {
    {".config/chromium/NativeMessagingHosts", false},
    {".config/google-chrome/NativeMessagingHosts", false},
    {".mozilla/native-messaging-hosts", true},
};
#endif

} // namespace

std::string ChromiumManifest(const std::string& hostPath, const std::string& extensionId) {
    return nlohmann::json{{"name", kHostName},
                          {"description", g_kDescription},
                          {"path", hostPath},
                          {"type", "stdio"},
                          {"allowed_origins", {"chrome-extension://" + extensionId + "/"}}}
               .dump(2) +
           "\n";
}

std::string FirefoxManifest(const std::string& hostPath, const std::string& extensionId) {
    return nlohmann::json{{"name", kHostName},
                          {"description", g_kDescription},
                          {"path", hostPath},
                          {"type", "stdio"},
                          {"allowed_extensions", {extensionId}}}
               .dump(2) +
           "\n";
}

bool ValidChromiumExtensionId(const std::string& id) {
    return id.size() == 32 && id.find_first_not_of("abcdefghijklmnop") == std::string::npos;
}

bool ValidFirefoxExtensionId(const std::string& id) {
    if (id.size() == 38 && id.front() == '{' && id.back() == '}') {
        for (std::size_t i = 1; i + 1 < id.size(); ++i) {
            const bool dash = i == 9 || i == 14 || i == 19 || i == 24;
            if (dash ? id[i] != '-' : !std::isxdigit(static_cast<unsigned char>(id[i]))) {
                return false;
            }
        }
        return true;
    }
    const std::size_t at = id.find('@');
    if (at == 0 || at == std::string::npos || at + 1 == id.size() || id.size() > 80) {
        return false;
    }
    for (std::size_t i = 0; i < id.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(id[i]);
        const bool ok =
            std::isalnum(c) || c == '.' || c == '-' || (i < at && (c == '_' || c == '+'));
        if (!ok && i != at) {
            return false;
        }
    }
    return true;
}

InstallResult InstallInto(const std::string& folder, const std::string& hostPath,
                          const std::string& extensionId, Browser browser) {
    InstallResult result;
    WriteText(fs::path(folder) / (std::string(kHostName) + ".json"),
              browser == Browser::Firefox ? FirefoxManifest(hostPath, extensionId)
                                          : ChromiumManifest(hostPath, extensionId),
              result);
    return result;
}

InstallResult Install(const std::string& hostPath, const std::string& extensionId) {
    InstallResult result;
    const std::string file = std::string(kHostName) + ".json";
#if defined(_WIN32)
    const fs::path folder = WindowsFolder();
    const fs::path chromium = folder / ("chromium-" + file);
    const fs::path firefox = folder / ("firefox-" + file);
    if (!WriteText(chromium, ChromiumManifest(hostPath, extensionId), result) ||
        !WriteText(firefox, FirefoxManifest(hostPath, kFirefoxExtensionId), result)) {
        return result;
    }
    auto set = [&](const std::string& key, const fs::path& manifest) {
        if (!plat::SetUserKeyDefault(peer::Utf8ToU16(key), manifest.u16string())) {
            return Fail(result, "cannot set HKEY_CURRENT_USER\\" + key);
        }
        result.written.push_back("HKEY_CURRENT_USER\\" + key);
        return true;
    };
    for (const char* root : kRegistryRoots) {
        if (!set(std::string(root) + kHostName, chromium)) {
            return result;
        }
    }
    set(std::string(kFirefoxRoot) + kHostName, firefox);
#else
    fs::path home;
    if (!Home(home, result)) {
        return result;
    }
    for (const LinuxPlace& place : kLinuxPlaces) {
        const std::string text = place.firefox ? FirefoxManifest(hostPath, kFirefoxExtensionId)
                                               : ChromiumManifest(hostPath, extensionId);
        if (!WriteText(home / place.folder / file, text, result)) {
            return result;
        }
    }
#endif
    return result;
}

InstallResult Uninstall() {
    InstallResult result;
    const std::string file = std::string(kHostName) + ".json";
    std::error_code ec;
    auto remove = [&](const fs::path& path) {
        if (fs::remove(path, ec)) {
            result.written.push_back(path.string());
        } else if (ec) {
            Fail(result, "cannot remove " + path.string());
        }
    };
#if defined(_WIN32)
    for (const char* root : kRegistryRoots) {
        const std::string key = std::string(root) + kHostName;
        if (!plat::DeleteUserKey(peer::Utf8ToU16(key))) {
            Fail(result, "cannot remove HKEY_CURRENT_USER\\" + key);
        }
    }
    plat::DeleteUserKey(peer::Utf8ToU16(std::string(kFirefoxRoot) + kHostName));
    remove(WindowsFolder() / ("chromium-" + file));
    remove(WindowsFolder() / ("firefox-" + file));
    RemoveIfEmpty(WindowsFolder());
#else
    fs::path home;
    if (!Home(home, result)) {
        return result;
    }
    for (const LinuxPlace& place : kLinuxPlaces) {
        remove(home / place.folder / file);
        // The folders --install made for a browser that never used them go too; ~/.config is
        // everyone's and stays.
        for (fs::path folder = place.folder;
             !folder.empty() && folder != ".config" && RemoveIfEmpty(home / folder);
             folder = folder.parent_path()) {
        }
    }
#endif
    return result;
}

} // namespace host
