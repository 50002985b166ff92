#include "morva/src/meta_keys.h"

#include "platform/coding.h"

namespace morva {

std::string config_key_prefix(KeyspaceId id) {
  std::string key(1, kConfigKeyKind);
  zv::coding::put_u64_be(&key, id);
  return key;
}

std::string config_key(KeyspaceId id, std::string_view option_name) {
  std::string key = config_key_prefix(id);
  key.append(option_name);
  return key;
}

std::string name_key(KeyspaceId id) {
  std::string key(1, kNameKeyKind);
  zv::coding::put_u64_be(&key, id);
  return key;
}

}  // namespace morva
