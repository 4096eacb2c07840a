// Builders for small synthetic images used across the UDIF tests.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "core/io.hpp"
#include "core/tempfile.hpp"
#include "testing/testing.hpp"
#include "udif/udif.hpp"

namespace udif_test {

using udif::BlockType;
using Kind = udif::KivError::Kind;

inline std::string base64(const std::vector<uint8_t>& bytes) {
    static const char a[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    for (size_t i = 0; i < bytes.size(); i += 3) {
        uint32_t v = uint32_t(bytes[i]) << 16 | (i + 1 < bytes.size() ? bytes[i + 1] << 8 : 0) |
                     (i + 2 < bytes.size() ? bytes[i + 2] : 0);
        out += {a[v >> 18], a[v >> 12 & 63], i + 1 < bytes.size() ? a[v >> 6 & 63] : '=',
                i + 2 < bytes.size() ? a[v & 63] : '='};
    }
    return out;
}

inline udif::BlockRun run(BlockType type, uint64_t sector, uint64_t sectors, uint64_t offset = 0, uint64_t length = 0) {
    return {type, 0, sector, sectors, offset, length};
}

// A block map with the given sector count, runs and checksum value.
inline udif::MishHeader block_map(uint64_t sectors, std::vector<udif::BlockRun> runs, uint32_t crc = 0) {
    udif::MishHeader m;
    m.sector_count = sectors;
    m.run_count = uint32_t(runs.size());
    m.runs = std::move(runs);
    m.checksum = udif::checksum::create_checksum_array(crc);
    return m;
}

// One "blkx" dictionary: the given extra keys plus Data holding the map.
inline std::string blkx_entry(const std::string& keys, const udif::MishHeader& map) {
    return "<dict>" + keys + "<key>Data</key><data>" + base64(map.to_bytes()) + "</data></dict>";
}
inline std::string named_entry(const std::string& name, int id, const udif::MishHeader& map) {
    return blkx_entry("<key>Name</key><string>" + name + "</string><key>ID</key><string>" + std::to_string(id) + "</string>", map);
}
inline std::string plist_xml(const std::string& blkx_items) {
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict><key>resource-fork</key>"
           "<dict><key>blkx</key><array>" + blkx_items + "</array></dict></dict></plist>\n";
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

// A source that is not in memory, so the file-reading paths are taken.
class StreamSource final : public core::ByteSource {
public:
    explicit StreamSource(std::vector<uint8_t> data) : inner_(std::move(data)) {}
    core::IoResult<size_t> read(std::span<uint8_t> buf) override { return inner_.read(buf); }
    core::IoResult<uint64_t> seek(uint64_t pos) override { return inner_.seek(pos); }
    uint64_t position() const override { return inner_.position(); }
    core::IoResult<uint64_t> size() override { return inner_.size(); }

private:
    core::MemorySource inner_;
};

inline udif::Result<udif::DmgReader> open_streamed(std::vector<uint8_t> bytes, bool verify = true) {
    return udif::DmgReader::with_options(std::make_unique<StreamSource>(std::move(bytes)), verify);
}

// The bytes in an unnamed file, read through a file source (positional reads).
inline udif::Result<udif::DmgReader> open_file(std::vector<uint8_t> bytes, bool verify = true) {
    auto file = core::anonymous_tempfile();
    if (!file) return udif::fail(file.error());
    if (auto r = file->write_all(bytes); !r) return udif::fail(r.error());
    return udif::DmgReader::with_options(std::make_unique<core::FileSource>(std::move(*file)), verify);
}

// A whole file's bytes as text.
inline std::string file_text(const core::File& file) {
    std::string out(size_t(file.size().value_or(0)), '\0');
    for (size_t done = 0; done < out.size();) {
        auto n = file.pread_some({reinterpret_cast<uint8_t*>(out.data()) + done, out.size() - done}, done);
        if (!n || *n == 0) return "unreadable";
        done += *n;
    }
    return out;
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
