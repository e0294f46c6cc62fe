// The stream's frame ring: its two bounds, conflation's places in the order,
// the numbering that bad frames are placed by, and a ring that must not drop.
#define VORNPROTO_NO_PYTHON
#include "stream_buffer.hpp"

#include "harness.hpp"

#include <string>
#include <string_view>
#include <vector>

using vorn::stream::FrameRing;

namespace {

void push(FrameRing& r, const std::string& text, int64_t t, const char* key = nullptr) {
    const std::string_view k = key ? std::string_view(key) : std::string_view();
    r.push(reinterpret_cast<const uint8_t*>(text.data()), text.size(), t, key ? &k : nullptr);
}

// What waits, oldest first, as "text@time"; the ring is emptied.
std::vector<std::string> drain(FrameRing& r) {
    std::vector<std::string> out;
    while (!r.empty()) {
        const auto& f = r.front();
        out.push_back(std::string(f.payload.begin(), f.payload.end()) + "@" + std::to_string(f.recv_ns));
        r.pop();
    }
    return out;
}

}  // namespace

TEST(frames_bound_drops_the_oldest) {
    FrameRing r(3, 1000, true);
    for (int i = 1; i <= 5; ++i) push(r, "q", i);
    CHECK_EQ(r.size(), size_t{3});
    CHECK_EQ(r.head_seq(), uint64_t{2});
    CHECK_EQ(r.next_seq(), uint64_t{5});
    CHECK(drain(r) == (std::vector<std::string>{"q@3", "q@4", "q@5"}));
    CHECK_EQ(r.bytes(), size_t{0});
}

TEST(bytes_bound_drops_until_the_new_frame_fits) {
    FrameRing r(100, 10, true);
    push(r, "aaaa", 1);
    push(r, "bbbb", 2);
    push(r, "cccc", 3);  // 12 bytes would not fit: the first goes
    CHECK_EQ(r.bytes(), size_t{8});
    push(r, std::string(25, 'x'), 4);  // larger than the bound: it waits alone
    CHECK_EQ(r.size(), size_t{1});
    CHECK_EQ(r.bytes(), size_t{25});
}

TEST(conflation_replaces_in_place_and_frees_the_key) {
    FrameRing r(2, 1000, true);
    push(r, "a1", 1, "A");
    push(r, "b1", 2, "B");
    push(r, "a2", 3, "A");        // replaces a1, keeps its place
    push(r, "n", 4);              // no key: its own place; the oldest (A) goes
    CHECK(drain(r) == (std::vector<std::string>{"b1@2", "n@4"}));
    push(r, "a3", 5, "A");        // A was dropped: a new place, not a replacement
    push(r, "a4", 6, "A");
    CHECK(drain(r) == (std::vector<std::string>{"a4@6"}));
}

TEST(a_ring_that_does_not_drop_grows_past_its_bounds) {
    FrameRing r(4, 8, false);
    for (int i = 0; i < 3000; ++i) push(r, "abc", i);
    CHECK(r.full());
    CHECK_EQ(r.size(), size_t{3000});
    for (int i = 0; i < 2998; ++i) r.pop();
    CHECK(!r.half_empty());  // two frames, but 6 bytes: more than half of 8
    r.pop();
    CHECK(r.half_empty());
    CHECK(drain(r) == (std::vector<std::string>{"abc@2999"}));
}

HARNESS_MAIN
