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
std::string ChromiumManifest(const std::string& hostPath, const std::string& extensionId);
std::string FirefoxManifest(const std::string& hostPath, const std::string& extensionId);

struct InstallResult {
    bool ok = true;
    std::vector<std::string> written; // files and registry keys, for the user to see
    std::string error;
};

// Writes (or removes) the manifests for Chromium, Chrome and Firefox of the current user: on
// Linux under $HOME; on Windows in %LOCALAPPDATA%\Tessivo with HKCU registry keys naming them.
InstallResult Install(const std::string& hostPath, const std::string& extensionId);
InstallResult Uninstall();

// Writes the Chromium manifest into one folder (a browser profile's NativeMessagingHosts).
InstallResult InstallInto(const std::string& folder, const std::string& hostPath,
                          const std::string& extensionId);

} // namespace host
