// The network session's request framing on arbitrary byte streams, fed in
// pieces of arbitrary sizes: every request (up to a byte 0 or a LF, of any
// length, with stray 0 bytes) gets exactly one reply with one end byte.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "libdbg/shell_request.h"
#include "liblog/log2_ctl.h"
#include "libsh/libsh.h"

#include "fuzz_mem_channel.h"


extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static bool ready = [] {
        log2_ioctl(nullptr, LOG2_IOCTL_LEVEL_NAME, "crit");
        return true;
    }();
    (void)ready;
    if (size < 1) return 0;
    libsh_init();
    fuzz::disarm();
    // The first byte sets the sizes of the pieces the stream arrives in.
    size_t piece = 1 + data[0] % 61;
    const char *stream = reinterpret_cast<const char *>(data + 1);
    size_t stream_len = size - 1;
    // Long requests without a fuzzer-made megabyte: each 0xff byte stands for 5000 bytes of 'x'.
    std::string bytes;
    for (size_t i = 0; i < stream_len; ++i) {
        if (static_cast<unsigned char>(stream[i]) == 0xff) bytes.append(5000, 'x');
        else bytes.push_back(stream[i]);
    }
    size_t requests = 0;
    for (char c : bytes) requests += (c == '\0' || c == '\n');

    fuzz::mem_channel m;
    shell_ctx ctx = fuzz::mem_ctx(&m);
    bool status_on = false;
    dbgsh_request r;
    dbgsh_request_reset(&r);
    size_t answered = 0, pos = 0;
    while (pos < bytes.size()) {
        size_t chunk = bytes.size() - pos < piece ? bytes.size() - pos : piece;
        size_t used = dbgsh_request_take(&r, bytes.data() + pos, chunk);
        if (used == 0 || used > chunk) std::abort();
        pos += used;
        if (!r.ended) continue;
        if (r.len > LIBSH_LINE_MAX || r.line[r.len] != '\0' || (r.total <= LIBSH_LINE_MAX && r.len != r.total))
            std::abort();
        size_t ends_before = m.ends;
        dbgsh_request_answer(&ctx, &r, &status_on);
        ++answered;
        if (m.ends != ends_before + 1 || m.wire.back() != '\0') std::abort();
        ctx.exit_flag = 0;
        dbgsh_request_reset(&r);
        log2_ioctl(nullptr, LOG2_IOCTL_LEVEL_NAME, "crit");
    }
    if (answered != requests || m.ends != requests) std::abort();
    libsh_exit();
    return 0;
}
