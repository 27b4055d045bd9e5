#include "options.h"

#include <stdio.h>
#include <string.h>

#include "gbtext.h"

const char *usage_text(void)
{
    return "Usage: mudp-peer --name NAME [--addr ADDR] [--port N | --ports FIRST-LAST]\n"
           "                 [--server IP:PORT]... [--serve-only] [--key-file PATH] [--help]\n"
           "\n"
           "Runs one peer: it accepts registrations (server role) and registers with\n"
           "the servers given (client role). Commands are read from standard input,\n"
           "events are written to standard output, one per line.\n"
           "\n"
           "Options:\n"
           "  --name NAME         the peer's name (required, at most 39 bytes as GB18030)\n"
           "  --addr ADDR         the IPv4 address this peer declares for itself; a server\n"
           "                      gives the address its clients reach it at\n"
           "  --port N            bind UDP port N (default 45454)\n"
           "  --ports FIRST-LAST  bind the first free port from FIRST up to LAST-1\n"
           "  --server IP:PORT    register with this server at start (repeatable)\n"
           "  --serve-only        register with nobody\n"
           "  --key-file PATH     join the closed network of this key: 32 bytes, or 64\n"
           "                      hexadecimal characters and a newline\n"
           "  --help              show this text\n"
           "\n"
           "Commands:\n"
           "  send server|client IP:PORT TEXT   send TEXT to a server or a client\n"
           "  send user NAME TEXT               send TEXT to the first live user NAME\n"
           "  send all TEXT                     send TEXT through every server to all\n"
           "  sendfile server|client IP:PORT PATH, sendfile user NAME PATH,\n"
           "  sendfile all PATH                 the same with a file's bytes\n"
           "  list                              print the server, client and user lists\n"
           "  wait MS                           let events run for MS milliseconds\n"
           "  reg IP:PORT                       register with a server\n"
           "  unreg                             unregister from all servers\n"
           "  quit                              unregister and exit (as does end of input)\n"
           "\n"
           "Output lines: 'bound PORT', 'log LINE', 'data SIZE TEXT|hex:PREFIX',\n"
           "'servers: ...', 'clients: ...', 'users: ...'. Errors go to standard error.\n"
           "\n"
           "Exit status: 0 after a clean shutdown, 1 when the port cannot be bound,\n"
           "2 for bad arguments.\n";
}

static OptionsResult bad(char *error, int error_size, const char *format, const char *what)
{
    snprintf(error, (size_t)error_size, format, what);
    return OPTIONS_BAD;
}

static bool parse_range(const char *text, unsigned short *first, unsigned short *last)
{
    const char *dash = strchr(text, '-');
    if (!dash || dash == text || dash - text > 5)
        return false;
    char low[6];
    memcpy(low, text, (size_t)(dash - text));
    low[dash - text] = '\0';
    return parse_port(low, 1, first) && parse_port(dash + 1, 1, last) && *first < *last;
}

/* Splits "--option=value" into option and value; value NULL without "=". */
static void split_option(const char *arg, char option[32], const char **value)
{
    const char *eq = strchr(arg, '=');
    *value = NULL;
    if (strncmp(arg, "--", 2) == 0 && eq && eq - arg < 32) {
        memcpy(option, arg, (size_t)(eq - arg));
        option[eq - arg] = '\0';
        *value = eq + 1;
    } else {
        snprintf(option, 32, "%s", arg);
    }
}

static bool takes_value(const char *option)
{
    static const char *const names[] = {"--name", "--addr", "--port", "--ports", "--server", "--key-file"};
    for (size_t i = 0; i < sizeof names / sizeof names[0]; ++i)
        if (strcmp(option, names[i]) == 0)
            return true;
    return false;
}

static OptionsResult parse_name(const char *value, PeerOptions *o, char *error, int error_size)
{
    if (!*value)
        return bad(error, error_size, "%s", "--name must not be empty");
    if (strchr(value, '$'))
        return bad(error, error_size, "%s", "--name must not contain '$'");
    for (const char *c = value; *c; ++c)
        if ((unsigned char)*c < 0x20 || *c == 0x7f)
            return bad(error, error_size, "%s", "--name must not contain control characters");
    if (!utf8_to_gb18030(value, o->name, sizeof o->name))
        return bad(error, error_size, "--name '%s' is not UTF-8 text of at most 39 bytes in GB18030", value);
    return OPTIONS_OK;
}

/* One option that takes a value. */
static OptionsResult parse_value(const char *option, const char *value, PeerOptions *o, bool *have_port,
                                 char *error, int error_size)
{
    if (strcmp(option, "--name") == 0)
        return parse_name(value, o, error, error_size);
    if (strcmp(option, "--addr") == 0)
        return parse_ipv4(value, o->addr) ? OPTIONS_OK
                                          : bad(error, error_size, "--addr '%s' is not an IPv4 address", value);
    if (strcmp(option, "--port") == 0) {
        if (o->auto_bind)
            return bad(error, error_size, "%s", "give either --port or --ports, not both");
        *have_port = true;
        return parse_port(value, 1, &o->port)
                   ? OPTIONS_OK
                   : bad(error, error_size, "--port '%s' is not a port from 1 to 65535", value);
    }
    if (strcmp(option, "--ports") == 0) {
        if (*have_port)
            return bad(error, error_size, "%s", "give either --port or --ports, not both");
        o->auto_bind = true;
        return parse_range(value, &o->first, &o->last)
                   ? OPTIONS_OK
                   : bad(error, error_size, "--ports '%s' is not FIRST-LAST with 1 <= FIRST < LAST <= 65535", value);
    }
    if (strcmp(option, "--key-file") == 0) {
        o->has_key = read_key_file(value, o->key, error, error_size);
        return o->has_key ? OPTIONS_OK : OPTIONS_BAD;
    }
    if (o->server_count >= PEER_MAX_SERVERS)
        return bad(error, error_size, "%s", "too many --server options");
    if (!parse_endpoint(value, false, &o->servers[o->server_count]))
        return bad(error, error_size, "--server '%s' is not IP:PORT", value);
    ++o->server_count;
    return OPTIONS_OK;
}

OptionsResult parse_options(int argc, char **argv, PeerOptions *o, char *error, int error_size)
{
    memset(o, 0, sizeof *o);
    o->port = 45454;
    bool have_port = false;
    for (int i = 1; i < argc; ++i) {
        char option[32];
        const char *value;
        split_option(argv[i], option, &value);
        if (strcmp(option, "--help") == 0 || strcmp(option, "-h") == 0) {
            o->help = true;
            return OPTIONS_HELP;
        }
        if (strcmp(option, "--serve-only") == 0) {
            if (value)
                return bad(error, error_size, "%s takes no value", option);
            o->serve_only = true;
            continue;
        }
        if (!takes_value(option))
            return bad(error, error_size, "unknown option '%s' (see --help)", argv[i]);
        if (!value && i + 1 >= argc)
            return bad(error, error_size, "%s needs a value", option);
        if (!value)
            value = argv[++i];
        if (parse_value(option, value, o, &have_port, error, error_size) != OPTIONS_OK)
            return OPTIONS_BAD;
    }
    if (!o->name[0])
        return bad(error, error_size, "%s", "--name is required (see --help)");
    if (o->serve_only && o->server_count > 0)
        return bad(error, error_size, "%s", "--serve-only and --server exclude each other");
    return OPTIONS_OK;
}
