#include "Utils/StringUtils.h"

#include <cctype>

std::string lowercase(std::string* text) {
  if (text == nullptr) return {};
  for (char& c : *text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return *text;
}
