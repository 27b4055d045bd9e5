#include "key_file.h"

#include <errno.h>
#include <sodium.h>
#include <stdio.h>
#include <string.h>

/* The longest file read: a hexadecimal key and "\r\n"; one byte more tells
 * that a file is longer. */
#define MAX_KEY_FILE (2 * PEER_KEY_SIZE + 2)

static bool from_hex(const unsigned char *text, size_t size, unsigned char key[PEER_KEY_SIZE])
{
    if (size == 2 * PEER_KEY_SIZE + 2 && text[size - 2] == '\r' && text[size - 1] == '\n')
        size -= 2;
    else if (size == 2 * PEER_KEY_SIZE + 1 && text[size - 1] == '\n')
        size -= 1;
    if (size != 2 * PEER_KEY_SIZE)
        return false;
    size_t got = 0;
    return sodium_hex2bin(key, PEER_KEY_SIZE, (const char *)text, size, NULL, &got, NULL) == 0 &&
           got == PEER_KEY_SIZE;
}

bool read_key_file(const char *path, unsigned char key[PEER_KEY_SIZE], char *error, int error_size)
{
    FILE *file = fopen(path, "rb");
    if (!file) {
        snprintf(error, (size_t)error_size, "--key-file %s: %s", path, strerror(errno));
        return false;
    }
    unsigned char text[MAX_KEY_FILE + 1];
    const size_t size = fread(text, 1, sizeof text, file);
    const bool failed = ferror(file) != 0;
    fclose(file);
    bool ok = false;
    if (failed) {
        snprintf(error, (size_t)error_size, "--key-file %s: cannot read it", path);
    } else if (size == PEER_KEY_SIZE) {
        memcpy(key, text, PEER_KEY_SIZE);
        ok = true;
    } else if (!(ok = from_hex(text, size, key))) {
        snprintf(error, (size_t)error_size,
                 "--key-file %s: not a key (32 bytes, or 64 hexadecimal characters and a newline); it has %s%zu bytes",
                 path, size > MAX_KEY_FILE ? "more than " : "", size > MAX_KEY_FILE ? (size_t)MAX_KEY_FILE : size);
    }
    sodium_memzero(text, sizeof text);
    if (!ok)
        sodium_memzero(key, PEER_KEY_SIZE);
    return ok;
}
