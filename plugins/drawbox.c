/* Frame-hook plug-in: fills a rectangle of every picture with one colour.
 *
 *   -vhook "libdrawbox.so|X|Y|WIDTH|HEIGHT|COLOUR"
 *
 * X, Y, WIDTH and HEIGHT in pixels (the box is cut at the picture's edges); COLOUR as
 * RRGGBB in hexadecimal, optionally after "#" or "0x". Configure fails for anything else.
 * Understands planar YUV, grey and packed RGB/BGR pictures of 8 bits per component and
 * leaves other formats alone.
 */
#include <stdlib.h>
#include <string.h>

#include "FrameHook.h"
#include "PlanarLayout.h"

typedef struct Box {
    int x, y, w, h;
    int r, g, b;
    int yuv[3];
} Box;

static int read_number(const char *text, int *value)
{
    char *end;
    long v = strtol(text, &end, 10);
    if (end == text || *end || v < 0 || v > 65535)
        return 0;
    *value = (int)v;
    return 1;
}

int Configure(void **context, int argc, char *argv[])
{
    Box box;
    const char *colour;
    char *end;
    unsigned long rgb;
    if (argc != 6 || !read_number(argv[1], &box.x) || !read_number(argv[2], &box.y) ||
        !read_number(argv[3], &box.w) || !read_number(argv[4], &box.h))
        return -1;
    colour = argv[5];
    if (colour[0] == '#')
        ++colour;
    else if (colour[0] == '0' && (colour[1] == 'x' || colour[1] == 'X'))
        colour += 2;
    rgb = strtoul(colour, &end, 16);
    if (end == colour || *end || end - colour != 6)
        return -1;
    box.r = (int)(rgb >> 16) & 255;
    box.g = (int)(rgb >> 8) & 255;
    box.b = (int)rgb & 255;
    /* ITU-R BT.601, limited range */
    box.yuv[0] = 16 + (66 * box.r + 129 * box.g + 25 * box.b + 128) / 256;
    box.yuv[1] = 128 + (-38 * box.r - 74 * box.g + 112 * box.b + 128) / 256;
    box.yuv[2] = 128 + (112 * box.r - 94 * box.g - 18 * box.b + 128) / 256;
    *context = malloc(sizeof box);
    if (!*context)
        return -1;
    memcpy(*context, &box, sizeof box);
    return 0;
}

static void fill(uint8_t *plane, int linesize, int x0, int y0, int x1, int y1, int step,
                 const uint8_t *pixel)
{
    for (int y = y0; y < y1; ++y) {
        uint8_t *p = plane + (long)y * linesize + (long)x0 * step;
        for (int x = x0; x < x1; ++x, p += step)
            memcpy(p, pixel, (size_t)step);
    }
}

void Process(void *context, QmHookPicture *picture, int pix_fmt, int width, int height,
             int64_t pts)
{
    const Box *box = context;
    PlanarLayout layout;
    (void)pts;
    if (!box || !planar_layout(pix_fmt, &layout))
        return;
    int x1 = box->x + box->w < width ? box->x + box->w : width;
    int y1 = box->y + box->h < height ? box->y + box->h : height;
    if (box->x >= x1 || box->y >= y1)
        return;
    if (layout.rgb) {
        uint8_t pixel[3] = {(uint8_t)box->r, (uint8_t)box->g, (uint8_t)box->b};
        if (pix_fmt == AV_PIX_FMT_BGR24) {
            pixel[0] = (uint8_t)box->b;
            pixel[2] = (uint8_t)box->r;
        }
        fill(picture->data[0], picture->linesize[0], box->x, box->y, x1, y1, 3, pixel);
        return;
    }
    for (int p = 0; p < layout.planes; ++p) {
        const int sx = p ? layout.chroma_shift_x : 0, sy = p ? layout.chroma_shift_y : 0;
        const uint8_t value = (uint8_t)box->yuv[p];
        fill(picture->data[p], picture->linesize[p], box->x >> sx, box->y >> sy,
             (x1 + (1 << sx) - 1) >> sx, (y1 + (1 << sy) - 1) >> sy, 1, &value);
    }
}

void Release(void *context)
{
    free(context);
}
