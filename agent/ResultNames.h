// The code catalogues of the agent: names of the library's result codes and names or texts of
// PKCS#11 return values, and the display text of any code.
#pragma once

#include <cstdint>
#include <map>
#include <string>

void FillResultNames(std::map<std::int32_t, std::u16string>& names);
void FillCkrNames(std::map<std::int32_t, std::u16string>& names);
std::u16string ErrorTextFor(const std::map<std::int32_t, std::u16string>& results,
                            const std::map<std::int32_t, std::u16string>& ckr, std::int32_t code);

// The two catalogues as the agent holds them, filled when made.
struct CodeNames {
    CodeNames() {
        FillResultNames(results);
        FillCkrNames(ckr);
    }
    std::u16string ErrorText(std::int32_t code) const { return ErrorTextFor(results, ckr, code); }

    std::map<std::int32_t, std::u16string> results;
    std::map<std::int32_t, std::u16string> ckr;
};
