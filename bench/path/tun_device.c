#include "tun_device.h"

#include <errno.h>
#include <fcntl.h>
#include <linux/if.h>
#include <linux/if_tun.h>
#include <stdio.h>
#include <string.h>
#include <sys/ioctl.h>
#include <unistd.h>

int tun_open(const char *name)
{
    if (!name || strlen(name) >= IFNAMSIZ) {
        fprintf(stderr, "forwarder: bad interface name\n");
        return -1;
    }
    const int fd = open("/dev/net/tun", O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        fprintf(stderr, "forwarder: /dev/net/tun: %s\n", strerror(errno));
        return -1;
    }
    struct ifreq ifr;
    memset(&ifr, 0, sizeof ifr);
    ifr.ifr_flags = IFF_TUN | IFF_NO_PI;
    memcpy(ifr.ifr_name, name, strlen(name));
    if (ioctl(fd, TUNSETIFF, &ifr) < 0) {
        fprintf(stderr, "forwarder: TUNSETIFF %s: %s\n", name, strerror(errno));
        close(fd);
        return -1;
    }
    return fd;
}
