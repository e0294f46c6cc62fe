// A capture's open block: the records not yet sealed, in the file's record
// layout (type byte, int64 receive time, uint32 length, payload; little
// endian), with the counts the recorder reports.
//
// vornticker.recording.Recorder keeps its open block in one of these, and a
// ticker whose recording tap has one appends each frame straight from the
// websocket library's buffer: no bytes object, no Python call per frame.
// Opening a block and cutting a full one stay with the recorder (its
// sealing thread needs to know), so that path only appends into a block
// that is open and has room for the record; otherwise it hands the frame to
// the recorder's write().
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

namespace vorn::capture {

inline constexpr uint8_t kFrameRecord = 1;
inline constexpr size_t kRecordHead = 1 + 8 + 4;

class OpenBlock {
public:
    explicit OpenBlock(size_t block_size) : block_size_(block_size) {}

    size_t size() const { return buf_.size(); }
    size_t block_size() const { return block_size_; }
    bool empty() const { return buf_.empty(); }
    const std::vector<uint8_t>& bytes() const { return buf_; }
    uint64_t frames() const { return frames_; }
    uint64_t frame_bytes() const { return frame_bytes_; }
    uint64_t block_frames() const { return block_frames_; }
    uint64_t block_frame_bytes() const { return block_frame_bytes_; }

    // Whether the record fits without passing the block size (an empty
    // block takes any record: one outsized record makes a block alone).
    bool fits(size_t n) const { return buf_.empty() || buf_.size() + kRecordHead + n <= block_size_; }

    // Appends the record; the caller has checked fits(). May throw bad_alloc.
    void append(uint8_t code, int64_t recv_ns, const uint8_t* p, size_t n) {
        uint8_t head[kRecordHead];
        head[0] = code;
        const auto t = static_cast<uint64_t>(recv_ns);
        const auto len = static_cast<uint32_t>(n);
        for (int i = 0; i < 8; ++i) head[1 + i] = static_cast<uint8_t>(t >> (8 * i));
        for (int i = 0; i < 4; ++i) head[9 + i] = static_cast<uint8_t>(len >> (8 * i));
        if (buf_.capacity() < buf_.size() + kRecordHead + n) {
            // At least a whole block at once, so a block grows its buffer once.
            const size_t want = buf_.size() + kRecordHead + n;
            buf_.reserve(want > block_size_ ? want : block_size_);
        }
        buf_.insert(buf_.end(), head, head + kRecordHead);
        buf_.insert(buf_.end(), p, p + n);
        if (code == kFrameRecord) {
            ++frames_;
            ++block_frames_;
            frame_bytes_ += n;
            block_frame_bytes_ += n;
        }
    }

    // Forgets the open block's records (its frames stay counted as received).
    void clear() {
        buf_.clear();
        block_frames_ = 0;
        block_frame_bytes_ = 0;
    }

private:
    size_t block_size_;
    std::vector<uint8_t> buf_;
    uint64_t frames_ = 0;
    uint64_t frame_bytes_ = 0;
    uint64_t block_frames_ = 0;
    uint64_t block_frame_bytes_ = 0;
};

}  // namespace vorn::capture

#ifndef VORNPROTO_NO_PYTHON
#include <Python.h>

namespace vorn {

int open_block_create_type(PyObject* module);
void open_block_fini() noexcept;

// Whether `o` is an OpenBlock.
bool is_open_block(PyObject* o) noexcept;

// The ticker's fast path: appends a frame received at `recv_ns`, when the
// block is open, accepting and has room; false (nothing done) otherwise, and
// on a failed allocation. Runs no Python code.
bool open_block_try_frame(PyObject* block, const uint8_t* p, size_t n, int64_t recv_ns) noexcept;

}  // namespace vorn
#endif
