// Times the reorder stage on a stream that loses nothing, without and with the FEC recovery hook,
// and counts how often the hook is asked to rebuild a packet (it must be never). The packets lie in
// two 4 MiB buffers lent the way the pass's read-ahead lends them, so the FEC store borrows its
// history of released packets instead of copying it.
//
//   fec_hook_bench [PACKETS [BYTES [WINDOW]]]   (default 2000000 1200 512)
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "fec_feed.h"
#include "fec_recovery.h"
#include "input_loans.h"
#include "reorder_window.h"

namespace {

struct Counting {
    ReorderWindow::RecoveryHook inner;
    unsigned long asked = 0;
};

void counting_released(void* self, int64_t seq, const uint8_t* packet, size_t size) {
    Counting& c = *static_cast<Counting*>(self);
    c.inner.released(c.inner.param, seq, packet, size);
}

const uint8_t* counting_recover(void* self, int64_t seq, uint32_t ssrc,
                                ReorderWindow::HeldLookup held, void* held_param, size_t* size) {
    Counting& c = *static_cast<Counting*>(self);
    ++c.asked;
    return c.inner.recover(c.inner.param, seq, ssrc, held, held_param, size);
}

double run(size_t packets, size_t bytes, uint32_t window, bool hook, unsigned long* asked) {
    RepairStats stats;
    InputLoans loans;
    FecRecovery fec(FecFeed::max_fec_for(window), &stats, &loans);
    ReorderWindow w(window, &stats);
    Counting counting{fec.hook()};
    if (hook) w.set_recovery({&counting_released, &counting_recover, &counting});
    constexpr size_t kBuffer = 4 << 20;
    std::vector<uint8_t> buffers[2] = {std::vector<uint8_t>(kBuffer, 0x5A),
                                       std::vector<uint8_t>(kBuffer, 0x5A)};
    int current = 0;
    size_t at = 0;
    loans.lend(buffers[0].data(), kBuffer);
    unsigned long sum = 0;
    const auto start = std::chrono::steady_clock::now();
    for (size_t i = 0; i < packets; ++i) {
        if (at + bytes > kBuffer) {  // as the read-ahead goes on in its other buffer
            loans.recall_previous();
            current ^= 1;
            at = 0;
            loans.lend(buffers[current].data(), kBuffer);
        }
        uint8_t* packet = buffers[current].data() + at;
        at += bytes;
        packet[0] = 0x80;
        packet[1] = 96;
        packet[2] = static_cast<uint8_t>(i >> 8);
        packet[3] = static_cast<uint8_t>(i);
        packet[8] = 0x12;
        w.push(packet, bytes);
        const uint8_t* p = nullptr;
        size_t n = 0;
        while (w.pop(&p, &n)) sum += p[n - 1];
    }
    w.flush();
    const uint8_t* p = nullptr;
    size_t n = 0;
    while (w.pop(&p, &n)) sum += p[n - 1];
    const double ns =
        std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - start).count();
    if (sum == 0) fprintf(stderr, "nothing released\n");
    *asked = counting.asked;
    return ns / static_cast<double>(packets);
}

}  // namespace

int main(int argc, char** argv) {
    const size_t packets = argc > 1 ? strtoul(argv[1], nullptr, 10) : 2000000;
    const size_t bytes = argc > 2 ? strtoul(argv[2], nullptr, 10) : 1200;
    const uint32_t window = argc > 3 ? static_cast<uint32_t>(strtoul(argv[3], nullptr, 10)) : 512;
    if (packets == 0 || bytes < 12 || bytes > FecRecovery::kMaxPacket || window == 0) {
        fprintf(stderr, "usage: %s [PACKETS [BYTES [WINDOW]]]\n", argv[0]);
        return 2;
    }
    std::vector<double> plain, hooked;
    unsigned long asked = 0, asked_run = 0;
    for (int r = 0; r < 5; ++r) {  // interleaved, so that a disturbance hits both
        plain.push_back(run(packets, bytes, window, false, &asked_run));
        hooked.push_back(run(packets, bytes, window, true, &asked_run));
        asked += asked_run;
    }
    std::sort(plain.begin(), plain.end());
    std::sort(hooked.begin(), hooked.end());
    printf("%zu packets of %zu bytes, window %u, 5 runs each (median, min) ns per packet:\n",
           packets, bytes, window);
    printf("  no hook    %7.1f %7.1f\n", plain[2], plain[0]);
    printf("  FEC hook   %7.1f %7.1f\n", hooked[2], hooked[0]);
    printf("  rebuilds asked for: %lu\n", asked);
    return 0;
}
