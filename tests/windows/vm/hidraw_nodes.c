/* hidraw_nodes DEV_DIR READY_FILE
 *
 * Keeps DEV_DIR/hidrawN in step with the kernel's hidraw devices, for a /dev
 * that is a plain tmpfs: follows the kernel's uevents and makes each node with
 * one mknod when its device appears and removes it with one unlink when it
 * goes. Wine's bus driver, without udevd, watches /dev with inotify and acts on
 * every event of a hidraw node: the attribute events that devtmpfs adds after a
 * creation make it drop the device it has just added, so nothing but the
 * creation and the removal may touch a node.
 *
 * Writes READY_FILE once it listens. Runs until SIGTERM.
 */
#define _GNU_SOURCE
#include <errno.h>
#include <linux/netlink.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

static const char *field(const char *message, size_t length, const char *key) {
  size_t keyLength = strlen(key);
  for (size_t at = 0; at < length; at += strlen(message + at) + 1)
    if (strncmp(message + at, key, keyLength) == 0 && message[at + keyLength] == '=')
      return message + at + keyLength + 1;
  return NULL;
}

static int hidrawName(const char *name) {
  if (name == NULL || strncmp(name, "hidraw", 6) != 0 || name[6] == '\0') return 0;
  for (const char *c = name + 6; *c != '\0'; ++c)
    if (*c < '0' || *c > '9') return 0;
  return 1;
}

int main(int argc, char **argv) {
  if (argc != 3) {
    fprintf(stderr, "usage: hidraw_nodes DEV_DIR READY_FILE\n");
    return 2;
  }
  const char *devDir = argv[1];
  int sock = socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_KOBJECT_UEVENT);
  if (sock < 0) {
    perror("hidraw_nodes: socket");
    return 1;
  }
  struct sockaddr_nl address = {.nl_family = AF_NETLINK, .nl_pid = 0, .nl_groups = 1};
  if (bind(sock, (struct sockaddr *)&address, sizeof address) != 0) {
    perror("hidraw_nodes: bind");
    return 1;
  }
  FILE *ready = fopen(argv[2], "w");
  if (ready == NULL || fclose(ready) != 0) {
    perror("hidraw_nodes: ready file");
    return 1;
  }
  char buffer[8192];
  for (;;) {
    ssize_t n = recv(sock, buffer, sizeof buffer - 1, 0);
    if (n < 0) {
      if (errno == EINTR || errno == ENOBUFS) continue;
      perror("hidraw_nodes: recv");
      return 1;
    }
    buffer[n] = '\0';
    const char *action = field(buffer, (size_t)n, "ACTION");
    const char *subsystem = field(buffer, (size_t)n, "SUBSYSTEM");
    const char *name = field(buffer, (size_t)n, "DEVNAME");
    if (action == NULL || subsystem == NULL || strcmp(subsystem, "hidraw") != 0 ||
        !hidrawName(name))
      continue;
    char node[256];
    snprintf(node, sizeof node, "%s/%s", devDir, name);
    if (strcmp(action, "add") == 0) {
      const char *major = field(buffer, (size_t)n, "MAJOR");
      const char *minor = field(buffer, (size_t)n, "MINOR");
      if (major == NULL || minor == NULL) continue;
      /* A node left by a device whose removal was missed goes first. */
      unlink(node);
      if (mknod(node, S_IFCHR | 0600, makedev(atoi(major), atoi(minor))) != 0)
        fprintf(stderr, "hidraw_nodes: mknod %s: %s\n", node, strerror(errno));
    } else if (strcmp(action, "remove") == 0) {
      if (unlink(node) != 0 && errno != ENOENT)
        fprintf(stderr, "hidraw_nodes: unlink %s: %s\n", node, strerror(errno));
    }
  }
}
