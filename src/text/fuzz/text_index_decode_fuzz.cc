// Feeds arbitrary bytes to the four text index value decoders, the state
// record decoder and the two statistics key parsers. None may crash or
// over-allocate; whatever decodes must re-encode to a value that decodes to
// the same record, and a parsed key must rebuild to the same key.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "src/text/text_codecs.h"
#include "src/text/text_index_state.h"
#include "src/text/text_keys.h"

using namespace zv::text;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const std::string_view in(reinterpret_cast<const char*>(data) + 1, size - 1);
  switch (data[0] % 7) {
    case 0: {
      auto p = decode_text_posting(in);
      if (!p.ok()) return 0;
      auto again = decode_text_posting(encode_text_posting(p->node_id, p->term_frequency, p->positions));
      if (!again.ok() || !(*again == *p)) std::abort();
      break;
    }
    case 1: {
      auto d = decode_doc_stats(in);
      if (d.ok() && !(*decode_doc_stats(encode_doc_stats(d->node_id, d->doc_len)) == *d)) std::abort();
      break;
    }
    case 2: {
      auto t = decode_term_stats(in);
      if (t.ok() && !(*decode_term_stats(encode_term_stats(t->df)) == *t)) std::abort();
      break;
    }
    case 3: {
      auto n = decode_namespace_stats(in);
      if (n.ok() &&
          !(*decode_namespace_stats(encode_namespace_stats(n->doc_count, n->total_doc_len)) == *n)) {
        std::abort();
      }
      break;
    }
    case 4: {
      auto s = TextIndexState::decode(in);
      if (!s.ok()) return 0;
      auto again = TextIndexState::decode(s->encode());
      if (!again.ok() || !(*again == *s)) std::abort();
      break;
    }
    case 5: {
      auto k = parse_term_stats_key(in);
      if (k && term_stats_key(k->first, k->second) != in) std::abort();
      break;
    }
    default: {
      auto ns = parse_namespace_stats_key(in);
      if (ns && namespace_stats_key(*ns) != in) std::abort();
      if (ns && !key_in_namespace(in, *ns)) std::abort();
      break;
    }
  }
  return 0;
}
