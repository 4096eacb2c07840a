// The UDIF disk-image library: reading, decoding and writing ".dmg" images.
#pragma once

#include "udif/archive.hpp"
#include "udif/checksum.hpp"
#include "udif/error.hpp"
#include "udif/format.hpp"
#include "udif/reader.hpp"
#include "udif/writer.hpp"
