// The module choice on both platforms; only the registry lookup differs, behind registry.h.
#include "platform/module_choice.h"

#include <cstdlib>

#include "platform/codepage.h"
#include "platform/registry.h"

namespace plat {

namespace {

std::string ToAnsi(const std::u16string& wide) {
    const int bytes =
        WideToMultiByte(kCpAcp, 0, wide.data(), static_cast<int>(wide.size()), nullptr, 0);
    if (bytes <= 0) {
        return {};
    }
    std::string narrow(static_cast<std::size_t>(bytes), '\0');
    WideToMultiByte(kCpAcp, 0, wide.data(), static_cast<int>(wide.size()), narrow.data(), bytes);
    return narrow;
}

} // namespace

std::string ChosenPkcs11Module() {
    const char* chosen = std::getenv(kPkcs11ModuleVariable);
    if (chosen != nullptr && chosen[0] != '\0') {
        return chosen;
    }
    std::u16string configured;
    if (GetMachineValue(kConfigKey, kConfigModuleValue, configured) && !configured.empty()) {
        const std::string narrow = ToAnsi(configured);
        if (!narrow.empty()) {
            return narrow;
        }
    }
    return kDefaultPkcs11Module;
}

} // namespace plat
