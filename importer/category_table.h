// Category names to category indexes, on the importer's app info block.
#pragma once

#include <cstdint>
#include <string_view>

#include "dbformat/database_format.h"
#include "textformat/text_reader.h"

namespace tx {

// Works directly on the 16 name slots, the 16 id bytes and the last id of an
// app info block; no other byte of the block is touched.
class CategoryTable : public CategoryResolver {
 public:
  explicit CategoryTable(AppInfoBlock& block) : block_(block) {}

  // The index of the first slot whose name equals `name` (case matters).
  // A name not there yet goes into the first free slot with a fresh id; with
  // no free slot the answer is 0, said to be unplaced, and nothing changes.
  ResolvedCategory resolve(std::string_view name) override;

 private:
  AppInfoBlock& block_;
};

}  // namespace tx
