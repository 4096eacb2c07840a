// Helpers shared by the UDIF tests: images around a data fork and a
// property list, results as text, and 7-Zip's view of a partition.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "core/io.hpp"
#include "testing/testing.hpp"
#include "udif/udif.hpp"

namespace udif_test {

using udif::BlockType;

inline udif::BlockRun run(BlockType type, uint64_t sector, uint64_t sectors, uint64_t offset = 0, uint64_t length = 0) {
    return {type, 0, sector, sectors, offset, length};
}

// Data fork + property list + trailer; `tweak` may adjust the trailer.
inline std::vector<uint8_t> image(const std::vector<uint8_t>& data_fork, const std::string& xml,
                                  const std::function<void(udif::KolyHeader&)>& tweak = {}) {
    std::vector<uint8_t> out = data_fork;
    out.insert(out.end(), xml.begin(), xml.end());
    udif::KolyHeader t;
    t.data_fork_length = t.xml_offset = data_fork.size();
    t.xml_length = xml.size();
    if (tweak) tweak(t);
    auto bytes = t.to_bytes();
    out.insert(out.end(), bytes.begin(), bytes.end());
    return out;
}

inline udif::Result<udif::DmgReader> open_bytes(std::vector<uint8_t> bytes, bool verify = true) {
    return udif::DmgReader::with_options(std::make_unique<core::MemorySource>(std::move(bytes)), verify);
}

// The message of a failed result, or "ok".
template <class T>
std::string error_text(const udif::Result<T>& r) {
    return r ? "ok" : r.error().message();
}

// The bytes 7-Zip extracts for the partition at `index` (its "index.*" item).
inline std::vector<uint8_t> seven_zip_partition(const std::filesystem::path& image, size_t index) {
    testing_util::ScratchDir dir;
    auto r = testing_util::run("7zz e -y -tdmg -o" + testing_util::shell_quote(dir.path()) + " " +
                               testing_util::shell_quote(image) + " '" + std::to_string(index) + ".*' 2>&1");
    EXPECT_EQ(r.status, 0) << r.output;
    std::vector<uint8_t> out;
    for (const auto& f : std::filesystem::directory_iterator(dir.path())) out = testing_util::read_bytes(f.path());
    return out;
}

}  // namespace udif_test
