// The test host's string arguments and callback texts: "x" followed by the bytes in hex, so that
// any bytes, blanks and newlines included, fit in one word of a line; "-" is a null pointer.
// Shared by the host and the tests that drive it.
#pragma once

#include <string>

namespace hex_arg {

inline std::string Encode(const std::string& text) {
  static const char digits[] = "0123456789abcdef";
  std::string out = "x";
  for (unsigned char c : text) out += {digits[c >> 4], digits[c & 15]};
  return out;
}

// False for "-" and for a word that is not "x..." (out is then left alone).
inline bool Decode(const std::string& word, std::string* out) {
  if (word.empty() || word[0] != 'x') return false;
  out->clear();
  for (size_t i = 1; i + 1 < word.size(); i += 2)
    out->push_back(static_cast<char>(std::stoi(word.substr(i, 2), nullptr, 16)));
  return true;
}

}  // namespace hex_arg
