// Console text on Windows: what the console hands over as UTF-16, as the UTF-8 natchat sends.
#pragma once

#include <cstddef>
#include <string>

namespace platform {

// UTF-8 of `count` UTF-16 units, with each CR LF turned into LF; a lone surrogate becomes
// U+FFFD. False only when the conversion itself fails.
bool console_input_to_utf8(const wchar_t* text, std::size_t count, std::string* out);

}  // namespace platform
