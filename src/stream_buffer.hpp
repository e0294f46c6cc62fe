// The stream's buffer of waiting frames: payloads with their receive times,
// bounded in frames and in bytes, taken oldest first.
//
// Plain C++ (no Python; the Python type around it is in stream_buffer.cpp),
// so it can be unit-tested on its own. The bytes are opaque here; with a key
// (conflation), a frame whose key is waiting already takes that frame's
// place in the order. Frames are numbered in arrival order (a replaced frame
// keeps its number), so a caller can place other events between them.
//
// Every slot keeps the memory of its payload and key when it is reused, and
// the key index recycles its nodes, so once each slot has held a frame of
// the usual size, pushing and popping take no C memory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

namespace vorn::stream {

struct Frame {
    std::vector<uint8_t> payload;
    int64_t recv_ns = 0;
    std::string key;  // conflation key (the symbol); empty without one
    bool keyed = false;
};

// What a push did to the waiting frames.
struct Pushed {
    uint64_t dropped = 0;  // frames dropped to make room, or replaced
    bool queued = false;   // a new place in the order (false: replaced one)
};

class FrameRing {
public:
    // `max_frames` >= 1; `max_bytes` bounds the payload bytes waiting (one
    // frame larger than that still waits, alone). With `drop` unset nothing
    // is ever dropped: the ring grows and the caller stops reading instead.
    FrameRing(size_t max_frames, size_t max_bytes, bool drop)
        : max_frames_(max_frames), max_bytes_(max_bytes), drop_(drop) {}

    size_t size() const { return count_; }
    size_t bytes() const { return bytes_; }
    bool empty() const { return count_ == 0; }
    size_t max_frames() const { return max_frames_; }
    size_t max_bytes() const { return max_bytes_; }
    // Number of the oldest waiting frame, and the one the next new frame gets.
    uint64_t head_seq() const { return head_seq_; }
    uint64_t next_seq() const { return head_seq_ + count_; }
    // At or over a bound: where a ring that does not drop asks to stop reading.
    bool full() const { return count_ >= max_frames_ || bytes_ >= max_bytes_; }
    // Taken down to half: where reading resumes.
    bool half_empty() const { return count_ <= max_frames_ / 2 && bytes_ <= max_bytes_ / 2; }

    // Queues a copy of the payload. With a key (conflation), a waiting frame
    // of the same key is replaced in its place.
    Pushed push(const uint8_t* p, size_t n, int64_t recv_ns, const std::string_view* key = nullptr) {
        Pushed r;
        if (key != nullptr) {
            if (auto it = index_.find(*key); it != index_.end()) {
                Frame& f = at(it->second - head_seq_);
                bytes_ -= f.payload.size();
                store(f, p, n, recv_ns);
                r.dropped = 1;
                if (drop_) r.dropped += trim(1);
                return r;
            }
        }
        if (drop_) {
            while (count_ > 0 && (count_ >= max_frames_ || bytes_ + n > max_bytes_)) {
                pop();
                ++r.dropped;
            }
        }
        if (count_ == ring_.size()) grow();
        Frame& f = at(count_);
        store(f, p, n, recv_ns);
        f.keyed = key != nullptr;
        if (key != nullptr) {
            f.key.assign(key->data(), key->size());
            remember(f.key, head_seq_ + count_);
        }
        ++count_;
        r.queued = true;
        return r;
    }

    // The oldest waiting frame; the ring must not be empty.
    const Frame& front() const { return ring_[head_]; }

    // Drops the oldest waiting frame.
    void pop() {
        Frame& f = ring_[head_];
        bytes_ -= f.payload.size();
        if (f.keyed) forget(f.key);
        f.keyed = false;
        // A single outsized frame should not pin its memory in the slot.
        if (f.payload.capacity() > kRetainBytes) std::vector<uint8_t>().swap(f.payload);
        head_ = head_ + 1 == ring_.size() ? 0 : head_ + 1;
        ++head_seq_;
        --count_;
    }

    void clear() {
        while (count_ > 0) pop();
    }

private:
    static constexpr size_t kRetainBytes = 64 * 1024;
    static constexpr size_t kFirstSlots = 1024;

    struct Hash {
        using is_transparent = void;
        size_t operator()(std::string_view s) const noexcept { return std::hash<std::string_view>{}(s); }
    };
    using Index = std::unordered_map<std::string, uint64_t, Hash, std::equal_to<>>;

    Frame& at(size_t i) {
        size_t k = head_ + i;
        if (k >= ring_.size()) k -= ring_.size();
        return ring_[k];
    }

    void store(Frame& f, const uint8_t* p, size_t n, int64_t recv_ns) {
        f.payload.assign(p, p + n);
        f.recv_ns = recv_ns;
        bytes_ += n;
    }

    // Over the bytes bound after a replacement: drop from the front, keeping
    // at least `keep` frames.
    uint64_t trim(size_t keep) {
        uint64_t dropped = 0;
        while (count_ > keep && bytes_ > max_bytes_) {
            pop();
            ++dropped;
        }
        return dropped;
    }

    void grow() {
        size_t cap = ring_.empty() ? (max_frames_ < kFirstSlots ? max_frames_ : kFirstSlots) : ring_.size() * 2;
        if (drop_ && cap > max_frames_) cap = max_frames_;
        if (cap <= count_) cap = count_ + 1;
        std::vector<Frame> next(cap);
        for (size_t i = 0; i < count_; ++i) next[i] = std::move(at(i));
        // Slots past the waiting frames keep their memory for reuse too.
        for (size_t i = count_; i < ring_.size(); ++i) next[i] = std::move(at(i));
        ring_ = std::move(next);
        head_ = 0;
    }

    void remember(const std::string& key, uint64_t seq) {
        if (!spare_.empty()) {
            Index::node_type node = std::move(spare_.back());
            spare_.pop_back();
            node.key().assign(key);
            node.mapped() = seq;
            index_.insert(std::move(node));
            return;
        }
        index_.emplace(key, seq);
    }

    void forget(const std::string& key) {
        Index::node_type node = index_.extract(key);
        if (!node.empty()) spare_.push_back(std::move(node));
    }

    size_t max_frames_;
    size_t max_bytes_;
    bool drop_;
    std::vector<Frame> ring_;
    size_t head_ = 0;
    size_t count_ = 0;
    size_t bytes_ = 0;
    uint64_t head_seq_ = 0;  // sequence number of the frame at head_
    Index index_;
    std::vector<Index::node_type> spare_;
};

}  // namespace vorn::stream

#ifndef VORNPROTO_NO_PYTHON
#include "ticker.hpp"

namespace vorn {

// Makes the QuoteBuffer type and adds it to the module; 0, or -1 with an
// error set.
int quote_buffer_create_type(PyObject* module);
void quote_buffer_fini() noexcept;

// The ticker's data path hands a text frame received at `recv_ns` to the
// stream's buffer `sink` (the ticker's _frame_sink); 0, or -1 with an error set.
int quote_buffer_push(PyObject* sink, TickerObject* ticker, const uint8_t* payload, size_t size, int64_t recv_ns);

}  // namespace vorn
#endif
