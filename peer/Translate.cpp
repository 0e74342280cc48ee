#include "Translate.h"

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/process.h"

#ifndef _WIN32
#include <clocale>
#include <libintl.h>
#endif

namespace peer {

namespace {

constexpr const char* kDomain = "tessivo-peer";

std::string Environment(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
}

// The language the environment chooses for messages, as gettext does: the locale from LC_ALL,
// LC_MESSAGES or LANG; under the plain C locale (also when none is set) untranslated, else
// LANGUAGE's list first.
std::string MessageLanguage() {
    std::string locale;
    for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
        locale = Environment(name);
        if (!locale.empty()) {
            break;
        }
    }
    if (locale.empty() || locale == "C" || locale == "POSIX") {
        return {};
    }
    const std::string languages = Environment("LANGUAGE");
    return languages.empty() ? locale : languages;
}

} // namespace

void InitTranslations() {
#ifndef _WIN32
    // Only the messages follow the locale: numbers and character handling stay as they are.
    std::setlocale(LC_MESSAGES, "");
    // A Chinese locale the system has not generated leaves the messages under "C", where gettext
    // translates nothing: they run under C.UTF-8 instead, with the language named in LANGUAGE.
    const char* current = std::setlocale(LC_MESSAGES, nullptr);
    if (current != nullptr && std::string(current) == "C" && ChineseMessages()) {
        std::setlocale(LC_MESSAGES, "C.UTF-8");
        if (Environment("LANGUAGE").empty()) {
            setenv("LANGUAGE", MessageLanguage().c_str(), 1);
        }
    }
    const std::filesystem::path folder =
        std::filesystem::path(plat::CurrentProgramPath()).parent_path().parent_path() / "share" /
        "locale";
    bindtextdomain(kDomain, folder.string().c_str());
    bind_textdomain_codeset(kDomain, "UTF-8");
    // The system's reasons (strerror, dlerror) come from the C library's own catalogue, which
    // would otherwise be converted to the character set of LC_CTYPE, left "C" here: every Chinese
    // character would print as "?".
    bind_textdomain_codeset("libc", "UTF-8");
#endif
}

const char* Tr(const char* text) {
#ifndef _WIN32
    return dgettext(kDomain, text);
#else
    return text;
#endif
}

std::string Tr(const std::string& text) {
    return Tr(text.c_str());
}

// Every other character, '%' included, stands as it is: the texts hold URIs with
// percent-encoded characters.
std::string TrArguments(const char* text, const std::vector<std::string>& arguments) {
    const std::string translated = Tr(text);
    std::string out;
    std::size_t next = 0;
    for (std::size_t i = 0; i < translated.size(); ++i) {
        if (translated[i] == '%' && i + 1 < translated.size()) {
            if (translated[i + 1] == 's' && next < arguments.size()) {
                out += arguments[next++];
                ++i;
                continue;
            }
            const char digit = translated[i + 1];
            if (digit >= '1' && digit <= '9' && i + 3 < translated.size() &&
                translated[i + 2] == '$' && translated[i + 3] == 's' &&
                static_cast<std::size_t>(digit - '1') < arguments.size()) {
                out += arguments[static_cast<std::size_t>(digit - '1')];
                i += 3;
                continue;
            }
        }
        out += translated[i];
    }
    return out;
}

bool ChineseMessages() {
    return MessageLanguage().rfind("zh", 0) == 0;
}

} // namespace peer
