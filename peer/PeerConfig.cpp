#include "peer/PeerConfig.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <vector>

namespace peer {

namespace {

std::string Trim(const std::string& text) {
    const std::size_t from = text.find_first_not_of(" \t\r");
    if (from == std::string::npos) {
        return {};
    }
    return text.substr(from, text.find_last_not_of(" \t\r") - from + 1);
}

std::vector<std::string> CandidateFiles() {
    const char* forced = std::getenv("TESSIVO_PEER_CONFIG");
    if (forced != nullptr && *forced != '\0') {
        return {forced};
    }
    std::vector<std::string> files;
#if !defined(_WIN32)
    const char* xdg = std::getenv("XDG_CONFIG_HOME");
    const char* home = std::getenv("HOME");
    if (xdg != nullptr && *xdg == '/') {
        files.push_back(std::string(xdg) + "/tessivo/peer.conf");
    } else if (home != nullptr && *home != '\0') {
        files.push_back(std::string(home) + "/.config/tessivo/peer.conf");
    }
    files.emplace_back("/etc/tessivo/peer.conf");
#endif
    return files;
}

} // namespace

PeerConfig ReadPeerConfig() {
    PeerConfig config;
    for (const std::string& file : CandidateFiles()) {
        std::error_code error;
        if (!std::filesystem::is_regular_file(std::filesystem::u8path(file), error)) {
            continue;
        }
        std::ifstream in(std::filesystem::u8path(file));
        config.file = file;
        std::string line;
        while (std::getline(in, line)) {
            const std::string text = Trim(line.substr(0, line.find('#')));
            const std::size_t equals = text.find('=');
            if (equals == std::string::npos) {
                continue;
            }
            const std::string key = Trim(text.substr(0, equals));
            const std::string value = Trim(text.substr(equals + 1));
            if (key == "module") {
                config.module = value;
            } else if (key == "reader") {
                config.reader = value;
            }
        }
        break; // the first file found is the whole configuration
    }
    return config;
}

} // namespace peer
