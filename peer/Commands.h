// The user's commands of tessivo-peer: each is one whole agent session (start, requests, end).
#pragma once

#include <string>

#include <nlohmann/json.hpp>

#include "peer/PeerError.h"
#include "peer/Session.h"

namespace peer {

struct CommandOptions {
    std::string reader;
    bool json = false;     // print the requests' JSON objects instead of plain text
    bool pinStdin = false; // the PIN is the first line of standard input
    std::string mechanism = "sha256";
    std::string file;           // data to sign; empty: standard input
    std::string rawSignature;   // where to write the bare signature bytes, when not empty
    std::string output;         // where to write the signature; empty: standard output
    std::string format = "xml"; // xml (the <SignatureValue> element), raw, base64 or cms
    bool pem = false;           // CMS as PEM text instead of DER
    std::string signatureFile;  // verify: the signature
    std::string certificate;    // verify: the signer's certificate (PEM or DER)
    bool allowExpired = false;  // sign with a certificate past its end date
    bool showAgentText = false; // the agent's own text beside a failure on standard error
};

// Prints a failure: one line on standard error (the agent's text beside the message when
// `showAgentText`), and with
// `json` the object {"error":{"code":..., "message":..., "exit":N[, "agent":...]}} on standard
// output. Returns the exit status.
int ReportFailure(const PeerFailure& failed, bool json, bool showAgentText);

// The attributes of a certificate record ( NAME='value' ...) as keys; "ID", which may occur
// more than once, is an array.
nlohmann::json RecordFields(const std::string& record);

// Each returns the process's exit status: 0 on success, otherwise after reporting the failure
// (ReportFailure). READER is a description, token label or serial, or a PKCS#11 URI.
int RunReaders(const SessionOptions& session, const CommandOptions& options);
// The modules registered with p11-kit (name and file), and the module the peer would use.
int RunModules(const SessionOptions& session, const CommandOptions& options);
int RunCard(const SessionOptions& session, const CommandOptions& options);
int RunCertinfo(const SessionOptions& session, const CommandOptions& options);
int RunCert(const SessionOptions& session, const CommandOptions& options);
// Every certificate the token shows without its PIN, and which ones the agent's login takes.
int RunCerts(const SessionOptions& session, const CommandOptions& options);
int RunSign(const SessionOptions& session, const CommandOptions& options);
// Checks a CMS or bare signature of `file` offline: 0 when it verifies, 1 when it does not.
int RunVerify(const CommandOptions& options);

} // namespace peer
