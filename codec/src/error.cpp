#include "codec/decmpfs.hpp"

namespace codec {

DecmpfsError DecmpfsError::unsupported(uint32_t type) { return {Kind::Unsupported, type, {}}; }

DecmpfsError DecmpfsError::corrupt(std::string text) { return {Kind::Corrupt, 0, std::move(text)}; }

std::string DecmpfsError::message() const {
    switch (kind_) {
        case Kind::Unsupported: return "compression type " + std::to_string(type_) + " is not supported";
        case Kind::Corrupt: return text_;
        case Kind::Io: return io_.message();
    }
    return {};
}

}  // namespace codec
