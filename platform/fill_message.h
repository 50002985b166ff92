// Message templates of the system: each "{}" of a template is replaced, in
// order, by the next argument; placeholders beyond the arguments stay as
// they are. Shared by the core and the engines. Pure.
#pragma once

#include <initializer_list>
#include <string>
#include <string_view>

namespace zv {

std::string fill(std::string_view tmpl, std::initializer_list<std::string_view> args);

}  // namespace zv
