#include "openssl_owned.h"
#include "tests/e2e/peer_run.h"

#include <gtest/gtest.h>

#include <openssl/evp.h>
#include <openssl/x509.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "platform/types.h"
#include "protocol/Base64.h"
#include "tests/fixtures/test_module.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <sys/wait.h>
#endif

namespace e2e {

namespace {

Output ReadAll(FILE* pipe) {
    Output out;
    if (pipe == nullptr)
        return out;
    char chunk[4096];
    std::size_t n = 0;
    while ((n = std::fread(chunk, 1, sizeof chunk, pipe)) > 0)
        out.text.append(chunk, n);
#if defined(_WIN32)
    out.status = _pclose(pipe);
#else
    const int raw = pclose(pipe);
    out.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
#endif
    return out;
}

FILE* OpenPipe(const std::string& command) {
#if defined(_WIN32)
    // The command line is UTF-8: handed over as UTF-16, so that a name outside the ANSI code
    // page reaches the program as it is.
    const std::string quoted = "\"" + command + "\"";
    const int units =
        MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, quoted.c_str(), -1, nullptr, 0);
    if (units <= 0)
        return _popen(quoted.c_str(), "rb");
    std::wstring wide(static_cast<std::size_t>(units), L'\0');
    MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, quoted.c_str(), -1, &wide[0], units);
    return _wpopen(wide.c_str(), L"rb");
#else
    return popen(command.c_str(), "r");
#endif
}

} // namespace

Output RunCommandLine(const std::string& command) {
    return ReadAll(OpenPipe(command));
}

Background::Background(const std::string& command) {
    FILE* pipe = OpenPipe(command);
    reader_ = std::thread([this, pipe] { output_ = ReadAll(pipe); });
}

Background::~Background() {
    if (reader_.joinable())
        reader_.join();
}

Output Background::Finish() {
    if (reader_.joinable())
        reader_.join();
    return output_;
}

std::string Quote(const std::string& text) {
    return "\"" + text + "\"";
}

std::string RoadModule() {
#if defined(_WIN32)
    return {};
#else
    return TestModulePath();
#endif
}

std::string CertsFile(const std::string& name) {
    return NativePath(std::string(TESSIVO_TEST_CERTS_DIR) + "/" + name);
}

std::string NullErrors() {
#if defined(_WIN32)
    return " 2>NUL";
#else
    return " 2>/dev/null";
#endif
}

// The agent the peer starts: on Windows the test module's road uses the copy of the agent that
// sits beside the test module under the card vendor's file name.
std::string AgentPath(const std::string& module) {
#if defined(TESSIVO_CARD_AGENT_PATH)
    if (module.empty())
        return TESSIVO_CARD_AGENT_PATH;
#endif
    (void)module;
    return TESSIVO_AGENT_PATH;
}

std::string PeerCommand(const std::string& module) {
    std::string command =
        Quote(NativePath(TESSIVO_PEER_PATH)) + " --agent " + Quote(NativePath(AgentPath(module)));
    if (!module.empty())
        command += " --module " + Quote(module);
    return command;
}

std::vector<nlohmann::json> RunScript(const std::string& module, const std::string& script) {
    const std::string file = TempFile("script", script);
    const Output out =
        RunCommandLine(PeerCommand(module) + " script " + Quote(file) + NullErrors());
    std::filesystem::remove(file);
    return JsonLines(out.text);
}

std::string TempFile(const std::string& name, const std::string& bytes) {
    const std::filesystem::path path =
        std::filesystem::temp_directory_path() /
        ("tessivo-e2e-" + std::to_string(plat::CurrentProcessId()) + "-" + name);
    std::ofstream(path, std::ios::binary) << bytes;
    return path.string();
}

std::vector<nlohmann::json> JsonLines(const std::string& text) {
    std::vector<nlohmann::json> objects;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        const std::string line = text.substr(start, end - start);
        if (!line.empty() && line != "\r")
            objects.push_back(nlohmann::json::parse(line));
        start = end + 1;
    }
    return objects;
}

std::string Base64(const std::string& bytes) {
    return tessivo::EncodeBase64(bytes);
}

std::string FromBase64(const std::string& text) {
    const std::vector<std::uint8_t> bytes = tessivo::DecodeBase64Lenient(text);
    return std::string(bytes.begin(), bytes.end());
}

std::string SignatureOf(const nlohmann::json& sign) {
    const std::string element = sign.value("signature", std::string());
    const std::string open = "<SignatureValue>", close = "</SignatureValue>";
    if (element.rfind(open, 0) != 0 || element.size() < open.size() + close.size())
        return {};
    return FromBase64(element.substr(open.size(), element.size() - open.size() - close.size()));
}

void ExpectCitizenRecord(const std::string& certFile, const nlohmann::json& login,
                         const std::string& record) {
    const std::string x509 =
        "openssl x509 -inform DER -in " + certFile + " -noout -nameopt RFC2253,-esc_msb ";
    auto field = [&](const char* option) { // "serial=1234" -> "1234"
        std::string text = RunCommandLine(x509 + option).text;
        text = text.substr(text.find('=') + 1);
        text.erase(text.find_last_not_of("\r\n") + 1);
        return text;
    };
    std::string serial = field("-serial");
    std::transform(serial.begin(), serial.end(), serial.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    const std::string subject = field("-subject");
    EXPECT_EQ(login["certSerial"], serial);
    EXPECT_EQ(record.rfind(" EMAIL='user1@example.tw' Usage='-128' SerialNo='" + serial +
                               "' SubjectDN='" + subject + "'",
                           0),
              0u)
        << record;
    EXPECT_NE(record.find(" BeginDate='Wed Jan 01 08:00:00 2020' EndDate='Tue Jan 01 07:59:59 2036'"
                          " ForSign='Y' OID='2.16.886.1.100.3.1.1' Type='1' TypeString='自然人憑證'"
                          " ID='1234' Ext='正卡' HolderRank='primary'"),
              std::string::npos)
        << record;
}

std::string Sha256DigestInfo(const std::string& data) {
    unsigned char digest[32];
    unsigned int n = 0;
    EVP_Digest(data.data(), data.size(), digest, &n, EVP_sha256(), nullptr);
    return std::string(
               "\x30\x31\x30\x0d\x06\x09\x60\x86\x48\x01\x65\x03\x04\x02\x01\x05\x00\x04\x20", 19) +
           std::string(reinterpret_cast<char*>(digest), n);
}

bool VerifiesSha256(const std::string& certDer, const std::string& signature,
                    const std::string& data) {
    const unsigned char* p = reinterpret_cast<const unsigned char*>(certDer.data());
    ossl::X509Ptr cert(d2i_X509(nullptr, &p, long(certDer.size())));
    ossl::MdCtxPtr ctx(EVP_MD_CTX_new());
    return cert && ctx &&
           EVP_DigestVerifyInit(ctx.get(), nullptr, EVP_sha256(), nullptr,
                                X509_get0_pubkey(cert.get())) == 1 &&
           EVP_DigestVerify(ctx.get(), reinterpret_cast<const unsigned char*>(signature.data()),
                            signature.size(), reinterpret_cast<const unsigned char*>(data.data()),
                            data.size()) == 1;
}

} // namespace e2e
