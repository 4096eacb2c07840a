// On-disk structures one at a time: objects, superblocks and the choice of
// checkpoint, B-tree nodes, the object map and catalog records.
#include "core/endian.hpp"
#include "support.hpp"

namespace {

using namespace apfs_test;
using apfs::ApfsSuperblock;
using apfs::BTreeNode;
using apfs::NxSuperblock;
using apfs::btree::btree_lookup;
using apfs::btree::btree_scan;
using apfs::omap::omap_lookup;
using apfs::superblock::read_nxsb;
using B = ContainerBuilder;
using core::store_le16;
using core::store_le32;
using core::store_le64;
namespace catalog = apfs::catalog;

constexpr uint16_t kRootNode = 1, kLeaf = 2, kFixed = 4;
constexpr uint64_t k0 = 0;

// `sb` claiming another block size, resealed.
Bytes with_block_size(Bytes sb, uint32_t block_size) {
    store_le32(&sb[36], block_size);
    B::seal(sb.data(), sb.size());
    return sb;
}
// The object-map field of the superblock chosen for `image`.
uint64_t latest_tag(const Bytes& image) {
    core::MemorySource src(image);
    return apfs::superblock::find_latest_nxsb(src, *NxSuperblock::parse(image))->omap_oid;
}

// An object-map record: key (oid, xid), value (flags and size, address); an index record of such a tree.
std::pair<Bytes, Bytes> omap_rec(uint64_t oid, uint64_t xid, uint64_t paddr) { return {pack(oid, xid), pack(k0, paddr)}; }
std::pair<Bytes, Bytes> child(uint64_t oid, uint64_t block, uint64_t xid = 0) { return {pack(oid, xid), pack(block)}; }
std::unique_ptr<core::ByteSource> blocks(std::initializer_list<Bytes> nodes) { return memory(concat(nodes)); }
apfs::KeyCompare by_id(uint64_t id) {
    return [id](auto k) { return apfs::omap::compare_omap_key(k, id); };
}
Bytes cstr(const std::string& s) { return {s.c_str(), s.c_str() + s.size() + 1}; }
constexpr uint64_t kAny = UINT64_MAX;  // a bound that sees every transaction

TEST(FormatTest, MalformedStructuresFailWithTheirMessage) {
    core::MemorySource src(Bytes(10000, 7));
    const Bytes good = nxsb(5, 9);
    Bytes magic = good, damaged = good, apsb(4096), big = nxsb(3, 1, 0, 16384);
    store_le32(&magic[32], 0x1234ABCD);  // not resealed: the magic is checked first
    damaged[3000] ^= 0xFF;
    store_le32(&apsb[32], apfs::kApfsMagic);
    const Bytes big_cut(big.begin(), big.begin() + 8192);
    big[12000] ^= 1;
    auto block_size = [&](uint32_t size) {
        return std::array<std::string, 3>{"block size " + std::to_string(size),
                                          outcome(read_nxsb(*memory(with_block_size(good, size)))),
                                          "corrupted data: block size " + std::to_string(size) +
                                              " is not a power of two from 4096 to 65536"};
    };

    Bytes far(4096), many(4096);
    store_le16(&far[40], 0xFFFF);       // table beyond the block
    store_le32(&many[36], 0xFFFFFFFF);  // more entries than the block holds
    Bytes bad = make_node(kLeaf, {{Bytes(10, 1), Bytes(20, 2)}}), inside = bad;
    store(&bad[56], uint16_t(4000), uint16_t(200), uint16_t(5000));  // key offset and length; the value start wraps
    store_le16(&inside[60], 4040);  // the value starts inside the table of contents
    const auto node = *BTreeNode::parse(bad);
    // The root's only child is the root itself; two index records sharing one leaf.
    auto loop = blocks({make_node(kRootNode | kFixed, {child(1, 0)})});
    auto shared = blocks({make_node(kRootNode | kFixed, {child(1, 1), child(2, 1)}),
                          make_node(kLeaf | kFixed, {omap_rec(1, 1, 10)})});
    auto leaf = blocks({make_node(kRootNode | kLeaf | kFixed, {omap_rec(7, 3, 30), omap_rec(8, 1, 0)})});
    auto zero = blocks({make_node(kRootNode | kFixed, {child(1, 1), child(7, 2)}),
                        make_node(kLeaf | kFixed, {omap_rec(7, 5, 0)}), make_node(kLeaf | kFixed, {})});
    auto key = B::drec_key(2, "readme");

    expect_cases({
        {"short object", outcome(apfs::ObjectHeader::parse(Bytes(31))), "corrupted data: object header too short: 31 bytes"},
        {"block past the end", outcome(apfs::object::read_block(src, 2, 4096)), kShortRead},
        // A block size the source cannot hold fails without taking that memory.
        {"huge block", outcome(apfs::object::read_block(src, 0, 0xFFFFFFFF)), kShortRead},
        {"block beyond 64 bits", outcome(apfs::object::read_block(src, 1ull << 60, 65536)),
         "corrupted data: block 1152921504606846976 overflows the device address space"},
        {"nx magic cut", outcome(NxSuperblock::parse(std::span(good).first(35))), kShortRead},
        {"nx fields cut", outcome(NxSuperblock::parse(std::span(good).first(183))), kShortRead},
        {"nx volume id cut", outcome(NxSuperblock::parse(std::span(good).first(190))), kShortRead},
        {"short volume", outcome(ApfsSuperblock::parse(std::span(apsb).first(20))),
         "corrupted data: object header too short: 20 bytes"},
        {"volume magic cut", outcome(ApfsSuperblock::parse(std::span(apsb).first(33))), kShortRead},
        {"volume name cut", outcome(ApfsSuperblock::parse(std::span(apsb).first(959))), kShortRead},
        {"container as volume", outcome(ApfsSuperblock::parse(good)), "invalid magic: 0x4253584E"},
        {"short source", outcome(read_nxsb(*memory(Bytes(100)))), kShortRead},
        {"bad magic", outcome(read_nxsb(*memory(magic))), "invalid magic: 0x1234ABCD"},
        {"bad checksum", outcome(read_nxsb(*memory(damaged))), "invalid checksum"},
        // With 16 KiB blocks the checksum covers the whole block.
        {"16 KiB checksum", outcome(read_nxsb(*memory(big))), "invalid checksum"},
        {"16 KiB cut", outcome(read_nxsb(*memory(big_cut))), kShortRead},
        // Block sizes are powers of two from 4 KiB to 64 KiB.
        block_size(0), block_size(2048), block_size(6144), block_size(131072),

        {"short node", outcome(BTreeNode::parse(Bytes(31))), "corrupted data: object header too short: 31 bytes"},
        {"short node header", outcome(BTreeNode::parse(Bytes(55))), "invalid B-tree: btree node header too short"},
        {"short free lists", outcome(BTreeNode::parse(Bytes(59))), kShortRead},
        {"far table", outcome(BTreeNode::parse(far)), kShortRead},
        {"too many entries", outcome(BTreeNode::parse(many)), kShortRead},
        {"key index", outcome(node.key(1, 0)), "invalid B-tree: key index out of range: 1"},
        {"value index", outcome(node.value(1, 0)), "invalid B-tree: value index out of range: 1"},
        {"key bounds", outcome(node.key(0, 0)),
         "invalid B-tree: key out of bounds: start=4064, len=200, block_size=4096"},
        {"value bounds", outcome(node.value(0, 0)),
         "invalid B-tree: value out of bounds: start=18446744073709550712, len=20, val_area_end=4096, block_size=4096"},
        {"value in table", outcome(BTreeNode::parse(inside)->value(0, 0)),
         "invalid B-tree: value out of bounds: start=56, len=20, val_area_end=4096, block_size=4096"},
        {"lookup cycle", outcome(btree_lookup(*loop, 0, 4096, 16, 16, by_id(5))),
         "invalid B-tree: tree deeper than 16 levels"},
        {"scan cycle", outcome(btree_scan(*loop, 0, 4096, 16, 16, by_id(5))),
         "invalid B-tree: node at block 0 reached twice"},
        {"shared leaf", outcome(btree_scan(*shared, 0, 4096, 16, 16, by_id(1))),
         "invalid B-tree: node at block 1 reached twice"},
        {"omap value", outcome(apfs::omap::parse_omap_val(Bytes(15))), "invalid B-tree: omap value too short"},
        {"omap object cut", outcome(apfs::omap::read_omap_tree_root(*shared, 0, 40)), kShortRead},
        {"omap: missing", outcome(omap_lookup(*leaf, 0, 4096, 6, kAny)), "corrupted data: OMAP lookup failed: OID 6 not found"},
        {"omap: address 0", outcome(omap_lookup(*zero, 0, 4096, 7, kAny)),
         "corrupted data: OMAP lookup: OID 7 resolved to paddr 0"},

        {"inode", outcome(catalog::parse_inode(Bytes(91))), "corrupted data: inode value too short: 91 bytes"},
        {"drec value", outcome(apfs::DrecVal::parse(Bytes(17))), "corrupted data: drec value too short: 17 bytes"},
        {"drec key", outcome(catalog::decode_drec_name(Bytes(11))), "invalid B-tree: drec key too short for name"},
        {"drec name", outcome(catalog::decode_drec_name(std::span(key).first(key.size() - 1))),
         "invalid B-tree: drec name extends beyond key: name_end=19, key_len=18"},
        {"extent value", outcome(apfs::FileExtentVal::parse(Bytes(23))),
         "corrupted data: file extent value too short: 23 bytes"},
        {"extent key", outcome(catalog::parse_file_extent_logical_addr(Bytes(15))),
         "corrupted data: file extent key too short for a logical address: 15 bytes"},
        {"xattr", outcome(catalog::parse_xattr_value(Bytes(3))), "corrupted data: xattr value too short: 3 bytes"},
        {"xattr stream", outcome(catalog::parse_xattr_value(pack(uint16_t(1), uint16_t(0)))),
         "unsupported: xattr is stored as a data stream, not embedded in the record"},
        {"xattr stream cut", outcome(catalog::parse_xattr(pack(uint16_t(1), uint16_t(48), uint64_t(7)))),
         "corrupted data: xattr data stream too short: 8 bytes"},
    });
    store_le32(&many[36], (4096 - 56) / 8);  // exactly as many as fit
    EXPECT_TRUE(BTreeNode::parse(many));
    EXPECT_EQ(*omap_lookup(*leaf, 0, 4096, 8, kAny), 0u);  // an address 0 in a leaf is taken as it stands
}

TEST(FormatTest, SuperblockFieldsAndNewestValidCheckpoint) {
    // At most 100 volume ids are read, whatever the declared maximum.
    auto b = nxsb(1, 1);
    store_le32(&b[180], 150);
    for (int i = 0; i < 100; ++i) store_le64(&b[184 + 8 * i], 1000 + i);
    EXPECT_EQ(NxSuperblock::parse(b)->fs_oids.size(), 100u);
    EXPECT_FALSE(NxSuperblock::parse(std::span(b).first(983)));
    // The volume name stops at its NUL or after 256 bytes; bad UTF-8 is replaced.
    Bytes apsb(4096);
    store_le32(&apsb[32], apfs::kApfsMagic);
    std::fill(apsb.begin() + 704, apsb.begin() + 960, 'n');
    EXPECT_EQ(ApfsSuperblock::parse(apsb)->volume_name, std::string(256, 'n'));
    const std::string odd = "caf\xC3\xA9 \xFF\xE2\x82 ok";  // a stray byte and a cut-off sequence
    std::copy(odd.c_str(), odd.c_str() + odd.size() + 1, &apsb[704]);
    EXPECT_EQ(ApfsSuperblock::parse(apsb)->volume_name, "caf\xC3\xA9 \xEF\xBF\xBD\xEF\xBF\xBD ok");

    // Checkpoint area 1..4: a checkpoint map, a superblock with a bad
    // checksum, and two superblocks sharing the highest xid: the earlier wins.
    Bytes map(4096);
    store(&map[16], uint64_t(50), 0x4000000Cu);
    B::seal(map.data(), map.size());
    auto bad = nxsb(90, 200);
    bad[500] ^= 1;
    EXPECT_EQ(latest_tag(concat({nxsb(4, 100, 4), map, bad, nxsb(9, 300), nxsb(9, 400)})), 300u);
    EXPECT_EQ(latest_tag(concat({nxsb(9, 100, 2), nxsb(9, 300), nxsb(2, 400)})), 100u);  // block 0 wins ties
    // A newer superblock with a block size the format does not allow is skipped.
    EXPECT_EQ(latest_tag(concat({nxsb(1, 100, 2), with_block_size(nxsb(9, 300), 1), nxsb(5, 400)})), 400u);
    EXPECT_EQ(latest_tag(nxsb(1, 100, 0)), 100u);  // no area
    // A count with the top bit set marks a non-contiguous area: block 0 is used.
    EXPECT_EQ(latest_tag(concat({nxsb(1, 100, 0x80000002), nxsb(9, 300), nxsb(10, 400)})), 100u);
    // A count far beyond the source stops at its end.
    EXPECT_EQ(latest_tag(concat({nxsb(1, 100, 0x7FFFFFFF), nxsb(9, 300)})), 300u);
}

TEST(FormatTest, ObjectMapDescentScanAndFixedSizes) {
    // Sizes 0 in the tree information keep the defaults 16/16; a value size
    // of 24 is used instead, the address still at 8.
    Bytes wide = make_node(kRootNode | kLeaf | kFixed, {{pack(uint64_t(7), uint64_t(1)), pack(k0, uint64_t(71), k0)}});
    store_le32(&wide[4096 - 28], 24);
    auto sized = blocks({wide});
    EXPECT_EQ((*btree_lookup(*sized, 0, 4096, 16, 16, by_id(7)))->size(), 24u);
    EXPECT_EQ(*omap_lookup(*sized, 0, 4096, 7, kAny), 71u);
    // An index whose first key is above the target: not found, and the child
    // (past the end of the source) is not read; a key above it descends, and
    // a child it cannot read fails the lookup (it is not "not found").
    auto unread = blocks({make_node(kRootNode | kFixed, {child(50, 999)})});
    EXPECT_EQ(btree_lookup(*unread, 0, 4096, 16, 16, by_id(10)).value(), std::nullopt);
    EXPECT_EQ(outcome(btree_lookup(*unread, 0, 4096, 16, 16, by_id(60))), kShortRead);
    EXPECT_EQ(outcome(omap_lookup(*unread, 0, 4096, 60, kAny)), kShortRead);
    // So does one where a scan, stopping at the leaf key above the target,
    // would have found an older record.
    auto hidden = blocks({make_node(kRootNode | kFixed, {child(1, 1), child(7, 999, 5)}),
                          make_node(kLeaf | kFixed, {omap_rec(1, 1, 10), omap_rec(7, 3, 30), omap_rec(8, 1, 80)})});
    EXPECT_EQ(outcome(omap_lookup(*hidden, 0, 4096, 7, kAny)), kShortRead);

    // One object written by three transactions, in one leaf and spread over
    // two: a lookup takes the newest record not above its bound.
    auto leaf = blocks({make_node(kRootNode | kLeaf | kFixed,
                                  {omap_rec(7, 3, 30), omap_rec(7, 5, 50), omap_rec(7, 9, 90), omap_rec(8, 1, 80)})});
    auto spread = blocks({make_node(kRootNode | kFixed, {child(1, 1), child(7, 2, 5)}),
                          make_node(kLeaf | kFixed, {omap_rec(1, 1, 10), omap_rec(7, 3, 30)}),
                          make_node(kLeaf | kFixed, {omap_rec(7, 5, 50), omap_rec(7, 9, 90), omap_rec(8, 1, 80)})});
    const std::string none = "corrupted data: OMAP lookup failed: OID 7 not found";
    for (auto* tree : {leaf.get(), spread.get()})
        for (auto [bound, expected] : {std::pair<uint64_t, std::string>{2, none}, {3, "30"}, {4, "30"}, {5, "50"},
                                       {8, "50"}, {9, "90"}, {kAny, "90"}}) {
            auto found = omap_lookup(*tree, 0, 4096, 7, bound);
            EXPECT_EQ(found ? std::to_string(*found) : found.error().message(), expected) << bound;
        }
    EXPECT_EQ(*omap_lookup(*spread, 0, 4096, 8, 1), 80u);

    // An index claiming 7 in a leaf that holds 8, and 8 in one that starts at
    // 9: both descents miss; the scan finds (7, xid 5) and (7, xid 3) and
    // takes the newest within the bound, and refuses the address 0 it finds for 8.
    auto scanned = blocks({make_node(kRootNode | kFixed, {child(1, 1), child(7, 2), child(8, 3)}),
                           make_node(kLeaf | kFixed, {omap_rec(1, 1, 10), omap_rec(7, 5, 50), omap_rec(7, 3, 30)}),
                           make_node(kLeaf | kFixed, {omap_rec(8, 1, 0)}), make_node(kLeaf | kFixed, {omap_rec(9, 1, 90)})});
    EXPECT_EQ(std::pair(*omap_lookup(*scanned, 0, 4096, 7, kAny), *omap_lookup(*scanned, 0, 4096, 7, 4)),
              std::pair(50ul, 30ul));
    // The index sends 7 to the leaf of 8, so four versions of 7 are reached only by the scan, in no
    // order: an older one, one after the checkpoint, the bound's own and another older one.  The newest not after the bound is taken, whichever of
    // the gathered records comes first or last.
    auto versions = blocks({make_node(kRootNode | kFixed, {child(1, 1), child(7, 2)}),
                            make_node(kLeaf | kFixed, {omap_rec(1, 1, 10), omap_rec(7, 3, 30), omap_rec(7, 9, 90),
                                                       omap_rec(7, 6, 60), omap_rec(7, 4, 40)}),
                            make_node(kLeaf | kFixed, {omap_rec(8, 1, 80)})});
    for (auto [bound, expected] : {std::pair<uint64_t, uint64_t>{6, 60}, {5, 40}, {8, 60}, {kAny, 90}})
        EXPECT_EQ(omap_lookup(*versions, 0, 4096, 7, bound).value_or(0), expected) << bound;  // 0: not found
    expect_cases({
        {"scan: none within the bound", outcome(omap_lookup(*scanned, 0, 4096, 7, 2)), none},
        {"scan: address 0", outcome(omap_lookup(*scanned, 0, 4096, 8, kAny)),
         "corrupted data: OMAP lookup: OID 8 resolved to paddr 0"},
    });
}

TEST(FormatTest, CatalogRecordsAndKeyOrder) {
    // Keys too short to hold what is compared order first; so does a name
    // that is a proper prefix of the other.
    EXPECT_EQ(catalog::compare_key_to(Bytes(7), 0, 0), std::strong_ordering::less);
    auto xattr = B::xattr_key(20, "com.apple.fs.symlink");
    EXPECT_EQ(catalog::compare_xattr_key(xattr, 20, cstr("com.apple.fs.symlinkz")), std::strong_ordering::less);
    EXPECT_EQ(catalog::compare_xattr_key(xattr, 20, cstr("com.apple.fs.s")), std::strong_ordering::greater);
    EXPECT_EQ(catalog::compare_xattr_key(B::key_header(20, 4), 20, cstr("")), std::strong_ordering::less);

    auto key = B::drec_key(2, "readme");
    key[14] = 0;  // "re\0dme"
    EXPECT_EQ(*catalog::decode_drec_name(key), "re");
    EXPECT_EQ(apfs::DrecVal::parse(B::drec_value(5, 0x14))->kind(), apfs::EntryKind::Directory);  // type in the low bits
    EXPECT_EQ(*catalog::parse_xattr_value(concat({pack(uint16_t(2), uint16_t(100)), bytes_of("abc")})),
              bytes_of("abc"));  // declares 100
    // A value in a data stream: the stream's id, then its size.
    auto stream = catalog::parse_xattr(pack(uint16_t(1), uint16_t(48), uint64_t(40), uint64_t(17), k0, k0, k0, k0));
    EXPECT_EQ(std::tuple(stream->stream->id, stream->stream->size), std::tuple(40u, 17u));

    // An inode with a name field, then a data-stream field of 16 bytes
    // holding 1000: that is the size, whatever the uncompressed size says.
    Bytes v(92);
    store_le64(&v[84], 5);
    put(v, uint16_t(2), uint16_t(24), uint16_t(4), uint16_t(3), uint16_t(8), uint16_t(16));
    v = concat({v, bytes_of("ab"), Bytes(6), Bytes{0xE8, 3}, Bytes(14)});
    EXPECT_EQ(catalog::parse_inode(v)->size(), 1000u);
    EXPECT_FALSE(catalog::parse_inode(std::span(v).first(92))->dstream_size);
    EXPECT_EQ(catalog::parse_inode(std::span(v).first(v.size() - 9))->size(), 5u);  // the field cut short
    auto lying = v, small = v;
    store_le16(&lying[92], 60000);  // field headers that do not fit
    small[102] = 4;                 // a data-stream field of fewer than 8 bytes
    EXPECT_EQ(catalog::parse_inode(lying)->size(), 5u);
    EXPECT_EQ(catalog::parse_inode(small)->size(), 5u);
}

}  // namespace
