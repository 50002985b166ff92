#include "src/record/wal_record.h"

#include "src/record/node_codec.h"

namespace zv {
namespace {

template <class... Fs>
struct Overloaded : Fs... {
  using Fs::operator()...;
};
template <class... Fs>
Overloaded(Fs...) -> Overloaded<Fs...>;

void put_kind(BinaryWriter& w, WalRecordKind k) { w.varint(static_cast<uint32_t>(k)); }

}  // namespace

void encode_wal_insert(BinaryWriter& w, const EngineNode& node) {
  put_kind(w, WalRecordKind::kInsert);
  encode_node(w, node);
}

void encode_wal_delete(BinaryWriter& w, NodeId id) {
  put_kind(w, WalRecordKind::kDelete);
  w.varint_u128(id);
}

void encode_wal_record(BinaryWriter& w, const WalRecord& rec) {
  std::visit(Overloaded{
                 [&](const WalInsert& r) { encode_wal_insert(w, r.node); },
                 [&](const WalUpdate& r) {
                   put_kind(w, WalRecordKind::kUpdate);
                   w.varint_u128(r.id);
                   encode_node(w, r.node);
                 },
                 [&](const WalDelete& r) { encode_wal_delete(w, r.id); },
                 [&](const WalReserved3& r) {
                   put_kind(w, WalRecordKind::kReserved3);
                   w.varint(r.value);
                   w.option(r.opt_u32.has_value());
                   if (r.opt_u32) w.varint(*r.opt_u32);
                   w.option(r.opt_u64.has_value());
                   if (r.opt_u64) w.varint(*r.opt_u64);
                 },
                 [&](const WalTxnBegin& r) {
                   put_kind(w, WalRecordKind::kTxnBegin);
                   w.varint(r.txn_id);
                 },
                 [&](const WalReserved5& r) {
                   put_kind(w, WalRecordKind::kReserved5);
                   w.varint(r.value);
                   w.varint(r.extra);
                 },
                 [&](const WalTxnCommit& r) {
                   put_kind(w, WalRecordKind::kTxnCommit);
                   w.varint(r.txn_id);
                 },
                 [&](const WalTxnAbort& r) {
                   put_kind(w, WalRecordKind::kTxnAbort);
                   w.varint(r.txn_id);
                 },
             },
             rec);
}

std::string encode_wal_record(const WalRecord& r) {
  std::string out;
  BinaryWriter w(&out);
  encode_wal_record(w, r);
  return out;
}

BinResult<WalRecord> decode_wal_record(std::string_view payload) {
  BinaryReader r(payload);
  ZV_ASSIGN_OR_RETURN(uint32_t kind, r.varint_u32());
  if (kind > static_cast<uint32_t>(WalRecordKind::kTxnAbort))
    return bin_error(BinaryFormatErrorKind::kDecodeCustom);
  switch (static_cast<WalRecordKind>(kind)) {
    case WalRecordKind::kInsert: {
      ZV_ASSIGN_OR_RETURN(EngineNode node, decode_node(r));
      return WalRecord(WalInsert{std::move(node)});
    }
    case WalRecordKind::kUpdate: {
      ZV_ASSIGN_OR_RETURN(NodeId id, r.varint_u128());
      ZV_ASSIGN_OR_RETURN(EngineNode node, decode_node(r));
      return WalRecord(WalUpdate{id, std::move(node)});
    }
    case WalRecordKind::kDelete: {
      ZV_ASSIGN_OR_RETURN(NodeId id, r.varint_u128());
      return WalRecord(WalDelete{id});
    }
    case WalRecordKind::kReserved3: {
      WalReserved3 out;
      ZV_ASSIGN_OR_RETURN(out.value, r.varint_u64());
      ZV_ASSIGN_OR_RETURN(bool has32, r.option());
      if (has32) {
        ZV_ASSIGN_OR_RETURN(uint32_t v, r.varint_u32());
        out.opt_u32 = v;
      }
      ZV_ASSIGN_OR_RETURN(bool has64, r.option());
      if (has64) {
        ZV_ASSIGN_OR_RETURN(uint64_t v, r.varint_u64());
        out.opt_u64 = v;
      }
      return WalRecord(out);
    }
    case WalRecordKind::kTxnBegin: {
      ZV_ASSIGN_OR_RETURN(uint64_t id, r.varint_u64());
      return WalRecord(WalTxnBegin{id});
    }
    case WalRecordKind::kReserved5: {
      WalReserved5 out;
      ZV_ASSIGN_OR_RETURN(out.value, r.varint_u64());
      ZV_ASSIGN_OR_RETURN(out.extra, r.varint_u32());
      return WalRecord(out);
    }
    case WalRecordKind::kTxnCommit: {
      ZV_ASSIGN_OR_RETURN(uint64_t id, r.varint_u64());
      return WalRecord(WalTxnCommit{id});
    }
    case WalRecordKind::kTxnAbort: {
      ZV_ASSIGN_OR_RETURN(uint64_t id, r.varint_u64());
      return WalRecord(WalTxnAbort{id});
    }
  }
  return bin_error(BinaryFormatErrorKind::kDecodeCustom);
}

}  // namespace zv
