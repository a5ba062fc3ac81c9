// Answer merging: a few runs are merged pairwise, many are concatenated and
// radix-sorted by sequence number.
#include "quenda_loomi/capi/topic_core/answer_merge.h"

#include <algorithm>
#include <bit>

namespace topic_index {

namespace {

bool by_seq(const Subscription& a, const Subscription& b) { return a.seq < b.seq; }



// Least-significant-digit radix sort of packed keys, one byte per pass, over
// the bytes that vary: for the few hundred answers of a broad event this is
// several times cheaper than a comparison sort.
bool radix_sort(FlatVector<uint64_t>* keys, unsigned low_bit, unsigned high_bit) {
    thread_local FlatVector<uint64_t> scratch;  // kept between calls: no allocation per event
    if (!scratch.resize(keys->size())) return false;
    for (unsigned shift = low_bit; shift < high_bit; shift += 8) {
        uint32_t counts[257] = {};
        for (uint64_t key : *keys) ++counts[((key >> shift) & 0xff) + 1];
        for (int digit = 0; digit < 256; ++digit) counts[digit + 1] += counts[digit];
        for (uint64_t key : *keys) scratch[counts[(key >> shift) & 0xff]++] = key;
        keys->swap(scratch);
    }
    return true;
}

// Sorts by sequence number and drops repeats.  Packed 64-bit keys (sequence
// number above, position below) move far less than the records themselves.
}  // namespace

bool sort_by_seq(FlatVector<Subscription>* items) {
    const size_t n = items->size();
    if (n < 2) return true;
    constexpr unsigned kPositionBits = 20;
    uint64_t highest = 0;
    bool sorted = true;
    for (size_t i = 0; i < n; ++i) {
        highest = std::max(highest, (*items)[i].seq);
        sorted = sorted && (i == 0 || (*items)[i - 1].seq < (*items)[i].seq);
    }
    if (sorted) return true;
    if (n >= (size_t{1} << kPositionBits) || highest >= (uint64_t{1} << (64 - kPositionBits))) {
        std::sort(items->begin(), items->end(), by_seq);
        Subscription* last = std::unique(items->begin(), items->end(),
                                         [](const Subscription& a, const Subscription& b) { return a.seq == b.seq; });
        items->truncate(static_cast<size_t>(last - items->begin()));
        return true;
    }
    thread_local FlatVector<uint64_t> keys;
    thread_local FlatVector<Subscription> ordered;
    if (!keys.resize(n)) return false;
    for (size_t i = 0; i < n; ++i) keys[i] = (*items)[i].seq << kPositionBits | i;
    if (n < 128) std::sort(keys.begin(), keys.end());
    else if (!radix_sort(&keys, kPositionBits, kPositionBits + static_cast<unsigned>(std::bit_width(highest))))
        return false;
    ordered.clear();
    uint64_t previous = UINT64_MAX;
    for (uint64_t key : keys) {
        const Subscription& item = (*items)[key & ((uint64_t{1} << kPositionBits) - 1)];
        if (item.seq != previous) ordered.push_back(item);
        previous = item.seq;
    }
    return ordered.ok() && items->assign(ordered.begin(), ordered.end());
}

namespace {

// Merges two runs into `to`, taking a sequence number present in both once.
Subscription* merge_two(Run a, Run b, Subscription* to) {
    while (a.next != a.end && b.next != b.end) {
        const uint64_t left = a.next->seq;
        const uint64_t right = b.next->seq;
        *to++ = left <= right ? *a.next : *b.next;
        a.next += left <= right;
        b.next += right <= left;
    }
    for (; a.next != a.end; ++a.next) *to++ = *a.next;
    for (; b.next != b.end; ++b.next) *to++ = *b.next;
    return to;
}

}  // namespace

// Merges runs sorted by sequence number into `out`, dropping repeats (a
// range event may reach one node twice).  A few runs are merged pairwise,
// level by level, through `scratch` (an element is copied once per level);
// many are concatenated and sorted.
bool merge_runs(FlatVector<Run>* runs, FlatVector<Subscription>* out, FlatVector<Subscription>* scratch) {
    size_t total = 0;
    for (const Run& run : *runs) total += static_cast<size_t>(run.end - run.next);
    if (!out->reserve(total)) return false;
    constexpr size_t kMergeWidth = 16;
    if (runs->size() == 1 || runs->size() > kMergeWidth) {
        for (const Run& run : *runs) out->append(run.next, run.end);  // reserved above
        return runs->size() == 1 || sort_by_seq(out);
    }
    if (runs->empty()) return true;
    if (!scratch->reserve(total)) return false;
    unsigned levels = static_cast<unsigned>(std::bit_width(runs->size() - 1));
    // The last level writes into `out`; the levels before alternate with
    // `scratch`, so no level writes the buffer it reads.
    while (runs->size() > 1) {
        --levels;
        Subscription* const base = (levels % 2 == 0 ? out : scratch)->data();
        Subscription* to = base;
        size_t kept = 0;
        for (size_t i = 0; i < runs->size(); i += 2) {
            Subscription* from = to;
            if (i + 1 < runs->size()) {
                to = merge_two((*runs)[i], (*runs)[i + 1], to);
            } else {
                for (const Subscription* it = (*runs)[i].next; it != (*runs)[i].end; ++it) *to++ = *it;
            }
            (*runs)[kept++] = Run{from, to};
        }
        runs->truncate(kept);
    }
    out->set_size_written(static_cast<size_t>(runs->front().end - out->data()));
    return true;
}

}  // namespace topic_index
