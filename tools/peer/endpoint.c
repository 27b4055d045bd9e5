#include "endpoint.h"

#include <arpa/inet.h>
#include <string.h>

bool parse_port(const char *text, unsigned min, unsigned short *port)
{
    if (!text || !*text || strlen(text) > 5)
        return false;
    unsigned long value = 0;
    for (const char *c = text; *c; ++c) {
        if (*c < '0' || *c > '9')
            return false;
        value = value * 10 + (unsigned long)(*c - '0');
    }
    if (value < min || value > 65535)
        return false;
    *port = (unsigned short)value;
    return true;
}

bool parse_ipv4(const char *text, char ip[16])
{
    struct in_addr address;
    /* inet_pton accepts exactly four decimal parts of 0..255; leading zeros
     * are refused below since they read as octal elsewhere. */
    if (!text || strlen(text) > 15 || inet_pton(AF_INET, text, &address) != 1)
        return false;
    for (const char *c = text; *c; ++c) {
        const bool starts_part = c == text || c[-1] == '.';
        if (starts_part && c[0] == '0' && c[1] >= '0' && c[1] <= '9')
            return false;
    }
    strcpy(ip, text);
    return true;
}

bool parse_endpoint(const char *text, bool allow_zero_port, Endpoint *out)
{
    if (!text)
        return false;
    const char *colon = strrchr(text, ':');
    if (!colon || colon == text || (size_t)(colon - text) > 15)
        return false;
    char ip[16];
    memcpy(ip, text, (size_t)(colon - text));
    ip[colon - text] = '\0';
    Endpoint e;
    if (!parse_ipv4(ip, e.ip) || !parse_port(colon + 1, allow_zero_port ? 0 : 1, &e.port))
        return false;
    *out = e;
    return true;
}
