/* The words of a command line, and errors that name the line. */
#ifndef MUDP_PEER_COMMAND_TEXT_H
#define MUDP_PEER_COMMAND_TEXT_H

/* Counts one more line of input: errors name it. */
void command_next_line(void);

/* One error line on standard error: "mudp-peer: line N: ...". */
__attribute__((format(printf, 1, 2))) void command_error(const char *format, ...);

/* Cuts the next blank-separated word off *cursor; NULL at the end. */
char *next_word(char **cursor);

/* The rest of the line after the blanks that follow the last word; NULL
 * when nothing is left. */
char *rest_of_line(char **cursor);

#endif
