/* libyvn2psd: layered paintings between the Vorlet Paint format (.yvn) and
 * PSD/PSB, in both directions.
 *
 * Three ways in:
 *   - Convert: one call converts a file to a file (yvn2psd_convert_file) or
 *     bytes to bytes (yvn2psd_convert_memory, yvn2psd_convert_source), with
 *     the options, the safe write, the bounds on hostile input and the error
 *     codes of the yvn2psd program, which is built on these calls.
 *   - Read: open a .yvn, .psd or .psb (yvn2psd_open_*), ask for the canvas and
 *     the layers, and read a layer's pixels or the merged image into a buffer
 *     of yours.
 *   - Write: create a .yvn or a PSD for a canvas (yvn2psd_writer_create_*),
 *     add layers one at a time, then finish (the merged image and the
 *     thumbnail are composed by the library) or close without finishing,
 *     which leaves nothing behind.
 *
 * Memory: a conversion, a read handle and a write handle hold about one layer
 * of the document at a time (two while the next is read ahead, and the merged
 * image being composed), whatever the number of layers.
 *
 * Errors: every call that can fail returns a status: YVN2PSD_OK (0) or one of
 * the codes below. The calling thread's last failure is kept in a
 * thread-local slot (yvn2psd_last_error, yvn2psd_last_error_message) until
 * its next failing call. Misuse (a null handle, an index out of range, a
 * buffer too small, a call after finish) returns a code; it never crashes
 * the caller, except for pointers that do not point where the call says.
 *
 * Threads: different handles, and different conversions, may be used on
 * different threads at the same time; one handle must not be used by two
 * threads at once. The library's work is spread over one pool of worker
 * threads shared by all handles (yvn2psd_set_threads caps it). The library
 * never prints, never installs signal handlers, never changes the locale and
 * never ends the process; the pool's threads are started on first use and
 * stopped when the last handle and conversion are gone.
 *
 * Strings are UTF-8 and paths are passed to the system as they are (on
 * Windows, UTF-8 paths are converted to the system's wide-character calls).
 */
#ifndef YVN2PSD_H
#define YVN2PSD_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Define YVN2PSD_STATIC when linking the static library (on Windows). */
#if defined(YVN2PSD_STATIC)
#define YVN2PSD_API
#elif defined(_WIN32)
#ifdef YVN2PSD_BUILDING
#define YVN2PSD_API __declspec(dllexport)
#else
#define YVN2PSD_API __declspec(dllimport)
#endif
#elif defined(YVN2PSD_BUILDING) && defined(__GNUC__)
#define YVN2PSD_API __attribute__((visibility("default")))
#else
#define YVN2PSD_API
#endif

/* ------------------------------------------------------------- version */

#define YVN2PSD_VERSION_MAJOR 1
#define YVN2PSD_VERSION_MINOR 1
#define YVN2PSD_VERSION_PATCH 0
/* major * 10000 + minor * 100 + patch */
#define YVN2PSD_VERSION_NUMBER (YVN2PSD_VERSION_MAJOR * 10000 + YVN2PSD_VERSION_MINOR * 100 + YVN2PSD_VERSION_PATCH)

/* The library's version as YVN2PSD_VERSION_NUMBER gives it, and as text
 * ("1.1.0"): the library that runs, which may be newer than the header. */
YVN2PSD_API int yvn2psd_version(void);
YVN2PSD_API const char* yvn2psd_version_string(void);

/* ------------------------------------------------------------- errors */

enum yvn2psd_status {
  YVN2PSD_OK = 0,
  /* A .yvn that is damaged or not a .yvn ("Illigal data format"). */
  YVN2PSD_ERR_ILLEGAL_FORMAT = 1,
  /* A record a .yvn must hold is missing ("Not found data"). */
  YVN2PSD_ERR_NOT_FOUND = -1,
  /* A .yvn written by a newer version ("Feature version"). */
  YVN2PSD_ERR_FEATURE_VERSION = -2,
  /* Not returned; the code keeps its text ("Busy BG thread"). */
  YVN2PSD_ERR_BUSY = -3,
  YVN2PSD_ERR_SOURCE_OPEN = 100,        /* "Cannot open source file" */
  YVN2PSD_ERR_NOT_PSD = 101,            /* "Not a supported PSD file" */
  YVN2PSD_ERR_DESTINATION_CREATE = 102, /* "Cannot create destination file" */
  YVN2PSD_ERR_WRITE = 103,              /* "Write failed" */
  YVN2PSD_ERR_EMPTY_CANVAS = 104,       /* "Empty canvas" */
  YVN2PSD_ERR_NO_DOCUMENT = 105,        /* "No document read" */
  YVN2PSD_ERR_OUT_OF_MEMORY = 106,      /* "Out of memory" */
  YVN2PSD_ERR_TOO_LARGE = 107,          /* "Too large" */
  YVN2PSD_ERR_TOO_LARGE_FOR_PSD = 108,  /* "Too large for PSD" (not returned) */
  YVN2PSD_ERR_SAME_FILE = 109,          /* "Destination is the source" */
  YVN2PSD_ERR_UNUSABLE_PATH = 110,      /* "Unusable path" */
  /* The progress callback asked to stop; nothing was written. */
  YVN2PSD_ERR_CANCELLED = 111,          /* "Cancelled" */
  /* The destination exists and the options do not allow replacing it. */
  YVN2PSD_ERR_EXISTS = 112,             /* "Destination exists" */
  /* Misuse: a null pointer or handle, an unknown format, pixel form or
   * option value, a rectangle that the formats cannot hold. */
  YVN2PSD_ERR_INVALID_ARGUMENT = 120,   /* "Invalid argument" */
  /* A layer index past the last layer. */
  YVN2PSD_ERR_OUT_OF_RANGE = 121,       /* "Index out of range" */
  /* A buffer smaller than the pixels asked for, or a stride below a row. */
  YVN2PSD_ERR_BUFFER_TOO_SMALL = 122,   /* "Buffer too small" */
  /* A call out of order: after finish or after a failure that ended the
   * writer, rows before a layer was begun or past its last row. */
  YVN2PSD_ERR_BAD_STATE = 123           /* "Call out of order" */
};

/* The text of a code, as the yvn2psd program prints it ("Write failed");
 * "Unknown" for any other value. Never null; static storage. */
YVN2PSD_API const char* yvn2psd_error_text(int code);
/* The calling thread's last failure: its code (0 when none), and a message
 * naming it and, where known, its cause ("Write failed: No space left on
 * device"). The message stays valid until the thread's next call into the
 * library. */
YVN2PSD_API int yvn2psd_last_error(void);
YVN2PSD_API const char* yvn2psd_last_error_message(void);

/* ------------------------------------------------------------- common types */

enum yvn2psd_format {
  YVN2PSD_FORMAT_AUTO = 0, /* a source: by its leading bytes ("8BPS": PSD), else .yvn */
  YVN2PSD_FORMAT_YVN = 1,
  YVN2PSD_FORMAT_PSD = 2   /* PSD and PSB (the large document) alike */
};

/* Pixel forms of the read and write calls. Every form is 4 samples a pixel
 * in the order red, green, blue, transparency (alpha).
 *
 * The document holds 16-bit premultiplied colour in which 16384 stands for
 * 1.0: a cell (c16, a16) with 0 <= c16 <= a16 <= 16384.
 *
 * RGBA8: straight colour, 8 bits, as the PSD writer stores layer pixels:
 *   a8 = (a16 - (a16 >> 13)) >> 6,
 *   c8 = (c16 * R[a16] + 0xC00000) >> 24 with R[a16] = 0xFF005800 / a16
 *   (0 where a16 is 0).
 *   Written: a16 = (a8 * 16449) >> 8, c16 = (c8 * a8 * 33026) >> 17, which
 *   gives every 8-bit pixel back exactly.
 * RGBA16: straight colour, 16 bits in native byte order, 0 to 65535, as the
 *   PSD writer stores it with 16 bits a sample:
 *   a = round(a16 * 65535 / 16384), c = round(c16 * 65535 / a16) (0 where
 *   a16 is 0). Written (and read from 16-bit PSDs):
 *   a16 = round(a * 16384 / 65535), c16 = round(c * a16 / 65535), which
 *   gives every document cell back exactly.
 * RGBA16_PREMULTIPLIED: the document's cells themselves, in native byte
 *   order: premultiplied colour, 0 to 16384, c16 <= a16. Written values are
 *   clamped into that range. */
enum yvn2psd_pixel_format {
  YVN2PSD_PIXEL_RGBA8 = 1,
  YVN2PSD_PIXEL_RGBA16 = 2,
  YVN2PSD_PIXEL_RGBA16_PREMULTIPLIED = 3
};

/* Blend modes: a stable enumeration. The PSD key each is written as, and
 * the keys read as each, are the program's (README, "Blend modes");
 * yvn2psd_blend_psd_key gives the key. */
enum yvn2psd_blend {
  YVN2PSD_BLEND_NORMAL = 0,
  YVN2PSD_BLEND_MULTIPLY = 1,
  YVN2PSD_BLEND_ADD = 2,          /* "lddg" linear dodge */
  YVN2PSD_BLEND_SUBTRACT = 3,     /* "fsub" */
  YVN2PSD_BLEND_SCREEN = 4,
  YVN2PSD_BLEND_OVERLAY = 5,
  YVN2PSD_BLEND_DARKER_COLOR = 6, /* "dkCl" */
  YVN2PSD_BLEND_LIGHTER_COLOR = 7,/* "lgCl" */
  YVN2PSD_BLEND_HARD_LIGHT = 8,
  YVN2PSD_BLEND_SOFT_LIGHT = 9,
  YVN2PSD_BLEND_VIVID_LIGHT = 10,
  YVN2PSD_BLEND_LINEAR_LIGHT = 11,
  YVN2PSD_BLEND_PIN_LIGHT = 12,
  YVN2PSD_BLEND_COLOR_DODGE = 13,
  YVN2PSD_BLEND_COLOR_BURN = 14,
  YVN2PSD_BLEND_LINEAR_BURN = 15,
  YVN2PSD_BLEND_DARKEN = 16,
  YVN2PSD_BLEND_LIGHTEN = 17,
  YVN2PSD_BLEND_DIFFERENCE = 18,
  YVN2PSD_BLEND_EXCLUSION = 19,
  YVN2PSD_BLEND_HUE = 20,
  YVN2PSD_BLEND_SATURATION = 21,
  YVN2PSD_BLEND_COLOR = 22,
  YVN2PSD_BLEND_LUMINOSITY = 23,
  /* A .yvn mode without a PSD counterpart ("user", "back"): written to PSD
   * as normal. Not accepted by the writer. */
  YVN2PSD_BLEND_OTHER = 255
};

/* The PSD key a mode is written as (4 characters, "norm", "mul ", ...);
 * "norm" for an unknown value. Static storage. */
YVN2PSD_API const char* yvn2psd_blend_psd_key(int blend);
/* The mode a PSD key is read as (4 characters; any key not listed reads as
 * normal). */
YVN2PSD_API int yvn2psd_blend_from_psd_key(const char* key);

/* A source read through the caller's own function, for bytes that are
 * neither a file nor in memory (a browser's File, a network stream with
 * ranges). read copies up to `size` bytes from `offset` into `buffer` and
 * returns how many it copied (less only at the end of the source), or -1 on
 * failure. It is called from one thread at a time, but not always the
 * calling thread. */
typedef struct yvn2psd_source {
  uint64_t size; /* bytes of the source */
  int64_t (*read)(void* user, uint64_t offset, void* buffer, size_t size);
  void* user;
} yvn2psd_source;

/* Progress: the phases and percentages that the program's progress lines
 * show. A conversion has two stages: reading (the source's structure) and
 * writing (the destination, reading each layer as it goes).
 *   .yvn read: 2 phases (the file is walked; the layers' heads are read).
 *   PSD read: one phase per image of the file (layer records, then the
 *     merged image), each taking its turn.
 *   PSD write: one phase per top-level layer, then the merged image.
 *   .yvn write: one phase per layer.
 * The callback is called whenever a stage's percentage changes, and once
 * more when the stage ends (`finished` set, `status` its result, phase and
 * phases its closing numbers, percent 100). Returning non-zero cancels: the
 * conversion ends with YVN2PSD_ERR_CANCELLED and nothing is written (the
 * stage's last call still comes, and its return value is ignored). The
 * callback runs on the thread that made the call. */
enum yvn2psd_stage { YVN2PSD_STAGE_READ = 0, YVN2PSD_STAGE_WRITE = 1 };
typedef struct yvn2psd_progress {
  int stage;        /* enum yvn2psd_stage */
  uint32_t phase;   /* from 1 */
  uint32_t phases;
  uint32_t percent; /* 0 to 100 */
  int finished;     /* the stage's last call */
  int status;       /* at the last call: 0, or the stage's error code */
} yvn2psd_progress;
typedef int (*yvn2psd_progress_fn)(void* user, const yvn2psd_progress* progress);

/* Told the name of each temporary file before it is created (exists = 1)
 * and once it is gone, renamed over the destination or removed (exists =
 * 0): a host that removes files on its own abnormal end (a signal) can
 * remove these. Called on the thread that made the call. */
typedef void (*yvn2psd_temporary_fn)(void* user, const char* path, int exists);

typedef struct yvn2psd_options {
  /* sizeof(yvn2psd_options), set by yvn2psd_options_init: fields added in
   * later versions go after those of the size given. */
  size_t size;
  /* .yvn output: 1 (default) deflates layer records, 0 stores them. */
  int compress;
  /* PSD output: 8 (default) or 16 bits a sample. */
  int psd_depth;
  /* File output: 1 replaces an existing destination, 0 (default) refuses
   * with YVN2PSD_ERR_EXISTS. */
  int overwrite;
  /* The character set of PSD Pascal layer names, read and written: an iconv
   * name ("CP1252", "EUC-JP"), or on Windows a code page name or "ACP" for
   * the ANSI code page. NULL or "" (default): UTF-8. The Unicode name PSDs
   * carry beside it is always read first and always written. */
  const char* psd_name_charset;
  /* Source format; YVN2PSD_FORMAT_AUTO (default): by the file's extension
   * (.yvn, else .psd / .psb) for a path, by the leading bytes otherwise. */
  int source_format;
  yvn2psd_progress_fn progress;
  void* progress_user;
  yvn2psd_temporary_fn temporary;
  void* temporary_user;
} yvn2psd_options;

/* Fills `options` with the defaults. */
YVN2PSD_API void yvn2psd_options_init(yvn2psd_options* options);

/* Caps the threads that the library's work uses from now on, the calling
 * thread included: 1 runs everything on the calling thread; 0 (default)
 * uses one per core the process may run on. Affects every handle; results
 * never depend on it. */
YVN2PSD_API void yvn2psd_set_threads(unsigned threads);

/* Frees memory handed out by the library (yvn2psd_convert_memory's and
 * yvn2psd_writer_finish's output). NULL is ignored. */
YVN2PSD_API void yvn2psd_free(void* data);

/* ------------------------------------------------------------- convert */

/* Converts the file at `source` to `destination`: a .yvn to a PSD (a PSB
 * when a side passes 30,000 pixels), a PSD or PSB to a .yvn. The data goes to
 * a temporary file beside the destination that replaces it only once
 * complete and on disk; after any failure or a cancel the temporary is
 * removed and an existing destination is left as it was. A destination
 * that is a symbolic link is replaced, not written through. options may be
 * NULL (the defaults). */
YVN2PSD_API int yvn2psd_convert_file(const char* source, const char* destination, const yvn2psd_options* options);

/* Converts bytes to bytes. On success *output holds the converted file
 * (free it with yvn2psd_free) and *output_size its size; on failure
 * *output is NULL. The source format is options->source_format, or found
 * from the leading bytes. */
YVN2PSD_API int yvn2psd_convert_memory(const void* source, size_t source_size, void** output, size_t* output_size,
                                       const yvn2psd_options* options);
/* The same from a source read through the caller's function. */
YVN2PSD_API int yvn2psd_convert_source(const yvn2psd_source* source, void** output, size_t* output_size,
                                       const yvn2psd_options* options);

/* Whether `destination` can take the conversion of `source` before it is
 * run (the checks yvn2psd_convert_file makes first): 0;
 * YVN2PSD_ERR_SAME_FILE when it is the source itself (through a link, a
 * hard link or another spelling); YVN2PSD_ERR_DESTINATION_CREATE when it
 * is a directory, FIFO, socket or block device. */
YVN2PSD_API int yvn2psd_check_destination(const char* source, const char* destination);

/* ------------------------------------------------------------- read */

typedef struct yvn2psd_document yvn2psd_document;

typedef struct yvn2psd_document_info {
  int format;           /* YVN2PSD_FORMAT_YVN or YVN2PSD_FORMAT_PSD */
  uint32_t width;       /* the canvas */
  uint32_t height;
  uint32_t layer_count;
  /* PSD: the file's depth (1, 8, 16 or 32) and version (1; 2 for PSB).
   * .yvn: 16 and 0. */
  uint32_t depth;
  uint32_t version;
} yvn2psd_document_info;

typedef struct yvn2psd_layer_info {
  /* UTF-8. From a read: valid until the next call on the document. */
  const char* name;
  /* The layer's pixels: canvas positions, right and bottom exclusive; may
   * reach past the canvas. Empty (all 0) for a layer without pixels. A
   * .yvn layer's rectangle is the smallest one around its pixels (a layer
   * whose default colour is not transparent covers the canvas at least), as
   * the PSD writer stores it: finding it reads the layer. */
  int32_t left, top, right, bottom;
  /* Opacity 0 to 255, as PSD stores it, and as the document holds it, 0 to
   * 16384. The writer takes opacity_exact when it is not 0, else opacity as
   * the conversion of a PSD takes the byte. */
  uint32_t opacity;
  uint32_t opacity_exact;
  int visible;
  int blend;                 /* enum yvn2psd_blend */
  char psd_key[5];           /* the PSD key it is written as, NUL-ended */
  int clipping;              /* clipped to the layer below */
  int lock_transparency;
  int lock_pixels;
  /* .yvn: the PSD writer leaves the layer out (a hidden layer whose name
   * begins with "*"). Ignored by the writer. */
  int working_layer;
} yvn2psd_layer_info;

/* Opens a .yvn, .psd or .psb for reading: the structure and the layers'
 * properties are read now, the pixels when asked for. The source format
 * comes from options->source_format, else from the leading bytes. options
 * may be NULL; only psd_name_charset and source_format are used. On
 * failure *document is NULL. */
YVN2PSD_API int yvn2psd_open_file(const char* path, const yvn2psd_options* options, yvn2psd_document** document);
/* The bytes must stay valid and unchanged until the document is closed. */
YVN2PSD_API int yvn2psd_open_memory(const void* data, size_t size, const yvn2psd_options* options,
                                    yvn2psd_document** document);
/* The source's function and user pointer must stay valid until the
 * document is closed. */
YVN2PSD_API int yvn2psd_open_source(const yvn2psd_source* source, const yvn2psd_options* options,
                                    yvn2psd_document** document);
/* Releases everything the document holds. NULL is ignored. */
YVN2PSD_API void yvn2psd_close(yvn2psd_document* document);

YVN2PSD_API int yvn2psd_document_info_get(yvn2psd_document* document, yvn2psd_document_info* info);

/* Layer `index` (0: the bottom one) of a PSD: every layer record with
 * pixels, group markers left out (groups are flattened; a layer in a hidden
 * group is hidden). Of a .yvn: the top-level layers. The merged image is
 * not a layer. */
YVN2PSD_API int yvn2psd_layer_info_get(yvn2psd_document* document, uint32_t index, yvn2psd_layer_info* info);

/* Bytes a buffer for `width` x `height` pixels of a form needs with rows of
 * `stride` bytes (0: rows back to back); 0 when the form is unknown or the
 * size overflows. */
YVN2PSD_API size_t yvn2psd_buffer_size(int pixel_format, uint32_t width, uint32_t height, size_t stride);

/* The pixels of layer `index` over its rectangle, (right - left) x
 * (bottom - top) pixels, rows `stride` bytes apart (0: back to back), into
 * `buffer` of `buffer_size` bytes. A PSD layer's user mask is applied to its
 * transparency, as the conversion applies it. Layers read in order, bottom
 * to top, are read once each with the merged image composed on the way;
 * any other order reads again what it needs. */
YVN2PSD_API int yvn2psd_read_layer(yvn2psd_document* document, uint32_t index, int pixel_format, void* buffer,
                                   size_t stride, size_t buffer_size);

/* Rows [first_row, first_row + row_count) of layer `index`'s rectangle, as
 * yvn2psd_read_layer reads them: a caller that takes a layer a band at a
 * time needs no buffer of a whole layer. Read from the top down, a .yvn
 * layer is let go of as its rows are read. */
YVN2PSD_API int yvn2psd_read_layer_rows(yvn2psd_document* document, uint32_t index, uint32_t first_row,
                                        uint32_t row_count, int pixel_format, void* buffer, size_t stride,
                                        size_t buffer_size);

/* The merged image over the canvas (width x height). .yvn: composed by the
 * library from the whole layer tree as the PSD writer composes it, folders
 * included. PSD: the file's own merged image, its white matte taken off
 * (straight colour), as the conversion reads it. */
YVN2PSD_API int yvn2psd_read_merged(yvn2psd_document* document, int pixel_format, void* buffer, size_t stride,
                                    size_t buffer_size);
/* Rows [first_row, first_row + row_count) of the merged image. */
YVN2PSD_API int yvn2psd_read_merged_rows(yvn2psd_document* document, uint32_t first_row, uint32_t row_count,
                                         int pixel_format, void* buffer, size_t stride, size_t buffer_size);

/* The thumbnail a .yvn stores (its merged image at up to 384 pixels a side,
 * as the paint application shows files): its size, 0 x 0 for a PSD and for
 * a .yvn that holds none. A thumbnailer that wants more composes the merged
 * image instead. */
YVN2PSD_API int yvn2psd_thumbnail_size(yvn2psd_document* document, uint32_t* width, uint32_t* height);
YVN2PSD_API int yvn2psd_read_thumbnail(yvn2psd_document* document, int pixel_format, void* buffer, size_t stride,
                                       size_t buffer_size);

/* ------------------------------------------------------------- write */

typedef struct yvn2psd_writer yvn2psd_writer;

/* Creates a document of `format` (YVN2PSD_FORMAT_YVN or YVN2PSD_FORMAT_PSD)
 * for a canvas of width x height (1 to 300,000 a side; a PSD over 30,000 is
 * a PSB). Uses compress, psd_depth, overwrite, psd_name_charset and the
 * temporary callback of options (may be NULL). A file is written through a
 * temporary beside it, as yvn2psd_convert_file writes. */
YVN2PSD_API int yvn2psd_writer_create_file(const char* path, int format, uint32_t width, uint32_t height,
                                           const yvn2psd_options* options, yvn2psd_writer** writer);
YVN2PSD_API int yvn2psd_writer_create_memory(int format, uint32_t width, uint32_t height,
                                             const yvn2psd_options* options, yvn2psd_writer** writer);

/* Starts the next layer above those added: its properties (name, opacity,
 * visible, blend, clipping, locks) and rectangle (canvas positions, may
 * reach past the canvas; may be empty). Then its rows, top to bottom. */
YVN2PSD_API int yvn2psd_writer_begin_layer(yvn2psd_writer* writer, const yvn2psd_layer_info* layer);
/* The next `count` rows of the layer begun, (right - left) pixels each,
 * `stride` bytes apart (0: back to back). Every row of a layer comes in the
 * form of its first rows. 8-bit rows are taken as the conversion takes an
 * 8-bit PSD's rows, so that a document written from a PSD's own pixels is
 * the .yvn the conversion writes. */
YVN2PSD_API int yvn2psd_writer_write_rows(yvn2psd_writer* writer, int pixel_format, const void* rows, size_t stride,
                                          uint32_t count);
/* Ends the layer; all its rows must have been given. The layer is written
 * and blended into the merged image, and its memory goes. */
YVN2PSD_API int yvn2psd_writer_end_layer(yvn2psd_writer* writer);
/* begin_layer, write_rows of every row, end_layer. */
YVN2PSD_API int yvn2psd_writer_add_layer(yvn2psd_writer* writer, const yvn2psd_layer_info* layer, int pixel_format,
                                         const void* pixels, size_t stride);

/* A failure that ends the writer (a write that failed, no memory) is
 * returned again by every later call on it, yvn2psd_writer_finish included,
 * so that a caller may check only the finish. */

/* Completes the document: the merged image (PSD) or the thumbnail (.yvn),
 * then the file is put in place of its destination, or for a writer made by
 * yvn2psd_writer_create_memory the bytes are handed to *output (free them
 * with yvn2psd_free) and *output_size (both may be NULL for a file). A
 * layer begun and not ended fails it. Any failure leaves nothing behind.
 * Every later call on the writer but yvn2psd_writer_close returns
 * YVN2PSD_ERR_BAD_STATE. */
YVN2PSD_API int yvn2psd_writer_finish(yvn2psd_writer* writer, void** output, size_t* output_size);
/* Releases the writer; one not finished leaves nothing behind (its
 * temporary file is removed). NULL is ignored. */
YVN2PSD_API void yvn2psd_writer_close(yvn2psd_writer* writer);

#ifdef __cplusplus
}
#endif

#endif /* YVN2PSD_H */
