// The column builder and its Arrow export, driven the way a consumer drives
// them: schema, batches, columns moved out and released in any order, a
// stream dropped half read. Under ASan this run is also the leak check of
// every release path (LeakSanitizer reports at exit).
#define VORNPROTO_NO_PYTHON
#include "columns.hpp"

#include "harness.hpp"

#include <string>
#include <vector>

using namespace vorn;
using namespace vorn::columns;

namespace {

vornstr V(const std::string& s) { return vornstr{reinterpret_cast<const uint8_t*>(s.data()), static_cast<uint32_t>(s.size())}; }

std::string sanitized(const std::string& in) {
    std::string out(3 * in.size(), '\0');
    out.resize(utf8_sanitize(reinterpret_cast<uint8_t*>(out.data()), reinterpret_cast<const uint8_t*>(in.data()), in.size()));
    return out;
}

int64_t bit(const ArrowArray* a, int64_t row) {
    if (a->buffers[0] == nullptr) return 1;
    return (static_cast<const uint8_t*>(a->buffers[0])[row >> 3] >> (row & 7)) & 1;
}

std::string utf8_at(const ArrowArray* a, int64_t i) {
    const auto* off = static_cast<const int32_t*>(a->buffers[1]);
    return std::string(static_cast<const char*>(a->buffers[2]) + off[i], static_cast<size_t>(off[i + 1] - off[i]));
}

constexpr int kId = 0, kPrice = 1, kQuoteType = 5, kIndices = 34;

// Row k: id "S<k>" except every third row, price k + 0.5, quoteType -k, and
// 1 + k % 16 indices on odd rows.
std::vector<BatchPtr> build(int rows, int64_t batch_rows, std::vector<std::string>& text) {
    BatchBuilder b(true, batch_rows, 2);
    std::vector<BatchPtr> out;
    text.reserve(static_cast<size_t>(40 + rows));  // the views below must not move
    for (int k = 0; k < 40; ++k) text.push_back("I" + std::to_string(k));
    for (int k = 0; k < rows; ++k) {
        text.push_back("S" + std::to_string(k));
        qf_PricingData r{};
        if (k % 3 != 0) {
            r.id = V(text.back());
            r.has |= 1u << kId;
        }
        r.price = static_cast<float>(k) + 0.5f;
        r.quoteType = -k;
        r.has |= 1u << kPrice | 1u << kQuoteType;
        if (k % 2 == 1) {
            for (int i = 0; i < 1 + k % 16; ++i) r.indices[r.indices_n++] = V(text[static_cast<size_t>(i)]);
            r.has |= uint64_t{1} << kIndices;
        }
        if (b.full(64)) out.push_back(b.finish());
        b.append(r, 1000 + k);
    }
    if (BatchPtr last = b.finish()) out.push_back(last);
    return out;
}

}  // namespace

TEST(utf8_sanitize_replaces_each_maximal_subpart) {
    const std::pair<std::string, std::string> rows[] = {
        {"plain ASCII, longer than eight", "plain ASCII, longer than eight"},
        {"\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80", "\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80"},
        {"\xe2\x82", "\xef\xbf\xbd"},                    // cut at the end: one U+FFFD
        {"\xe2\x82" "A", "\xef\xbf\xbd" "A"},
        {"\xe0\x80\xaf", "\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd"},  // overlong: each byte
        {"\xed\xa0\x80", "\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd"},  // surrogate
        {"\xf4\x90\x80\x80", "\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd"},
        {"\xf0\x9f\x98" "x", "\xef\xbf\xbd" "x"},
        {"abcdefgh\xff", "abcdefgh\xef\xbf\xbd"},
    };
    for (const auto& [in, want] : rows) CHECK_MSG(sanitized(in) == want, in);
}

TEST(batches_hold_the_records) {
    std::vector<std::string> text;
    const std::vector<BatchPtr> batches = build(10, 4, text);
    CHECK_EQ(batches.size(), size_t{3});
    int k = 0;
    for (const BatchPtr& b : batches) {
        for (int64_t row = 0; row < b->rows; ++row, ++k) {
            CHECK_EQ(b->value<int64_t>(kRecvSlot, row), int64_t{1000 + k});
            CHECK_EQ(b->valid(kId, row), k % 3 != 0);
            if (k % 3 != 0) CHECK_MSG(b->text(kId, row).n == text[size_t(40 + k)].size(), "id length");
            CHECK_EQ(b->value<double>(kPrice, row), k + 0.5);
            CHECK_EQ(b->value<int32_t>(kQuoteType, row), -k);
            const auto [first, last] = b->items(kIndices, row);
            CHECK_EQ(last - first, k % 2 == 1 ? 1 + k % 16 : 0);
            CHECK_EQ(b->valid(kIndices, row), k % 2 == 1);
            CHECK(!b->valid(2, row));  // time: never present
        }
    }
}

TEST(stream_consumers_may_release_in_any_order) {
    std::vector<std::string> text;
    auto st = std::make_unique<StreamState>();
    st->batches = build(50, 16, text);
    st->with_recv = true;
    ArrowArrayStream stream;
    export_stream(std::move(st), &stream);

    ArrowSchema schema;
    CHECK_EQ(stream.get_schema(&stream, &schema), 0);
    CHECK_EQ(schema.n_children, int64_t{kFields + 1});
    CHECK(std::string(schema.children[0]->format) == "tsn:UTC");
    CHECK(std::string(schema.children[1 + kIndices]->format) == "+l");
    CHECK(std::string(schema.children[1 + kIndices]->children[0]->format) == "u");
    // A consumer keeps one field: moves it out, releases the rest.
    ArrowSchema id_field = *schema.children[1 + kId];
    schema.children[1 + kId]->release = nullptr;
    schema.release(&schema);
    CHECK(std::string(id_field.name) == "id");
    id_field.release(&id_field);
    CHECK(id_field.release == nullptr);

    ArrowArray batch;
    CHECK_EQ(stream.get_next(&stream, &batch), 0);
    CHECK_EQ(batch.length, int64_t{16});
    ArrowArray ids = *batch.children[1 + kId];
    batch.children[1 + kId]->release = nullptr;
    ArrowArray indices = *batch.children[1 + kIndices];
    batch.children[1 + kIndices]->release = nullptr;
    batch.release(&batch);
    // The moved columns still read their data after their batch is gone.
    CHECK_EQ(ids.null_count, int64_t{6});
    CHECK(bit(&ids, 0) == 0 && bit(&ids, 1) == 1);
    CHECK(utf8_at(&ids, 1) == "S1" && utf8_at(&ids, 0).empty());
    const ArrowArray* items = indices.children[0];
    CHECK(utf8_at(items, 0) == "I0");
    indices.release(&indices);  // releases its strings child too
    ids.release(&ids);

    // The consumer stops here: the stream and its unread batches go.
    stream.release(&stream);
    CHECK(stream.release == nullptr);
}

TEST(stream_ends_with_a_released_array) {
    auto st = std::make_unique<StreamState>();
    ArrowArrayStream stream;
    export_stream(std::move(st), &stream);
    ArrowArray end;
    end.release = reinterpret_cast<void (*)(ArrowArray*)>(1);
    CHECK_EQ(stream.get_next(&stream, &end), 0);
    CHECK(end.release == nullptr);
    CHECK(stream.get_last_error(&stream) == nullptr);
    stream.release(&stream);
}

TEST(builder_cuts_a_batch_before_text_could_overflow) {
    BatchBuilder b(false, kDefaultBatchRows, 16);
    qf_PricingData r{};
    b.append(r, 0);
    CHECK(!b.full(1000));
    CHECK(b.full(size_t{INT32_MAX} / 3 + 1));
    CHECK(b.too_large(size_t{INT32_MAX} / 3 + 1));
    BatchPtr batch = b.finish();
    CHECK_EQ(batch->rows, int64_t{1});
    CHECK(b.finish() == nullptr);
    CHECK_EQ(batch->cols[kId].null_count, int64_t{1});
}

TEST(a_frame_too_large_for_any_batch_is_refused_alone) {
    BatchBuilder b(false, kDefaultBatchRows, 16, 300);  // frames up to 100 bytes
    std::vector<BatchPtr> done;
    const std::string id(90, 'x');
    qf_PricingData r{};
    r.id = V(id);
    r.has = 1u << kId;
    CHECK(b.add(r, 100, 0, done));
    CHECK(!b.add(r, 101, 0, done));
    CHECK_EQ(b.rows(), int64_t{1});
    CHECK(done.empty());
    CHECK(b.add(r, 100, 0, done));  // 90 + 300 > 300: the first batch is cut
    CHECK_EQ(done.size(), size_t{1});
    CHECK_EQ(done[0]->rows, int64_t{1});
    CHECK_EQ(b.rows(), int64_t{1});
}

HARNESS_MAIN
