// The disk-image classes, and the partition value shared with DmgPipeline.
#pragma once

#include <nanobind/nanobind.h>

#include "types.hpp"
#include "udif/archive.hpp"

namespace kiv_python {

PyPartitionInfo to_value(const udif::PartitionInfo& partition);

void register_dmg_classes(nanobind::module_& m);

}  // namespace kiv_python
