// The native messaging host manifest for the current user: where each browser looks for it and
// what it says.
#pragma once

#include <string>
#include <vector>

namespace host {

inline constexpr const char* kHostName = "org.tessivo.host";
// The extension's id, fixed by the public key in its manifest.
inline constexpr const char* kExtensionId = "odjbehelncmcpifhghbpaeabblndacbo";
// The extension's Firefox id, as its manifest's browser_specific_settings.gecko.id gives it (the
// build reads it from there).
inline constexpr const char* kFirefoxExtensionId = TESSIVO_FIREFOX_EXTENSION_ID;

enum class Browser { Chromium, Firefox };

// A Chromium extension id: 32 letters a to p.
bool ValidChromiumExtensionId(const std::string& id);
// A Firefox extension id: "name@domain" or a braced UUID.
bool ValidFirefoxExtensionId(const std::string& id);

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

// Writes one browser's form of the manifest into one folder (a Chromium profile's
// NativeMessagingHosts, or a folder Firefox reads such as ~/.mozilla/native-messaging-hosts).
InstallResult InstallInto(const std::string& folder, const std::string& hostPath,
                          const std::string& extensionId, Browser browser = Browser::Chromium);

} // namespace host
