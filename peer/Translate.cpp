#include "Translate.h"

#include <cstdlib>
#include <filesystem>

#include "platform/process.h"

#ifndef _WIN32
#include <clocale>
#include <libintl.h>
#endif

namespace peer {

namespace {

constexpr const char* kDomain = "tessivo-peer";

// The first language the environment names for messages, in gettext's own order.
std::string MessageLanguage() {
    for (const char* name : {"LANGUAGE", "LC_ALL", "LC_MESSAGES", "LANG"}) {
        const char* value = std::getenv(name);
        if (value != nullptr && *value != '\0') {
            return value;
        }
    }
    return {};
}

} // namespace

void InitTranslations() {
#ifndef _WIN32
    // Only the messages follow the locale: numbers and character handling stay as they are.
    std::setlocale(LC_MESSAGES, "");
    // gettext ignores LANGUAGE when the messages locale is "C" (e.g. with only C.UTF-8
    // generated); a Chinese LANGUAGE is honoured all the same by running messages under C.UTF-8.
    const char* current = std::setlocale(LC_MESSAGES, nullptr);
    if (current != nullptr && std::string(current) == "C" && ChineseMessages()) {
        std::setlocale(LC_MESSAGES, "C.UTF-8");
        // Under C.UTF-8 gettext takes the language from LANGUAGE alone.
        if (std::getenv("LANGUAGE") == nullptr) {
            setenv("LANGUAGE", MessageLanguage().c_str(), 1);
        }
    }
    const std::filesystem::path folder =
        std::filesystem::path(plat::CurrentProgramPath()).parent_path().parent_path() / "share" /
        "locale";
    bindtextdomain(kDomain, folder.string().c_str());
    bind_textdomain_codeset(kDomain, "UTF-8");
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

std::string Tr(const char* text, const std::string& argument) {
    std::string translated = Tr(text);
    const std::size_t at = translated.find("%s");
    if (at != std::string::npos) {
        translated.replace(at, 2, argument);
    }
    return translated;
}

bool ChineseMessages() {
    return MessageLanguage().rfind("zh", 0) == 0;
}

} // namespace peer
