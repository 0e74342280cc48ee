#include "peer/ReaderChoice.h"

#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <iterator>

#include "peer/PeerError.h"

#if defined(TESSIVO_HAVE_P11KIT)
#include <p11-kit/p11-kit.h>
#endif

namespace peer {

namespace {

constexpr const char kScheme[] = "pkcs11:";

// Slot and token attributes a URI may use to choose a reader.
const char* const kSlotAttributes[] = {
    "token", "manufacturer", "serial", "model", "slot-description", "slot-manufacturer", "slot-id"};
// Attributes that name the module or an object: the module is chosen apart, and the agent signs
// with the card's own signature key whatever object a URI names.
const char* const kIgnoredAttributes[] = {
    "library-manufacturer", "library-description", "library-version", "id", "object", "type"};

bool listed(const std::string& name, const char* const* names, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
        if (name == names[i]) {
            return true;
        }
    }
    return false;
}

int hex_digit(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

[[noreturn]] void bad_uri(const std::string& uri, const std::string& why) {
    throw peer_failure(peer_error::usage, "cannot read the PKCS#11 URI " + uri + ": " + why);
}

std::string percent_decoded(const std::string& uri, const std::string& text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            out.push_back(text[i]);
            continue;
        }
        const int high = i + 2 < text.size() ? hex_digit(text[i + 1]) : -1;
        const int low = i + 2 < text.size() ? hex_digit(text[i + 2]) : -1;
        if (high < 0 || low < 0) {
            bad_uri(uri, "a '%' not followed by two hex digits");
        }
        out.push_back(static_cast<char>(high * 16 + low));
        i += 2;
    }
    return out;
}

// Splits "a=b<sep>c=d" into decoded pairs; each name at most once.
void read_attributes(const std::string& uri, const std::string& part, char separator,
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
            bad_uri(uri, "\"" + item + "\" is not NAME=VALUE");
        }
        const std::string name = percent_decoded(uri, item.substr(0, equals));
        if (!out.emplace(name, percent_decoded(uri, item.substr(equals + 1))).second) {
            bad_uri(uri, name + " is given twice");
        }
    }
}

// A module text as the user types it.
std::string text(const std::string& module_bytes) {
    return module_text_to_utf8(module_bytes);
}

std::string describe(const slot_view& slot) {
    std::string out = "\"" + text(slot.description) + "\"";
    if (!slot.token_present) {
        return out + " (no card)";
    }
    out += " (token \"" + text(slot.label) + "\"";
    return out + (slot.serial.empty() ? ")" : ", serial " + text(slot.serial) + ")");
}

std::string describe_all(const std::vector<const slot_view*>& slots) {
    std::string out;
    for (const slot_view* slot : slots) {
        out += (out.empty() ? "" : ", ") + describe(*slot);
    }
    return out;
}

} // namespace

reader_query parse_reader(const std::string& given) {
    reader_query query;
    query.given = given;
    const std::size_t scheme = sizeof kScheme - 1;
    bool is_uri = given.size() >= scheme;
    for (std::size_t i = 0; is_uri && i < scheme; ++i) {
        is_uri = std::tolower(static_cast<unsigned char>(given[i])) == kScheme[i];
    }
    if (!is_uri) {
        return query;
    }
    query.uri = true;
    const std::string rest = given.substr(scheme);
    const std::size_t question = rest.find('?');
    std::map<std::string, std::string> path;
    std::map<std::string, std::string> options;
    read_attributes(given, rest.substr(0, question), ';', path);
    if (question != std::string::npos) {
        read_attributes(given, rest.substr(question + 1), '&', options);
    }
    // The module may be named in the path too, as some tools write it.
    for (const char* name : {"module-path", "module-name"}) {
        const auto in_path = path.find(name);
        if (in_path != path.end()) {
            if (!options.emplace(name, in_path->second).second) {
                bad_uri(given, std::string(name) + " is given twice");
            }
            path.erase(in_path);
        }
    }
    for (const auto& [name, value] : path) {
        if (listed(name, kSlotAttributes, std::size(kSlotAttributes))) {
            query.attributes[name] = value;
        } else if (!listed(name, kIgnoredAttributes, std::size(kIgnoredAttributes))) {
            bad_uri(given, "unknown attribute " + name);
        }
    }
    for (const auto& [name, value] : options) {
        if (name == "module-path") {
            query.module_path = value;
        } else if (name == "module-name") {
            query.module_name = value;
        } else if (name == "pin-value" || name == "pin-source") {
            // A PIN in a command line is seen by every user of the machine.
            bad_uri(given, name + " is not taken: give the PIN at the prompt or with --pin-stdin");
        }
        // Other query attributes qualify the access, not the token: they do not choose a reader.
    }
    if (!query.module_path.empty() && !query.module_name.empty()) {
        bad_uri(given, "both module-path and module-name are given");
    }
    return query;
}

std::string requested_module(const std::string& option, const reader_query& query) {
    std::string from_uri = query.module_path;
    if (!query.module_name.empty()) {
        from_uri = registered_module_path(query.module_name);
    }
    std::error_code ignored;
    if (!option.empty() && !from_uri.empty() && option != from_uri &&
        !std::filesystem::equivalent(option, from_uri, ignored)) {
        throw peer_failure(peer_error::usage, "--module " + option + " and the URI's module " +
                                                  from_uri + " disagree");
    }
    return option.empty() ? from_uri : option;
}

bool reader_matches(const slot_view& slot, const reader_query& query) {
    if (!query.uri) {
        const std::string& wanted = query.given;
        return text(slot.description) == wanted ||
               (slot.token_present && (text(slot.label) == wanted || text(slot.serial) == wanted));
    }
    for (const auto& [name, value] : query.attributes) {
        bool ok = false;
        if (name == "slot-description") {
            ok = text(slot.description) == value;
        } else if (name == "slot-manufacturer") {
            ok = text(slot.slot_manufacturer) == value;
        } else if (name == "slot-id") {
            char* end = nullptr;
            const unsigned long long id = std::strtoull(value.c_str(), &end, 10);
            ok = !value.empty() && *end == '\0' && id == slot.id;
        } else if (!slot.token_present) {
            ok = false; // the other attributes are the token's
        } else if (name == "token") {
            ok = text(slot.label) == value;
        } else if (name == "serial") {
            ok = text(slot.serial) == value;
        } else if (name == "manufacturer") {
            ok = text(slot.manufacturer) == value;
        } else if (name == "model") {
            ok = text(slot.model) == value;
        }
        if (!ok) {
            return false;
        }
    }
    return true;
}

slot_view choose_reader(const std::vector<slot_view>& slots, const reader_query& query) {
    std::vector<const slot_view*> matches;
    std::vector<const slot_view*> all;
    for (const slot_view& slot : slots) {
        all.push_back(&slot);
        if (reader_matches(slot, query)) {
            matches.push_back(&slot);
        }
    }
    if (matches.empty()) {
        throw peer_failure(peer_error::no_reader,
                           "no such reader: " + query.given +
                               (all.empty() ? " (the module lists no readers)"
                                            : "; the readers are " + describe_all(all)));
    }
    if (matches.size() > 1) {
        throw peer_failure(peer_error::no_reader,
                           query.given + " matches more than one reader: " + describe_all(matches));
    }
    // The agent is told the description and takes the first reader that has it.
    for (const slot_view* slot : all) {
        if (slot == matches.front()) {
            break;
        }
        if (slot->description == matches.front()->description) {
            throw peer_failure(peer_error::no_reader,
                               query.given + " is the reader " + describe(*matches.front()) +
                                   ", but an earlier reader has the same description and the "
                                   "agent would use that one: " +
                                   describe(*slot));
        }
    }
    return *matches.front();
}

std::string registered_module_path(const std::string& name) {
#if defined(TESSIVO_HAVE_P11KIT)
    // Loaded only to read p11-kit's registry: no module is initialised here.
    CK_FUNCTION_LIST** modules = p11_kit_modules_load(nullptr, P11_KIT_MODULE_UNMANAGED);
    std::string found;
    std::string names;
    for (CK_FUNCTION_LIST** m = modules; m != nullptr && *m != nullptr; ++m) {
        char* module_name = p11_kit_module_get_name(*m);
        char* file = p11_kit_module_get_filename(*m);
        if (module_name != nullptr) {
            names += (names.empty() ? "" : ", ") + std::string(module_name);
            if (name == module_name && file != nullptr) {
                found = file;
            }
        }
        std::free(module_name);
        std::free(file);
    }
    if (modules != nullptr) {
        p11_kit_modules_release(modules);
    }
    if (!found.empty()) {
        return found;
    }
    throw peer_failure(
        peer_error::module_failed,
        "no PKCS#11 module is registered with p11-kit as " + name +
            (names.empty() ? " (none is registered)" : "; the registered modules are " + names));
#else
    throw peer_failure(peer_error::module_failed,
                       "module-name " + name +
                           " needs p11-kit's module registry, which this system does not have: "
                           "give module-path or --module");
#endif
}

} // namespace peer
