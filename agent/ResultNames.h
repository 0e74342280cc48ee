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
