// tessivo-peer's configuration file: the module and the reader to use when the command line
// names neither. Read from $XDG_CONFIG_HOME/tessivo/peer.conf (~/.config when unset), else
// /etc/tessivo/peer.conf; lines "module = PATH" and "reader = READER", '#' starts a comment.
// Linux only: on Windows the agent chooses its module itself, and the peer follows it.
#pragma once

#include <string>

namespace peer {

struct PeerConfig {
    std::string module; // empty when no file sets it
    std::string reader; // empty when no file sets it
    std::string file;   // the file read; empty when there is none
};

// The first configuration file that exists, read now. TESSIVO_PEER_CONFIG names another file
// (tests).
PeerConfig ReadPeerConfig();

} // namespace peer
