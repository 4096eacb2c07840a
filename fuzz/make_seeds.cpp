// Writes UDIF images of the fixture volumes in every compression our writer
// offers (LZFSE, bzip2, zlib, raw), so that the image targets start with runs
// of each kind, into the corpora of both image targets.
//
//   make_seeds FIXTURES CORPUS_ROOT
#include <cstdio>
#include <filesystem>
#include <string>
#include <utility>

#include "udif/udif.hpp"

namespace fs = std::filesystem;

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: make_seeds FIXTURES CORPUS_ROOT\n");
        return 2;
    }
    const fs::path fixtures = argv[1], root = argv[2];
    // Volumes cut to the blocks that hold their metadata, as seed.py does.
    const std::pair<const char*, size_t> volumes[] = {{"hfsplus.raw", 282 * 4096}, {"apfs.raw", 110 * 4096}};
    const std::pair<udif::CompressionMethod, const char*> methods[] = {
        {udif::CompressionMethod::Lzfse, "lzfse"}, {udif::CompressionMethod::Bzip2, "bzip2"},
        {udif::CompressionMethod::Zlib, "zlib"}, {udif::CompressionMethod::Raw, "raw"}};
    for (const auto& [name, keep] : volumes) {
        auto bytes = core::read_file((fixtures / name).string());
        if (!bytes) continue;
        bytes->resize(std::min(bytes->size(), keep));
        const std::string partition = std::string("disk image (") + (name[0] == 'a' ? "Apple_APFS" : "Apple_HFS") + " : 1)";
        for (const auto& [method, label] : methods) {
            udif::DmgBuilder builder;
            builder.compression = method;
            builder.chunk_size = 64 * 1024;
            builder.add_partition("Protective Master Boot Record (MBR : 0)", std::vector<uint8_t>(512));
            builder.add_partition(partition, *bytes);
            for (const char* target : {"udif_memory", "udif_file"}) {
                fs::create_directories(root / target);
                const fs::path out = root / target / ("seed-" + std::string(name) + "." + label + ".dmg");
                if (auto r = builder.build(out.string()); !r) {
                    std::fprintf(stderr, "%s: %s\n", out.c_str(), r.error().message().c_str());
                    return 1;
                }
            }
        }
    }
    return 0;
}
