/* Frame-hook plug-in: inverts every picture (each 8-bit component c becomes 255 - c).
 *
 *   -vhook libinvert.so
 *
 * Takes no arguments: it exports neither Configure nor Release. Understands planar YUV,
 * grey and packed RGB/BGR pictures and leaves other formats alone.
 */
#include "FrameHook.h"
#include "PlanarLayout.h"

void Process(void *context, QmHookPicture *picture, int pix_fmt, int width, int height,
             int64_t pts)
{
    PlanarLayout layout;
    (void)context;
    (void)pts;
    if (!planar_layout(pix_fmt, &layout))
        return;
    for (int p = 0; p < layout.planes; ++p) {
        const int sx = p ? layout.chroma_shift_x : 0, sy = p ? layout.chroma_shift_y : 0;
        const int w = ((width + (1 << sx) - 1) >> sx) * layout.bytes_per_pixel;
        const int h = (height + (1 << sy) - 1) >> sy;
        for (int y = 0; y < h; ++y) {
            uint8_t *row = picture->data[p] + (long)y * picture->linesize[p];
            for (int x = 0; x < w; ++x)
                row[x] = (uint8_t)(255 - row[x]);
        }
    }
}
