// The old-style (OpenStep) ASCII property list form.
#include <string>
#include <vector>

#include "core/text.hpp"
#include "core/try.hpp"
#include "plist_forms.hpp"

namespace udif::detail {

namespace {

// A reader for the ASCII form, building the same node tree as libplist does
// for XML and binary lists.
class AsciiPlistReader {
public:
    explicit AsciiPlistReader(std::span<const uint8_t> text) : s_(text) {}

    Result<PlistPtr> parse() {
        auto root = KIV_TRY(value(0));
        skip_space();
        if (pos_ != s_.size()) return error("unexpected data after the root object");
        return root;
    }

private:
    std::unexpected<KivError> error(const std::string& what) const {
        return fail(plist_error(what + " at offset " + std::to_string(pos_)));
    }

    void skip_space() {
        while (pos_ < s_.size()) {
            uint8_t c = s_[pos_];
            if (c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v') {
                ++pos_;
            } else if (c == '/' && pos_ + 1 < s_.size() && s_[pos_ + 1] == '/') {
                while (pos_ < s_.size() && s_[pos_] != '\n') ++pos_;
            } else if (c == '/' && pos_ + 1 < s_.size() && s_[pos_ + 1] == '*') {
                size_t end = pos_ + 2;
                while (end + 1 < s_.size() && !(s_[end] == '*' && s_[end + 1] == '/')) ++end;
                pos_ = end + 1 < s_.size() ? end + 2 : s_.size();
            } else {
                return;
            }
        }
    }

    static bool is_bare(uint8_t c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '$' ||
               c == '+' || c == '/' || c == ':' || c == '.' || c == '-';
    }

    bool peek(uint8_t c) {
        skip_space();
        return pos_ < s_.size() && s_[pos_] == c;
    }

    Result<PlistPtr> value(size_t depth) {
        if (depth > kMaxPlistDepth) return error("nesting too deep");
        skip_space();
        if (pos_ >= s_.size()) return error("unexpected end of data");
        uint8_t c = s_[pos_];
        if (c == '{') return dict(depth);
        if (c == '(') return array(depth);
        if (c == '<') return data();
        auto str = KIV_TRY(string());
        return PlistPtr(plist_new_string(str.c_str()));
    }

    Result<PlistPtr> dict(size_t depth) {
        ++pos_;
        PlistPtr node(plist_new_dict());
        while (!peek('}')) {
            auto key = KIV_TRY(string());
            if (!peek('=')) return error("expected '='");
            ++pos_;
            auto item = KIV_TRY(value(depth + 1));
            plist_dict_set_item(node.get(), key.c_str(), item.release());
            if (!peek(';')) return error("expected ';'");
            ++pos_;
        }
        ++pos_;
        return node;
    }

    Result<PlistPtr> array(size_t depth) {
        ++pos_;
        PlistPtr node(plist_new_array());
        while (!peek(')')) {
            auto item = KIV_TRY(value(depth + 1));
            plist_array_append_item(node.get(), item.release());
            if (peek(',')) {
                ++pos_;
            } else if (!peek(')')) {
                return error("expected ',' or ')'");
            }
        }
        ++pos_;
        return node;
    }

    static int hex_digit(uint8_t c) {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        return -1;
    }

    Result<PlistPtr> data() {
        ++pos_;
        std::vector<uint8_t> bytes;
        int high = -1;
        for (;;) {
            skip_space();
            if (pos_ >= s_.size()) return error("unterminated data");
            uint8_t c = s_[pos_++];
            if (c == '>') break;
            int d = hex_digit(c);
            if (d < 0) return error("invalid character in data");
            if (high < 0) {
                high = d;
            } else {
                bytes.push_back(uint8_t(high << 4 | d));
                high = -1;
            }
        }
        if (high >= 0) return error("odd number of hex digits in data");
        return PlistPtr(plist_new_data(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
    }

    Result<std::string> string() {
        skip_space();
        if (pos_ >= s_.size()) return error("unexpected end of data");
        std::string out;
        if (s_[pos_] != '"') {
            while (pos_ < s_.size() && is_bare(s_[pos_])) out += char(s_[pos_++]);
            if (out.empty()) return error("unexpected character");
            return out;
        }
        ++pos_;
        for (;;) {
            if (pos_ >= s_.size()) return error("unterminated string");
            uint8_t c = s_[pos_++];
            if (c == '"') return out;
            if (c != '\\') {
                out += char(c);
                continue;
            }
            if (pos_ >= s_.size()) return error("unterminated string");
            c = s_[pos_++];
            switch (c) {
                case 'a': out += '\a'; break;
                case 'b': out += '\b'; break;
                case 'f': out += '\f'; break;
                case 'n': out += '\n'; break;
                case 'r': out += '\r'; break;
                case 't': out += '\t'; break;
                case 'v': out += '\v'; break;
                case 'U': case 'u': {
                    uint32_t cp = 0;
                    int n = 0;
                    for (; n < 4 && pos_ < s_.size() && hex_digit(s_[pos_]) >= 0; ++n) cp = cp << 4 | uint32_t(hex_digit(s_[pos_++]));
                    if (n == 0) return error("invalid unicode escape");
                    core::append_utf8(out, cp);
                    break;
                }
                default:
                    if (c >= '0' && c <= '7') {
                        uint32_t v = c - '0';
                        for (int n = 1; n < 3 && pos_ < s_.size() && s_[pos_] >= '0' && s_[pos_] <= '7'; ++n)
                            v = v << 3 | uint32_t(s_[pos_++] - '0');
                        out += char(v & 0xFF);
                    } else {
                        out += char(c);
                    }
            }
        }
    }

    std::span<const uint8_t> s_;
    size_t pos_ = 0;
};

}  // namespace

Result<PlistPtr> parse_ascii_plist(std::span<const uint8_t> text) { return AsciiPlistReader(text).parse(); }

}  // namespace udif::detail
