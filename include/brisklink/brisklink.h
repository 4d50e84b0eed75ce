/* Brisklink device library with one handle per adapter, for programs that
 * work on several adapters or choose one by location or serial number. Beside
 * isp/isp.h, whose ISP_* functions run on one default adapter. Plain C; no
 * exception ever crosses these functions. Include from C or C++.
 *
 * A handle is made for the release a packed updater carries (its adapter
 * identities and command key): bl_open(updater, location). It follows its
 * adapter by location through the adapter's restarts (application, loader,
 * application). Each handle may be used from its own thread beside others;
 * calls on one handle from two threads run one after the other (bl_cancel
 * and bl_get_trans_progress beside them). A second handle on an adapter that
 * is open, here or in another process (an updater), is refused. Results: 0
 * for success, non-zero for failure unless said
 * otherwise; bl_last_error tells why. */
#ifndef BRISKLINK_H
#define BRISKLINK_H

#include <stdint.h>

/* BRISKLINK_API, and the seed's interface beside this one. */
#include "brisklink/isp.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct bl_adapter bl_adapter;

/* The result of bl_enter_loader, bl_read_version and bl_update when a
 * cancel (or a close) stopped them: the adapter is left as an interrupted
 * update leaves it. */
#define BL_INTERRUPTED 2

/* One adapter on the bus. Texts are NUL-terminated UTF-8. */
typedef struct bl_found {
    char location[256]; /* its port path ("1-2.3"), where bl_open finds it */
    char mode[16];      /* "application" or "loader" */
    uint16_t vendor_id;
    uint16_t product_id;
    char serial[68]; /* its USB serial number; "" when it has none */
} bl_found;

/* Called during bl_update: the step, by the names the updater's JSON lines
 * and journal use ("erase_external", "program_external", "verify_external",
 * "erase_internal", "reset", "wait_for_loader", "program_internal",
 * "verify_internal", "return_check"; the long steps only), and its progress
 * in percent (0 when it starts, 100 when it ends; passes report in between). On the calling thread
 * of bl_update, or on a thread of the library during a pass: keep it short. */
typedef void (*bl_progress)(void* user, const char* step, int percent);

/* The adapters on the bus that `updater`'s release is for (either identity),
 * without a report sent to any: fills at most `capacity` entries of `found`
 * and returns how many adapters there are (which may be more), or -1 when
 * `updater` carries no valid trailer. */
BRISKLINK_API int bl_list(const char* updater, bl_found* found, int capacity);

/* Opens the adapter at `location` for `updater`'s release; NULL when the
 * updater carries no valid trailer, no adapter is at `location` (waited for
 * 3 s, as a restarting one is away for about a second), or it is open
 * already (another handle, another updater): then `error` (when not NULL)
 * receives the reason, cut to `error_size` bytes. */
BRISKLINK_API bl_adapter* bl_open(const char* updater, const char* location, char* error,
                                  int error_size);
/* Ends the adapter's loader session if one is open (restarting it into its
 * loader, as a failed update leaves it), frees the handle and lets others
 * open the adapter. A call running on the handle in another thread is
 * cancelled first and waited for; no call may start on the handle after
 * bl_close has begun. NULL is ignored. */
BRISKLINK_API void bl_close(bl_adapter* adapter);
/* Asks the operation running on this handle (bl_enter_loader,
 * bl_read_version, bl_update), from another thread, to stop at its next
 * report or wait; returns at once. It ends the adapter's loader session as
 * an interrupted update does (a second run restores the adapter), returns
 * BL_INTERRUPTED and sets bl_last_error to "cancelled during STEP". A
 * cancel while no such operation runs stops nothing. Never call it with a
 * handle that bl_close may have freed. */
BRISKLINK_API void bl_cancel(bl_adapter* adapter);
/* The reason of the last failure on this handle ("" when none), valid until
 * the next call on it. */
BRISKLINK_API const char* bl_last_error(bl_adapter* adapter);

/* Brings the adapter from its application into its loader (or finds it
 * there), authenticates and reads its information and version record, as
 * the updater's connection does. */
BRISKLINK_API int bl_enter_loader(bl_adapter* adapter);
/* The firmware version its version record holds ("" when erased), entering
 * the loader first when the handle has not; the adapter stays in its loader
 * until bl_run_application. */
BRISKLINK_API int bl_read_version(bl_adapter* adapter, char* version, int size);
/* Ends the loader session and starts the adapter's application. */
BRISKLINK_API int bl_run_application(bl_adapter* adapter);
/* The whole update of the updater's console ("/f"): enters the loader if
 * needed, erases, programs and verifies the firmware that `updater` carries
 * (NULL: the handle's own updater; it must be made for the same adapter),
 * writes its version record, restarts the adapter and sees it come back
 * running it. `progress` may be NULL. */
BRISKLINK_API int bl_update(bl_adapter* adapter, const char* updater, bl_progress progress,
                            void* user);

/* The device operations of isp/isp.h on this handle's adapter, with the
 * same arguments (after the handle) and results as their ISP_ namesakes. */
BRISKLINK_API int bl_get_information(bl_adapter* adapter, int kind, uint16_t* text,
                                     int* text_bytes);
BRISKLINK_API int bl_send_authentication(bl_adapter* adapter);
BRISKLINK_API int bl_send_user_cmd(bl_adapter* adapter, const uint8_t* block);
BRISKLINK_API int bl_get_user_data(bl_adapter* adapter, uint8_t* buffer, int length);
BRISKLINK_API int bl_get_user_result(bl_adapter* adapter, int seconds);
BRISKLINK_API int bl_execute(bl_adapter* adapter);
BRISKLINK_API int bl_exit(bl_adapter* adapter);
BRISKLINK_API int bl_reset(bl_adapter* adapter);
BRISKLINK_API int bl_reset_to_iap(bl_adapter* adapter, int keyed_crc);
BRISKLINK_API int bl_erase_mass(bl_adapter* adapter);
BRISKLINK_API int bl_erase_page(bl_adapter* adapter, uint32_t start, uint32_t end);
BRISKLINK_API int bl_blank_check(bl_adapter* adapter, uint32_t start, uint32_t end);
BRISKLINK_API int bl_write_program(bl_adapter* adapter, uint32_t start, uint32_t end, int mode,
                                   const uint8_t* data);
BRISKLINK_API int bl_read_data(bl_adapter* adapter, uint32_t start, uint32_t end, uint8_t* buffer);
BRISKLINK_API int bl_crc_check(bl_adapter* adapter, uint16_t* result, const uint8_t* parameters);
BRISKLINK_API int bl_get_trans_progress(bl_adapter* adapter);
BRISKLINK_API int bl_get_library_log(bl_adapter* adapter, uint16_t* buffer, int capacity);

#ifdef __cplusplus
}
#endif

#endif
