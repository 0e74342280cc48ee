// The agent driven end to end through `tessivo-peer script`.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/process.h"

namespace {

using nlohmann::json;

// Under Wine the build tree's Unix paths are seen through drive Z:.
std::string HostPath(const std::string& path) {
#if defined(_WIN32)
    std::string windows = "Z:" + path;
    for (char& c : windows) {
        if (c == '/') {
            c = '\\';
        }
    }
    return windows;
#else
    return path;
#endif
}

// Runs tessivo-peer on a script and returns its output, one JSON object per line.
std::vector<json> RunPeer(const std::string& script) {
    std::filesystem::path file =
        std::filesystem::temp_directory_path() /
        ("tessivo-e2e-" + std::to_string(plat::CurrentProcessId()) + ".script");
    std::ofstream(file) << script;
    std::string command = "\"" + HostPath(TESSIVO_PEER_PATH) + "\" --agent \"" +
                          HostPath(TESSIVO_AGENT_PATH) + "\" script \"" + file.string() + "\"";
#if defined(_WIN32)
    FILE* pipe = _popen(("\"" + command + "\"").c_str(), "r");
#else
    FILE* pipe = popen(command.c_str(), "r");
#endif
    std::vector<json> objects;
    if (pipe == nullptr) {
        ADD_FAILURE() << "cannot run " << command;
        return objects;
    }
    std::string line;
    char chunk[4096];
    while (std::fgets(chunk, sizeof chunk, pipe) != nullptr) {
        line += chunk;
        if (!line.empty() && line.back() == '\n') {
            objects.push_back(json::parse(line));
            line.clear();
        }
    }
#if defined(_WIN32)
    _pclose(pipe);
#else
    pclose(pipe);
#endif
    std::filesystem::remove(file);
    return objects;
}

TEST(PeerScript, AgentAnswersTheSpineRequestsAndEndsAfterItsPeer) {
    std::vector<json> out = RunPeer("agent\n"
                                    "# the first tick has opened the channels by now\n"
                                    "wait 500\n"
                                    "log\n"
                                    "lastresult\n"
                                    "\n"
                                    "hello\n"
                                    "log\n"
                                    "raw 1232 0 0\n"
                                    "raw 1233 5 6\n"
                                    "raw 1236 0 0 00ff\n"
                                    "raw 1237 0 0\n"
                                    "raw 1226 0 0\n"
                                    "raw 1229 0 0\n"
                                    "no such request\n"
                                    "raw 12x 0 0\n"
                                    "lastresult\n");
    ASSERT_EQ(out.size(), 14u);
    std::uint32_t agentPid = out[0]["agent"]["pid"].get<std::uint32_t>();
    EXPECT_GT(agentPid, 0u);

    std::string created = out[1]["log"].get<std::string>();
    EXPECT_EQ(created.rfind("message:WM_CREATE,_hMem2:", 0), 0u) << created;
    EXPECT_NE(created.find(",data:TessivoPeerLog."), std::string::npos) << created;
    EXPECT_EQ(out[2], (json{{"request", "MWM_LASTRESULT"}, {"result", 4 + created.size()}}));

    EXPECT_EQ(out[3]["request"], "MWM_HELLO");
    std::int32_t peerPid = out[3]["result"].get<std::int32_t>();
    std::string hello = out[4]["log"].get<std::string>();
    EXPECT_EQ(hello.rfind("message:MWM_HELLO,m_ProcessId : " + std::to_string(peerPid) +
                              ",mem : TessivoPeerRequest.",
                          0),
              0u)
        << hello;

    EXPECT_EQ(out[5], (json{{"request", 1232}, {"result", 0}}));
    EXPECT_EQ(out[6], (json{{"request", 1233}, {"result", 0}}));
    EXPECT_EQ(out[7], (json{{"request", 1236}, {"result", 0}}));
    EXPECT_EQ(out[8], (json{{"request", 1237}, {"result", 0}}));
    EXPECT_EQ(out[9]["request"], "MWM_LOG");
    // No library (no module here): the card record says "no card" and is written.
    EXPECT_EQ(out[10], (json{{"request", "MWM_CARD"}, {"result", 0}}));
    EXPECT_EQ(out[11]["line"], 15);
    EXPECT_TRUE(out[11].contains("error"));
    EXPECT_EQ(out[12]["line"], 16);
    EXPECT_EQ(out[13]["request"], "MWM_LASTRESULT");
    EXPECT_GT(out[13]["result"].get<int>(), 4);

    // The peer has ended: the agent follows within about two seconds.
    plat::ProcessHandle agent = plat::OpenProcessById(agentPid);
    if (agent != nullptr) {
        EXPECT_TRUE(plat::WaitProcess(agent, 10000));
        plat::CloseProcess(agent);
    }
}

TEST(PeerScript, AgentWithoutPeerEndsByItself) {
    plat::ProcessHandle agent = plat::StartProcess(HostPath(TESSIVO_AGENT_PATH), u"");
    ASSERT_NE(agent, nullptr);
    bool ended = plat::WaitProcess(agent, 10000);
    EXPECT_TRUE(ended);
    if (!ended) {
        plat::KillProcess(agent);
    }
    std::uint32_t code = 1;
    EXPECT_TRUE(plat::ProcessExitCode(agent, code));
    EXPECT_EQ(code, 0u);
    plat::CloseProcess(agent);
}

} // namespace
