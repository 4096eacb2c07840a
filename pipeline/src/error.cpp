#include "pipeline/error.hpp"

namespace kiv {

std::string KivError::message() const {
    auto text = [&] { return std::get<std::string>(payload_); };
    switch (kind_) {
        case Kind::Io: return "I/O error: " + std::get<core::IoError>(payload_).message();
        case Kind::Dmg: return "DMG error: " + std::get<udif::KivError>(payload_).message();
        case Kind::HfsPlus: return "HFS+ error: " + std::get<hfsplus::HfsPlusError>(payload_).message();
        case Kind::Xar: return "XAR error: " + std::get<xara::XarError>(payload_).message();
        case Kind::Pbzx: return "PBZX error: " + std::get<pbzx::PbzxError>(payload_).message();
        case Kind::Apfs: return "APFS error: " + std::get<apfs::ApfsError>(payload_).message();
        case Kind::FileNotFound: return "file not found: " + text();
        case Kind::NoHfsPartition: return "no HFS+ partition found in DMG";
        case Kind::NoApfsPartition: return "no APFS partition found in DMG";
        case Kind::NoFilesystemPartition: return "no filesystem partition found in DMG";
        case Kind::InvalidPath: return "invalid path: " + text();
        case Kind::NoEntries: return "no entries found under: " + text();
    }
    return {};
}

}  // namespace kiv
