#include "parse.hpp"

#include <array>
#include <vector>

#include "core/endian.hpp"
#include "core/try.hpp"

namespace xara::header {

Result<XarHeader> parse_header(core::ByteSource& reader) {
    std::array<uint8_t, kXarHeaderSize> raw{};
    KIV_TRY(reader.read_exact(std::span(raw).first(4)));
    const uint32_t magic = core::load_be32(raw.data());
    if (magic != kXarMagic) return fail(XarError::invalid_magic(magic));
    KIV_TRY(reader.read_exact(std::span(raw).subspan(4)));

    XarHeader h;
    h.magic = magic;
    h.header_size = core::load_be16(&raw[4]);
    h.version = core::load_be16(&raw[6]);
    h.toc_length_compressed = core::load_be64(&raw[8]);
    h.toc_length_uncompressed = core::load_be64(&raw[16]);
    h.checksum_alg = core::load_be32(&raw[24]);
    h.checksum_kind = h.checksum_alg < 4 ? h.checksum_alg : 4;

    // Writers may declare a longer header; its extra bytes carry nothing we use.
    // A header_size below 28 is taken as it stands: the TOC still starts at 28.
    if (h.header_size > kXarHeaderSize) {
        std::vector<uint8_t> extra(h.header_size - kXarHeaderSize);  // at most 64 KiB
        KIV_TRY(reader.read_exact(extra));
    }
    return h;
}

}  // namespace xara::header
