// The module choice on both platforms; only the registry lookup differs, behind registry.h.
#include "platform/module_choice.h"

#include <cstdlib>

#include "platform/codepage.h"
#include "platform/registry.h"
#include "platform/text.h"

namespace plat {

std::string ChosenPkcs11Module() {
    const char* chosen = std::getenv(kPkcs11ModuleVariable);
    if (chosen != nullptr && chosen[0] != '\0') {
        return chosen;
    }
    std::u16string configured;
    if (GetMachineValue(kConfigKey, kConfigModuleValue, configured) && !configured.empty()) {
        const std::string narrow = NarrowBytes(kCpAcp, configured);
        if (!narrow.empty()) {
            return narrow;
        }
    }
    return kDefaultPkcs11Module;
}

} // namespace plat
