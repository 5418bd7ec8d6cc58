/* The interface of a frame-hook plug-in.
 *
 * A plug-in is a shared library that the engine loads for the option "vhook"
 * ("-vhook 'libdrawbox.so|16|16|64|32|ff0000'": the file name, then the plug-in's own
 * arguments; blanks separate them when the text has no "|"). A bare file name is looked
 * for where the system looks for libraries and beside the program. Each library is loaded
 * once per process and never unloaded; every "vhook" option makes a separate entry with a
 * context of its own.
 *
 * It exports, with C linkage:
 *   Process   (mandatory) changes the picture in place; called for every decoded picture
 *             on the conversion's thread, one entry after the other.
 *   Configure (optional; mandatory when arguments are given) is called once per entry with
 *             the arguments, argv[0] being the file name; it may store a context of its own
 *             in *context and returns 0 on success.
 *   Release   (optional) frees that context when the engine lets go of its entries.
 *
 * The picture's planes hold the decoded picture in the pixel format given (the media
 * library's AVPixelFormat numbering: 0 is planar YUV 4:2:0, 3 packed BGR24, ...). Pixels
 * outside width x height must not be touched.
 */
#ifndef QM_FRAME_HOOK_H
#define QM_FRAME_HOOK_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct QmHookPicture {
    uint8_t *data[4];
    int linesize[4];
} QmHookPicture;

typedef int (*QmHookConfigure)(void **context, int argc, char *argv[]);
typedef void (*QmHookProcess)(void *context, QmHookPicture *picture, int pix_fmt, int width,
                              int height, int64_t pts);
typedef void (*QmHookRelease)(void *context);

int Configure(void **context, int argc, char *argv[]);
void Process(void *context, QmHookPicture *picture, int pix_fmt, int width, int height,
             int64_t pts);
void Release(void *context);

#ifdef __cplusplus
}
#endif

#endif
