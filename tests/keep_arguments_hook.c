/* A frame-hook plug-in for the tests that keeps the argument pointers it was configured with
 * and reads them again for every picture, as a plug-in may.
 *
 *   -vhook "libkeep_arguments_hook.so|OFFSET|VALUE"
 *
 * Writes VALUE into the luma byte at OFFSET of every picture.
 */
#include <stdlib.h>

#include "FrameHook.h"

int Configure(void **context, int argc, char *argv[])
{
    if (argc != 3)
        return -1;
    *context = argv;
    return 0;
}

void Process(void *context, QmHookPicture *picture, int pix_fmt, int width, int height, int64_t pts)
{
    char **argv = context;
    (void)pix_fmt;
    (void)width;
    (void)height;
    (void)pts;
    picture->data[0][atoi(argv[1])] = (uint8_t)atoi(argv[2]);
}
