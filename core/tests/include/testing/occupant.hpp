// An entry planted in an extraction's destination where a file goes, for the
// tables every extractor runs: the extracted file replaces it and nothing is
// written through it; only a folder or a symbolic link fails the extraction.
#pragma once

#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include "testing/testing.hpp"

namespace testing_util {

enum class Occupant { File, OutsideHardLink, Fifo, Socket, Device, SymbolicLink, Folder };
inline constexpr Occupant kOccupants[] = {Occupant::File,   Occupant::OutsideHardLink, Occupant::Fifo,
                                          Occupant::Socket, Occupant::Device,          Occupant::SymbolicLink,
                                          Occupant::Folder};

inline const char* name_of(Occupant kind) {
    constexpr const char* names[] = {"file", "hard link", "fifo", "socket", "device", "symbolic link", "folder"};
    return names[int(kind)];
}

// What stands at `path`, read without opening anything but a regular file:
// "file <bytes>" (with " +N links" when it has other names), "folder", "link" or "other".
inline std::string standing(const fs::path& path) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) return "nothing";
    if (S_ISDIR(st.st_mode)) return "folder";
    if (S_ISLNK(st.st_mode)) return "link";
    if (!S_ISREG(st.st_mode)) return "other";
    const auto bytes = read_bytes(path);
    std::string out = "file " + std::string(bytes.begin(), bytes.end());
    if (st.st_nlink > 1) out += " +" + std::to_string(st.st_nlink - 1) + " links";
    return out;
}

// `kind` planted at `at`; the links go to `outside`/victim ("v").  The reader
// side of a FIFO is held open without blocking, so that a writer opening it
// never waits and what it writes is seen.
class PlantedOccupant {
public:
    PlantedOccupant(Occupant kind, const fs::path& at, const fs::path& outside) : victim_(outside / "victim") {
        fs::create_directories(outside);
        fs::create_directories(at.parent_path());
        write_text(victim_, "v");
        victim_ino_ = fs_ino(victim_);
        switch (kind) {
        case Occupant::File: write_text(at, "old"); break;
        case Occupant::OutsideHardLink: fs::create_hard_link(victim_, at); break;
        case Occupant::Fifo:
            ::mkfifo(at.c_str(), 0666);
            reader_ = ::open(at.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
            break;
        case Occupant::Socket: ::mknod(at.c_str(), S_IFSOCK | 0666, 0); break;
        case Occupant::Device: ::mknod(at.c_str(), S_IFCHR | 0666, makedev(1, 3)); break;  // as /dev/null
        case Occupant::SymbolicLink: fs::create_symlink(victim_, at); break;
        case Occupant::Folder: fs::create_directories(at); break;
        }
        made_ = fs::exists(fs::symlink_status(at)) && (kind != Occupant::Fifo || reader_ >= 0);
    }
    ~PlantedOccupant() {
        if (reader_ >= 0) ::close(reader_);
    }
    PlantedOccupant(const PlantedOccupant&) = delete;
    PlantedOccupant& operator=(const PlantedOccupant&) = delete;

    // False when the kind cannot be made here (a device, unless root).
    bool made() const { return made_; }

    // What was done through the entry: "" when nothing.
    std::string harm() const {
        std::string out;
        if (read_bytes(victim_) != std::vector<uint8_t>{'v'} || fs_ino(victim_) != victim_ino_) out += "victim changed;";
        char byte;
        if (reader_ >= 0 && ::read(reader_, &byte, 1) > 0) out += "written into the fifo;";
        return out;
    }

private:
    static ino_t fs_ino(const fs::path& path) {
        struct stat st {};
        ::lstat(path.c_str(), &st);
        return st.st_ino;
    }

    fs::path victim_;
    ino_t victim_ino_ = 0;
    int reader_ = -1;
    bool made_ = false;
};

}  // namespace testing_util
