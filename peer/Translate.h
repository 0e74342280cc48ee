// tessivo-peer's own messages in the reader's language: English as written in the code, and the
// translations of peer/po/*.po found through gettext on Linux. On Windows the toolchain has no
// gettext, so every translation call there returns its English text unchanged.
#pragma once

#include <string>
#include <vector>

namespace peer {

// Chooses the language from the environment (LANGUAGE, LC_ALL, LC_MESSAGES, LANG) and finds the
// catalogue in ../share/locale beside the program's own folder: the installed layout, and the
// build tree's too, where the program sits in bin/ and the catalogues are built to share/locale.
void InitTranslations();

// Marks a text kept in a table for the catalogue: Tr() translates it where it is used.
constexpr const char* TrNoop(const char* text) {
    return text;
}

// `text` in the chosen language; `text` itself when no translation exists.
const char* Tr(const char* text);
std::string Tr(const std::string& text);
// The translation of `text` with its arguments in place: each "%s" takes the next one, "%2$s"
// the second (so that a translation may name them in another order).
std::string TrArguments(const char* text, const std::vector<std::string>& arguments);
template <class... More>
std::string Tr(const char* text, const std::string& first, const More&... more) {
    return TrArguments(text, {first, std::string(more)...});
}

// Whether the chosen language is Chinese: its readers also see the agent's own (Chinese) text.
bool ChineseMessages();

} // namespace peer
