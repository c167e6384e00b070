#pragma once

#include <string>

// Lower-cases the string in place (C library tolower, byte by byte) and
// returns a copy of the result.
std::string lowercase(std::string* text);
