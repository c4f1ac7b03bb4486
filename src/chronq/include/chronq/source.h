// chronq: source registry.
#pragma once

#include <vector>

#include "chronq/conn.h"

namespace chronq {

std::vector<SourceInfo> get_sources(Connection& conn, const SourceFilter& flt = {});

// On ok, info.source_id holds the new id.
OperationResult insert_new_source(Connection& conn, SourceInfo& info);

}  // namespace chronq
