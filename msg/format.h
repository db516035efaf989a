// format.h - the catalog's bounded formatter of a message text over insert words.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qrx::msg {

// Formats fmt[0..fmt_len) with the words as the arguments, as qrxm1wf documents (qrxmsg.h): %d %i %u %x
// %X %o %c %s %p with flags, width and precision each take the next word, up to `count` of them; %% is
// one %; every other directive (%n among them) and those past the last word are copied as they stand.
// Writes at most out_max characters to out (no NUL) and returns how many; never reads past fmt_len.
size_t format_inserts(const char *fmt, size_t fmt_len, const uintptr_t *words, size_t count, char *out,
                      size_t out_max);

}  // namespace qrx::msg
