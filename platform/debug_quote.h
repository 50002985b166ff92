// Text quoted for diagnostic renderings (errors, metadata values, settings
// warnings): surrounding double quotes, with quotes, backslashes, NUL and C0
// and C1 control characters escaped. Shared by the core and the engines. Pure.
#pragma once

#include <string>
#include <string_view>

namespace zv {

std::string debug_quote(std::string_view text);

}  // namespace zv
