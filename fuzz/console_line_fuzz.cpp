// The console's line reader on arbitrary byte streams fed in arbitrary
// pieces: every line comes out whole, or is refused with its true length or
// the place of its byte 0, exactly as an independent split of the stream says.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "libdbg/shell_line_reader.h"

namespace {

// Small buffers hit the limit often; 4096 is the console's own.
constexpr size_t BUF_SIZES[] = {1, 2, 3, 8, 64, 4096};

struct outcome {
    int result;
    size_t len;
    std::string text;
    bool operator==(const outcome &o) const { return result == o.result && len == o.len && text == o.text; }
};

std::vector<outcome> expected_lines(const std::string &stream, size_t size) {
    std::vector<outcome> lines;
    size_t start = 0;
    while (start < stream.size()) {
        size_t lf = stream.find('\n', start);
        bool has_lf = lf != std::string::npos;
        std::string line = stream.substr(start, has_lf ? lf - start : std::string::npos);
        if (has_lf && !line.empty() && line.back() == '\r') line.pop_back();
        size_t zero = line.find('\0');
        if (line.size() > size - 1)
            lines.push_back({DBGSH_LINE_TOO_LONG, line.size(), ""});
        else if (zero != std::string::npos)
            lines.push_back({DBGSH_LINE_ZERO_BYTE, zero, ""});
        else
            lines.push_back({DBGSH_LINE_READY, line.size(), line});
        start = has_lf ? lf + 1 : stream.size();
    }
    return lines;
}

// Takes every line the reader has ready.
void drain(dbgsh_line_reader *r, size_t size, std::vector<char> &buf, std::vector<outcome> *got) {
    for (;;) {
        std::memset(buf.data(), 'Z', buf.size());
        size_t len = 12345;
        int result = dbgsh_line_next(r, buf.data(), size, &len);
        if (result == DBGSH_LINE_MORE || result == DBGSH_LINE_END) {
            // An over-long line is never kept whole while it arrives.
            if (r->pending.size() > size) std::abort();
            return;
        }
        if (std::memchr(buf.data(), '\0', size) == nullptr) std::abort();  // always a C string
        if (result == DBGSH_LINE_READY) {
            if (std::strlen(buf.data()) != len) std::abort();
            got->push_back({result, len, std::string(buf.data(), len)});
        } else {
            if (buf[0] != '\0') std::abort();  // nothing of a refused line is handed out
            got->push_back({result, len, ""});
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 2) return 0;
    size_t buf_size = BUF_SIZES[data[0] % (sizeof BUF_SIZES / sizeof BUF_SIZES[0])];
    unsigned piece_seed = data[1];
    std::string stream(reinterpret_cast<const char *>(data + 2), size - 2);
    // Long lines without a long input: a marker byte 0xFF repeats the byte before it.
    std::string expanded;
    for (char c : stream) {
        if (static_cast<unsigned char>(c) == 0xFF && !expanded.empty())
            expanded.append(3000, expanded.back());
        else
            expanded += c;
    }

    dbgsh_line_reader reader{};
    std::vector<char> buf(buf_size);
    std::vector<outcome> got;
    size_t fed = 0;
    unsigned step = piece_seed;
    while (fed < expanded.size()) {
        step = step * 1103515245u + 12345u;
        size_t piece = 1 + (step >> 8) % 5000;
        if (piece > expanded.size() - fed) piece = expanded.size() - fed;
        dbgsh_line_feed(&reader, expanded.data() + fed, piece);
        fed += piece;
        drain(&reader, buf_size, buf, &got);
    }
    dbgsh_line_end(&reader);
    drain(&reader, buf_size, buf, &got);
    size_t len = 0;
    if (dbgsh_line_next(&reader, buf.data(), buf_size, &len) != DBGSH_LINE_END) std::abort();
    if (got != expected_lines(expanded, buf_size)) std::abort();
    return 0;
}
