// Byte sources and sinks shared by every format library.
//
// A reader never throws: every fallible call returns std::expected with an
// IoError.  A short read is the distinguished "unexpected end of file" error
// whose text is "failed to fill whole buffer".
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory>
#include <span>
#include <string>
#include <utility>
#include <vector>

namespace core {

// An I/O failure: the operating system's error or an unexpected end of data.
class IoError {
public:
    enum class Kind { Os, UnexpectedEof, Other };

    // "failed to fill whole buffer"
    static IoError unexpected_eof();
    // The text of errno `err`, shown as "<strerror> (os error N)".
    static IoError from_errno(int err);
    // Any other I/O failure, with its own text.
    static IoError other(std::string message);

    Kind kind() const { return kind_; }
    int os_code() const { return code_; }
    bool is_unexpected_eof() const { return kind_ == Kind::UnexpectedEof; }
    const std::string& message() const { return message_; }

    friend bool operator==(const IoError&, const IoError&) = default;

private:
    IoError(Kind kind, int code, std::string message)
        : kind_(kind), code_(code), message_(std::move(message)) {}

    Kind kind_;
    int code_;
    std::string message_;
};

template <class T>
using IoResult = std::expected<T, IoError>;

inline std::unexpected<IoError> io_fail(IoError e) { return std::unexpected(std::move(e)); }
inline std::unexpected<IoError> eof_fail() { return std::unexpected(IoError::unexpected_eof()); }

// An owned POSIX file descriptor.
class File {
public:
    File() = default;
    explicit File(int fd) : fd_(fd) {}
    File(File&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    File& operator=(File&& other) noexcept;
    File(const File&) = delete;
    File& operator=(const File&) = delete;
    ~File();

    static IoResult<File> open_read(const std::string& path);
    // Creates or truncates a file for writing (mode 0666 before the umask).
    static IoResult<File> create(const std::string& path);

    int fd() const { return fd_; }
    bool is_open() const { return fd_ >= 0; }
    void close();

    // Reads up to buf.size() bytes; 0 means end of file.
    IoResult<size_t> read_some(std::span<uint8_t> buf);
    // Reads at an absolute offset without moving the file position.
    IoResult<size_t> pread_some(std::span<uint8_t> buf, uint64_t offset) const;
    IoResult<void> write_all(std::span<const uint8_t> data);
    // Writes at an absolute offset without moving the file position, so
    // that several threads may write at once.
    IoResult<void> pwrite_all(std::span<const uint8_t> data, uint64_t offset) const;
    IoResult<uint64_t> seek(uint64_t pos);
    IoResult<uint64_t> size() const;
    // Moves the file position `count` bytes on, leaving a hole, and grows the
    // file to that position when it was shorter.  A size the file system
    // cannot hold fails with its own error ("File too large").
    IoResult<void> extend_by(uint64_t count);

private:
    int fd_ = -1;
};

// Reads at absolute offsets that neither move nor depend on a read position,
// so that several threads may read at once.
class PositionalReader {
public:
    virtual ~PositionalReader() = default;
    // Fills the whole buffer from `offset` or fails with the unexpected-end error.
    virtual IoResult<void> pread_exact(uint64_t offset, std::span<uint8_t> buf) const = 0;
};

// A readable, seekable stream of bytes.
class ByteSource {
public:
    virtual ~ByteSource() = default;

    // Reads up to buf.size() bytes at the current position; 0 means end.
    virtual IoResult<size_t> read(std::span<uint8_t> buf) = 0;
    // Moves to an absolute position (past the end is allowed; reads there return 0).
    virtual IoResult<uint64_t> seek(uint64_t pos) = 0;
    virtual uint64_t position() const = 0;
    virtual IoResult<uint64_t> size() = 0;

    // Fills the whole buffer or fails with the unexpected-end error.
    IoResult<void> read_exact(std::span<uint8_t> buf);
    // Reads until the buffer is full or the source ends; returns the count.
    IoResult<size_t> read_up_to(std::span<uint8_t> buf);
    // seek(offset) then read_exact(buf).
    IoResult<void> read_exact_at(uint64_t offset, std::span<uint8_t> buf);
    // Seeks relative to the end (offset <= 0); fails when that is before the start.
    IoResult<uint64_t> seek_from_end(int64_t offset);
    // Reads exactly `len` bytes into a new vector.  A length beyond what the
    // source still holds (size - position) fails with the unexpected-end error
    // before anything is allocated or read.
    IoResult<std::vector<uint8_t>> read_vec(uint64_t len);

    // The whole content when the source is held in memory, else nullptr.
    virtual const std::vector<uint8_t>* memory() const { return nullptr; }
    // Thread-safe positional reads where the source offers them, else nullptr.
    virtual const PositionalReader* positional() const { return nullptr; }
};

// A file behind an 8 KiB read buffer.  Seeking discards the buffer.
class FileSource final : public ByteSource, private PositionalReader {
public:
    static constexpr size_t kBufferSize = 8192;

    explicit FileSource(File file);
    static IoResult<FileSource> open(const std::string& path);

    IoResult<size_t> read(std::span<uint8_t> buf) override;
    IoResult<uint64_t> seek(uint64_t pos) override;
    uint64_t position() const override { return pos_; }
    IoResult<uint64_t> size() override;

    File& file() { return file_; }
    const PositionalReader* positional() const override { return this; }

private:
    IoResult<void> pread_exact(uint64_t offset, std::span<uint8_t> buf) const override;

    File file_;
    std::unique_ptr<uint8_t[]> buf_;
    size_t buf_pos_ = 0;
    size_t buf_len_ = 0;
    uint64_t pos_ = 0;       // logical position of the next byte handed out
    bool file_synced_ = true;  // the descriptor's offset equals pos_ + (buf_len_ - buf_pos_)
};

// An in-memory byte buffer.
class MemorySource final : public ByteSource {
public:
    MemorySource() = default;
    explicit MemorySource(std::vector<uint8_t> data) : data_(std::move(data)) {}

    IoResult<size_t> read(std::span<uint8_t> buf) override;
    IoResult<uint64_t> seek(uint64_t pos) override { pos_ = pos; return pos; }
    uint64_t position() const override { return pos_; }
    IoResult<uint64_t> size() override { return data_.size(); }
    const std::vector<uint8_t>* memory() const override { return &data_; }

    const std::vector<uint8_t>& data() const { return data_; }
    std::vector<uint8_t> take() { pos_ = 0; return std::move(data_); }

private:
    std::vector<uint8_t> data_;
    uint64_t pos_ = 0;
};

// A writable stream of bytes.
class ByteSink {
public:
    virtual ~ByteSink() = default;
    virtual IoResult<void> write_all(std::span<const uint8_t> data) = 0;
    virtual IoResult<void> flush() { return {}; }
    // Writes `count` zero bytes.
    IoResult<void> write_zeros(uint64_t count);
    // Appends `count` bytes that read back as zeros.  Sinks over a file leave
    // a hole (the file is extended, nothing is written); others write zeros.
    virtual IoResult<void> skip_zeros(uint64_t count) { return write_zeros(count); }
};

// Appends to a vector it owns.
class VecSink final : public ByteSink {
public:
    IoResult<void> write_all(std::span<const uint8_t> data) override {
        data_.insert(data_.end(), data.begin(), data.end());
        return {};
    }
    std::vector<uint8_t>& data() { return data_; }
    std::vector<uint8_t> take() { return std::move(data_); }

private:
    std::vector<uint8_t> data_;
};

// Writes straight to a file it borrows, no buffering: for callers that
// already hand over large pieces.
class FileSink final : public ByteSink {
public:
    explicit FileSink(File& file) : file_(file) {}
    IoResult<void> write_all(std::span<const uint8_t> data) override { return file_.write_all(data); }
    IoResult<void> skip_zeros(uint64_t count) override { return file_.extend_by(count); }

private:
    File& file_;
};

// A file behind an 8 KiB write buffer.  Call flush() before closing to see
// write errors; the destructor flushes too but cannot report failure.
class BufferedFileWriter final : public ByteSink {
public:
    static constexpr size_t kBufferSize = 8192;

    explicit BufferedFileWriter(File file);
    static IoResult<BufferedFileWriter> create(const std::string& path);
    BufferedFileWriter(BufferedFileWriter&&) noexcept = default;
    BufferedFileWriter& operator=(BufferedFileWriter&&) noexcept = default;
    ~BufferedFileWriter() override;

    IoResult<void> write_all(std::span<const uint8_t> data) override;
    IoResult<void> flush() override;
    IoResult<void> skip_zeros(uint64_t count) override;

    File& file() { return file_; }
    // Flushes and hands the file back.
    IoResult<File> into_file();

private:
    File file_;
    std::vector<uint8_t> buf_;
};

// Reads a whole file into memory.
IoResult<std::vector<uint8_t>> read_file(const std::string& path);

}  // namespace core
