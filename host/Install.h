// The native messaging host manifest for the current user: where each browser looks for it and
// what it says.
#pragma once

#include <string>
#include <vector>

namespace host {

inline constexpr const char* kHostName = "org.tessivo.host";
// The extension's id, fixed by the public key in its manifest.
inline constexpr const char* kExtensionId = "odjbehelncmcpifhghbpaeabblndacbo";
inline constexpr const char* kFirefoxExtensionId = "signing@tessivo.org";

// The manifest's JSON text: Chromium's form names `allowed_origins`, Firefox's
// `allowed_extensions`.
std::string chromium_manifest(const std::string& host_path, const std::string& extension_id);
std::string firefox_manifest(const std::string& host_path, const std::string& extension_id);

struct install_result {
    bool ok = true;
    std::vector<std::string> written; // files and registry keys, for the user to see
    std::string error;
};

// Writes (or removes) the manifests for Chromium, Chrome and Firefox of the current user: on
// Linux under $HOME; on Windows in %LOCALAPPDATA%\Tessivo with HKCU registry keys naming them.
install_result install(const std::string& host_path, const std::string& extension_id);
install_result uninstall();

// Writes the Chromium manifest into one folder (a browser profile's NativeMessagingHosts).
install_result install_into(const std::string& folder, const std::string& host_path,
                            const std::string& extension_id);

} // namespace host
