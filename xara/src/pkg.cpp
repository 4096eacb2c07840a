#include "xara/pkg.hpp"

#include "core/text.hpp"
#include "core/try.hpp"

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

Result<PkgReader> PkgReader::open(std::unique_ptr<core::ByteSource> reader) {
    auto archive = KIV_TRY(XarArchive::open(std::move(reader)));
    return PkgReader(std::move(archive));
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
    auto bytes = KIV_TRY(archive_.read_entry(*entry));
    return std::optional(core::utf8_lossy(core::as_text(bytes)));
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
