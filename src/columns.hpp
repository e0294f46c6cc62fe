// Decoded quotes as Arrow columns: a batch builder that appends records, and
// the export of finished batches through the Arrow C data and C stream
// interfaces.
//
// Plain C++ like the decoder (no Python; the Python type that hands these
// batches out is in columns.cpp), so the builder can be unit-tested and
// fuzzed on its own. Out of memory is a std::bad_alloc; the export callbacks
// catch it and answer ENOMEM.
//
// Ownership. A finished Batch owns all of its buffers and never changes; it
// is shared through std::shared_ptr by whoever still needs it: the Python
// object, each stream, each exported array. Every exported ArrowArray node
// (the batch's struct array, its columns, a list column's strings) counts one
// reference on its export record, released by its own release callback, so a
// consumer may release the nodes in any order, move columns out and keep only
// some, and do it on any thread: nothing here touches the interpreter.
#pragma once

#include <atomic>
#include <bit>
#include <cerrno>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "arrow_c.hpp"
#include "vornproto.hpp"

namespace vorn::columns {

using vorn_detail::FieldTraits;
using vorn_detail::Kind;
using vorn_detail::value_width;

inline constexpr int kFields = VORN_FIELD_COUNT;
// Columns of a batch: recv_ns (when there is one) and one per field. Slot
// kFields is recv_ns, so that a field's slot is its presence bit.
inline constexpr int kRecvSlot = kFields;
inline constexpr int kSlots = kFields + 1;

inline constexpr int64_t kDefaultBatchRows = 65536;
// Rows per batch are bounded so a column's offsets and the validity bits of
// a batch stay well inside int32 and size_t arithmetic everywhere.
inline constexpr int64_t kMaxBatchRows = int64_t{1} << 24;

// ---------------------------------------------------------------------------
// Memory
// ---------------------------------------------------------------------------

// A growable block of C memory. Arrow leaves the allocator to the producer;
// the block is freed by whoever holds it last (a Batch, once finished).
class Buf {
public:
    Buf() = default;
    Buf(const Buf&) = delete;
    Buf& operator=(const Buf&) = delete;
    Buf(Buf&& o) noexcept
        : p_(std::exchange(o.p_, nullptr)), cap_(std::exchange(o.cap_, 0)), len_(std::exchange(o.len_, 0)) {}
    Buf& operator=(Buf&& o) noexcept {
        Buf tmp(std::move(o));
        std::swap(p_, tmp.p_);
        std::swap(cap_, tmp.cap_);
        std::swap(len_, tmp.len_);
        return *this;
    }
    ~Buf() { std::free(p_); }

    uint8_t* data() const { return p_; }
    size_t capacity() const { return cap_; }
    // Bytes in use, for buffers filled front to back (string bytes).
    size_t size() const { return len_; }
    void set_size(size_t n) { len_ = n; }
    bool allocated() const { return p_ != nullptr; }

    // Room for `want` bytes in all, growing geometrically; bytes that were
    // not there before are zero when `zero` is set.
    void reserve(size_t want, bool zero) {
        if (want <= cap_) return;
        size_t grown = cap_ < 64 ? 64 : cap_ * 2;
        if (grown < want) grown = want;
        if (p_ == nullptr && zero) {
            // Fresh zeroed pages cost nothing until they are written.
            p_ = static_cast<uint8_t*>(std::calloc(grown, 1));
            if (p_ == nullptr) throw std::bad_alloc();
            cap_ = grown;
            return;
        }
        auto* p = static_cast<uint8_t*>(std::realloc(p_, grown));
        if (p == nullptr) throw std::bad_alloc();
        if (zero) std::memset(p + cap_, 0, grown - cap_);
        p_ = p;
        cap_ = grown;
    }
    // Gives back what lies past `keep` bytes (a shrinking realloc does not
    // copy); keeps the block as it is if the C library cannot.
    void shrink_to(size_t keep) {
        if (p_ == nullptr || keep >= cap_ || keep == 0) return;
        if (auto* p = static_cast<uint8_t*>(std::realloc(p_, keep))) {
            p_ = p;
            cap_ = keep;
        }
    }

private:
    uint8_t* p_ = nullptr;
    size_t cap_ = 0;
    size_t len_ = 0;
};

// ---------------------------------------------------------------------------
// UTF-8: invalid bytes replaced exactly as the dict's str() shows them
// ---------------------------------------------------------------------------

// Copies n bytes of text to dst (room for 3 * n bytes) as valid UTF-8 and
// returns the bytes written. Every maximal subpart of an ill-formed sequence
// becomes one U+FFFD: an invalid lead byte on its own, or the lead byte and
// the continuation bytes that were still possible, whether it is cut off by
// a byte that cannot follow or by the end of the text. That is what decoding
// with errors="replace" gives, so a column holds the dict's exact text.
inline size_t utf8_sanitize(uint8_t* dst, const uint8_t* src, size_t n) {
    size_t i = 0;
    size_t o = 0;
    while (i < n) {
        // Runs of ASCII, eight bytes at a time.
        while (n - i >= 8) {
            uint64_t w;
            std::memcpy(&w, src + i, 8);
            if (w & 0x8080808080808080u) break;
            std::memcpy(dst + o, &w, 8);
            i += 8;
            o += 8;
        }
        if (i == n) break;
        const uint8_t c = src[i];
        if (c < 0x80) {
            dst[o++] = c;
            ++i;
            continue;
        }
        size_t need;            // continuation bytes after the lead byte
        uint8_t lo = 0x80;      // range of the first one; the others are 80..BF
        uint8_t hi = 0xBF;
        if (c >= 0xC2 && c <= 0xDF) {
            need = 1;
        } else if (c == 0xE0) {
            need = 2;
            lo = 0xA0;  // no overlong forms
        } else if (c == 0xED) {
            need = 2;
            hi = 0x9F;  // no surrogates
        } else if (c >= 0xE1 && c <= 0xEF) {
            need = 2;
        } else if (c == 0xF0) {
            need = 3;
            lo = 0x90;
        } else if (c >= 0xF1 && c <= 0xF3) {
            need = 3;
        } else if (c == 0xF4) {
            need = 3;
            hi = 0x8F;  // nothing above U+10FFFF
        } else {
            need = 0;  // 80..C1, F5..FF never start a character
        }
        size_t k = 1;  // bytes of the sequence found valid so far
        while (k <= need && i + k < n) {
            const uint8_t d = src[i + k];
            if (d < (k == 1 ? lo : 0x80) || d > (k == 1 ? hi : 0xBF)) break;
            ++k;
        }
        if (need != 0 && k == need + 1) {
            std::memcpy(dst + o, src + i, k);
            o += k;
        } else {
            dst[o] = 0xEF;
            dst[o + 1] = 0xBF;
            dst[o + 2] = 0xBD;
            o += 3;
        }
        i += k;
    }
    return o;
}

// ---------------------------------------------------------------------------
// Finished batches
// ---------------------------------------------------------------------------

inline constexpr const char* kRecvFormat = "tsn:UTC";  // timestamp[ns, UTC]
inline constexpr const char* kRecvName = "recv_ns";

// One column of a finished batch: what its ArrowArray node says. A list
// column's strings are its child node.
struct ColumnView {
    int64_t null_count = 0;
    int64_t n_buffers = 0;
    const void* buffers[3] = {};
    int64_t child_length = 0;
    const void* child_buffers[3] = {};
};

struct Batch {
    int64_t rows = 0;
    bool with_recv = false;
    ColumnView cols[kSlots];
    std::vector<Buf> owned;  // every buffer the views point into

    Batch() = default;
    Batch(const Batch&) = delete;
    Batch& operator=(const Batch&) = delete;

    bool valid(int slot, int64_t row) const {
        const ColumnView& c = cols[slot];
        if (c.null_count == 0) return true;
        const auto* bits = static_cast<const uint8_t*>(c.buffers[0]);
        return (bits[row >> 3] >> (row & 7)) & 1u;
    }
    template <typename T>
    T value(int slot, int64_t row) const {
        T v;
        std::memcpy(&v, static_cast<const uint8_t*>(cols[slot].buffers[1]) + row * int64_t{sizeof(T)}, sizeof v);
        return v;
    }
    // The text of a utf8 column's row, or of a list column's item.
    vornstr text(int slot, int64_t i, bool item = false) const {
        const void* const* b = item ? cols[slot].child_buffers : cols[slot].buffers;
        const auto* offsets = static_cast<const int32_t*>(b[1]);
        const auto* bytes = static_cast<const uint8_t*>(b[2]);
        return vornstr{bytes + offsets[i], static_cast<uint32_t>(offsets[i + 1] - offsets[i])};
    }
    // Items [first, last) of a list column's row.
    std::pair<int32_t, int32_t> items(int slot, int64_t row) const {
        const auto* offsets = static_cast<const int32_t*>(cols[slot].buffers[1]);
        return {offsets[row], offsets[row + 1]};
    }
};

using BatchPtr = std::shared_ptr<const Batch>;

// ---------------------------------------------------------------------------
// The builder
// ---------------------------------------------------------------------------

class BatchBuilder {
public:
    // `first_rows`: how many rows to make room for at first (the number of
    // frames, when known); capacity then doubles up to max_rows.
    // `text_limit`: text bytes a batch may hold over all its string columns
    // together (below only for tests), so no column's int32 offsets pass it.
    BatchBuilder(bool with_recv, int64_t max_rows, int64_t first_rows, size_t text_limit = kTextLimit)
        : with_recv_(with_recv),
          max_rows_(max_rows),
          next_cap_(clamp_rows(first_rows, max_rows)),
          text_limit_(text_limit < kTextLimit ? text_limit : kTextLimit) {}

    int64_t rows() const { return rows_; }

    // Whether the batch must be finished before a record decoded from a frame
    // of `frame_bytes` bytes can join it: it is full, or the frame's text
    // (at most its own size, three times that once invalid bytes are
    // replaced) might push a string column's int32 offsets over.
    bool full(size_t frame_bytes) const {
        return rows_ == max_rows_ || too_large(frame_bytes) || text_ + 3 * frame_bytes > text_limit_;
    }
    // A frame too large for any batch: its text may not fit int32 offsets.
    bool too_large(size_t frame_bytes) const { return frame_bytes > text_limit_ / 3; }

    // A record decoded from a frame of `frame_bytes` bytes joins the rows,
    // the batch so far going to `done` first when it has no room; false,
    // and nothing changed, when the frame is too large for any batch.
    bool add(const qf_PricingData& r, size_t frame_bytes, int64_t recv_ns, std::vector<BatchPtr>& done) {
        if (too_large(frame_bytes)) return false;
        if (full(frame_bytes)) done.push_back(finish());
        append(r, recv_ns);
        return true;
    }

    // Appends one decoded record (the builder copies everything it keeps, so
    // the record's views may point anywhere). The caller checks full() first.
    void append(const qf_PricingData& r, int64_t recv_ns) {
        if (rows_ == cap_) grow();
        const int64_t row = rows_;
        if (with_recv_) {
            Slot& s = use(kRecvSlot, Kind::I64);
            std::memcpy(s.values.data() + row * 8, &recv_ns, 8);
        }
        for_each_present(r, [&]<Kind K>(int slot, const typename FieldTraits<K>::Value& v) {
            if constexpr (K == Kind::Str) {
                put_str(slot, row, v);
            } else if constexpr (K == Kind::List) {
                put_list(slot, row, v.items, v.n);
            } else {
                put_fixed<typename FieldTraits<K>::Cell>(slot, K, row, FieldTraits<K>::cell(v));
            }
            return true;
        });
        rows_ = row + 1;
    }

    // The rows appended so far as an immutable batch (none if there are no
    // rows); the builder starts over, empty.
    BatchPtr finish() {
        if (rows_ == 0) return nullptr;
        auto b = std::make_shared<Batch>();
        const int64_t rows = rows_;
        b->rows = rows;
        b->with_recv = with_recv_;
        b->owned.reserve(4 * kSlots + 1);
        // Columns without a value in this batch all read one zeroed block:
        // no validity bit set, zero values, zero offsets, no bytes.
        Buf zeros;
        zeros.reserve(static_cast<size_t>(rows) * 8 + 8, true);
        const uint8_t* z = zeros.data();
        b->owned.push_back(std::move(zeros));

        for (int slot = 0; slot < kSlots; ++slot) {
            if (slot == kRecvSlot && !with_recv_) continue;
            const Kind kind = slot == kRecvSlot ? Kind::I64 : vorn_detail::fields[slot].kind;
            Slot& s = slots_[slot];
            ColumnView& v = b->cols[slot];
            v.n_buffers = (kind == Kind::Str) ? 3 : 2;
            if (!s.used) {
                v.null_count = rows;
                v.buffers[0] = z;
                v.buffers[1] = z;
                v.buffers[2] = z;
                v.child_buffers[1] = z;  // one zero offset: no items
                v.child_buffers[2] = z;
                continue;
            }
            const size_t bitmap = static_cast<size_t>((rows + 7) / 8);
            v.null_count = slot == kRecvSlot ? 0 : rows - popcount(s.validity.data(), bitmap);
            const size_t width = value_width(kind);
            if (width != 0) {
                s.values.shrink_to(static_cast<size_t>(rows) * width);
            } else {
                // Rows without a value kept offset 0; they take the end of
                // the row before (offsets only grow).
                auto* off = reinterpret_cast<int32_t*>(s.values.data());
                for (int64_t i = 1; i <= rows; ++i) {
                    if (off[i] < off[i - 1]) off[i] = off[i - 1];
                }
                s.values.shrink_to(static_cast<size_t>(rows + 1) * 4);
            }
            s.bytes.shrink_to(s.bytes.size());  // before taking pointers: it may move
            v.buffers[0] = v.null_count != 0 ? s.validity.data() : nullptr;
            v.buffers[1] = s.values.data();
            if (kind == Kind::Str) {
                v.buffers[2] = nonnull(s.bytes, z);
            } else if (kind == Kind::List) {
                v.child_length = s.items;
                v.child_buffers[1] = s.item_offsets.data();
                v.child_buffers[2] = nonnull(s.bytes, z);
            }
            b->owned.push_back(std::move(s.validity));
            b->owned.push_back(std::move(s.values));
            b->owned.push_back(std::move(s.item_offsets));
            b->owned.push_back(std::move(s.bytes));
        }
        for (Slot& s : slots_) s = Slot{};
        rows_ = 0;
        text_ = 0;
        next_cap_ = clamp_rows(cap_, max_rows_);
        cap_ = 0;
        return b;
    }

private:
    // Text bytes a batch may hold, over all its string columns together, so
    // that no single column's offsets can pass INT32_MAX.
    static constexpr size_t kTextLimit = INT32_MAX;

    struct Slot {
        bool used = false;
        Buf validity;      // a bit per row
        Buf values;        // fixed width: the values; utf8, list: int32 offsets, rows + 1
        Buf item_offsets;  // list: int32 offsets of the items, items + 1
        Buf bytes;         // utf8, list: the text
        int64_t items = 0;
    };

    static int64_t clamp_rows(int64_t n, int64_t max_rows) {
        if (n < 16) n = 16;
        return n < max_rows ? n : max_rows;
    }
    static const void* nonnull(const Buf& b, const uint8_t* zeros) {
        // Some consumers refuse a null data pointer even for no bytes.
        return b.allocated() ? static_cast<const void*>(b.data()) : zeros;
    }
    static int64_t popcount(const uint8_t* p, size_t n) {
        int64_t total = 0;
        size_t i = 0;
        for (; n - i >= 8; i += 8) {
            uint64_t w;
            std::memcpy(&w, p + i, 8);
            total += std::popcount(w);
        }
        for (; i < n; ++i) total += std::popcount(static_cast<unsigned>(p[i]));
        return total;
    }

    // Sizes a column's row buffers for `cap` rows (new space zeroed: absent
    // rows read as zero values, zero offsets and clear validity bits).
    static void size_rows(Slot& s, Kind kind, int64_t cap) {
        const auto rows = static_cast<size_t>(cap);
        s.validity.reserve((rows + 7) / 8, true);
        const size_t width = value_width(kind);
        s.values.reserve(width != 0 ? rows * width : (rows + 1) * 4, true);
    }

    void grow() {
        const int64_t cap = cap_ == 0 ? next_cap_ : clamp_rows(cap_ * 2, max_rows_);
        if (cap <= rows_) throw std::length_error("batch is full: finish it before appending");
        for (int slot = 0; slot < kSlots; ++slot) {
            Slot& s = slots_[slot];
            if (s.used) size_rows(s, slot == kRecvSlot ? Kind::I64 : vorn_detail::fields[slot].kind, cap);
        }
        cap_ = cap;
    }

    // A column's buffers, made on its first value in the batch.
    Slot& use(int slot, Kind kind) {
        Slot& s = slots_[slot];
        if (!s.used) {
            size_rows(s, kind, cap_);
            if (kind == Kind::List) s.item_offsets.reserve(4, true);
            s.used = true;
        }
        return s;
    }

    static void set_valid(Slot& s, int64_t row) { s.validity.data()[row >> 3] |= static_cast<uint8_t>(1u << (row & 7)); }

    template <typename T>
    void put_fixed(int slot, Kind kind, int64_t row, T v) {
        Slot& s = use(slot, kind);
        std::memcpy(s.values.data() + row * int64_t{sizeof(T)}, &v, sizeof v);
        set_valid(s, row);
    }

    // Appends text to the column's bytes; returns the new end offset.
    int32_t put_text(Slot& s, vornstr t) {
        const size_t at = s.bytes.size();
        s.bytes.reserve(at + 3 * static_cast<size_t>(t.n), false);
        const size_t w = utf8_sanitize(s.bytes.data() + at, t.p, t.n);
        s.bytes.set_size(at + w);
        text_ += w;
        return static_cast<int32_t>(at + w);
    }

    void put_str(int slot, int64_t row, vornstr t) {
        Slot& s = use(slot, Kind::Str);
        const int32_t end = put_text(s, t);
        reinterpret_cast<int32_t*>(s.values.data())[row + 1] = end;
        set_valid(s, row);
    }

    void put_list(int slot, int64_t row, const vornstr* items, uint32_t n) {
        Slot& s = use(slot, Kind::List);
        if (n > VORN_INDICES_MAX) n = VORN_INDICES_MAX;
        s.item_offsets.reserve(static_cast<size_t>(s.items + n + 1) * 4, true);
        auto* item_end = reinterpret_cast<int32_t*>(s.item_offsets.data()) + s.items + 1;
        for (uint32_t i = 0; i < n; ++i) {
            const int32_t end = put_text(s, items[i]);
            // put_text may have moved the bytes, never the offsets.
            item_end[i] = end;
        }
        s.items += n;
        reinterpret_cast<int32_t*>(s.values.data())[row + 1] = static_cast<int32_t>(s.items);
        set_valid(s, row);
    }

    bool with_recv_;
    int64_t max_rows_;
    int64_t next_cap_;
    int64_t cap_ = 0;
    int64_t rows_ = 0;
    size_t text_ = 0;
    size_t text_limit_;
    Slot slots_[kSlots];
};

// ---------------------------------------------------------------------------
// Export through the C data interface
// ---------------------------------------------------------------------------

namespace detail {

// Everything one exported schema points into, freed when its last node is
// released. Names and formats are string constants.
struct SchemaExport {
    std::atomic<int> live{0};
    ArrowSchema fields[kSlots];
    ArrowSchema* field_ptrs[kSlots];
    ArrowSchema items[kSlots];
    ArrowSchema* item_ptrs[kSlots];
};

inline void release_schema(ArrowSchema* s) noexcept {
    auto* x = static_cast<SchemaExport*>(s->private_data);
    for (int64_t i = 0; i < s->n_children; ++i) {
        ArrowSchema* c = s->children[i];
        if (c->release != nullptr) c->release(c);
    }
    s->release = nullptr;
    if (x->live.fetch_sub(1, std::memory_order_acq_rel) == 1) delete x;
}

inline void set_schema(ArrowSchema* s, SchemaExport* x, const char* format, const char* name, int64_t flags) {
    *s = ArrowSchema{format, name, nullptr, flags, 0, nullptr, nullptr, release_schema, x};
    x->live.fetch_add(1, std::memory_order_relaxed);
}

// Everything one exported batch points into: the nodes of its columns,
// their buffer lists, and a reference to the batch that owns the memory.
struct ArrayExport {
    BatchPtr batch;
    std::atomic<int> live{0};
    const void* top_buffers[1] = {nullptr};
    ArrowArray cols[kSlots];
    ArrowArray* col_ptrs[kSlots];
    const void* col_buffers[kSlots][3];
    ArrowArray items[kSlots];
    ArrowArray* item_ptrs[kSlots];
    const void* item_buffers[kSlots][3];
};

inline void release_array(ArrowArray* a) noexcept {
    auto* x = static_cast<ArrayExport*>(a->private_data);
    for (int64_t i = 0; i < a->n_children; ++i) {
        ArrowArray* c = a->children[i];
        if (c->release != nullptr) c->release(c);
    }
    a->release = nullptr;
    if (x->live.fetch_sub(1, std::memory_order_acq_rel) == 1) delete x;
}

inline void set_array(ArrowArray* a, ArrayExport* x, int64_t length, int64_t null_count, int64_t n_buffers,
                      const void** buffers) {
    *a = ArrowArray{length, null_count, 0, n_buffers, 0, buffers, nullptr, nullptr, release_array, x};
    x->live.fetch_add(1, std::memory_order_relaxed);
}

// Column slots in schema order: recv_ns first when there is one, then the
// fields by number.
template <typename F>
void for_each_slot(bool with_recv, F&& f) {
    int i = 0;
    if (with_recv) f(i++, kRecvSlot);
    for (int slot = 0; slot < kFields; ++slot) f(i++, slot);
}

}  // namespace detail

// The schema of every batch: a struct of the columns, recv_ns (not
// nullable) when present, then the 47 fields (nullable), named by their keys.
inline void export_schema(bool with_recv, ArrowSchema* out) {
    using namespace detail;
    auto* x = new SchemaExport();
    int n = 0;
    for_each_slot(with_recv, [&](int i, int slot) {
        ArrowSchema* f = &x->fields[i];
        x->field_ptrs[i] = f;
        n = i + 1;
        if (slot == kRecvSlot) {
            set_schema(f, x, kRecvFormat, kRecvName, 0);
            return;
        }
        const vorn_detail::FieldDesc& d = vorn_detail::fields[slot];
        set_schema(f, x, vorn_detail::arrow_format(d.kind), d.name, ARROW_FLAG_NULLABLE);
        if (d.kind == Kind::List) {
            set_schema(&x->items[i], x, FieldTraits<Kind::Str>::arrow, "item", ARROW_FLAG_NULLABLE);
            x->item_ptrs[i] = &x->items[i];
            f->n_children = 1;
            f->children = &x->item_ptrs[i];
        }
    });
    set_schema(out, x, "+s", "", 0);
    out->n_children = n;
    out->children = x->field_ptrs;
}

// One batch as a struct array; the export holds a reference to the batch.
inline void export_batch(const BatchPtr& batch, ArrowArray* out) {
    using namespace detail;
    auto* x = new ArrayExport();
    x->batch = batch;
    const Batch& b = *batch;
    int n = 0;
    for_each_slot(b.with_recv, [&](int i, int slot) {
        const ColumnView& v = b.cols[slot];
        std::memcpy(x->col_buffers[i], v.buffers, sizeof v.buffers);
        ArrowArray* c = &x->cols[i];
        x->col_ptrs[i] = c;
        n = i + 1;
        set_array(c, x, b.rows, v.null_count, v.n_buffers, x->col_buffers[i]);
        if (slot != kRecvSlot && vorn_detail::fields[slot].kind == Kind::List) {
            std::memcpy(x->item_buffers[i], v.child_buffers, sizeof v.child_buffers);
            set_array(&x->items[i], x, v.child_length, 0, 3, x->item_buffers[i]);
            x->item_ptrs[i] = &x->items[i];
            c->n_children = 1;
            c->children = &x->item_ptrs[i];
        }
    });
    set_array(out, x, b.rows, 0, 1, x->top_buffers);
    out->n_children = n;
    out->children = x->col_ptrs;
}

// A stream over a fixed list of batches. It keeps its own references to
// them, so it outlives whatever made it; like the arrays it hands out, it
// never touches the interpreter.
struct StreamState {
    std::vector<BatchPtr> batches;
    bool with_recv = false;
    size_t next = 0;
    std::string error;
};

namespace detail {

inline StreamState* state(ArrowArrayStream* s) { return static_cast<StreamState*>(s->private_data); }

inline int stream_get_schema(ArrowArrayStream* s, ArrowSchema* out) noexcept {
    try {
        export_schema(state(s)->with_recv, out);
        return 0;
    } catch (const std::bad_alloc&) {
        state(s)->error = "out of memory exporting the schema";
        return ENOMEM;
    }
}

inline int stream_get_next(ArrowArrayStream* s, ArrowArray* out) noexcept {
    StreamState* st = state(s);
    if (st->next == st->batches.size()) {
        out->release = nullptr;  // the end
        return 0;
    }
    try {
        export_batch(st->batches[st->next], out);
    } catch (const std::bad_alloc&) {
        st->error = "out of memory exporting a batch";
        return ENOMEM;
    }
    // A batch goes to one consumer; the stream lets go of it at once.
    st->batches[st->next++].reset();
    return 0;
}

inline const char* stream_last_error(ArrowArrayStream* s) noexcept {
    const StreamState* st = state(s);
    return st->error.empty() ? nullptr : st->error.c_str();
}

inline void stream_release(ArrowArrayStream* s) noexcept {
    delete state(s);
    s->release = nullptr;
}

}  // namespace detail

// Fills `out` with a stream that takes over `st`.
inline void export_stream(std::unique_ptr<StreamState> st, ArrowArrayStream* out) {
    *out = ArrowArrayStream{detail::stream_get_schema, detail::stream_get_next, detail::stream_last_error,
                            detail::stream_release, st.release()};
}

}  // namespace vorn::columns

#ifndef VORNPROTO_NO_PYTHON
// ---------------------------------------------------------------------------
// The Python type that holds finished batches (columns.cpp)
// ---------------------------------------------------------------------------

namespace vorn {

// Makes the QuoteColumns type and adds it to the module; 0, or -1 with an
// error set.
int quote_columns_create_type(PyObject* module);
// Drops the type (after a failed import).
void quote_columns_fini() noexcept;

// A new QuoteColumns over `batches` (`rows` rows in all), with `errors`, a
// list of (frame index, exception) pairs that it references, not copies.
PyObject* quote_columns_new(std::vector<columns::BatchPtr>&& batches, bool with_recv, int64_t rows,
                            PyObject* errors);

}  // namespace vorn
#endif  // VORNPROTO_NO_PYTHON
