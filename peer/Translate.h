// tessivo-peer's own messages in the reader's language: English as written in the code, and the
// translations of peer/po/*.po found through gettext on Linux. On Windows the toolchain has no
// gettext, so every translation call there returns its English text unchanged.
#pragma once

#include <string>

namespace peer {

// Chooses the language from the environment (LANGUAGE, LC_ALL, LC_MESSAGES, LANG) and finds the
// catalogue in ../share/locale beside the program's own folder: the installed layout, and the
// build tree's too, where the program sits in bin/ and the catalogues are built to share/locale.
void InitTranslations();

// `text` in the chosen language; `text` itself when no translation exists.
const char* Tr(const char* text);
std::string Tr(const std::string& text);
// The translation of `text` with its "%s" replaced by `argument`.
std::string Tr(const char* text, const std::string& argument);

// Whether the chosen language is Chinese: its readers also see the agent's own (Chinese) text.
bool ChineseMessages();

} // namespace peer
