#include "core/io.hpp"
#include "core/try.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace core {

IoError IoError::unexpected_eof() { return IoError(Kind::UnexpectedEof, 0, "failed to fill whole buffer"); }

IoError IoError::from_errno(int err) {
    return IoError(Kind::Os, err, std::string(std::strerror(err)) + " (os error " + std::to_string(err) + ")");
}

IoError IoError::other(std::string message) { return IoError(Kind::Other, 0, std::move(message)); }

// ---------------------------------------------------------------- File

File& File::operator=(File&& other) noexcept {
    if (this != &other) {
        close();
        fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
}

File::~File() { close(); }

void File::close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

IoResult<File> File::open_read(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return io_fail(IoError::from_errno(errno));
    return File(fd);
}

IoResult<File> File::create(const std::string& path) {
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) return io_fail(IoError::from_errno(errno));
    return File(fd);
}

IoResult<size_t> File::read_some(std::span<uint8_t> buf) {
    for (;;) {
        ssize_t n = ::read(fd_, buf.data(), buf.size());
        if (n >= 0) return size_t(n);
        if (errno != EINTR) return io_fail(IoError::from_errno(errno));
    }
}

IoResult<size_t> File::pread_some(std::span<uint8_t> buf, uint64_t offset) const {
    for (;;) {
        ssize_t n = ::pread(fd_, buf.data(), buf.size(), off_t(offset));
        if (n >= 0) return size_t(n);
        if (errno != EINTR) return io_fail(IoError::from_errno(errno));
    }
}

IoResult<void> File::write_all(std::span<const uint8_t> data) {
    while (!data.empty()) {
        ssize_t n = ::write(fd_, data.data(), data.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            return io_fail(IoError::from_errno(errno));
        }
        if (n == 0) return io_fail(IoError::other("failed to write whole buffer"));
        data = data.subspan(size_t(n));
    }
    return {};
}

IoResult<void> File::pwrite_all(std::span<const uint8_t> data, uint64_t offset) const {
    while (!data.empty()) {
        if (offset > uint64_t(INT64_MAX) - data.size()) return io_fail(IoError::from_errno(EFBIG));
        ssize_t n = ::pwrite(fd_, data.data(), data.size(), off_t(offset));
        if (n < 0) {
            if (errno == EINTR) continue;
            return io_fail(IoError::from_errno(errno));
        }
        if (n == 0) return io_fail(IoError::other("failed to write whole buffer"));
        data = data.subspan(size_t(n));
        offset += uint64_t(n);
    }
    return {};
}

IoResult<uint64_t> File::seek(uint64_t pos) {
    if (pos > uint64_t(INT64_MAX)) return io_fail(IoError::from_errno(EINVAL));
    off_t r = ::lseek(fd_, off_t(pos), SEEK_SET);
    if (r < 0) return io_fail(IoError::from_errno(errno));
    return uint64_t(r);
}

IoResult<void> File::extend_by(uint64_t count) {
    off_t pos = ::lseek(fd_, 0, SEEK_CUR);
    if (pos < 0) return io_fail(IoError::from_errno(errno));
    if (count > uint64_t(INT64_MAX) - uint64_t(pos)) return io_fail(IoError::from_errno(EFBIG));
    off_t end = off_t(uint64_t(pos) + count);
    auto len = KIV_TRY(size());
    if (uint64_t(end) > len && ::ftruncate(fd_, end) != 0) return io_fail(IoError::from_errno(errno));
    if (::lseek(fd_, end, SEEK_SET) < 0) return io_fail(IoError::from_errno(errno));
    return {};
}

IoResult<uint64_t> File::size() const {
    struct stat st;
    if (::fstat(fd_, &st) != 0) return io_fail(IoError::from_errno(errno));
    return uint64_t(st.st_size);
}

// ---------------------------------------------------------------- ByteSource

IoResult<void> ByteSource::read_exact(std::span<uint8_t> buf) {
    while (!buf.empty()) {
        auto n = KIV_TRY(read(buf));
        if (n == 0) return eof_fail();
        buf = buf.subspan(n);
    }
    return {};
}

IoResult<size_t> ByteSource::read_up_to(std::span<uint8_t> buf) {
    size_t got = 0;
    while (got < buf.size()) {
        const size_t n = KIV_TRY(read(buf.subspan(got)));
        if (n == 0) break;
        got += n;
    }
    return got;
}

IoResult<void> ByteSource::read_exact_at(uint64_t offset, std::span<uint8_t> buf) {
    KIV_TRY(seek(offset));
    return read_exact(buf);
}

IoResult<uint64_t> ByteSource::seek_from_end(int64_t offset) {
    auto len = KIV_TRY(size());
    if (offset > 0 || uint64_t(-offset) > len)
        return io_fail(IoError::other("invalid seek to a negative or overflowing position"));
    return seek(len - uint64_t(-offset));
}

IoResult<std::vector<uint8_t>> ByteSource::read_vec(uint64_t len) {
    // A declared length is trusted only as far as the source can back it.
    auto total = size();
    if (total && len > (position() < *total ? *total - position() : 0)) return eof_fail();
    // A source that cannot tell its size grows the vector as data arrives.
    constexpr uint64_t kStep = 16u << 20;
    std::vector<uint8_t> out;
    if (total) out.reserve(size_t(len));
    while (out.size() < len) {
        size_t old = out.size();
        size_t step = size_t(std::min<uint64_t>(len - old, kStep));
        out.resize(old + step);
        KIV_TRY(read_exact({out.data() + old, step}));
    }
    return out;
}

// ---------------------------------------------------------------- FileSource

FileSource::FileSource(File file) : file_(std::move(file)), buf_(new uint8_t[kBufferSize]) {}

IoResult<FileSource> FileSource::open(const std::string& path) {
    auto f = KIV_TRY(File::open_read(path));
    return FileSource(std::move(f));
}

IoResult<size_t> FileSource::read(std::span<uint8_t> buf) {
    if (buf.empty()) return 0;
    if (!file_synced_) {
        KIV_TRY(file_.seek(pos_));
        file_synced_ = true;
    }
    if (buf_pos_ == buf_len_) {
        // Large reads bypass the buffer.
        if (buf.size() >= kBufferSize) {
            auto n = file_.read_some(buf);
            if (n) pos_ += *n;
            return n;
        }
        auto n = KIV_TRY(file_.read_some({buf_.get(), kBufferSize}));
        buf_pos_ = 0;
        buf_len_ = n;
        if (n == 0) return 0;
    }
    size_t take = std::min(buf.size(), buf_len_ - buf_pos_);
    std::memcpy(buf.data(), buf_.get() + buf_pos_, take);
    buf_pos_ += take;
    pos_ += take;
    return take;
}

IoResult<uint64_t> FileSource::seek(uint64_t pos) {
    if (pos > uint64_t(INT64_MAX)) return io_fail(IoError::from_errno(EINVAL));
    buf_pos_ = buf_len_ = 0;
    pos_ = pos;
    file_synced_ = false;
    return pos;
}

IoResult<uint64_t> FileSource::size() { return file_.size(); }

IoResult<void> FileSource::pread_exact(uint64_t offset, std::span<uint8_t> buf) const {
    while (!buf.empty()) {
        auto n = KIV_TRY(file_.pread_some(buf, offset));
        if (n == 0) return eof_fail();
        buf = buf.subspan(n);
        offset += n;
    }
    return {};
}

// ---------------------------------------------------------------- MemorySource

IoResult<size_t> MemorySource::read(std::span<uint8_t> buf) {
    if (pos_ >= data_.size()) return 0;
    size_t take = std::min<uint64_t>(buf.size(), data_.size() - pos_);
    std::memcpy(buf.data(), data_.data() + pos_, take);
    pos_ += take;
    return take;
}

// ---------------------------------------------------------------- sinks

IoResult<void> ByteSink::write_zeros(uint64_t count) {
    static const uint8_t zeros[65536] = {};
    while (count > 0) {
        size_t n = size_t(std::min<uint64_t>(count, sizeof zeros));
        KIV_TRY(write_all({zeros, n}));
        count -= n;
    }
    return {};
}

BufferedFileWriter::BufferedFileWriter(File file) : file_(std::move(file)) { buf_.reserve(kBufferSize); }

IoResult<BufferedFileWriter> BufferedFileWriter::create(const std::string& path) {
    auto f = KIV_TRY(File::create(path));
    return BufferedFileWriter(std::move(f));
}

BufferedFileWriter::~BufferedFileWriter() {
    if (file_.is_open()) (void)flush();
}

IoResult<void> BufferedFileWriter::write_all(std::span<const uint8_t> data) {
    if (buf_.size() + data.size() > kBufferSize) {
        KIV_TRY(flush());
    }
    if (data.size() >= kBufferSize) return file_.write_all(data);
    buf_.insert(buf_.end(), data.begin(), data.end());
    return {};
}

IoResult<void> BufferedFileWriter::flush() {
    if (buf_.empty()) return {};
    auto r = file_.write_all(buf_);
    buf_.clear();
    return r;
}

IoResult<void> BufferedFileWriter::skip_zeros(uint64_t count) {
    KIV_TRY(flush());
    return file_.extend_by(count);
}

IoResult<File> BufferedFileWriter::into_file() {
    KIV_TRY(flush());
    return std::move(file_);
}

IoResult<std::vector<uint8_t>> read_file(const std::string& path) {
    auto src = KIV_TRY(FileSource::open(path));
    auto len = KIV_TRY(src.size());
    return src.read_vec(len);
}

}  // namespace core
