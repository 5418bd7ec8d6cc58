/* Where the planes of the picture formats the sample plug-ins understand lie. */
#ifndef QM_PLANAR_LAYOUT_H
#define QM_PLANAR_LAYOUT_H

#include <libavutil/pixfmt.h>

typedef struct PlanarLayout {
    int planes;          /* 1 for packed and grey formats, 3 for planar YUV */
    int bytes_per_pixel; /* of the first plane */
    int chroma_shift_x;  /* log2 of the chroma subsampling */
    int chroma_shift_y;
    int rgb;             /* 1: packed RGB or BGR, 0: luma and chroma */
} PlanarLayout;

/* 0 when the format is none of the 8-bit planar YUV, grey or packed RGB formats. */
static inline int planar_layout(int pix_fmt, PlanarLayout *layout)
{
    static const struct {
        int fmt;
        PlanarLayout layout;
    } known[] = {
        {AV_PIX_FMT_YUV420P, {3, 1, 1, 1, 0}},  {AV_PIX_FMT_YUVJ420P, {3, 1, 1, 1, 0}},
        {AV_PIX_FMT_YUV422P, {3, 1, 1, 0, 0}},  {AV_PIX_FMT_YUVJ422P, {3, 1, 1, 0, 0}},
        {AV_PIX_FMT_YUV444P, {3, 1, 0, 0, 0}},  {AV_PIX_FMT_YUVJ444P, {3, 1, 0, 0, 0}},
        {AV_PIX_FMT_YUV411P, {3, 1, 2, 0, 0}},  {AV_PIX_FMT_YUV410P, {3, 1, 2, 2, 0}},
        {AV_PIX_FMT_GRAY8, {1, 1, 0, 0, 0}},    {AV_PIX_FMT_RGB24, {1, 3, 0, 0, 1}},
        {AV_PIX_FMT_BGR24, {1, 3, 0, 0, 1}},
    };
    for (unsigned i = 0; i < sizeof known / sizeof known[0]; ++i)
        if (known[i].fmt == pix_fmt) {
            *layout = known[i].layout;
            return 1;
        }
    return 0;
}

#endif
