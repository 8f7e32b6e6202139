/* tavrin-exchange-floor: the least work one request/response exchange with
 * the bootloader can take through hidraw: write one 33-byte report, poll,
 * read one report. It sends CmdStartUpdate and then COUNT CmdWriteData frames
 * of 16 bytes, and prints the time per exchange; tavrin's own exchange loop
 * is measured against it.
 *
 *   tavrin-exchange-floor /dev/hidrawN [COUNT]     (COUNT defaults to 4096) */
#define _POSIX_C_SOURCE 200809L
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

enum { kReportSize = 33, kWaitMs = 1000 };

static unsigned char sequence = 1;

static void build_frame(unsigned char *frame, const unsigned char *payload, int length, int flag) {
  unsigned sum = 0;
  memset(frame, 0, kReportSize);
  frame[0] = 0xB2;
  frame[1] = 0xAA;
  frame[2] = (unsigned char)(0x55 + flag);
  frame[3] = (unsigned char)(length + 2);
  frame[4] = (unsigned char)~frame[3];
  frame[5] = sequence;
  sequence = sequence == 255 ? 1 : sequence + 1;
  for (int i = 0; i < length; ++i) {
    frame[6 + i] = payload[i];
    sum += payload[i];
  }
  frame[6 + length] = (unsigned char)(sum & 0xFF);
  frame[7 + length] = (unsigned char)(sum >> 8);
}

/* One exchange; 0 on success. */
static int exchange(int fd, const unsigned char *frame) {
  unsigned char in[64];
  if (write(fd, frame, kReportSize) != kReportSize) return -1;
  for (;;) {
    struct pollfd p = {fd, POLLIN, 0};
    int n = poll(&p, 1, kWaitMs);
    if (n <= 0) return -1;
    ssize_t got = read(fd, in, sizeof in);
    if (got <= 0) return -1;
    if (in[0] == 0xB1) return 0;
  }
}

static double seconds(void) {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return (double)t.tv_sec + (double)t.tv_nsec / 1e9;
}

int main(int argc, char **argv) {
  if (argc < 2 || argc > 3 || strcmp(argv[1], "--help") == 0) {
    fprintf(stderr, "usage: tavrin-exchange-floor /dev/hidrawN [COUNT]\n");
    return 2;
  }
  long count = argc > 2 ? strtol(argv[2], NULL, 10) : 4096;
  if (count < 1 || count > 1000000) {
    fprintf(stderr, "tavrin-exchange-floor: COUNT must be 1 to 1000000\n");
    return 2;
  }
  int fd = open(argv[1], O_RDWR | O_CLOEXEC);
  if (fd < 0) {
    fprintf(stderr, "tavrin-exchange-floor: %s: %s\n", argv[1], strerror(errno));
    return 1;
  }
  unsigned char frame[kReportSize];
  unsigned char payload[17];
  payload[0] = 0x63;
  build_frame(frame, payload, 1, 1);
  if (exchange(fd, frame) != 0) {
    fprintf(stderr, "tavrin-exchange-floor: no answer to CmdStartUpdate\n");
    close(fd);
    return 1;
  }
  payload[0] = 0x64;
  double start = seconds();
  for (long i = 0; i < count; ++i) {
    for (int b = 1; b < 17; ++b) payload[b] = (unsigned char)(i * 16 + b - 1);
    build_frame(frame, payload, 17, 1);
    if (exchange(fd, frame) != 0) {
      fprintf(stderr, "tavrin-exchange-floor: exchange %ld failed\n", i);
      close(fd);
      return 1;
    }
  }
  double elapsed = seconds() - start;
  printf("floor exchanges %ld total-us %.0f per-exchange-us %.1f\n", count, elapsed * 1e6,
         elapsed * 1e6 / (double)count);
  close(fd);
  return 0;
}
