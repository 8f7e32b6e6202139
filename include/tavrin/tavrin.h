/*
 * libtavrin: firmware updates of USB HID devices from a program.
 *
 * The same update as the tavrin command line, in process: find the device by
 * its ids, switch it into its bootloader, stream the image, have it verified.
 * Every result carries the reason codes, messages and details of the command
 * line's JSON output (tavrin --json).
 *
 * Threads: separate handles may be used on separate threads at once (two
 * updates on two threads, each with a handle of its own, also over one shared
 * platform). One handle is not to be used from two threads at once, with one
 * exception: tavrin_update_cancel() may be called from any thread, and from
 * a signal handler, while tavrin_update_run() runs. Callbacks run on the
 * thread that runs the update; under tavrin_update_set_all() on one thread
 * per device, several at once. The library installs no signal handler.
 *
 * Strings are UTF-8 or whatever bytes the device or file gave, unescaped,
 * and stay valid as long as the handle they came from.
 */
#ifndef TAVRIN_TAVRIN_H
#define TAVRIN_TAVRIN_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(__GNUC__)
#define TAVRIN_API __attribute__((visibility("default")))
#else
#define TAVRIN_API
#endif

#define TAVRIN_VERSION_MAJOR 0
#define TAVRIN_VERSION_MINOR 14
/** The version this header belongs to. */
#define TAVRIN_VERSION "0.14"

/** The version of the library in use ("0.14"). */
TAVRIN_API const char* tavrin_version(void);

/** What a call returns besides a handle. */
enum tavrin_status {
  TAVRIN_OK = 0,
  /** The update (or one of several) did not succeed: its result says why. */
  TAVRIN_FAILED = 1,
  /** A null handle or path, an unknown setting, a value out of range. */
  TAVRIN_ERROR_ARGUMENT = -1,
  /** The call came at the wrong time: a second run of one update handle. */
  TAVRIN_ERROR_STATE = -2,
  /** Out of memory, or the system refused a thread or the HID access. */
  TAVRIN_ERROR_SYSTEM = -3
};

/** The USB ids of a device in its application firmware and in its bootloader
 *  (0 when not given). */
typedef struct tavrin_ids {
  uint16_t app_vid;
  uint16_t app_pid;
  uint16_t boot_vid;
  uint16_t boot_pid;
} tavrin_ids;

/* ------------------------------------------------------------------------
 * Platforms: where devices are found. A null platform wherever one is asked
 * for means the system's HID interfaces (hidraw). A platform may be shared by
 * any number of calls on any number of threads; it must outlive them. */
typedef struct tavrin_platform tavrin_platform;

/** The system's HID interfaces. NULL when the system has none to offer. */
TAVRIN_API tavrin_platform* tavrin_platform_native(void);
/** Simulated devices inside this process (none yet: see tavrin_sim_add), on
 *  a virtual clock: an update takes no real time unless latency is set. */
TAVRIN_API tavrin_platform* tavrin_platform_simulated(void);
TAVRIN_API void tavrin_platform_free(tavrin_platform* platform);

/** A simulated device's settings, for tavrin_sim_add. */
typedef struct tavrin_sim_device tavrin_sim_device;

/** A device of model (at most 10 characters are sent) under ids, in its
 *  application firmware, whose bootloader takes protocol version 1, offers
 *  protocol bit 0 and checks the image CRC: what --simulate plugs in. */
TAVRIN_API tavrin_sim_device* tavrin_sim_device_new(const char* model, const tavrin_ids* ids);
/** Changes one setting (value as text); TAVRIN_ERROR_ARGUMENT for an unknown
 *  key or a value that does not parse. Keys:
 *    version              firmware version text (default "0.0.1-sim")
 *    port, serial         where it is plugged in, its serial (default sim-N, SIMnnnn)
 *    start-mode           application | bootloader
 *    protocol-version     what its bootloader reports (default 1)
 *    capabilities         its protocol bits (default 0x01)
 *    set-protocol-result  its answer to the protocol selection (default 0: taken)
 *    verify               check-crc | pass | fail
 *    restart-ms           time until the bootloader appears after the switch
 *    never-return         1: it never comes back after the switch
 *    vanish-after         it disappears after this many data chunks
 *    stop-taking-after    it takes no further report after this many chunks
 *    fault                KIND:COMMAND[:FIRST[:COUNT[:DELAY_MS]]], one fault more:
 *                         KIND no-answer | late-answer | wrong-marker |
 *                         wrong-echo | garbage; COMMAND read-version |
 *                         get-info | set-protocol | start-update | write-data |
 *                         verify | finish | enter-bootloader or a number;
 *                         frames FIRST.. FIRST+COUNT-1 of it (COUNT 0: all on) */
TAVRIN_API int tavrin_sim_device_set(tavrin_sim_device* device, const char* key, const char* value);
TAVRIN_API void tavrin_sim_device_free(tavrin_sim_device* device);

/** Plugs a device into a simulated platform; returns its id (0, 1, ...) or a
 *  negative tavrin_status. */
TAVRIN_API int tavrin_sim_add(tavrin_platform* platform, const tavrin_sim_device* device);
/** Plugs in count devices of model under ids on ports sim-0, sim-1, ...,
 *  serials SIM0001, ...: the bench of --simulate=N. model NULL: "TVR-100". */
TAVRIN_API int tavrin_sim_add_bench(tavrin_platform* platform, const char* model,
                                    const tavrin_ids* ids, uint32_t count);
/** Every exchange takes ms milliseconds, paced by real time (0: none), as
 *  --simulate-latency. */
TAVRIN_API int tavrin_sim_set_latency(tavrin_platform* platform, uint32_t ms);
/** Copies the image bytes device id has taken since its last start of an
 *  update into buffer (at most size bytes; buffer may be NULL with size 0)
 *  and returns their count, or a negative tavrin_status. *finished (when not
 *  NULL) is set to 1 once the device was told the update is complete. Not
 *  while an update runs on the platform. */
TAVRIN_API long tavrin_sim_stored_image(tavrin_platform* platform, int id, uint8_t* buffer,
                                        size_t size, int* finished);

/* ------------------------------------------------------------------------
 * The interfaces of the kind tavrin updates (usage page 0x8C, usage 0x01),
 * whatever their ids: what tavrin --list shows. */
typedef struct tavrin_interface {
  const char* node;     /**< /dev/hidrawN (or the platform's path) */
  const char* path;     /**< the platform's identity of the interface */
  const char* product;  /**< product string; "" when none */
  const char* port;     /**< where it is plugged in; "" when the system does not say */
  const char* serial;   /**< "" when none */
  /** How it matches the ids given: "application", "bootloader" or "-". */
  const char* match;
  uint16_t vendor_id;
  uint16_t product_id;
  /** 1: it exists but this user may not open it, so an update would fail. */
  int access_denied;
} tavrin_interface;

typedef struct tavrin_interface_list tavrin_interface_list;

/** Lists the interfaces; ids (may be NULL) only decide match. NULL when out
 *  of memory or the platform cannot be had. */
TAVRIN_API tavrin_interface_list* tavrin_list_interfaces(tavrin_platform* platform,
                                                         const tavrin_ids* ids);
TAVRIN_API size_t tavrin_interface_list_count(const tavrin_interface_list* list);
/** NULL past the end. */
TAVRIN_API const tavrin_interface* tavrin_interface_list_get(const tavrin_interface_list* list,
                                                            size_t index);
TAVRIN_API void tavrin_interface_list_free(tavrin_interface_list* list);

/* ------------------------------------------------------------------------
 * A firmware file as an update would load it: what tavrin --inspect shows. */
typedef struct tavrin_file_info {
  /** 1 when the file loads; else reason and message say why. */
  int ok;
  /** "" when ok, else "invalid-file". */
  const char* reason;
  /** The loader's messages, as the command line prints them; "" when ok. */
  const char* message;
  /** "raw", "intel-hex", "container-v1" or "container-v2". */
  const char* format;
  uint32_t length;      /**< bytes an update sends */
  uint32_t image_crc;   /**< the two verify words */
  uint32_t check_word;
  uint8_t protocol_mask;
  uint8_t protocol_selection;
  const char* model;    /**< the model the file is for */
  const char* version;  /**< its version text */
  /** SHA-256 of the file, and of the bytes an update sends, as 64 lower-case
   *  hex digits. */
  const char* sha256;
  const char* image_sha256;
} tavrin_file_info;

/** Loads path; NULL only when out of memory or path is NULL. */
TAVRIN_API tavrin_file_info* tavrin_inspect(const char* path);
TAVRIN_API void tavrin_file_info_free(tavrin_file_info* info);

/* ------------------------------------------------------------------------
 * The firmware versions of every device that passes ids (and port, serial):
 * what tavrin -r reads. */
typedef struct tavrin_device_version {
  const char* path;
  const char* port;
  const char* serial;
  /** "application" or "bootloader". */
  const char* mode;
  /** 1 when it answered; else reason is "no-answer" (none within a second)
   *  or "failed" (gone or failed), as in the JSON output. */
  int ok;
  const char* reason;
  const char* model;
  const char* version;
} tavrin_device_version;

typedef struct tavrin_version_list tavrin_version_list;

/** Asks every device that passes for its version. port and serial may be NULL
 *  (any). An empty list when none passes. NULL only on a system error. */
TAVRIN_API tavrin_version_list* tavrin_read_versions(tavrin_platform* platform,
                                                     const tavrin_ids* ids, const char* port,
                                                     const char* serial);
TAVRIN_API size_t tavrin_version_list_count(const tavrin_version_list* list);
TAVRIN_API const tavrin_device_version* tavrin_version_list_get(const tavrin_version_list* list,
                                                               size_t index);
TAVRIN_API void tavrin_version_list_free(tavrin_version_list* list);

/* ------------------------------------------------------------------------
 * Updates. */

/** How an update ended; one per device. */
typedef struct tavrin_result {
  int ok;
  /** The fixed reason code of the JSON output: "updated", "invalid-file",
   *  "empty-image", "no-device", "wrong-model", "multiple-devices",
   *  "get-info", "protocol-version", "protocol-mismatch", "switch-timeout",
   *  "bootloader-not-responding", "wrong-bootloader-model", "set-protocol",
   *  "start-update", "write", "verify", "interrupted", "no-answer". */
  const char* reason;
  /** The state it ended in (see tavrin_state_name). */
  uint32_t state;
  /** What it printed about the failure, without its line end (as the JSON "message"); "" for a
   *  silent one. */
  const char* message;
  /** For a failure without a message of its own: why, in English; else "". */
  const char* detail;
  /** reason "write": the offset of the chunk that went unanswered. */
  uint32_t offset;
  const char* port;
  const char* serial;
  /** The version the device reported before the update. */
  const char* version_before;
  /** The model and version of the file. */
  const char* file_model;
  const char* file_version;
  /** Wall time of its session. */
  double seconds;
} tavrin_result;

/** The name of a state: "idle", "start", "query-mode", "wait-bootloader",
 *  "check-model", "query-bootloader", "set-protocol", "start-update",
 *  "write-data", "verify", "finish"; "unknown" for any other number. */
TAVRIN_API const char* tavrin_state_name(uint32_t state);

/** Told at every state change, and after every chunk written: the device's
 *  port ("" until one is chosen, or when the system tells none), the state,
 *  the bytes written so far and the image length. */
typedef void (*tavrin_progress_fn)(void* user, const char* port, uint32_t state, uint32_t offset,
                                   uint32_t length);
/** Every message, exactly as the command line prints it to standard error
 *  (it may end without a line feed, or in a carriage return); port as for
 *  progress ("" for what concerns no one device). */
typedef void (*tavrin_message_fn)(void* user, const char* port, const char* text);

typedef struct tavrin_update tavrin_update;

/** An update of path to the device with ids: set it up, run it once, read
 *  its results, free it. NULL when out of memory or path or ids is NULL. */
TAVRIN_API tavrin_update* tavrin_update_new(const char* path, const tavrin_ids* ids);
/** Only the device on this port, or with this serial (NULL: any). */
TAVRIN_API int tavrin_update_set_port(tavrin_update* update, const char* port);
TAVRIN_API int tavrin_update_set_serial(tavrin_update* update, const char* serial);
/** A failure without a message of its own gets one (--verbose). */
TAVRIN_API int tavrin_update_set_verbose(tavrin_update* update, int verbose);
/** Where the device is found (NULL: the system's HID). */
TAVRIN_API int tavrin_update_set_platform(tavrin_update* update, tavrin_platform* platform);
/** A dry run against count simulated devices of the file's model, made for
 *  this update (--simulate=N); overrides set_platform. */
TAVRIN_API int tavrin_update_set_simulated(tavrin_update* update, uint32_t count);
/** Every device of the file's model that passes, at once (--all), at most
 *  jobs at a time (0: all). The results are one per device that passed the
 *  ids, in the order listed (a device of another model is no failure as long
 *  as one was the file's); when none did, or the file is not valid, one for
 *  the whole run, with an empty port. */
TAVRIN_API int tavrin_update_set_all(tavrin_update* update, uint32_t jobs);
TAVRIN_API int tavrin_update_set_progress(tavrin_update* update, tavrin_progress_fn callback,
                                          void* user);
TAVRIN_API int tavrin_update_set_messages(tavrin_update* update, tavrin_message_fn callback,
                                          void* user);
/** Runs the update; blocks until it ends. TAVRIN_OK when every device was
 *  updated, TAVRIN_FAILED when not (the results say why), a negative status
 *  when it could not run. Once per handle. */
TAVRIN_API int tavrin_update_run(tavrin_update* update);
/** Stops the run at its next safe point, as Ctrl-C stops the command line:
 *  the exchange in flight finishes, the result is "interrupted" with a
 *  message that says where the device was left. Before the run, the run
 *  stops at once. Safe from any thread and from a signal handler. */
TAVRIN_API void tavrin_update_cancel(tavrin_update* update);
/** The results of the run: one per device (without --all exactly one). */
TAVRIN_API size_t tavrin_update_result_count(const tavrin_update* update);
TAVRIN_API const tavrin_result* tavrin_update_result(const tavrin_update* update, size_t index);
TAVRIN_API void tavrin_update_free(tavrin_update* update);

#ifdef __cplusplus
}
#endif

#endif /* TAVRIN_TAVRIN_H */
