#include "peer/ReaderChoice.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <iterator>

#include "platform/module.h"
#include "platform/text.h"
#include "peer/PeerError.h"
#include "peer/Translate.h"

#if defined(TESSIVO_HAVE_P11KIT)
#include <p11-kit/p11-kit.h>
#endif

namespace peer {

namespace {

constexpr const char kScheme[] = "pkcs11:";

// Slot and token attributes a URI may use to choose a reader.
const char* const kSlotAttributes[] = {
    "token", "manufacturer", "serial", "model", "slot-description", "slot-manufacturer", "slot-id"};
// Attributes that describe the module: the module itself is chosen by module-path or
// module-name.
const char* const kIgnoredAttributes[] = {"library-manufacturer", "library-description",
                                          "library-version"};
// Attributes that name an object: the agent signs with the card's signature key only, so they
// must name that key or its certificate (checked against the card before the PIN).
const char* const kObjectAttributes[] = {"id", "object", "type"};

bool Listed(const std::string& name, const char* const* names, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
        if (name == names[i]) {
            return true;
        }
    }
    return false;
}

[[noreturn]] void BadUri(const std::string& uri, const std::string& why) {
    throw PeerFailure(PeerError::Usage, Tr("cannot read the PKCS#11 URI %s: %s", uri, why));
}

std::string PercentDecoded(const std::string& uri, const std::string& text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            out.push_back(text[i]);
            continue;
        }
        const int high = i + 2 < text.size() ? plat::HexDigitValue(text[i + 1]) : -1;
        const int low = i + 2 < text.size() ? plat::HexDigitValue(text[i + 2]) : -1;
        if (high < 0 || low < 0) {
            BadUri(uri, Tr("a '%' not followed by two hex digits"));
        }
        out.push_back(static_cast<char>(high * 16 + low));
        i += 2;
    }
    return out;
}

// Splits "a=b<sep>c=d" into decoded pairs; each name at most once.
void ReadAttributes(const std::string& uri, const std::string& part, char separator,
                    std::map<std::string, std::string>& out) {
    std::size_t from = 0;
    while (from <= part.size()) {
        std::size_t to = part.find(separator, from);
        if (to == std::string::npos) {
            to = part.size();
        }
        const std::string item = part.substr(from, to - from);
        from = to + 1;
        if (item.empty()) {
            continue;
        }
        const std::size_t equals = item.find('=');
        if (equals == std::string::npos || equals == 0) {
            BadUri(uri, Tr("\"%s\" is not NAME=VALUE", item));
        }
        const std::string name = PercentDecoded(uri, item.substr(0, equals));
        if (!out.emplace(name, PercentDecoded(uri, item.substr(equals + 1))).second) {
            BadUri(uri, Tr("%s is given twice", name));
        }
    }
}

// A module text as the user types it.
std::string Text(const std::string& moduleBytes) {
    return ModuleTextToUtf8(moduleBytes);
}

std::string Describe(const SlotView& slot) {
    std::string out = "\"" + Text(slot.description) + "\"";
    if (!slot.tokenPresent) {
        return out + Tr(" (no card)");
    }
    return out + (slot.serial.empty()
                      ? Tr(" (token \"%s\")", Text(slot.label))
                      : Tr(" (token \"%s\", serial %s)", Text(slot.label), Text(slot.serial)));
}

std::string DescribeAll(const std::vector<const SlotView*>& slots) {
    std::string out;
    for (const SlotView* slot : slots) {
        out += (out.empty() ? "" : ", ") + Describe(*slot);
    }
    return out;
}

} // namespace

ReaderQuery ParseReader(const std::string& given) {
    ReaderQuery query;
    query.given = given;
    const std::size_t scheme = sizeof kScheme - 1;
    bool isUri = given.size() >= scheme;
    for (std::size_t i = 0; isUri && i < scheme; ++i) {
        isUri = std::tolower(static_cast<unsigned char>(given[i])) == kScheme[i];
    }
    if (!isUri) {
        return query;
    }
    query.uri = true;
    const std::string rest = given.substr(scheme);
    const std::size_t question = rest.find('?');
    std::map<std::string, std::string> path;
    std::map<std::string, std::string> options;
    ReadAttributes(given, rest.substr(0, question), ';', path);
    if (question != std::string::npos) {
        ReadAttributes(given, rest.substr(question + 1), '&', options);
    }
    // The module may be named in the path too, as some tools write it.
    for (const char* name : {"module-path", "module-name"}) {
        const auto inPath = path.find(name);
        if (inPath != path.end()) {
            if (!options.emplace(name, inPath->second).second) {
                BadUri(given, Tr("%s is given twice", name));
            }
            path.erase(inPath);
        }
    }
    for (const auto& [name, value] : path) {
        if (Listed(name, kSlotAttributes, std::size(kSlotAttributes))) {
            query.attributes[name] = value;
        } else if (Listed(name, kObjectAttributes, std::size(kObjectAttributes))) {
            if (name == "type" && value != "cert" && value != "private") {
                throw PeerFailure(PeerError::NoReader,
                                  Tr("%s names objects of type %s, but the agent signs only "
                                     "with the card's signature key (type=private) and its "
                                     "certificate (type=cert)",
                                     given, value));
            }
            query.objectAttributes[name] = value;
        } else if (!Listed(name, kIgnoredAttributes, std::size(kIgnoredAttributes))) {
            BadUri(given, Tr("unknown attribute %s", name));
        }
    }
    for (const auto& [name, value] : options) {
        if (name == "module-path") {
            query.modulePath = value;
        } else if (name == "module-name") {
            query.moduleName = value;
        } else if (name == "pin-value" || name == "pin-source") {
            // A PIN in a command line is seen by every user of the machine.
            BadUri(given,
                   Tr("%s is not taken: give the PIN at the prompt or with --pin-stdin", name));
        }
        // Other query attributes qualify the access, not the token: they do not choose a reader.
    }
    if (!query.modulePath.empty() && !query.moduleName.empty()) {
        BadUri(given, Tr("both module-path and module-name are given"));
    }
    return query;
}

std::string RequestedModule(const std::string& option, const ReaderQuery& query) {
    std::string fromUri = query.modulePath;
    if (!query.moduleName.empty()) {
        fromUri = RegisteredModulePath(query.moduleName);
    }
    std::error_code ignored;
    if (!option.empty() && !fromUri.empty() && option != fromUri &&
        !std::filesystem::equivalent(option, fromUri, ignored)) {
        throw PeerFailure(PeerError::Usage,
                          Tr("--module %s and the URI's module %s disagree", option, fromUri));
    }
    return option.empty() ? fromUri : option;
}

bool ReaderMatches(const SlotView& slot, const ReaderQuery& query) {
    if (!query.uri) {
        const std::string& wanted = query.given;
        return Text(slot.description) == wanted ||
               (slot.tokenPresent && (Text(slot.label) == wanted || Text(slot.serial) == wanted));
    }
    for (const auto& [name, value] : query.attributes) {
        bool ok = false;
        if (name == "slot-description") {
            ok = Text(slot.description) == value;
        } else if (name == "slot-manufacturer") {
            ok = Text(slot.slotManufacturer) == value;
        } else if (name == "slot-id") {
            char* end = nullptr;
            const unsigned long long id = std::strtoull(value.c_str(), &end, 10);
            ok = !value.empty() && *end == '\0' && id == slot.id;
        } else if (!slot.tokenPresent) {
            ok = false; // the other attributes are the token's
        } else if (name == "token") {
            ok = Text(slot.label) == value;
        } else if (name == "serial") {
            ok = Text(slot.serial) == value;
        } else if (name == "manufacturer") {
            ok = Text(slot.manufacturer) == value;
        } else if (name == "model") {
            ok = Text(slot.model) == value;
        }
        if (!ok) {
            return false;
        }
    }
    return true;
}

SlotView ChooseReader(const std::vector<SlotView>& slots, const ReaderQuery& query) {
    std::vector<const SlotView*> matches;
    std::vector<const SlotView*> all;
    for (const SlotView& slot : slots) {
        all.push_back(&slot);
        if (ReaderMatches(slot, query)) {
            matches.push_back(&slot);
        }
    }
    if (matches.empty()) {
        throw PeerFailure(PeerError::NoReader,
                          Tr("no such reader: %s", query.given) +
                              (all.empty() ? Tr(" (the module lists no readers)")
                                           : Tr("; the readers are ") + DescribeAll(all)));
    }
    if (matches.size() > 1) {
        throw PeerFailure(PeerError::NoReader, Tr("%s matches more than one reader:", query.given) +
                                                   " " + DescribeAll(matches));
    }
    // The agent is told the description and takes the first reader that has it.
    const std::vector<SlotView> namesakes = SlotsDescribedAs(slots, matches.front()->description);
    if (namesakes.front().id != matches.front()->id) {
        throw PeerFailure(PeerError::NoReader,
                          Tr("%s is the reader %s, but an earlier reader has the same "
                             "description and the agent would use that one: %s",
                             query.given, Describe(*matches.front()), Describe(namesakes.front())));
    }
    return *matches.front();
}

std::vector<SlotView> SlotsDescribedAs(const std::vector<SlotView>& slots,
                                       const std::string& description) {
    std::vector<SlotView> out;
    std::copy_if(slots.begin(), slots.end(), std::back_inserter(out),
                 [&](const SlotView& s) { return s.description == description; });
    return out;
}

#if defined(TESSIVO_HAVE_P11KIT)
namespace {

// p11-kit is loaded when its registry is first read, not at every start of the program: most
// commands never read it. Null when the library cannot be loaded.
struct P11KitCalls {
    decltype(&p11_kit_modules_load) modulesLoad = nullptr;
    decltype(&p11_kit_module_get_name) moduleName = nullptr;
    decltype(&p11_kit_module_get_filename) moduleFile = nullptr;
    decltype(&p11_kit_modules_release) modulesRelease = nullptr;
};

template <class Function> void Bind(plat::ModuleHandle library, const char* name, Function& to) {
    to = reinterpret_cast<Function>(plat::FindSymbol(library, name));
}

const P11KitCalls* P11Kit() {
    static const P11KitCalls calls = [] {
        P11KitCalls loaded;
        // Kept loaded for the life of the program, as a linked library would be.
        const plat::ModuleHandle library = plat::LoadModule(TESSIVO_P11KIT_LIBRARY);
        if (library != nullptr) {
            Bind(library, "p11_kit_modules_load", loaded.modulesLoad);
            Bind(library, "p11_kit_module_get_name", loaded.moduleName);
            Bind(library, "p11_kit_module_get_filename", loaded.moduleFile);
            Bind(library, "p11_kit_modules_release", loaded.modulesRelease);
        }
        return loaded;
    }();
    const bool complete = calls.modulesLoad != nullptr && calls.moduleName != nullptr &&
                          calls.moduleFile != nullptr && calls.modulesRelease != nullptr;
    return complete ? &calls : nullptr;
}

} // namespace
#endif

std::vector<RegisteredModule> RegisteredModules() {
    std::vector<RegisteredModule> out;
#if defined(TESSIVO_HAVE_P11KIT)
    const P11KitCalls* p11kit = P11Kit();
    if (p11kit == nullptr) {
        return out;
    }
    // Loaded only to read p11-kit's registry: no module is initialised here.
    CK_FUNCTION_LIST** modules = p11kit->modulesLoad(nullptr, P11_KIT_MODULE_UNMANAGED);
    for (CK_FUNCTION_LIST** m = modules; m != nullptr && *m != nullptr; ++m) {
        char* moduleName = p11kit->moduleName(*m);
        char* file = p11kit->moduleFile(*m);
        if (moduleName != nullptr) {
            out.push_back({moduleName, file != nullptr ? file : ""});
        }
        std::free(moduleName);
        std::free(file);
    }
    if (modules != nullptr) {
        p11kit->modulesRelease(modules);
    }
#endif
    return out;
}

std::string RegisteredModulePath(const std::string& name) {
#if defined(TESSIVO_HAVE_P11KIT)
    std::string found;
    std::string names;
    for (const RegisteredModule& module : RegisteredModules()) {
        names += (names.empty() ? "" : ", ") + module.name;
        if (module.name == name && !module.file.empty()) {
            found = module.file;
        }
    }
    if (!found.empty()) {
        return found;
    }
    throw PeerFailure(
        PeerError::ModuleFailed,
        names.empty()
            ? Tr("no PKCS#11 module is registered with p11-kit as %s (none is registered)", name)
            : Tr("no PKCS#11 module is registered with p11-kit as %s; the registered modules are "
                 "%s",
                 name, names));
#else
    throw PeerFailure(PeerError::ModuleFailed,
                      Tr("module-name %s needs p11-kit's module registry, which this system "
                         "does not have: give module-path or --module",
                         name));
#endif
}

} // namespace peer
