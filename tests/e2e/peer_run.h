// Running tessivo-peer from the end-to-end tests: command lines, temporary files, the JSON lines
// it prints, and the Base64 of the data it signs and of the signatures it returns.
#pragma once

#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

namespace e2e {

struct Output {
    std::string text; // standard output
    int status = -1;  // exit status; -1 when the command could not run or was killed
};

// Runs a shell command line and returns its standard output and exit status.
Output RunCommandLine(const std::string& command);

// A command line started now and read on a thread of its own, so that several run side by side.
class Background {
public:
    explicit Background(const std::string& command);
    ~Background();
    Background(const Background&) = delete;
    Background& operator=(const Background&) = delete;
    // Waits for the command to end.
    Output Finish();

private:
    std::thread reader_;
    Output output_;
};

std::string Quote(const std::string& text);

// The module a test on the test module's card names to the peer: on Linux the test module; on
// Windows none, so that the agent copy beside the test module loads it by the card vendor's
// file name (see PeerCommand).
std::string RoadModule();
// A file of the test certificates, as the programs under test name it.
std::string CertsFile(const std::string& name);
// What a command line ends with to discard its standard error.
std::string NullErrors();

// tessivo-peer with this build's agent; `module` names the PKCS#11 module unless it is empty
// (then, on Windows, the agent copy beside the test module under the card vendor's file name).
std::string PeerCommand(const std::string& module);
// One script through tessivo-peer: one JSON object per output line.
std::vector<nlohmann::json> RunScript(const std::string& module, const std::string& script);
// A file in the temporary folder whose name carries this process's id.
std::string TempFile(const std::string& name, const std::string& bytes);
// One JSON object per non-empty line.
std::vector<nlohmann::json> JsonLines(const std::string& text);

std::string Base64(const std::string& bytes);
std::string FromBase64(const std::string& text);
// The bare signature inside a sign reply's <SignatureValue> element; empty when there is none.
std::string SignatureOf(const nlohmann::json& sign);
// Checks a login's certificate serial and the certificate record of the fixtures' citizen
// certificate (the DER file `certFile`) against openssl's own reading of the certificate.
void ExpectCitizenRecord(const std::string& certFile, const nlohmann::json& login,
                         const std::string& record);

// The SHA-256 DigestInfo of `data`: what mechanism 1 (CKM_RSA_PKCS) signs for a SHA-256
// signature.
std::string Sha256DigestInfo(const std::string& data);
// True when `signature` is a SHA-256 PKCS#1 v1.5 signature of `data` by the DER certificate's key.
bool VerifiesSha256(const std::string& certDer, const std::string& signature,
                    const std::string& data);

} // namespace e2e
