#include "src/foundation/node_id.h"

namespace zv {

std::string node_id_to_string(NodeId id) {
  char buf[40];
  char* end = buf + sizeof(buf);
  char* p = end;
  do {
    *--p = static_cast<char>('0' + static_cast<unsigned>(id % 10));
    id /= 10;
  } while (id != 0);
  return std::string(p, end);
}

}  // namespace zv
