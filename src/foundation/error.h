// The core's one error type, ZolvaError: a closed set of 32 variants in a fixed
// declaration order (the kind index, which the Python layer maps onto its
// exceptions), each with typed fields and a fixed message template; and
// ZolvaResult<T>, a value or a ZolvaError. Errors are plain values: copies share
// their immutable boxed causes, so they move and copy freely between threads.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <variant>

#include "platform/io_error.h"
#include "platform/result.h"
#include "src/foundation/binary_format_error.h"
#include "src/foundation/boxed_error.h"
#include "src/foundation/chained_error.h"
#include "src/foundation/node_id.h"
#include "src/foundation/storage_schema_error.h"

namespace zv {

// The kind index: the variant's position in the declaration order. Never
// reorder: the Python exception mapping is indexed by it.
enum class ZolvaErrorKind : uint8_t {
  kNodeNotFound = 0,
  kDuplicateNode = 1,
  kDimensionMismatch = 2,
  kWal = 3,
  kWalVersionMismatch = 4,
  kSerialization = 5,
  kIo = 6,
  kIncompatibleFormat = 7,
  kNotInitialized = 8,
  kResourceLimit = 9,
  kNodeIdCollision = 10,
  kCycleDetected = 11,
  kVovParse = 12,
  kNotFound = 13,
  kValidation = 14,
  kTimeout = 15,
  kUnsupportedOperation = 16,
  kExecutionConflict = 17,
  kVov = 18,
  kCli = 19,
  kSearch = 20,
  kRuntime = 21,
  kRestore = 22,
  kBackup = 23,
  kGeneric = 24,
  kBackend = 25,
  kInvalidInput = 26,
  kSchema = 27,
  kDatabaseBusy = 28,
  kNoVectorForKey = 29,
  kVectorLenOverflow = 30,
  kEdgeCountOverflow = 31,
};

inline constexpr int kZolvaErrorKindCount = 32;

// The variant's name as declared ("NodeNotFound", "WALVersionMismatch").
const char* zolva_error_kind_name(ZolvaErrorKind kind);

// A four-byte file magic as carried by IncompatibleFormat.
using Magic = std::array<uint8_t, 4>;

// A magic as the list of its decimal byte values ("[90, 87, 65, 76]"), the
// form every message about a wrong magic shows.
std::string magic_byte_list(std::span<const uint8_t> m);

// Limits named by the overflow variants (the vector-store node header fields).
inline constexpr uint32_t kVectorLenLimit = 4294967295u;
inline constexpr uint16_t kEdgeCountLimit = 65535;

namespace zolva_error_detail {
// Payload shapes shared by several variants; the kind parameter keeps every
// variant a distinct type.
template <ZolvaErrorKind K>
struct NodeIdField {
  NodeId id;
};
template <ZolvaErrorKind K>
struct ChainedField {
  ChainedError error;
};
template <ZolvaErrorKind K>
struct TextField {
  std::string text;
};
template <ZolvaErrorKind K>
struct NoField {};

template <class V, class Variant>
struct IsAlternative;
template <class V, class... Ts>
struct IsAlternative<V, std::variant<Ts...>>
    : std::bool_constant<(std::is_same_v<V, Ts> || ...)> {};
}  // namespace zolva_error_detail

class ZolvaError {
 public:
  // The variants, in declaration order.
  using NodeNotFound = zolva_error_detail::NodeIdField<ZolvaErrorKind::kNodeNotFound>;
  using DuplicateNode = zolva_error_detail::NodeIdField<ZolvaErrorKind::kDuplicateNode>;
  struct DimensionMismatch {
    uint64_t expected;
    uint64_t got;
  };
  using Wal = zolva_error_detail::ChainedField<ZolvaErrorKind::kWal>;
  struct WalVersionMismatch {
    uint32_t expected;
    uint32_t found;
    std::string hint;
  };
  struct Serialization {
    BoxedError error;  // never null
  };
  struct Io {
    IoError error;
  };
  struct IncompatibleFormat {
    Magic expected_magic;
    uint16_t expected_version;
    Magic found_magic;
    uint16_t found_version;
    std::string hint;
  };
  using NotInitialized = zolva_error_detail::NoField<ZolvaErrorKind::kNotInitialized>;
  using ResourceLimit = zolva_error_detail::TextField<ZolvaErrorKind::kResourceLimit>;
  using NodeIdCollision = zolva_error_detail::NodeIdField<ZolvaErrorKind::kNodeIdCollision>;
  using CycleDetected = zolva_error_detail::NoField<ZolvaErrorKind::kCycleDetected>;
  struct VovParse {
    std::string msg;
    uint64_t line;
    uint64_t col;
  };
  struct NotFound {
    std::string kind;
    std::string id;
  };
  struct Validation {
    std::string field;
    std::string reason;
  };
  struct Timeout {
    std::string operation;
    uint64_t duration_ms;
  };
  struct UnsupportedOperation {
    std::string operation;
    std::string detail;
  };
  struct ExecutionConflict {
    std::string resource;
    std::string detail;
  };
  using Vov = zolva_error_detail::ChainedField<ZolvaErrorKind::kVov>;
  using Cli = zolva_error_detail::ChainedField<ZolvaErrorKind::kCli>;
  using Search = zolva_error_detail::ChainedField<ZolvaErrorKind::kSearch>;
  using Runtime = zolva_error_detail::ChainedField<ZolvaErrorKind::kRuntime>;
  using Restore = zolva_error_detail::ChainedField<ZolvaErrorKind::kRestore>;
  using Backup = zolva_error_detail::ChainedField<ZolvaErrorKind::kBackup>;
  using Generic = zolva_error_detail::ChainedField<ZolvaErrorKind::kGeneric>;
  using Backend = zolva_error_detail::ChainedField<ZolvaErrorKind::kBackend>;
  using InvalidInput = zolva_error_detail::TextField<ZolvaErrorKind::kInvalidInput>;
  using Schema = zolva_error_detail::TextField<ZolvaErrorKind::kSchema>;
  using DatabaseBusy = zolva_error_detail::TextField<ZolvaErrorKind::kDatabaseBusy>;
  using NoVectorForKey = zolva_error_detail::TextField<ZolvaErrorKind::kNoVectorForKey>;
  struct VectorLenOverflow {
    NodeId id;
    uint64_t len;
    uint32_t limit;
  };
  struct EdgeCountOverflow {
    NodeId id;
    uint64_t count;
    uint16_t limit;
  };

  // The alternative index equals the kind index.
  using Payload =
      std::variant<NodeNotFound, DuplicateNode, DimensionMismatch, Wal, WalVersionMismatch,
                   Serialization, Io, IncompatibleFormat, NotInitialized, ResourceLimit,
                   NodeIdCollision, CycleDetected, VovParse, NotFound, Validation, Timeout,
                   UnsupportedOperation, ExecutionConflict, Vov, Cli, Search, Runtime, Restore,
                   Backup, Generic, Backend, InvalidInput, Schema, DatabaseBusy, NoVectorForKey,
                   VectorLenOverflow, EdgeCountOverflow>;

  template <class V>
  static constexpr bool is_variant_v = zolva_error_detail::IsAlternative<V, Payload>::value;

  // From any variant: ZolvaError(ZolvaError::Validation{"key", "empty"}).
  template <class V, std::enable_if_t<is_variant_v<std::decay_t<V>>, int> = 0>
  ZolvaError(V&& v) : payload_(std::forward<V>(v)) {}  // NOLINT: variants convert

  // Boundary conversions (explicit; ZV_TRY uses them to lift a platform or
  // schema error into a ZolvaResult).
  explicit ZolvaError(IoError e) : payload_(Io{std::move(e)}) {}
  explicit ZolvaError(const StorageSchemaError& e) : payload_(Schema{e.message()}) {}

  // Constructors, one per variant, in declaration order.
  static ZolvaError node_not_found(NodeId id) { return NodeNotFound{id}; }
  static ZolvaError duplicate_node(NodeId id) { return DuplicateNode{id}; }
  static ZolvaError dimension_mismatch(uint64_t expected, uint64_t got) {
    return DimensionMismatch{expected, got};
  }
  // Wal with a ChainedError made from the message (backtrace when enabled).
  static ZolvaError wal(std::string msg) { return Wal{ChainedError(std::move(msg))}; }
  static ZolvaError wal_version_mismatch(uint32_t expected, uint32_t found, std::string hint) {
    return WalVersionMismatch{expected, found, std::move(hint)};
  }
  // Serialization boxing the compact binary format's error of this code.
  static ZolvaError serialization(uint8_t format_code);
  static ZolvaError serialization(BinaryFormatErrorKind kind) {
    return serialization(static_cast<uint8_t>(kind));
  }
  // Serialization boxing any error (a DecodeMsgError, a JsonError, another
  // ZolvaError via box_error(ZolvaError)).
  static ZolvaError serialization_boxed(BoxedError error);
  static ZolvaError io(IoError e) { return ZolvaError(std::move(e)); }
  static ZolvaError incompatible_format(Magic expected_magic, uint16_t expected_version,
                                        Magic found_magic, uint16_t found_version,
                                        std::string hint) {
    return IncompatibleFormat{expected_magic, expected_version, found_magic, found_version,
                              std::move(hint)};
  }
  static ZolvaError not_initialized() { return NotInitialized{}; }
  static ZolvaError resource_limit(std::string text) { return ResourceLimit{std::move(text)}; }
  static ZolvaError node_id_collision(NodeId id) { return NodeIdCollision{id}; }
  static ZolvaError cycle_detected() { return CycleDetected{}; }
  static ZolvaError vov_parse(std::string msg, uint64_t line, uint64_t col) {
    return VovParse{std::move(msg), line, col};
  }
  static ZolvaError not_found(std::string kind, std::string id) {
    return NotFound{std::move(kind), std::move(id)};
  }
  static ZolvaError validation(std::string field, std::string reason) {
    return Validation{std::move(field), std::move(reason)};
  }
  static ZolvaError timeout(std::string operation, uint64_t duration_ms) {
    return Timeout{std::move(operation), duration_ms};
  }
  static ZolvaError unsupported_operation(std::string operation, std::string detail) {
    return UnsupportedOperation{std::move(operation), std::move(detail)};
  }
  static ZolvaError execution_conflict(std::string resource, std::string detail) {
    return ExecutionConflict{std::move(resource), std::move(detail)};
  }
  static ZolvaError vov(std::string msg) { return Vov{ChainedError(std::move(msg))}; }
  static ZolvaError cli(std::string msg) { return Cli{ChainedError(std::move(msg))}; }
  static ZolvaError search(std::string msg) { return Search{ChainedError(std::move(msg))}; }
  static ZolvaError runtime(std::string msg) { return Runtime{ChainedError(std::move(msg))}; }
  static ZolvaError restore(std::string msg) { return Restore{ChainedError(std::move(msg))}; }
  static ZolvaError backup(std::string msg) { return Backup{ChainedError(std::move(msg))}; }
  static ZolvaError generic(std::string msg) { return Generic{ChainedError(std::move(msg))}; }
  static ZolvaError backend(std::string msg) { return Backend{ChainedError(std::move(msg))}; }
  // Any of the nine message-carrying variants from a ready ChainedError
  // (e.g. one with a source). Panics for a kind that does not carry one.
  static ZolvaError chained(ZolvaErrorKind kind, ChainedError error);
  static ZolvaError invalid_input(std::string text) { return InvalidInput{std::move(text)}; }
  static ZolvaError schema(std::string text) { return Schema{std::move(text)}; }
  static ZolvaError database_busy(std::string text) { return DatabaseBusy{std::move(text)}; }
  static ZolvaError no_vector_for_key(std::string key) { return NoVectorForKey{std::move(key)}; }
  static ZolvaError vector_len_overflow(NodeId id, uint64_t len) {
    return VectorLenOverflow{id, len, kVectorLenLimit};
  }
  static ZolvaError edge_count_overflow(NodeId id, uint64_t count) {
    return EdgeCountOverflow{id, count, kEdgeCountLimit};
  }

  // An error of the key-value engine crossing into the core: Io of kind other
  // with the text "MorvaError: " followed by the engine error's message.
  static ZolvaError from_engine(std::string_view engine_message);

  ZolvaErrorKind kind() const { return static_cast<ZolvaErrorKind>(payload_.index()); }
  int kind_index() const { return static_cast<int>(payload_.index()); }
  bool is(ZolvaErrorKind k) const { return kind() == k; }

  // The variant's fields, or null when the error is another variant.
  template <class V>
  const V* as() const& {
    return std::get_if<V>(&payload_);
  }
  template <class V>
  const V* as() const&& = delete;  // would point into a temporary
  const Payload& payload() const { return payload_; }

  // The ChainedError of a message-carrying variant, or null.
  const ChainedError* chained_error() const;

  // The display text: the variant's template filled with its fields.
  std::string message() const;
  // The diagnostic rendering: variant name and fields.
  std::string debug_string() const;
  // The cause a caller can walk: the boxed error of Serialization, the I/O
  // error of Io (boxed), null for every other variant.
  BoxedError source() const;

 private:
  Payload payload_;
};

// A ZolvaError as a boxed error (for Serialization payloads and causes).
BoxedError box_error(ZolvaError e);

template <class T>
using ZolvaResult = Result<T, ZolvaError>;
using ZolvaStatus = Result<void, ZolvaError>;

}  // namespace zv
