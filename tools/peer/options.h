/* The command line of mudp-peer. */
#ifndef MUDP_PEER_OPTIONS_H
#define MUDP_PEER_OPTIONS_H

#include <stdbool.h>

#include "endpoint.h"
#include "key_file.h"

#define PEER_MAX_SERVERS 32

typedef struct PeerOptions {
    char name[40];            /* GB18030, NUL-terminated */
    char addr[16];            /* empty unless --addr */
    unsigned short port;      /* --port, default 45454 */
    bool auto_bind;           /* --ports FIRST-LAST given */
    unsigned short first, last;
    Endpoint servers[PEER_MAX_SERVERS];
    int server_count;
    bool serve_only;
    bool help;
    bool has_key;                    /* --key-file given */
    unsigned char key[PEER_KEY_SIZE]; /* the network key; the caller wipes it */
} PeerOptions;

typedef enum { OPTIONS_OK, OPTIONS_HELP, OPTIONS_BAD } OptionsResult;

/* Parses argv; on OPTIONS_BAD writes the reason (one line) into error. */
OptionsResult parse_options(int argc, char **argv, PeerOptions *options, char *error, int error_size);

/* The usage text for --help. */
const char *usage_text(void);

#endif
