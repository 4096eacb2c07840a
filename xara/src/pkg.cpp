#include "xara/pkg.hpp"

namespace xara {
namespace {

constexpr std::string_view kPayload = "Payload";
constexpr std::string_view kPackageInfo = "PackageInfo";
constexpr std::string_view kDistribution = "Distribution";
constexpr std::string_view kComponentSuffix = ".pkg";

std::string member_path(std::string_view component, std::string_view member) {
    if (component.empty()) return std::string(member);
    std::string path(component);
    path += '/';
    path += member;
    return path;
}

}  // namespace

std::string utf8_lossy(std::span<const uint8_t> s) {
    static constexpr char kReplacement[] = "\xEF\xBF\xBD";
    std::string out;
    out.reserve(s.size());
    size_t i = 0;
    while (i < s.size()) {
        const uint8_t c = s[i];
        if (c < 0x80) {
            out += char(c);
            ++i;
            continue;
        }
        size_t need = 0;
        uint8_t lo = 0x80, hi = 0xBF;
        if (c >= 0xC2 && c <= 0xDF) need = 1;
        else if (c == 0xE0) { need = 2; lo = 0xA0; }
        else if (c == 0xED) { need = 2; hi = 0x9F; }
        else if (c >= 0xE1 && c <= 0xEF) need = 2;
        else if (c == 0xF0) { need = 3; lo = 0x90; }
        else if (c == 0xF4) { need = 3; hi = 0x8F; }
        else if (c >= 0xF1 && c <= 0xF3) need = 3;
        // Consume the longest prefix of a valid sequence; replace it as one unit if incomplete.
        size_t k = 1;
        for (; k <= need && i + k < s.size(); ++k) {
            const uint8_t lo_k = k == 1 ? lo : 0x80, hi_k = k == 1 ? hi : 0xBF;
            if (s[i + k] < lo_k || s[i + k] > hi_k) break;
        }
        if (need > 0 && k == need + 1) {
            out.append(reinterpret_cast<const char*>(s.data() + i), need + 1);
        } else {
            out += kReplacement;
        }
        i += k;
    }
    return out;
}

Result<PkgReader> PkgReader::open(std::unique_ptr<core::ByteSource> reader) {
    auto archive = XarArchive::open(std::move(reader));
    if (!archive) return fail(std::move(archive.error()));
    return PkgReader(std::move(*archive));
}

std::vector<std::string> PkgReader::components() const {
    std::vector<std::string> out;
    for (const XarFile& f : archive_.files()) {
        if (!f.parent && f.file_type == XarFileType::Directory && f.name.ends_with(kComponentSuffix))
            out.push_back(f.name);
    }
    if (out.empty() && (archive_.find(kPayload) || archive_.find(kPackageInfo))) out.emplace_back();
    return out;
}

bool PkgReader::is_product_package() const { return archive_.find(kDistribution) != nullptr; }

Result<std::optional<std::string>> PkgReader::read_text_member(const std::string& path) {
    const XarFile* entry = archive_.find(path);
    if (!entry) return std::optional<std::string>();
    auto bytes = archive_.read_entry(*entry);
    if (!bytes) return fail(std::move(bytes.error()));
    return std::optional(utf8_lossy(*bytes));
}

Result<std::optional<std::string>> PkgReader::distribution() { return read_text_member(std::string(kDistribution)); }

Result<std::optional<std::string>> PkgReader::package_info(std::string_view component) {
    return read_text_member(member_path(component, kPackageInfo));
}

Result<std::vector<uint8_t>> PkgReader::payload(std::string_view component) {
    const std::string path = member_path(component, kPayload);
    const XarFile* entry = archive_.find(path);
    if (!entry) return fail(XarError::file_not_found(path));
    return archive_.read_entry(*entry);
}

std::vector<std::string> PkgReader::list_files() const {
    std::vector<std::string> out;
    out.reserve(archive_.files().size());
    for (const XarFile& f : archive_.files()) out.push_back(f.path);
    return out;
}

}  // namespace xara
