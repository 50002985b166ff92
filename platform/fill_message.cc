#include "platform/fill_message.h"

namespace zv {

std::string fill(std::string_view tmpl, std::initializer_list<std::string_view> args) {
  std::string out;
  out.reserve(tmpl.size());
  auto arg = args.begin();
  for (;;) {
    const size_t at = tmpl.find("{}");
    if (at == std::string_view::npos || arg == args.end()) break;
    out.append(tmpl.substr(0, at));
    out.append(*arg++);
    tmpl.remove_prefix(at + 2);
  }
  out.append(tmpl);
  return out;
}

}  // namespace zv
