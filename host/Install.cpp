#include "host/Install.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include <nlohmann/json.hpp>

#include "peer/TokenRequests.h"
#include "platform/registry.h"

namespace host {

namespace fs = std::filesystem;

namespace {

const char* kDescription = "Tessivo: signing with the smart card from web pages";

std::string environment(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
}

bool write_text(const fs::path& path, const std::string& text, install_result& result) {
    std::error_code ec;
    fs::create_directories(path.parent_path(), ec);
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    out.close();
    if (!out) {
        result.ok = false;
        result.error = "cannot write " + path.string();
        return false;
    }
    result.written.push_back(path.string());
    return true;
}

#if defined(_WIN32)
// The registry keys each browser reads, under HKEY_CURRENT_USER.
const char* const kRegistryRoots[] = {
    "Software\\Google\\Chrome\\NativeMessagingHosts\\",
    "Software\\Chromium\\NativeMessagingHosts\\",
    "Software\\Microsoft\\Edge\\NativeMessagingHosts\\",
};
const char* kFirefoxRoot = "Software\\Mozilla\\NativeMessagingHosts\\";

fs::path windows_folder() {
    return fs::path(environment("LOCALAPPDATA")) / "Tessivo";
}
#else
struct linux_place {
    const char* folder; // under $HOME
    bool firefox;
};
const linux_place kLinuxPlaces[] = {
    {".config/chromium/NativeMessagingHosts", false},
    {".config/google-chrome/NativeMessagingHosts", false},
    {".mozilla/native-messaging-hosts", true},
};
#endif

} // namespace

std::string chromium_manifest(const std::string& host_path, const std::string& extension_id) {
    return nlohmann::json{{"name", kHostName},
                          {"description", kDescription},
                          {"path", host_path},
                          {"type", "stdio"},
                          {"allowed_origins", {"chrome-extension://" + extension_id + "/"}}}
               .dump(2) +
           "\n";
}

std::string firefox_manifest(const std::string& host_path, const std::string& extension_id) {
    return nlohmann::json{{"name", kHostName},
                          {"description", kDescription},
                          {"path", host_path},
                          {"type", "stdio"},
                          {"allowed_extensions", {extension_id}}}
               .dump(2) +
           "\n";
}

install_result install_into(const std::string& folder, const std::string& host_path,
                            const std::string& extension_id) {
    install_result result;
    write_text(fs::path(folder) / (std::string(kHostName) + ".json"),
               chromium_manifest(host_path, extension_id), result);
    return result;
}

install_result install(const std::string& host_path, const std::string& extension_id) {
    install_result result;
    const std::string file = std::string(kHostName) + ".json";
#if defined(_WIN32)
    const fs::path folder = windows_folder();
    const fs::path chromium = folder / ("chromium-" + file);
    const fs::path firefox = folder / ("firefox-" + file);
    if (!write_text(chromium, chromium_manifest(host_path, extension_id), result) ||
        !write_text(firefox, firefox_manifest(host_path, kFirefoxExtensionId), result)) {
        return result;
    }
    auto set = [&](const std::string& key, const fs::path& manifest) {
        if (!plat::SetUserKeyDefault(peer::utf8_to_u16(key), manifest.u16string())) {
            result.ok = false;
            result.error = "cannot set HKEY_CURRENT_USER\\" + key;
            return false;
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
    const std::string home = environment("HOME");
    if (home.empty()) {
        result.ok = false;
        result.error = "HOME is not set";
        return result;
    }
    for (const linux_place& place : kLinuxPlaces) {
        const std::string text = place.firefox ? firefox_manifest(host_path, kFirefoxExtensionId)
                                               : chromium_manifest(host_path, extension_id);
        if (!write_text(fs::path(home) / place.folder / file, text, result)) {
            return result;
        }
    }
#endif
    return result;
}

install_result uninstall() {
    install_result result;
    const std::string file = std::string(kHostName) + ".json";
    std::error_code ec;
    auto remove = [&](const fs::path& path) {
        if (fs::remove(path, ec)) {
            result.written.push_back(path.string());
        } else if (ec) {
            result.ok = false;
            result.error = "cannot remove " + path.string();
        }
    };
#if defined(_WIN32)
    for (const char* root : kRegistryRoots) {
        const std::string key = std::string(root) + kHostName;
        if (!plat::DeleteUserKey(peer::utf8_to_u16(key))) {
            result.ok = false;
            result.error = "cannot remove HKEY_CURRENT_USER\\" + key;
        }
    }
    plat::DeleteUserKey(peer::utf8_to_u16(std::string(kFirefoxRoot) + kHostName));
    remove(windows_folder() / ("chromium-" + file));
    remove(windows_folder() / ("firefox-" + file));
#else
    const std::string home = environment("HOME");
    if (home.empty()) {
        result.ok = false;
        result.error = "HOME is not set";
        return result;
    }
    for (const linux_place& place : kLinuxPlaces) {
        remove(fs::path(home) / place.folder / file);
    }
#endif
    return result;
}

} // namespace host
