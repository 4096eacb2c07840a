// The catalog B-tree: keys, records, lookup, directory listing, path resolution.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "btree.hpp"
#include "core/io.hpp"
#include "hfsplus/error.hpp"
#include "hfsplus/records.hpp"

namespace hfsplus {

struct CatalogKey {
    uint32_t parent_id = 0;
    std::vector<uint16_t> name;  // UTF-16 units
};

struct CatalogThread {
    uint32_t parent_id = 0;
    std::string name;
};
struct CatalogFolderThread : CatalogThread {};
struct CatalogFileThread : CatalogThread {};

// Record types 1 to 4, in this order.
using CatalogRecord = std::variant<CatalogFolder, CatalogFile, CatalogFolderThread, CatalogFileThread>;

namespace catalog {

// The fork record and the BSD block read from `bytes` at `pos`, which advances by 80 or 16.
Result<ForkData> parse_fork_data(std::span<const uint8_t> bytes, size_t& pos);
Result<BsdInfo> parse_bsd_info(std::span<const uint8_t> bytes, size_t& pos);

struct ParsedKey {
    CatalogKey key;
    size_t data_offset = 0;  // where the record's data starts: after the key, even-aligned
};
Result<ParsedKey> parse_catalog_key(std::span<const uint8_t> record);
// The record from its data bytes (the part after the key).
Result<CatalogRecord> parse_catalog_record(std::span<const uint8_t> data);

Comparator make_catalog_comparator(uint32_t parent_id, std::vector<uint16_t> name, bool is_hfsx);

// The record stored under exactly (parent id, name), if any.
Result<std::optional<CatalogRecord>> lookup_catalog(core::ByteSource& source, const BTreeHeader& catalog,
                                                    bool is_hfsx, uint32_t parent_id, std::string_view name);

// Calls `visit` with the key and record of each folder and file whose parent
// is `parent_id`, in catalog order, until it returns false.
using ChildVisitor = std::function<bool(const CatalogKey& key, CatalogRecord&& record)>;
Result<void> for_each_child(core::ByteSource& source, const VolumeHeader& volume, const BTreeHeader& catalog,
                            uint32_t parent_id, const ChildVisitor& visit);

// The children of folder id `parent_id`, in catalog order.
Result<std::vector<DirEntry>> list_directory(core::ByteSource& source, const VolumeHeader& volume,
                                             const BTreeHeader& catalog, uint32_t parent_id);

struct ResolvedPath {
    CatalogRecord record;
    std::string name;  // the last component as given, or the volume name for the root
};
// A name as listings show it: a "/" inside a catalog name becomes ":", as macOS shows it.
std::string present_name(std::span<const uint16_t> units);

// The record a slash-separated path names; "" and "/" name the root folder.
// A component that is not found is looked up again with ":" read as "/",
// and in canonically decomposed form (as HFS+ stores names).
Result<ResolvedPath> resolve_path(core::ByteSource& source, const VolumeHeader& volume,
                                  const BTreeHeader& catalog, std::string_view path);

}  // namespace catalog
}  // namespace hfsplus
