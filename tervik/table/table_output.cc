#include "tervik/table/table_output.h"

#include "tervik/core/archive_error_conversion.h"

namespace tervik {

TableOutput::TableOutput(std::string path, zv::File file)
    : path_(std::move(path)),
      writer_(std::make_unique<BufferedFileWriter>(std::move(file), kBufferSize)),
      sink_(writer_),
      archive_(sink_) {}

TervikResult<std::unique_ptr<TableOutput>> TableOutput::create(const std::string& path) {
  ZV_ASSIGN_OR_RETURN(zv::File file, zv::File::create_new(path));
  std::unique_ptr<TableOutput> out(new TableOutput(path, std::move(file)));
  ZV_TRY(out->archive_.finish_section());
  return out;
}

TervikStatus TableOutput::start_section(std::string_view name) {
  ZV_TRY(archive_.start_section(name));
  return {};
}

TervikResult<uint64_t> TableOutput::position() {
  auto& file = writer_.inner_as<BufferedFileWriter>();
  ZV_TRY(file.flush());
  ZV_ASSIGN_OR_RETURN(const uint64_t pos, file.position());
  return pos;
}

TervikStatus TableOutput::finish_archive() { return from_archive_result(archive_.finish()); }

TervikStatus TableOutput::sync() {
  ZV_TRY(writer_.inner_as<BufferedFileWriter>().sync_all());
  return {};
}

}  // namespace tervik
