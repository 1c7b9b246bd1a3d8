/*
 * korvex: manage the files of a phone over Wi-Fi.
 *
 * The library talks to the phone's file service on TCP port 2323. Connect()
 * logs in and returns a session; every other function works on that session
 * or on a background transfer. Strings are 8-bit and NUL-terminated; the
 * library reads them only during the call. Phone paths use '/', local paths
 * '/' or '\'. Phone paths longer than 1022 bytes (a rename's destination:
 * 254) are refused before anything is sent.
 *
 * Threads: every function may be called from any thread, concurrently.
 * Commands on one session run one at a time, in the order they get the
 * session's lock; sessions are independent of each other.
 *
 * Handles are not checked: pass only what Connect() or a *Async() call
 * returned. A session lives until Disconnect() (or the process ends); a
 * transfer until CloseTransHandle().
 *
 * Extensions: the 30 functions of the table and their Windows ordinals 1-30
 * never change. Functions added later are plain C names with ordinals from
 * 31 up, in the Extensions section below, each with the version that added
 * it.
 */
#ifndef KORVEX_H
#define KORVEX_H

#ifndef __cplusplus
#include <stdbool.h>
#endif

#if defined(_WIN32) && defined(KORVEX_BUILDING_LIBRARY)
#define KORVEX_API /* the module-definition file decides what is exported */
#elif defined(_WIN32)
#define KORVEX_API __declspec(dllimport)
#else
#define KORVEX_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Bounds checked before anything is sent: a phone path, a rename's
 * destination, a password and a log file path, in bytes. */
#define KORVEX_MAX_PATH 1022
#define KORVEX_MAX_RENAME_DEST 254
#define KORVEX_MAX_PASSWORD 255
#define KORVEX_MAX_LOG_PATH 255
/* The phone's name as ConnectionState() writes it, with its NUL. */
#define KORVEX_DEVICE_NAME_SIZE 64

/* A logged-in connection to the phone. */
typedef struct KorvexSession* SessionHandle;
/* One background copy. */
typedef struct KorvexTransfer* TransferHandle;

/* ---- Log ---------------------------------------------------------------- */

/* Turns the log on or off. level 0..8 (3 errors ... 7 trace lines, 8 all)
 * when enabling; another value means 7. path: a file to append to (at most
 * 255 bytes), or NULL to keep the current output (standard error at first).
 * Returns 1 when the file was opened, 0 otherwise: a NULL path or one over
 * 255 bytes keeps the current output; a file that cannot be opened sends the
 * log to standard error. Off: returns 0. */
KORVEX_API int EnableLog(bool enable, unsigned int level, const char* path);

/* ---- Sessions ----------------------------------------------------------- */

/* Connects to "host[:port]" (a name or a dotted quad; port 2323 by default)
 * and logs in. Returns the session, or NULL. *error (error may be NULL):
 * 0 success, 1 the TCP connect failed, 2 the login failed (refused, no
 * answer within 3 s, or a password over 255 bytes). */
KORVEX_API SessionHandle Connect(const char* address, const char* password, int* error);

/* *connected: 1 while the connection is alive, 0 once it was lost.
 * address: receives the text given to Connect (its length + 1 bytes);
 * name: the phone's name (64 bytes). No network traffic. */
KORVEX_API void ConnectionState(SessionHandle handle, char* connected, char* address, char* name);

/* ---- Paths and device --------------------------------------------------- */

/* true when the phone renamed source to dest; false when it refused, the
 * exchange failed, or a path was too long. */
KORVEX_API bool Rename(SessionHandle handle, const char* source, const char* dest);
/* true when the phone deleted the file; false otherwise. */
KORVEX_API bool DeletePhoneFile(SessionHandle handle, const char* path);
/* Deletes a directory: only when empty (recursive false) or with its whole
 * tree (true). true on success; false otherwise. */
KORVEX_API bool DeleteDirectory(SessionHandle handle, const char* path, bool recursive);
/* true when the phone created the directory; false otherwise. */
KORVEX_API bool CreatePhoneDirectory(SessionHandle handle, const char* path);

/* The file's size in bytes (sizes of 2 GiB or more read as negative).
 * -1: refused, path too long, or exchange failed; 0 also when the request
 * could not be sent at all (the connection is closed). */
KORVEX_API int FileSize(SessionHandle handle, const char* path);
/* 1 the path exists, 0 it does not, -1 failure. */
KORVEX_API int Exists(SessionHandle handle, const char* path);
/* 1 the path is a directory, 0 it is not, -1 failure. */
KORVEX_API int IsDirectory(SessionHandle handle, const char* path);
/* Same request and result as IsDirectory. */
KORVEX_API int HasDirectories(SessionHandle handle, const char* path);
/* The phone's free-space word for the path, unchanged (its unit is the
 * phone's). -1 on failure; 0 also when the request could not be sent. */
KORVEX_API int GetSpaceSize(SessionHandle handle, const char* path);

/* Ask the phone to shut down, reboot or restart its service. Always true;
 * the session notices the lost connection at its next keep-alive. */
KORVEX_API bool Shutdown(SessionHandle handle);
KORVEX_API bool Reboot(SessionHandle handle);
KORVEX_API bool Restart(SessionHandle handle);

/* ---- Listings ----------------------------------------------------------- */

/* Lists the files (GetFiles) or subdirectories (GetDirectories) of a phone
 * directory into a new buffer "name1/name2/.../", stored in *out. Returns
 * its length without the NUL (> 1); 0 when there is no name (*out
 * untouched); -1 refused or failed; -2 out is NULL; -3 path too long. On
 * anything but a positive result *out is left as it was. Release the buffer
 * with FreeBuffer. */
KORVEX_API int GetFiles(SessionHandle handle, const char* path, char** out);
KORVEX_API int GetDirectories(SessionHandle handle, const char* path, char** out);
/* Releases a listing buffer; NULL is ignored. */
KORVEX_API void FreeBuffer(void* buffer);

/* ---- Copies ------------------------------------------------------------- */

/* Copies a local file to the phone (CopyToPhone) or a phone file to a local
 * file (DownFromPhone), on the session's connection; other commands on the
 * session wait meanwhile. true when every byte arrived; false otherwise (a
 * local source that is not a regular file, such as a directory, a FIFO or a
 * device, is refused unopened, with nothing sent; one of 4 GiB or more
 * cannot be sent). After a failure in mid-copy
 * the session's connection is closed; a refusal by the phone leaves it
 * usable.
 * A download goes to a new temporary file beside dest (".NAME.PID-N.part"),
 * which replaces dest in one rename once complete: after any failure dest is
 * exactly as it was, its content or its absence. An upload is done only when
 * the phone then answers the size sent for dest (one more round trip). */
KORVEX_API bool CopyToPhone(SessionHandle handle, const char* source, const char* dest);
KORVEX_API bool DownFromPhone(SessionHandle handle, const char* source, const char* dest);

/* Start a copy in the background, on a connection of its own. NULL when the
 * session is shutting down or (upload) the local file cannot be opened or is
 * not a regular file. */
KORVEX_API TransferHandle CopyToPhoneAsync(SessionHandle handle, const char* source, const char* dest);
KORVEX_API TransferHandle DownFromPhoneAsync(SessionHandle handle, const char* source, const char* dest);

/* Stores the size in *total and the progress in *progress, and returns the
 * progress: -1 not started (connecting, logging in, or that failed), -2
 * failed or cancelled, otherwise the bytes moved; equal to *total when done,
 * that is once the download replaced its destination or the phone confirmed
 * the upload. Never blocks. */
KORVEX_API int GetTransProgress(TransferHandle handle, int* total, int* progress);

/* Cancels the copy if it still runs, waits for its thread and frees the
 * handle. A cancelled download leaves its destination as it was. Returns 0. */
KORVEX_API int CloseTransHandle(TransferHandle handle);

/* ---- Fixed results ------------------------------------------------------ */

/* Kept for hosts that bind them; arguments are ignored, nothing is done. */
KORVEX_API int GetAttribute(void);   /* 0 */
KORVEX_API int GetSize(void);        /* 0 */
KORVEX_API bool SetAttribute(void);  /* true */
KORVEX_API bool ScreenSnap(void);    /* true */
KORVEX_API bool RestartiPod(void);   /* true */

/* ---- Extensions (ordinals from 31) -------------------------------------- */

/* Since 1.1, ordinal 31. Ends a session: stops its keep-alive, closes its
 * connection (a call blocked on it on another thread fails at once, and
 * Disconnect waits for it to return), stops its background copies as a lost
 * link does (their handles stay valid until CloseTransHandle, ending at -2
 * unless already done), and frees the session. true when it was still
 * connected; false when its link had been lost, or for NULL. Afterwards the
 * handle is freed memory: using it again, or disconnecting it twice, is the
 * caller's error, as with free(). Safe on a session whose link was lost. */
KORVEX_API bool Disconnect(SessionHandle handle);

/* One entry of a phone directory, as GetEntries gives it. */
typedef struct KorvexEntry {
  const char* name;  /* NUL-terminated, inside the block GetEntries returned */
  unsigned int size; /* bytes, the phone's 32-bit word; 0 for a directory */
  int isDirectory;   /* 1 directory, 0 file */
} KorvexEntry;

/* Since 1.2, ordinal 32. The entries of a phone directory: its directories
 * first (in GetDirectories' order), then its files (in GetFiles' order) with
 * their sizes, in a few round trips whatever their number: both listings
 * are sent together, then the files' size requests back to back, 256 per
 * send with two sends in flight, their replies read in order. Names that are empty, "." or ".." are
 * left out; so is a file whose size the phone refuses (it went away between
 * the listing and the size). *entries receives one block holding the array
 * and the names (free it with FreeEntries). Returns the number of entries
 * (0: *entries NULL); -1 (*entries NULL) when the phone refused a listing
 * (the connection stays usable), the path or a file's path is over 1022
 * bytes (nothing more is sent), path or entries is NULL, or the exchange
 * failed (then the connection is closed: a reply is never taken for
 * another's). */
KORVEX_API int GetEntries(SessionHandle handle, const char* path, KorvexEntry** entries);
/* Since 1.2, ordinal 33. Frees what GetEntries returned; NULL is fine. */
KORVEX_API void FreeEntries(KorvexEntry* entries);
/* Since 1.2, ordinal 34. The sizes of `count` phone paths in one pipelined
 * pass (256 requests per send, the replies read in order). sizes[i]
 * receives the size of paths[i] (the phone's 32-bit word), or -1 when the
 * phone refused it (missing). Returns count (0 sends nothing); -1 when a
 * path is NULL or over 1022 bytes (nothing sent), count is negative, or the
 * exchange failed (the connection is closed). On -1 every sizes[i] is -1:
 * never a size paired with the wrong path. */
KORVEX_API int GetSizes(SessionHandle handle, const char* const* paths, int count, long long* sizes);

/* Since 1.3, ordinal 35. Uploads `count` local files to the phone on the
 * session's connection, one after another with no pause between them:
 * each file's confirming size request goes out with the next file's upload
 * request, so a file costs one round trip plus its bytes' time instead of
 * two. landed[i] receives 1 when localPaths[i] arrived whole at
 * phonePaths[i] (the phone answered its exact size afterwards), 0 when it
 * did not: a local file that cannot be read, a path over 1022 bytes or a
 * request the phone refused fails that file alone. Returns how many landed;
 * -1 when an argument is NULL, count is negative, or the exchange broke off
 * (the connection is then closed, and the files not yet confirmed stay 0). */
KORVEX_API int UploadFiles(SessionHandle handle, const char* const* localPaths, const char* const* phonePaths,
                           int count, int* landed);

/* What GetKinds finds a phone path to be. */
enum {
  KORVEX_KIND_MISSING = 0,
  KORVEX_KIND_FILE = 1,
  KORVEX_KIND_DIRECTORY = 2,
  KORVEX_KIND_UNSIZED = 3 /* there, not a directory, but the phone gives no size (4 GiB or more) */
};

/* Since 1.4, ordinal 36. What `count` phone paths are, in one pipelined
 * pass: each path's is-directory, size and exists requests go out back to
 * back (256 requests per send, two sends in flight), their replies read in
 * order, so a path costs one round trip however it turns out, and many
 * paths about one round trip plus the bytes' time. kinds[i] receives a
 * KORVEX_KIND_ value for paths[i]; sizes[i] its size when it is
 * KORVEX_KIND_FILE, else -1 (sizes may be NULL). Returns count (0 sends
 * nothing); -1 when a path is NULL or over 1022 bytes (nothing sent), kinds
 * or paths is NULL, count is negative, or the exchange failed (the
 * connection is closed). On -1 every kinds[i] and sizes[i] is -1: never an
 * answer paired with the wrong path. */
KORVEX_API int GetKinds(SessionHandle handle, const char* const* paths, int count, int* kinds, long long* sizes);

/* Since 1.5, ordinal 37. Closes the session's connection from any thread,
 * while other calls may run on the session: a call blocked on the
 * connection fails at once, later calls fail as on a lost link, the state
 * reads as not connected, and the background copies are stopped as a lost
 * link stops them. Unlike Disconnect, it frees nothing: the handle stays
 * valid until Disconnect, which its owner still calls. Safe to call again,
 * and on a session whose link was lost. NULL does nothing. */
KORVEX_API void CloseConnection(SessionHandle handle);

/* Since 1.5, ordinal 38. Downloads `count` phone files to local files on
 * the session's connection with their requests pipelined: up to 8 requests
 * are unanswered at a time, the next leaving while a file still arrives,
 * and the replies are read in order, so a run of small files costs about
 * one round trip plus their bytes' time instead of a round trip each. Each
 * file is written as DownFromPhone writes it: localPaths[i] changes only
 * once the whole file is on disk. landed[i] receives 1 when localPaths[i]
 * holds the whole of phonePaths[i], 0 when it does not: a path over 1022
 * bytes, a local file that cannot be made (nothing is asked for it), a
 * request the phone refused, or a local file that cannot be written (the
 * rest of its bytes are read and dropped, so the stream stays in step)
 * fails that file alone, its destination as it was. Returns how many
 * landed; -1 when an argument is NULL, count is negative, or the exchange
 * broke off (the connection is then closed, the files not yet complete stay
 * 0 and their destinations as they were). */
KORVEX_API int DownloadFiles(SessionHandle handle, const char* const* phonePaths, const char* const* localPaths,
                             int count, int* landed);

#ifdef __cplusplus
} /* extern "C" */
#endif

/* Chown changes the owner and group of a phone path. true when the phone
 * applied them; false when it refused, the exchange failed, or the path was
 * too long. The session is passed as a pointer-sized integer (cast the
 * SessionHandle). C++ linkage, so hosts that bind by name look up
 * KORVEX_CHOWN_SYMBOL:
 *   Linux:          "_Z5ChownmPcii"           bool Chown(unsigned long, ...)
 *   32-bit Windows: "?Chown@@YA_NIPADHH@Z"    bool Chown(unsigned int, ...)
 *   64-bit Windows: "?Chown@@YA_N_KPEADHH@Z"  bool Chown(unsigned __int64, ...)
 * On Windows that is ordinal 1. The 64-bit DLL takes a 64-bit handle: a
 * 32-bit one would cut the session's address. */
#if defined(_WIN64)
#define KORVEX_CHOWN_SYMBOL "?Chown@@YA_N_KPEADHH@Z"
#define KORVEX_CHOWN_HANDLE unsigned long long
#define KORVEX_CHOWN_ASM "\"" KORVEX_CHOWN_SYMBOL "\""
#elif defined(_WIN32)
#define KORVEX_CHOWN_SYMBOL "?Chown@@YA_NIPADHH@Z"
#define KORVEX_CHOWN_HANDLE unsigned int
#define KORVEX_CHOWN_ASM "\"_" KORVEX_CHOWN_SYMBOL "\"" /* with the C symbol prefix */
#else
#define KORVEX_CHOWN_SYMBOL "_Z5ChownmPcii"
#define KORVEX_CHOWN_HANDLE unsigned long
#endif

#ifdef __cplusplus
#if defined(_WIN32) && defined(__GNUC__) && !defined(KORVEX_BUILDING_LIBRARY)
/* GCC would mangle the name its own way: call the exported one, through
 * the import library's stub (the quoted name rules out dllimport). */
bool Chown(KORVEX_CHOWN_HANDLE handle, char* path, int owner, int group) __asm__(KORVEX_CHOWN_ASM);
#else
KORVEX_API bool Chown(KORVEX_CHOWN_HANDLE handle, char* path, int owner, int group);
#endif
#endif

#endif /* KORVEX_H */
