/* Names travel as GB18030 bytes; the terminal speaks UTF-8. */
#ifndef MUDP_PEER_GBTEXT_H
#define MUDP_PEER_GBTEXT_H

#include <stdbool.h>
#include <stddef.h>

/* Converts UTF-8 text to GB18030 into out (out_size bytes, NUL included).
 * False when the text is not valid UTF-8 or does not fit. */
bool utf8_to_gb18030(const char *utf8, char *out, size_t out_size);

/* GB18030 bytes (at most max bytes, or up to a NUL) as newly allocated UTF-8
 * text for display; bytes that do not convert show as '?'. Free with g_free. */
char *gb18030_to_utf8(const char *gb, size_t max);

#endif
