#include "tervik/tree/version_install.h"

#include "platform/log.h"

namespace tervik {

TervikStatus install_version(TreeShared& in, const std::function<Version(const SuperVersion&)>& derive,
                             const std::function<SuperVersion(const SuperVersion&, Version, SeqNo)>& build,
                             std::optional<SeqNo> gc_watermark, const InstallHooks& hooks) {
  const SeqNo s = in.config.seqno.next();
  SuperVersion base = [&] {
    auto read = in.version_history.read();
    return in.versions.latest();
  }();
  Version next = derive(base);
  ZV_LOG(zv::log::Level::kTrace, kSuperVersionTarget, "Next version seqno=" + std::to_string(s));
  ZV_TRY(next.persist(in.config.path, in.fs));
  std::vector<uint64_t> collected;
  {
    auto write = in.version_history.write();
    in.versions.publish(build(in.versions.latest(), std::move(next), s), in.config.visible_seqno);
    if (gc_watermark) collected = in.versions.take_collectable(*gc_watermark);
  }
  if (hooks.on_published) hooks.on_published();
  if (auto st = SuperVersions::delete_version_files(in.config.path, collected, in.fs); !st.ok()) {
    ZV_WARN(hooks.gc_failure_target, hooks.gc_failure + st.error().to_string());
  }
  return {};
}

}  // namespace tervik
