/* Updates a simulated device through the installed libtavrin and reads the
 * result back: the update, its progress in order, the image the device took,
 * a failure's reason code and message, and a cancel before the run. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <tavrin/tavrin.h>

static int failures = 0;

#define CHECK(condition)                                            \
  do {                                                              \
    if (!(condition)) {                                             \
      fprintf(stderr, "%s:%d: %s\n", __FILE__, __LINE__, #condition); \
      ++failures;                                                   \
    }                                                               \
  } while (0)

struct progress {
  unsigned calls;
  unsigned last_offset;
  unsigned last_state;
  int backwards;
};

static void on_progress(void* user, const char* port, uint32_t state, uint32_t offset,
                        uint32_t length) {
  struct progress* p = user;
  (void)port;
  (void)length;
  if (offset < p->last_offset || state < p->last_state) p->backwards = 1;
  p->last_offset = offset;
  p->last_state = state;
  ++p->calls;
}

static long file_length(const char* path) {
  FILE* file = fopen(path, "rb");
  long length;
  if (file == NULL) return -1;
  fseek(file, 0, SEEK_END);
  length = ftell(file);
  fclose(file);
  return length;
}

int main(int argc, char** argv) {
  const tavrin_ids ids = {0xABCD, 0x1234, 0xABCD, 0x1000};
  tavrin_platform* bench;
  tavrin_sim_device* device;
  tavrin_update* update;
  tavrin_file_info* info;
  const tavrin_result* result;
  struct progress progress = {0, 0, 0, 0};
  int id, finished = 0;
  long stored;
  if (argc != 2) return 2;
  CHECK(strcmp(tavrin_version(), TAVRIN_VERSION) == 0);

  info = tavrin_inspect(argv[1]);
  CHECK(info != NULL && info->ok && strcmp(info->model, "TVR-100") == 0);
  CHECK(info != NULL && strlen(info->sha256) == 64);

  bench = tavrin_platform_simulated();
  device = tavrin_sim_device_new("TVR-100", &ids);
  CHECK(bench != NULL && device != NULL);
  id = tavrin_sim_add(bench, device);
  CHECK(id == 0);

  update = tavrin_update_new(argv[1], &ids);
  tavrin_update_set_platform(update, bench);
  tavrin_update_set_progress(update, on_progress, &progress);
  CHECK(tavrin_update_run(update) == TAVRIN_OK);
  CHECK(tavrin_update_run(update) == TAVRIN_ERROR_STATE);
  CHECK(tavrin_update_result_count(update) == 1);
  result = tavrin_update_result(update, 0);
  CHECK(result != NULL && result->ok && strcmp(result->reason, "updated") == 0);
  CHECK(result != NULL && strcmp(tavrin_state_name(result->state), "finish") == 0);
  CHECK(result != NULL && strcmp(result->port, "sim-0") == 0);
  CHECK(progress.calls > 10 && !progress.backwards);
  CHECK(info != NULL && progress.last_offset == info->length);
  stored = tavrin_sim_stored_image(bench, id, NULL, 0, &finished);
  CHECK(info != NULL && stored == (long)info->length && finished == 1);
  CHECK(file_length(argv[1]) == stored);
  tavrin_update_free(update);

  /* A device whose bootloader refuses the image: the reason and message of
   * the JSON output. */
  tavrin_sim_device_set(device, "verify", "fail");
  tavrin_sim_device_set(device, "port", "bench-2");
  CHECK(tavrin_sim_device_set(device, "verify", "sometimes") == TAVRIN_ERROR_ARGUMENT);
  CHECK(tavrin_sim_add(bench, device) == 1);
  update = tavrin_update_new(argv[1], &ids);
  tavrin_update_set_platform(update, bench);
  tavrin_update_set_port(update, "bench-2");
  CHECK(tavrin_update_run(update) == TAVRIN_FAILED);
  result = tavrin_update_result(update, 0);
  CHECK(result != NULL && strcmp(result->reason, "verify") == 0);
  CHECK(result != NULL && strcmp(result->message, "Verify failed") == 0);
  tavrin_update_free(update);

  /* Cancelled before it runs: stopped before anything was written. */
  update = tavrin_update_new(argv[1], &ids);
  tavrin_update_set_simulated(update, 1);
  tavrin_update_cancel(update);
  CHECK(tavrin_update_run(update) == TAVRIN_FAILED);
  result = tavrin_update_result(update, 0);
  CHECK(result != NULL && strcmp(result->reason, "interrupted") == 0);
  CHECK(result != NULL && strncmp(result->message, "Interrupted: nothing was written", 32) == 0);
  tavrin_update_free(update);

  tavrin_sim_device_free(device);
  tavrin_platform_free(bench);
  tavrin_file_info_free(info);
  if (failures == 0) printf("installed library: ok\n");
  return failures == 0 ? 0 : 1;
}
