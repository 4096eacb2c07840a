#include "codec/decmpfs.hpp"

namespace codec {

std::string DecmpfsError::message() const {
    switch (kind()) {
        case Kind::Unsupported: return "compression type " + text() + " is not supported";
        case Kind::Corrupt: return text();
        case Kind::Io: return io_error()->message();
    }
    return {};
}

}  // namespace codec
