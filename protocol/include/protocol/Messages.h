// What the agent and its peers agree on: the window messages (WM_USER + 201 to WM_USER + 214),
// the channels' size and names, and the main window's class.
#pragma once

#include <cstdint>
#include <string>

inline constexpr std::int32_t kChannelSize = 1024000;
inline constexpr char16_t kDefaultRequestName[] = u"Global\\qorFileMappingObject";
inline constexpr char16_t kDefaultRequestFallback[] = u"/BaseNamedObjects/qorShellMemory.txt";
inline constexpr char16_t kReturnChannelName[] = u"Global\\qorQorTessivonReturnFileMappingObject";
inline constexpr char16_t kReturnChannelFallback[] =
    u"/qorQorTarvesk2FileMappingObjectReturn/shellMemory";
inline constexpr char16_t kAgentWindowClass[] = u"TESSIVO";
// The card vendor's PKCS#11 module: what the agent loads unless told otherwise, and what the
// peers look for first.
inline constexpr char kVendorModuleName[] = "TorvexPKCS11.dll";

// The return channel of an agent that found its fixed name already taken (another agent of the
// user holds it): the name followed by "." and the agent's process id, which its peer knows.
inline std::u16string PerAgentChannelName(const std::u16string& name, std::uint32_t pid) {
    std::u16string digits;
    do {
        digits.insert(digits.begin(), static_cast<char16_t>(u'0' + pid % 10));
        pid /= 10;
    } while (pid != 0);
    return name + u"." + digits;
}

inline constexpr std::uint32_t MWM_HELLO = 1225;
inline constexpr std::uint32_t MWM_LOG = 1226;
inline constexpr std::uint32_t MWM_EXIT = 1227;
inline constexpr std::uint32_t MWM_SLOT = 1228;
inline constexpr std::uint32_t MWM_CARD = 1229;
inline constexpr std::uint32_t MWM_SIGN = 1230;
inline constexpr std::uint32_t MWM_CERTINF = 1231;
inline constexpr std::uint32_t MWM_LOGIN = 1234;
inline constexpr std::uint32_t MWM_LOGOUT = 1235;
inline constexpr std::uint32_t MWM_LASTRESULT = 1238;

inline constexpr std::uint32_t MWM_FIRST = 1225;
inline constexpr std::uint32_t MWM_LAST = 1238;

// The MWM_ name of a message id, or null for ids without a name.
inline const char* MessageName(std::uint32_t id) {
    switch (id) {
    case MWM_HELLO:
        return "MWM_HELLO";
    case MWM_LOG:
        return "MWM_LOG";
    case MWM_EXIT:
        return "MWM_EXIT";
    case MWM_SLOT:
        return "MWM_SLOT";
    case MWM_CARD:
        return "MWM_CARD";
    case MWM_SIGN:
        return "MWM_SIGN";
    case MWM_CERTINF:
        return "MWM_CERTINF";
    case MWM_LOGIN:
        return "MWM_LOGIN";
    case MWM_LOGOUT:
        return "MWM_LOGOUT";
    case MWM_LASTRESULT:
        return "MWM_LASTRESULT";
    default:
        return nullptr;
    }
}
