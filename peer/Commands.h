// The user's commands of tessivo-peer: each is one whole agent session (start, requests, end).
#pragma once

#include <string>

#include "peer/Session.h"

namespace peer {

struct command_options {
    std::string reader;
    bool json = false;      // print the requests' JSON objects instead of plain text
    bool pin_stdin = false; // the PIN is the first line of standard input
    std::string mechanism = "sha256";
    std::string file;          // data to sign; empty: standard input
    std::string raw_signature; // where to write the bare signature bytes, when not empty
};

// Each returns the process's exit status: 0 on success, otherwise after one line on standard
// error naming what failed.
int run_readers(const session_options& session, const command_options& options);
int run_card(const session_options& session, const command_options& options);
int run_certinfo(const session_options& session, const command_options& options);
int run_cert(const session_options& session, const command_options& options);
int run_sign(const session_options& session, const command_options& options);

} // namespace peer
