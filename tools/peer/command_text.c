#include "command_text.h"

#include <stdarg.h>
#include <stdio.h>
#include <string.h>

static unsigned long line_number;

void command_next_line(void) { ++line_number; }

void command_error(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    fprintf(stderr, "mudp-peer: line %lu: ", line_number);
    vfprintf(stderr, format, args);
    fputc('\n', stderr);
    va_end(args);
}

/* Cuts the next blank-separated word off *cursor; NULL at the end. */
char *next_word(char **cursor)
{
    char *c = *cursor;
    while (*c == ' ' || *c == '\t')
        ++c;
    if (!*c) {
        *cursor = c;
        return NULL;
    }
    char *word = c;
    while (*c && *c != ' ' && *c != '\t')
        ++c;
    if (*c)
        *c++ = '\0';
    *cursor = c;
    return word;
}

/* The rest of the line after the blanks that follow the last word. */
char *rest_of_line(char **cursor)
{
    char *c = *cursor;
    while (*c == ' ' || *c == '\t')
        ++c;
    *cursor = c + strlen(c);
    return *c ? c : NULL;
}
