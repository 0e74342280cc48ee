#include <gtest/gtest.h>

#include "platform/module.h"
#include "tests/platform/peer_protocol.h"

namespace {

TEST(Module, MissingFileFails) {
    plat::SetLastError(0);
    EXPECT_EQ(plat::LoadModule("TessivoNoSuchModule.dll"), nullptr);
    EXPECT_NE(plat::LastError(), 0u);
}

TEST(Module, FindsAndCallsSymbolThenUnloads) {
    const std::string path = peer_protocol::HelperPath(PLATFORM_TEST_MODULE_NAME);
    plat::ModuleHandle module = plat::LoadModule(path.c_str());
    ASSERT_NE(module, nullptr) << path;
    using Answer = int (*)(int);
    auto answer = reinterpret_cast<Answer>(plat::FindSymbol(module, "TessivoTestAnswer"));
    ASSERT_NE(answer, nullptr);
    EXPECT_EQ(answer(1), 43);
    EXPECT_EQ(plat::FindSymbol(module, "C_GetFunctionList"), nullptr);
    EXPECT_TRUE(plat::UnloadModule(module));
}

TEST(Module, BadArgumentsFail) {
    plat::SetLastError(0);
    EXPECT_EQ(plat::LoadModule(nullptr), nullptr);
    EXPECT_NE(plat::LastError(), 0u);
    EXPECT_EQ(plat::LoadModule(""), nullptr);
    EXPECT_EQ(plat::LoadModule(std::string(5000, 'm').c_str()), nullptr);
    EXPECT_EQ(plat::FindSymbol(nullptr, "TessivoTestAnswer"), nullptr);
    EXPECT_FALSE(plat::UnloadModule(nullptr));
}

} // namespace
