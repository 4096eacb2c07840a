// Installer packages: XAR archives holding Distribution, PackageInfo and Payload.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/io.hpp"
#include "xara/archive.hpp"
#include "xara/error.hpp"

namespace xara {

class PkgReader {
public:
    explicit PkgReader(XarArchive archive) : archive_(std::move(archive)) {}
    // Opens the package bytes as an archive; nothing about the package is checked.
    static Result<PkgReader> open(std::unique_ptr<core::ByteSource> reader);

    // Top-level directories named "*.pkg" in entry order; for a flat component
    // package (top-level Payload or PackageInfo) one empty name; else none.
    std::vector<std::string> components() const;
    // Whether a top-level "Distribution" exists.
    bool is_product_package() const;
    // The Distribution document (invalid UTF-8 replaced by U+FFFD), if any.
    Result<std::optional<std::string>> distribution();
    // "PackageInfo" of the component ("" for a flat package), if present.
    Result<std::optional<std::string>> package_info(std::string_view component);
    // The decoded "Payload" of the component; FileNotFound when absent.
    Result<std::vector<uint8_t>> payload(std::string_view component);
    // Every entry's path, in entry order.
    std::vector<std::string> list_files() const;

    XarArchive& archive() { return archive_; }
    const XarArchive& archive() const { return archive_; }

private:
    Result<std::optional<std::string>> read_text_member(const std::string& path);

    XarArchive archive_;
};

}  // namespace xara
