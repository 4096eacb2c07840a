// Seeds the corpus of each fuzz target from the shared fixtures: real files
// as they are (run.sh's -max_len keeps the start of the large volumes, where
// their metadata sit), the inflated tables of contents of the XAR fixtures,
// the CPIO payloads of the package fixtures and of the PBZX fixture, every
// CPIO archive wrapped in PBZX streams (two xz chunks, and one stored chunk)
// so that the PBZX target starts from real payloads, and UDIF images of the
// raw volumes in the compressions no real image here uses (LZFSE, none).
// Hostile inputs are not seeds: the regression tests replay them.
//
//   make_seeds FIXTURES CORPUS_ROOT
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>

#include "codec/stream.hpp"
#include "core/endian.hpp"
#include "pbzx/reader.hpp"
#include "pbzx/writer.hpp"
#include "udif/udif.hpp"
#include "xara/header.hpp"
#include "xara/pkg.hpp"

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

namespace {

fs::path corpus;
// Largest CPIO archive taken from a package: run.sh's -max_len of the payload targets.
constexpr size_t kMaxPayloadSeed = 262144;

fs::path seed_path(const std::string& target, const std::string& name) {
    fs::create_directories(corpus / target);
    return corpus / target / ("seed-" + name);
}

void seed(const std::string& target, const std::string& name, const Bytes& data) {
    std::ofstream(seed_path(target, name), std::ios::binary).write(reinterpret_cast<const char*>(data.data()), std::streamsize(data.size()));
}

// The table of contents of a XAR archive, inflated (nothing when it does not inflate).
void seed_toc(const std::string& name, const Bytes& xar) {
    if (xar.size() < xara::kXarHeaderSize || core::load_be32(xar.data()) != xara::kXarMagic) return;
    const uint64_t start = core::load_be16(&xar[4]), length = core::load_be64(&xar[8]);
    Bytes toc(std::min<uint64_t>(core::load_be64(&xar[16]), 16 << 20));
    if (start > xar.size() || length > xar.size() - start) return;
    auto n = codec::decode_into(codec::Format::Zlib, {xar.data() + start, length}, toc);
    if (n && *n == toc.size()) seed("xar_toc", name + ".xml", toc);
}

// A CPIO archive as the CPIO target's seed and wrapped in PBZX for the PBZX
// target: cut into two xz chunks, and whole in one stored chunk (equal sizes).
void seed_cpio(const std::string& name, const Bytes& cpio) {
    seed("cpio", name, cpio);
    auto writer = pbzx::PbzxWriter::create(seed_path("pbzx", name + ".xz.pbzx").string(), std::max<size_t>(1, cpio.size() / 2));
    if (!writer || !writer->write_cpio(cpio) || !writer->finish()) std::exit(1);
    Bytes stored = {'p', 'b', 'z', 'x'};
    for (uint64_t n : {cpio.size(), cpio.size(), cpio.size()}) core::append_be64(stored, n);
    stored.insert(stored.end(), cpio.begin(), cpio.end());
    seed("pbzx", name + ".stored.pbzx", stored);
}

// The Payload of every component of an installer package: a PBZX payload as
// it is, a gzipped CPIO archive inflated, when small enough to stay whole
// under the payload targets' -max_len.
void seed_payloads(const std::string& name, const Bytes& package) {
    auto reader = xara::PkgReader::open(std::make_unique<core::MemorySource>(package));
    if (!reader) return;
    for (const std::string& component : reader->components()) {
        auto payload = reader->payload(component);
        if (!payload || payload->size() < 6) continue;
        const std::string label = name + (component.empty() ? "" : "." + component) + ".Payload";
        if (std::equal(payload->begin(), payload->begin() + 4, "pbzx")) {
            if (payload->size() <= kMaxPayloadSeed) seed("pbzx", label + ".pbzx", *payload);
            continue;
        }
        Bytes cpio(kMaxPayloadSeed + 1);
        auto n = codec::decode_into(codec::Format::Gzip, *payload, cpio);
        if (!n || *n > kMaxPayloadSeed || *n < 6 || !std::equal(cpio.begin(), cpio.begin() + 4, "0707")) continue;
        cpio.resize(*n);
        seed_cpio(label + ".cpio", cpio);
    }
}

// The first `keep` bytes of a raw volume in LZFSE and raw images, for both image targets.
void seed_images(const std::string& name, Bytes volume, size_t keep, const char* partition) {
    volume.resize(std::min(volume.size(), keep));
    const std::pair<udif::CompressionMethod, const char*> methods[] = {
        {udif::CompressionMethod::Lzfse, "lzfse"}, {udif::CompressionMethod::Raw, "raw"}};
    for (const auto& [method, label] : methods) {
        udif::DmgBuilder builder;
        builder.compression = method;
        builder.chunk_size = 64 * 1024;
        builder.add_partition("Protective Master Boot Record (MBR : 0)", Bytes(512));
        builder.add_partition(partition, volume);
        for (const char* target : {"udif_memory", "udif_file"})
            if (!builder.build(seed_path(target, name + "." + label + ".dmg").string())) std::exit(1);
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) return 2;
    if (!fs::is_directory(argv[1])) {
        std::fprintf(stderr, "no fixtures at %s: corpora start empty\n", argv[1]);
        return 0;
    }
    corpus = argv[2];
    const std::map<std::string, std::string> volumes = {
        {"hfsplus.raw", "hfsplus"}, {"hfsp-small.img", "hfsplus"}, {"ImgTest.dmg", "hfsplus"}, {"apfs.raw", "apfs"}};
    for (auto it = fs::recursive_directory_iterator(argv[1]); it != fs::recursive_directory_iterator(); ++it) {
        const std::string name = it->path().filename().string(), type = it->path().extension().string();
        if (name == "hostile") it.disable_recursion_pending();
        if (!it->is_regular_file()) continue;
        const Bytes data = core::read_file(it->path().string()).value_or(Bytes{});
        if (volumes.contains(name)) seed(volumes.at(name), name, data);
        if (name == "hfsplus.raw") seed_images(name, data, 282 * 4096, "disk image (Apple_HFS : 1)");
        if (name == "apfs.raw") seed_images(name, data, 110 * 4096, "disk image (Apple_APFS : 1)");
        if (type == ".dmg") {
            seed("udif_memory", name, data);
            seed("udif_file", name, data);
        }
        if (type == ".xar" || type == ".pkg") {
            seed("xar", name, data);
            seed_toc(name, data);
        }
        if (type == ".pkg") seed_payloads(name, data);
        if (type == ".pbzx") {
            seed("pbzx", name, data);
            if (auto reader = pbzx::PbzxReader::from_source(std::make_unique<core::MemorySource>(data)))
                if (auto cpio = reader->decompress_parallel()) seed("cpio", name + ".cpio", cpio->to_vector());
        }
        if (type == ".cpio" || name.starts_with("test_gcpio_compat_ref.")) seed_cpio(name, data);
    }
    return 0;
}
