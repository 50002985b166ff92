// Text quoted for diagnostic renderings of errors: surrounding double quotes,
// with quotes, backslashes and control characters escaped. Shared by the
// core's and the engines' error types. Pure function.
#pragma once

#include <string>
#include <string_view>

namespace zv {

std::string debug_quote(std::string_view text);

}  // namespace zv
