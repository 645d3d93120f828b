// printf into a std::string, for messages and log notes.
#pragma once

#include <string>

std::string text_printf(const char *format, ...) __attribute__((format(printf, 1, 2)));
