#include "platform/thread_name.h"

#include <pthread.h>

namespace zv {

IoStatus set_current_thread_name(std::string_view name) {
  const std::string cut(name.substr(0, 15));
  const int rc = pthread_setname_np(pthread_self(), cut.c_str());
  if (rc != 0) return make_unexpected(IoError::from_errno(rc, "pthread_setname_np"));
  return {};
}

IoResult<std::string> current_thread_name() {
  char buf[16] = {};
  const int rc = pthread_getname_np(pthread_self(), buf, sizeof(buf));
  if (rc != 0) return make_unexpected(IoError::from_errno(rc, "pthread_getname_np"));
  return std::string(buf);
}

}  // namespace zv
