// Which PKCS#11 module the agent loads, decided the same way by the agent and by every peer
// that looks at the module on the agent's behalf.
#pragma once

#include <string>

namespace plat {

// The card vendor's module, loaded by the platform's search order when nothing else is chosen.
inline constexpr const char* kDefaultPkcs11Module = "TorvexPKCS11.dll";
// The environment variable that carries an explicit choice (a peer's --module) to the agent.
inline constexpr const char* kPkcs11ModuleVariable = "TESSIVO_PKCS11_MODULE";
// Where an installation records the module it was given (Windows, under HKEY_LOCAL_MACHINE).
inline constexpr const char16_t* kConfigKey = u"Software\\Tessivo";
inline constexpr const char16_t* kConfigModuleValue = u"Module";

// The explicit choice when TESSIVO_PKCS11_MODULE is set and not empty, else the configured
// module (Windows: the Module value of HKEY_LOCAL_MACHINE\Software\Tessivo, in the ANSI code
// page), else kDefaultPkcs11Module.
std::string ChosenPkcs11Module();

} // namespace plat
