/* Preloaded into tavrin-uhid-sim: gives every device it creates a second
 * top-level collection, a keyboard with report id 1, before or after the
 * device's own collection (TAVRIN_EXTRA_COLLECTION=before|after). Nothing else
 * of the simulator changes; the keyboard never reports.
 *
 * It stands in for a simulator option that sets the report descriptor: such
 * devices (a scanner with a keyboard half) are the case where the operating
 * system shows one device as several HID interfaces.
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <linux/uhid.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

static const unsigned char kKeyboard[] = {
    0x05, 0x01,       /* Usage Page (Generic Desktop) */
    0x09, 0x06,       /* Usage (Keyboard) */
    0xA1, 0x01,       /* Collection (Application) */
    0x85, 0x01,       /*   Report ID (1) */
    0x05, 0x07,       /*   Usage Page (Keyboard) */
    0x19, 0xE0,       /*   Usage Minimum (Left Control) */
    0x29, 0xE7,       /*   Usage Maximum (Right GUI) */
    0x15, 0x00,       /*   Logical Minimum (0) */
    0x25, 0x01,       /*   Logical Maximum (1) */
    0x75, 0x01,       /*   Report Size (1) */
    0x95, 0x08,       /*   Report Count (8) */
    0x81, 0x02,       /*   Input (Data, Variable, Absolute) */
    0x95, 0x01,       /*   Report Count (1) */
    0x75, 0x08,       /*   Report Size (8) */
    0x81, 0x01,       /*   Input (Constant) */
    0x95, 0x06,       /*   Report Count (6) */
    0x75, 0x08,       /*   Report Size (8) */
    0x15, 0x00,       /*   Logical Minimum (0) */
    0x26, 0xFF, 0x00, /*   Logical Maximum (255) */
    0x05, 0x07,       /*   Usage Page (Keyboard) */
    0x19, 0x00,       /*   Usage Minimum (0) */
    0x29, 0xFF,       /*   Usage Maximum (255) */
    0x81, 0x00,       /*   Input (Data, Array) */
    0xC0,             /* End Collection */
};

ssize_t write(int fd, const void *data, size_t size) {
  static ssize_t (*real)(int, const void *, size_t);
  if (real == NULL) real = (ssize_t(*)(int, const void *, size_t))dlsym(RTLD_NEXT, "write");
  const char *where = getenv("TAVRIN_EXTRA_COLLECTION");
  const struct uhid_event *event = data;
  if (where == NULL || size != sizeof *event || event->type != UHID_CREATE2)
    return real(fd, data, size);
  struct uhid_event copy;
  memcpy(&copy, event, sizeof copy);
  struct uhid_create2_req *request = &copy.u.create2;
  size_t own = request->rd_size;
  if (own + sizeof kKeyboard > sizeof request->rd_data) return real(fd, data, size);
  if (strcmp(where, "before") == 0) {
    memmove(request->rd_data + sizeof kKeyboard, request->rd_data, own);
    memcpy(request->rd_data, kKeyboard, sizeof kKeyboard);
  } else {
    memcpy(request->rd_data + own, kKeyboard, sizeof kKeyboard);
  }
  request->rd_size = (__u16)(own + sizeof kKeyboard);
  return real(fd, &copy, size);
}
