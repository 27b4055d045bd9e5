/* TUN devices for the path forwarder. */
#ifndef PATH_TUN_DEVICE_H
#define PATH_TUN_DEVICE_H

/* Creates a TUN device called name (raw IP packets, no extra header) in the
 * current network namespace and returns its non-blocking descriptor, or -1
 * with a message on standard error. The descriptor keeps working after the
 * interface is moved to another namespace. */
int tun_open(const char *name);

#endif
