// tessivo-host: the browser extension's native messaging host. Started by the browser with the
// extension's origin as its argument, it answers framed JSON requests on standard input until
// that closes; one agent serves the whole connection and ends with it.
//
//   tessivo-host --install [--extension-id ID] [--manifest-dir DIR [--browser chromium|firefox]]
//   tessivo-host --uninstall
//   tessivo-host --version
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <string>

#include "host/Framing.h"
#include "host/Host.h"
#include "host/Install.h"
#include "host/Messages.h"
#include "peer/PeerError.h"
#include "peer/Session.h"
#include "platform/process.h"
#include "platform/secure_memory.h"
#include "tessivo_version.h"

namespace {

std::string OwnPath() {
    return std::filesystem::absolute(plat::CurrentProgramPath()).string();
}

int Report(const host::InstallResult& result, const char* verb) {
    for (const std::string& place : result.written) {
        std::cout << verb << " " << place << "\n";
    }
    if (!result.ok) {
        std::cerr << "tessivo-host: " << result.error << std::endl;
        return 1;
    }
    return 0;
}

constexpr char kInstallUsage[] =
    "usage: tessivo-host --install [--extension-id ID] [--manifest-dir DIR [--browser "
    "chromium|firefox]]";

int InstallCommand(int argc, char** argv) {
    std::string extensionId;
    std::string folder;
    std::string browser = "chromium";
    for (int i = 2; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--extension-id" && i + 1 < argc) {
            extensionId = argv[++i];
        } else if (arg == "--manifest-dir" && i + 1 < argc) {
            folder = argv[++i];
        } else if (arg == "--browser" && i + 1 < argc) {
            browser = argv[++i];
        } else {
            std::cerr << kInstallUsage << std::endl;
            return 2;
        }
    }
    const bool firefox = browser == "firefox";
    if ((!firefox && browser != "chromium") || (firefox && folder.empty())) {
        std::cerr << kInstallUsage << std::endl;
        return 2;
    }
    if (extensionId.empty()) {
        extensionId = firefox ? host::kFirefoxExtensionId : host::kExtensionId;
    }
    if (!(firefox ? host::ValidFirefoxExtensionId(extensionId)
                  : host::ValidChromiumExtensionId(extensionId))) {
        std::cerr << "tessivo-host: not " << (firefox ? "a Firefox" : "an")
                  << " extension id: " << extensionId << std::endl;
        return 2;
    }
    if (folder.empty()) {
        return Report(host::Install(OwnPath(), extensionId), "wrote");
    }
    return Report(host::InstallInto(folder, OwnPath(), extensionId,
                                    firefox ? host::Browser::Firefox : host::Browser::Chromium),
                  "wrote");
}

// The JSON parser keeps a short string such as a PIN in its token buffer on the stack while it
// reads a request: the stack below the loop is wiped after each request.
[[gnu::noinline]] void WipeStackBelow() {
    unsigned char area[64 * 1024];
    plat::WipeBytes(area, sizeof area);
}

int Serve() {
    host::UseBinaryStdio();
    host::HostOptions options;
    options.agentPath = peer::DefaultAgentPath();
    host::HostSession session(options);
    for (;;) {
        host::Frame in = host::ReadFrame(0);
        if (in.status == host::FrameStatus::End || in.status == host::FrameStatus::Truncated) {
            return 0;
        }
        if (in.status == host::FrameStatus::TooLarge) {
            host::WriteFrame(
                stdout,
                host::ErrorReply(nullptr,
                                 {peer::ErrorCode(peer::PeerError::MessageTooLarge),
                                  "the request is above 65536 bytes", nlohmann::json::object()}));
            return 1;
        }
        bool quit = false;
        const std::string reply = session.Handle(in.body, quit);
        plat::WipeString(in.body); // it may hold a PIN
        WipeStackBelow();
        if (!host::WriteFrame(stdout, reply)) {
            return 1;
        }
        if (quit) {
            return 0;
        }
    }
}

} // namespace

int main(int argc, char** argv) {
    plat::KeepMemoryPrivate(); // requests carry PINs
    const std::string first = argc > 1 ? argv[1] : "";
    if (first == "--install") {
        return InstallCommand(argc, argv);
    }
    if (first == "--uninstall") {
        return Report(host::Uninstall(), "removed");
    }
    if (first == "--help" || first == "-h") {
        std::cout << "tessivo-host: the Tessivo browser extension's native messaging host\n"
                     "  tessivo-host --install [--extension-id ID] [--manifest-dir DIR [--browser "
                     "chromium|firefox]]\n"
                     "  tessivo-host --uninstall\n"
                     "  tessivo-host --version\n";
        return 0;
    }
    if (first == "--version") {
        std::cout << "tessivo-host " TESSIVO_VERSION "\n";
        return 0;
    }
    // Otherwise the browser started us (its arguments name the extension): serve it.
    return Serve();
}
