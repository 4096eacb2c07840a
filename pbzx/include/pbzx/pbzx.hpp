// The PBZX payload library: PBZX streams and the CPIO archives they carry.
#pragma once

#include "pbzx/bytes.hpp"
#include "pbzx/cpio.hpp"
#include "pbzx/error.hpp"
#include "pbzx/format.hpp"
#include "pbzx/lib.hpp"
#include "pbzx/reader.hpp"
#include "pbzx/writer.hpp"
