// The CPIO steps both payload targets share: list, read each member,
// extract everything into a scratch folder.
#pragma once

#include "pbzx/pbzx.hpp"

namespace kiv_fuzz {

void exercise_cpio(const pbzx::Archive& archive);

}  // namespace kiv_fuzz
