/* Commands read from standard input, and the session they steer. */
#ifndef MUDP_PEER_COMMANDS_H
#define MUDP_PEER_COMMANDS_H

#include <glib.h>
#include <stdbool.h>

/* Starts reading commands from standard input; stop requests quit loop. */
void input_start(GMainLoop *loop);

/* Stops reading input and cancels a running wait. */
void input_stop(void);

/* Asks the session to end: no further commands run and the loop quits. */
void request_stop(void);
bool stop_requested(void);

/* Unregisters from every server in the server list. */
void unregister_all(void);

#endif
