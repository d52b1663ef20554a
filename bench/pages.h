// Synthetic pages for the benchmarks, made in process: a text-like page and
// an error-diffused grey page, packed 1-bit rows (most significant bit first,
// 1 = black, (width + 7) / 8 bytes each).
#pragma once
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <vector>

struct Bits {
    int width = 0, height = 0;
    std::vector<uint8_t> data;  // stride (width + 7) / 8
};

inline size_t StrideOf(int width) { return ((size_t)width + 7) / 8; }

inline uint32_t Next(uint32_t* s)
{
    *s = *s * 1664525u + 1013904223u;
    return *s >> 8;
}

// Lines of "words" made of glyph cells with strokes, on white, with margins:
// the density and run lengths of a page of body text. `dpi` scales it.
inline Bits TextLikePage(int width, int height, int dpi)
{
    Bits b;
    b.width = width;
    b.height = height;
    size_t stride = StrideOf(width);
    b.data.assign(stride * (size_t)height, 0);
    const int margin = dpi / 2;
    const int lineH = dpi / 6;   // 12 pt leading
    const int glyphH = dpi / 9;  // ~8 pt cap height
    const int glyphW = dpi / 14;
    const int stroke = dpi / 100 > 0 ? dpi / 100 : 1;
    uint32_t seed = 7;
    auto set = [&](int x, int y) { b.data[(size_t)y * stride + (size_t)x / 8] |= (uint8_t)(0x80 >> (x % 8)); };
    for (int top = margin; top + glyphH < height - margin; top += lineH) {
        int x = margin;
        while (x + glyphW < width - margin) {
            int letters = 2 + (int)(Next(&seed) % 9);
            for (int l = 0; l < letters && x + glyphW < width - margin; l++) {
                uint32_t shape = Next(&seed);
                // Up to two vertical stems, a bowl top and a baseline bar.
                for (int y = top; y < top + glyphH; y++)
                    for (int dx = 0; dx < glyphW - stroke; dx++) {
                        bool on = ((shape & 1) && dx < stroke) || ((shape & 2) && dx >= glyphW - 2 * stroke) ||
                                  ((shape & 4) && y < top + stroke) || ((shape & 8) && y >= top + glyphH - stroke) ||
                                  ((shape & 16) && y >= top + glyphH / 2 - stroke / 2 &&
                                   y < top + glyphH / 2 + stroke / 2 + 1);
                        if (on)
                            set(x + dx, y);
                    }
                x += glyphW;
            }
            x += glyphW;  // the space between words
        }
    }
    return b;
}

// A photograph-like grey page (smooth shading from light to dark with broad
// waves across it), Floyd-Steinberg error-diffused to 1 bit with margins:
// the densest, least predictable kind of page the printer gets.
inline Bits DiffusedPage(int width, int height, int dpi)
{
    Bits b;
    b.width = width;
    b.height = height;
    const size_t stride = StrideOf(width);
    b.data.assign(stride * (size_t)height, 0);
    const int margin = dpi / 4;
    std::vector<int> err(2 * ((size_t)width + 2), 0);  // this line's and the next line's errors, 1/16 units
    for (int y = margin; y < height - margin; y++) {
        int* cur = err.data() + ((y & 1) ? width + 2 : 0) + 1;
        int* nxt = err.data() + ((y & 1) ? 0 : width + 2) + 1;
        for (int x = -1; x <= width; x++)
            nxt[x] = 0;
        const double fy = (double)y / height;
        for (int x = margin; x < width - margin; x++) {
            const double fx = (double)x / width;
            // Darkness 0 (white) to 255 (black).
            const double shade = 40 + 170 * fy + 40 * std::sin(9 * fx + 4 * fy) * std::cos(7 * fy);
            const int want = (int)shade * 16 + cur[x];
            const int got = want >= 128 * 16 ? 255 * 16 : 0;
            if (got)
                b.data[(size_t)y * stride + (size_t)x / 8] |= (uint8_t)(0x80 >> (x % 8));
            const int e = want - got;
            cur[x + 1] += e * 7 / 16;
            nxt[x - 1] += e * 3 / 16;
            nxt[x] += e * 5 / 16;
            nxt[x + 1] += e / 16;
        }
    }
    return b;
}
