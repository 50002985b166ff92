#include "tervik/tree/run_scanner.h"

#include "platform/panic.h"
#include "tervik/core/fatal.h"

namespace tervik {

TervikResult<RunScanner> RunScanner::create(RunHandle run, size_t lo, size_t hi) {
  if (lo >= run->size() || hi >= run->size()) zv::panic(kFatalShouldExist);
  ZV_ASSIGN_OR_RETURN(TableScanner scanner, (*run)[lo].scan());
  return RunScanner(lo, hi, std::move(run), std::move(scanner));
}

ReadItem RunScanner::next() {
  while (scanner_) {
    if (ReadItem item = scanner_->next()) return item;
    scanner_.reset();
    if (++lo_ > hi_) return std::nullopt;
    auto opened = (*run_)[lo_].scan();
    if (!opened.ok()) return ReadItem(zv::make_unexpected(std::move(opened).error()));
    scanner_.emplace(std::move(*opened));
  }
  return std::nullopt;
}

}  // namespace tervik
