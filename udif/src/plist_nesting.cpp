// Nesting bounds for XML and binary property lists, checked before libplist
// parses them: its parsers recurse once per level, and a list nested deeply
// enough overflows the stack.
#include <algorithm>
#include <optional>
#include <string_view>
#include <vector>

#include "core/endian.hpp"
#include "plist_forms.hpp"

namespace udif::detail {

namespace {

std::unexpected<KivError> too_deep(uint64_t offset) {
    return fail(plist_error("nesting too deep at offset " + std::to_string(offset)));
}

// ---------------------------------------------------------------- XML

// The markup of an XML text as any reader may take it.  Readers differ on
// details (quotes inside declarations, where an internal DTD subset ends),
// so each markup region is taken to end at the latest point any of them
// could end it.
class XmlMarkup {
public:
    explicit XmlMarkup(std::string_view text) : t_(text) {}

    // Just past the markup region that starts with the '<' at `at`: a
    // comment, CDATA section, processing instruction, declaration or tag.
    size_t region_end(size_t at) const {
        std::string_view rest = t_.substr(at);
        if (rest.starts_with("<!--")) return latest_end(at + 4, "-->");
        if (rest.starts_with("<![CDATA[")) return latest_end(at + 9, "]]>");
        if (rest.starts_with("<?")) return latest_end(at + 2, "?>");
        size_t end = latest_end(at + 1, ">");
        // A declaration with an internal subset, "<!DOCTYPE p [ ... ]>", may
        // also be read up to its "]>".
        if (rest.starts_with("<!") && t_.find('[', at) < end) end = std::max(end, latest_end(at + 2, "]>"));
        return end;
    }

private:
    // The first `pattern` at or after `from`; with `quoted`, occurrences
    // inside "..." or '...' are passed over.
    size_t find(size_t from, std::string_view pattern, bool quoted) const {
        if (!quoted) return t_.find(pattern, from);
        char quote = 0;
        for (size_t i = from; i < t_.size(); ++i) {
            char c = t_[i];
            if (quote) {
                if (c == quote) quote = 0;
            } else if (c == '"' || c == '\'') {
                quote = c;
            } else if (t_.compare(i, pattern.size(), pattern) == 0) {
                return i;
            }
        }
        return std::string_view::npos;
    }

    // Just past the later of the plain and the quote-aware first `pattern`;
    // the end of the text when either reading finds none.
    size_t latest_end(size_t from, std::string_view pattern) const {
        size_t plain = find(from, pattern, false), quoted = find(from, pattern, true);
        if (plain == std::string_view::npos || quoted == std::string_view::npos) return t_.size();
        return std::max(plain, quoted) + pattern.size();
    }

    std::string_view t_;
};

}  // namespace

// Every '<' that may open an element counts one level deeper, wherever it
// stands (inside a comment too), unless its tag plainly closes itself
// ("<true/>", no quote before its first '>').  A closing tag counts one
// level back only where it starts a markup region of its own, never inside
// a comment, CDATA section, declaration or another tag.  So the count never
// falls below the depth libplist reaches, whichever way it reads the markup.
// The scan visits each byte a bounded number of times.
Result<void> check_xml_nesting(std::span<const uint8_t> bytes) {
    std::string_view text(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    XmlMarkup markup(text);
    const size_t n = text.size();
    size_t depth = 0, region_end = 0;
    size_t gt = 0, quote = 0;  // the first '>' and the first quote after the current '<'
    for (size_t at = text.find('<'); at != std::string_view::npos && at + 1 < n; at = text.find('<', at + 1)) {
        char next = text[at + 1];
        if (next == '/') {
            if (at >= region_end && depth > 0) --depth;
        } else if (next != '!' && next != '?') {
            while (gt < n && (gt <= at || text[gt] != '>')) ++gt;
            while (quote < n && (quote <= at || (text[quote] != '"' && text[quote] != '\''))) ++quote;
            bool closes_itself = gt < n && text[gt - 1] == '/' && quote > gt;
            if (!closes_itself && ++depth > kMaxPlistDepth) return too_deep(at);
        }
        if (at >= region_end) region_end = markup.region_end(at);
    }
    return {};
}

// ---------------------------------------------------------------- binary

namespace {

// The object graph of a binary list ("bplist00"): a trailer in the last 32
// bytes locates the offset table, which locates each object; arrays, sets
// and dictionaries refer to other objects by index.
class BinaryGraph {
public:
    explicit BinaryGraph(std::span<const uint8_t> b) : b_(b) {}

    // False when libplist would refuse the trailer itself.
    bool open() {
        if (b_.size() < 8 + kTrailer) return false;
        const uint8_t* t = b_.data() + b_.size() - kTrailer;
        offset_size_ = t[6];
        ref_size_ = t[7];
        count_ = core::load_be64(t + 8);
        top_ = core::load_be64(t + 16);
        table_ = core::load_be64(t + 24);
        body_ = b_.size() - kTrailer;
        if (offset_size_ == 0 || offset_size_ > 8 || ref_size_ == 0 || ref_size_ > 8) return false;
        if (table_ > body_ || count_ == 0 || count_ > (body_ - table_) / offset_size_ || top_ >= count_) return false;
        return true;
    }

    uint64_t count() const { return count_; }
    uint64_t top() const { return top_; }

    // Where an object starts (past the data when the table says so).
    uint64_t offset_of(uint64_t object) const {
        return be(table_ + object * offset_size_, offset_size_).value_or(body_);
    }

    // The object references a container holds: `count` of them from `at`
    // (dictionaries hold keys and values).  Zero for any other object, or
    // when its header cannot be read.
    struct Refs {
        uint64_t at = 0, count = 0;
    };
    Refs refs_of(uint64_t object) const {
        uint64_t at = offset_of(object);
        if (at >= body_) return {};
        uint8_t marker = b_[at];
        unsigned kind = marker >> 4;
        if (kind != 0xA && kind != 0xC && kind != 0xD) return {};
        uint64_t n = marker & 0x0F;
        ++at;
        if (n == 0x0F) {
            if (at >= body_ || (b_[at] >> 4) != 0x1) return {};
            unsigned width = 1u << (b_[at] & 0x0F);
            auto v = width <= 8 ? be(at + 1, width) : std::nullopt;
            if (!v) return {};
            n = *v;
            at += 1 + width;
        }
        if (kind == 0xD) n = n > UINT64_MAX / 2 ? UINT64_MAX : 2 * n;
        // References past the data cannot be read by anyone.
        uint64_t room = at <= body_ ? (body_ - at) / ref_size_ : 0;
        return {at, std::min(n, room)};
    }

    // The object index of reference `i` of `refs`.
    uint64_t ref(const Refs& refs, uint64_t i) const { return *be(refs.at + i * ref_size_, ref_size_); }

    uint64_t size() const { return b_.size(); }

private:
    static constexpr size_t kTrailer = 32;

    std::optional<uint64_t> be(uint64_t at, unsigned width) const {
        if (at > body_ || width > body_ - at) return std::nullopt;
        uint64_t v = 0;
        for (unsigned i = 0; i < width; ++i) v = v << 8 | b_[size_t(at + i)];
        return v;
    }

    std::span<const uint8_t> b_;
    unsigned offset_size_ = 0, ref_size_ = 0;
    uint64_t count_ = 0, top_ = 0, table_ = 0, body_ = 0;
};

}  // namespace

// libplist walks the graph from the top object as a tree: a shared object
// is parsed again at every reference, and a cycle never ends.  The walk here
// visits each object once (depth-first, on a heap stack) and refuses a graph
// whose tree would nest deeper than the bound, holds a cycle, or has more
// nodes than the list has bytes (only shared containers do that: writers
// share strings and numbers, never arrays or dictionaries).  References
// libplist could not follow (an index beyond the table) lead nowhere.
Result<void> check_binary_nesting(std::span<const uint8_t> bytes) {
    BinaryGraph g(bytes);
    if (!g.open()) return {};  // libplist refuses the list whole
    const uint64_t budget = std::min<uint64_t>(g.size(), UINT32_MAX);
    constexpr uint16_t kNew = 0, kOpen = 0xFFFF;
    // Per object: kNew, kOpen, or 1 + the height of its tree once done;
    // and the node count of its tree, saturated past the budget.
    std::vector<uint16_t> height(size_t(g.count()), kNew);
    std::vector<uint32_t> nodes(size_t(g.count()), 0);
    struct Frame {
        uint64_t object;
        BinaryGraph::Refs refs;
        uint64_t next = 0;
        uint16_t height = 1;
        uint64_t nodes = 1;
    };
    std::vector<Frame> stack;
    uint64_t followed = 0;
    auto push = [&](uint64_t object) {
        height[size_t(object)] = kOpen;
        stack.push_back({object, g.refs_of(object)});
    };
    push(g.top());
    while (!stack.empty()) {
        Frame& f = stack.back();
        if (f.next < f.refs.count) {
            uint64_t child = g.ref(f.refs, f.next++);
            if (++followed > budget) return fail(plist_error("too many object references"));
            if (child >= g.count()) continue;
            uint16_t h = height[size_t(child)];
            if (h == kOpen || stack.size() + (h == kNew ? 1 : h) > kMaxPlistDepth) return too_deep(g.offset_of(child));
            if (h == kNew) {
                push(child);
                continue;
            }
            f.height = std::max<uint16_t>(f.height, uint16_t(h + 1));
            f.nodes = std::min(budget + 1, f.nodes + nodes[size_t(child)]);
            continue;
        }
        Frame done = f;
        stack.pop_back();
        if (done.nodes > budget) return fail(plist_error("too many object references"));
        height[size_t(done.object)] = done.height;
        nodes[size_t(done.object)] = uint32_t(done.nodes);
        if (!stack.empty()) {
            Frame& parent = stack.back();
            parent.height = std::max<uint16_t>(parent.height, uint16_t(done.height + 1));
            parent.nodes = std::min(budget + 1, parent.nodes + done.nodes);
        }
    }
    return {};
}

}  // namespace udif::detail
