/* The send and sendfile commands: a target, then text or a file's bytes. */
#ifndef MUDP_PEER_SEND_COMMANDS_H
#define MUDP_PEER_SEND_COMMANDS_H

/* "send server|client IP:PORT TEXT", "send user NAME TEXT", "send all TEXT". */
void command_send(char *cursor);

/* The same with "sendfile" and a file's path. */
void command_sendfile(char *cursor);

#endif
