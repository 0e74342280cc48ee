// Base64 as the agent speaks it: the RFC 4648 alphabet with "=" padding, broken into lines.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace tessivo {

// One line, no break: the form a peer sends its data in.
std::string EncodeBase64(const std::uint8_t* data, std::size_t length);
std::string EncodeBase64(const std::vector<std::uint8_t>& data);
std::string EncodeBase64(const std::string& data);

// Lines of 76 characters separated by CR LF, no break after the last line, except that data of
// a positive multiple of 57 bytes (whole lines only) also ends with one CR LF. Empty data gives
// empty text.
std::string EncodeBase64Lines(const std::uint8_t* data, std::size_t length);

// Lenient decoding: every character outside A-Z a-z 0-9 + / is skipped (padding and line
// breaks included); the rest is taken four at a time, and a last group of three characters
// gives two bytes, of two one byte, of one nothing.
std::vector<std::uint8_t> DecodeBase64Lenient(const char* text, std::size_t length);
std::vector<std::uint8_t> DecodeBase64Lenient(const std::string& text);

// Strict decoding for texts from outside (RFC 4648 alphabet, padding required, nothing else, no
// stray bits): empty on any fault, and `ok` tells an empty text from a bad one.
std::vector<std::uint8_t> DecodeBase64Strict(const std::string& text, bool& ok);

} // namespace tessivo
