/* The network key from a file: 32 raw bytes, or 64 hexadecimal characters
 * and an optional newline. */
#ifndef MUDP_PEER_KEY_FILE_H
#define MUDP_PEER_KEY_FILE_H

#include <stdbool.h>

#define PEER_KEY_SIZE 32

/* Reads the key at path into key; on failure writes why (one line) into
 * error. Every copy the reading made is wiped. */
bool read_key_file(const char *path, unsigned char key[PEER_KEY_SIZE], char *error, int error_size);

#endif
