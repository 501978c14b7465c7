#define LOG_TAG "dbg"
#include "libdbg/shell_cmd_pieces.h"

#include <string>

#include "libpal/basic/pal_assert.h"
#include "libpal/string/str_tool.h"
#include "libpal/string/str_vector.h"

namespace {

int add_trimmed(str_vector *pieces, const char *piece) {
    std::string text = piece;
    str_trim(text.data());
    return text.c_str()[0] ? str_vector_add(pieces, text.c_str()) : 0;
}

// The splitter says "syntax error" in the log for what the shell itself
// refuses with its own message: unbalanced text is kept whole instead.
bool quotes_balance(const char *text) {
    size_t quotes = 0;
    for (const char *p = text; *p; ++p)
        if (*p == '"' || *p == '\'') ++quotes;
    return quotes % 2 == 0;
}

}  // namespace

int dbgsh_cmd_pieces(const char *commands, str_vector *pieces) {
    PAL_ASSERT_RET(commands && pieces, -1);
    if (!quotes_balance(commands)) return add_trimmed(pieces, commands);
    str_vector cut;
    str_vector_init(&cut, STR_VECTOR_REF | STR_VECTOR_SKIP_EMPTY);
    int result = str_split_esape(commands, &cut);
    for (uint64_t i = 0; result == 0 && i < cut.count; ++i) result = add_trimmed(pieces, cut.items[i]);
    str_vector_clear(&cut);
    return result;
}
