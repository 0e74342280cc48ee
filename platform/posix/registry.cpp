// No registry outside Windows: browsers there find host manifests in folders.
#include "platform/registry.h"

namespace plat {

bool SetUserKeyDefault(const std::u16string&, const std::u16string&) {
    return false;
}

bool GetUserKeyDefault(const std::u16string&, std::u16string&) {
    return false;
}

bool DeleteUserKey(const std::u16string&) {
    return false;
}

bool GetMachineValue(const std::u16string&, const std::u16string&, std::u16string&) {
    return false;
}

} // namespace plat
