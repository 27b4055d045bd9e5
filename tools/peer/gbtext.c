#include "gbtext.h"

#include <glib.h>
#include <string.h>

bool utf8_to_gb18030(const char *utf8, char *out, size_t out_size)
{
    if (!utf8 || !g_utf8_validate(utf8, -1, NULL))
        return false;
    gsize written = 0;
    gchar *converted = g_convert(utf8, -1, "GB18030", "UTF-8", NULL, &written, NULL);
    if (!converted)
        return false;
    const bool fits = written < out_size && memchr(converted, '\0', written) == NULL;
    if (fits) {
        memcpy(out, converted, written);
        out[written] = '\0';
    }
    g_free(converted);
    return fits;
}

char *gb18030_to_utf8(const char *gb, size_t max)
{
    const size_t length = gb ? strnlen(gb, max) : 0;
    gchar *converted = g_convert_with_fallback(gb ? gb : "", (gssize)length, "UTF-8", "GB18030", "?", NULL,
                                               NULL, NULL);
    if (converted)
        return converted;
    /* Not even the fallback helped (an incomplete sequence at the end): show
     * printable ASCII as it is and everything else as '?'. */
    gchar *plain = g_strndup(gb ? gb : "", length);
    for (gchar *c = plain; *c; ++c)
        if ((unsigned char)*c < 0x20 || (unsigned char)*c > 0x7e)
            *c = '?';
    return plain;
}
