// What the fuzz targets share: bounded output, scratch folders, and the input
// held in a file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <span>

#include "core/io.hpp"

// The entry point of every target: libFuzzer calls it, and so does the
// replay program of the regression tests.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace kiv_fuzz {

// How many output bytes one input may make a target produce (decoded
// partitions, files read, bytes extracted).  Every real fixture stays below;
// beyond it a correct but huge output would only slow the fuzzer down, so the
// target stops asking for more.  Holes (skipped zeros) cost nothing and are
// not counted.
inline constexpr uint64_t kMaxOutput = uint64_t(64) << 20;
// At most this many entries are extracted to disk per input.
inline constexpr size_t kMaxExtractedEntries = 512;

// Reads every byte it is given (so that the sanitizers see each one), keeps
// none, and fails once the budget is spent.
class BoundedSink final : public core::ByteSink {
public:
    explicit BoundedSink(uint64_t budget = kMaxOutput) : budget_(budget) {}
    core::IoResult<void> write_all(std::span<const uint8_t> data) override;
    core::IoResult<void> skip_zeros(uint64_t count) override;
    uint64_t written() const { return written_; }

private:
    uint64_t budget_;
    uint64_t written_ = 0;
};

// An empty folder of this process's own under the temporary directory: each
// call empties it (whatever permissions an extraction left on its folders),
// and it goes away when the process exits.
const std::filesystem::path& empty_scratch_dir();

// An anonymous in-memory file holding `data`, positioned at its start.
core::File memory_file(std::span<const uint8_t> data);

}  // namespace kiv_fuzz
