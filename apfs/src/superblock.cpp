#include "superblock.hpp"

#include <algorithm>
#include <cstring>
#include <optional>

#include "core/endian.hpp"
#include "core/text.hpp"
#include "core/try.hpp"
#include "fletcher.hpp"
#include "internal.hpp"
#include "omap.hpp"

namespace apfs {

using core::load_le32;
using core::load_le64;

namespace {

// The header checks both superblocks share: header size, magic.
Result<ObjectHeader> parse_head(std::span<const uint8_t> b, uint32_t expected_magic) {
    auto header = KIV_TRY(ObjectHeader::parse(b));
    if (b.size() < 36) return core::eof_fail();
    if (uint32_t magic = load_le32(b.data() + 32); magic != expected_magic)
        return fail(ApfsError::invalid_magic(magic));
    return header;
}

}  // namespace

Result<NxSuperblock> NxSuperblock::parse(std::span<const uint8_t> b) {
    auto header = KIV_TRY(parse_head(b, kNxMagic));
    if (b.size() < 184) return core::eof_fail();
    const uint8_t* p = b.data();
    NxSuperblock sb;
    sb.header = header;
    sb.magic = load_le32(p + 32);
    sb.block_size = load_le32(p + 36);
    sb.block_count = load_le64(p + 40);
    sb.features = load_le64(p + 48);
    sb.readonly_compatible_features = load_le64(p + 56);
    sb.incompatible_features = load_le64(p + 64);
    std::memcpy(sb.uuid.data(), p + 72, 16);
    sb.next_oid = load_le64(p + 88);
    sb.next_xid = load_le64(p + 96);
    sb.xp_desc_blocks = load_le32(p + 104);
    sb.xp_data_blocks = load_le32(p + 108);
    sb.xp_desc_base = load_le64(p + 112);
    sb.xp_data_base = load_le64(p + 120);
    sb.xp_desc_next = load_le32(p + 128);
    sb.xp_data_next = load_le32(p + 132);
    sb.xp_desc_index = load_le32(p + 136);
    sb.xp_desc_len = load_le32(p + 140);
    sb.xp_data_index = load_le32(p + 144);
    sb.xp_data_len = load_le32(p + 148);
    sb.spaceman_oid = load_le64(p + 152);
    sb.omap_oid = load_le64(p + 160);
    sb.reaper_oid = load_le64(p + 168);
    sb.max_file_systems = load_le32(p + 180);
    uint32_t n = std::min(sb.max_file_systems, kMaxVolumeIds);
    sb.fs_oids.reserve(n);
    for (uint32_t i = 0; i < n; ++i) {
        size_t at = 184 + size_t(i) * 8;
        if (at + 8 > b.size()) return core::eof_fail();
        sb.fs_oids.push_back(load_le64(p + at));
    }
    if (b.size() >= 1272) sb.flags = load_le64(p + 1264);
    return sb;
}

Result<ApfsSuperblock> ApfsSuperblock::parse(std::span<const uint8_t> b) {
    auto header = KIV_TRY(parse_head(b, kApfsMagic));
    if (b.size() < kMinSize) return core::eof_fail();
    const uint8_t* p = b.data();
    ApfsSuperblock sb;
    sb.header = header;
    sb.magic = load_le32(p + 32);
    sb.fs_index = load_le32(p + 36);
    sb.features = load_le64(p + 40);
    sb.readonly_compatible_features = load_le64(p + 48);
    sb.incompatible_features = load_le64(p + 56);
    sb.unmount_time = load_le64(p + 64);
    sb.reserve_block_count = load_le64(p + 72);
    sb.quota_block_count = load_le64(p + 80);
    sb.alloc_count = load_le64(p + 88);
    sb.root_tree_type = load_le32(p + 116);
    sb.extentref_tree_type = load_le32(p + 120);
    sb.snap_meta_tree_type = load_le32(p + 124);
    sb.omap_oid = load_le64(p + 128);
    sb.root_tree_oid = load_le64(p + 136);
    sb.extentref_tree_oid = load_le64(p + 144);
    sb.snap_meta_tree_oid = load_le64(p + 152);
    sb.revert_to_xid = load_le64(p + 160);
    sb.revert_to_sblock_oid = load_le64(p + 168);
    sb.next_obj_id = load_le64(p + 176);
    sb.num_files = load_le64(p + 184);
    sb.num_directories = load_le64(p + 192);
    sb.num_symlinks = load_le64(p + 200);
    sb.num_other_fsobjects = load_le64(p + 208);
    sb.num_snapshots = load_le64(p + 216);
    sb.total_blocks_alloced = load_le64(p + 224);
    sb.total_blocks_freed = load_le64(p + 232);
    std::memcpy(sb.uuid.data(), p + 240, 16);
    sb.last_mod_time = load_le64(p + 256);
    sb.fs_flags = load_le64(p + 264);
    std::span<const uint8_t> name = b.subspan(704, 256);
    auto nul = std::find(name.begin(), name.end(), uint8_t(0));
    sb.volume_name = core::utf8_lossy(core::as_text(name.first(size_t(nul - name.begin()))));
    return sb;
}

namespace superblock {

Result<NxSuperblock> read_nxsb(core::ByteSource& source) {
    auto first = KIV_TRY(object::read_block(source, 0, 4096));
    auto sb = KIV_TRY(NxSuperblock::parse(first));
    KIV_TRY(detail::check_block_size(sb.block_size));
    if (sb.block_size == 4096) {
        if (!fletcher::verify_object(first)) return fail(ApfsError::invalid_checksum());
        return sb;
    }
    auto block = KIV_TRY(object::read_block(source, 0, sb.block_size));
    if (!fletcher::verify_object(block)) return fail(ApfsError::invalid_checksum());
    return NxSuperblock::parse(block);
}

// The descriptor area is read as contiguous blocks from its base.  When the
// top bit of the count is set the area is not contiguous (the base names a
// tree of block addresses instead); such a container is read from block 0's
// checkpoint.  The scan also stops at the end of the source, where every
// further block would be a short read anyway.
Result<NxSuperblock> find_latest_nxsb(core::ByteSource& source, const NxSuperblock& block0) {
    constexpr uint32_t kNonContiguous = 0x80000000u;
    const uint32_t bs = block0.block_size;
    const uint64_t base = block0.xp_desc_base;
    uint64_t count = block0.xp_desc_blocks;
    if (count == 0 || (count & kNonContiguous) || !valid_block_size(bs)) return block0;
    if (auto size = source.size(); size) {
        uint64_t blocks = *size / bs;
        count = base >= blocks ? 0 : std::min(count, blocks - base);
    }

    std::optional<NxSuperblock> best;
    uint64_t best_xid = 0;
    for (uint64_t i = 0; i < count; ++i) {
        uint64_t offset;
        if (__builtin_add_overflow(base, i, &offset) || __builtin_mul_overflow(offset, uint64_t(bs), &offset)) break;
        KIV_TRY(source.seek(offset));
        auto data = source.read_vec(bs);
        if (!data || !fletcher::verify_object(*data)) continue;
        auto header = ObjectHeader::parse(*data);
        if (!header || (header->type & 0xFFFF) != kObjectTypeNxSuperblock) continue;
        auto sb = NxSuperblock::parse(*data);
        if (!sb || !valid_block_size(sb->block_size)) continue;
        if (sb->header.xid > best_xid) {
            best_xid = sb->header.xid;
            best = std::move(*sb);
        }
    }
    if (best && best_xid > block0.header.xid) return std::move(*best);
    return block0;
}

// Both object maps are read as the chosen checkpoint's transaction sees
// them.  An encrypted volume is refused here: its catalog is ciphertext.  A
// volume says so by lacking the unencrypted flag in a container that
// encrypts in software; each encrypted object by the flag of its mapping.
Result<FirstVolume> open_first_volume(core::ByteSource& source) {
    auto nx = KIV_TRY(find_latest_nxsb(source, KIV_TRY(read_nxsb(source))));
    const uint32_t bs = nx.block_size;
    const uint64_t xid = nx.header.xid;
    auto container_omap = KIV_TRY(omap::read_omap_tree_root(source, nx.omap_oid, bs));
    const auto volume_oid = std::find_if(nx.fs_oids.begin(), nx.fs_oids.end(), [](uint64_t oid) { return oid != 0; });
    if (volume_oid == nx.fs_oids.end()) return fail(ApfsError::no_volume());
    auto volume_block = KIV_TRY(omap::omap_lookup(source, container_omap, bs, *volume_oid, xid));
    auto apsb = KIV_TRY(ApfsSuperblock::parse(KIV_TRY(object::read_block(source, volume_block, bs))));
    if (!(apsb.fs_flags & ApfsSuperblock::kUnencrypted) && (nx.flags & NxSuperblock::kCryptoSoftware))
        return fail(omap::encrypted_volume());
    auto volume_omap = KIV_TRY(omap::read_omap_tree_root(source, apsb.omap_oid, bs));
    auto catalog_root = KIV_TRY(omap::omap_get(source, volume_omap, bs, apsb.root_tree_oid, xid));
    if (catalog_root.encrypted()) return fail(omap::encrypted_volume());
    return FirstVolume{std::move(apsb), catalog::Tree{catalog_root.paddr, volume_omap, bs, xid}};
}

}  // namespace superblock
}  // namespace apfs
