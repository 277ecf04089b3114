// DPI scaling, the layout table, the panel's scrolling and the component
// list's geometry: arithmetic on 96-DPI units and pixels only.
#include <limits.h>

#include "wizard.h"

layout_entry layout_table[WIZARD_LAYOUT_MAX];
int32_t layout_count;
int32_t base_dpi;

int32_t wizard_muldiv(int32_t a, int32_t b, int32_t c)
{
    if (c == 0)
        return -1;
    int64_t p = (int64_t)a * b;
    int64_t d = c;
    // Round half away from zero on the magnitudes, then give the sign back.
    int neg = (p < 0) != (d < 0);
    uint64_t up = p < 0 ? (uint64_t)(-p) : (uint64_t)p;
    uint64_t ud = d < 0 ? (uint64_t)(-d) : (uint64_t)d;
    uint64_t q = (up + ud / 2) / ud;
    if (q > (uint64_t)INT32_MAX)
        return -1;
    return neg ? -(int32_t)q : (int32_t)q;
}

int32_t wizard_scaled(int32_t v, int32_t dpi)
{
    return wizard_muldiv(v, dpi, 96);
}

int wizard_layout_add(void *window, int32_t x, int32_t y, int32_t width, int32_t height,
                      int32_t fixed_height, int32_t title_font)
{
    if (layout_count < 0 || layout_count >= WIZARD_LAYOUT_MAX)
        return -1;
    layout_entry *e = &layout_table[layout_count];
    e->window = window;
    e->x = x;
    e->y = y;
    e->width = width;
    e->height = height;
    e->fixed_height = fixed_height;
    e->title_font = title_font;
    return layout_count++;
}

int wizard_layout_find(const void *window)
{
    if (!window)
        return -1;
    for (int i = 0; i < layout_count && i < WIZARD_LAYOUT_MAX; i++)
        if (layout_table[i].window == window)
            return i;
    return -1;
}

void wizard_layout_place(const layout_entry *e, int32_t dpi, int32_t out[4])
{
    out[0] = wizard_scaled(e->x, dpi);
    out[1] = wizard_scaled(e->y, dpi);
    out[2] = wizard_scaled(e->width, dpi);
    out[3] = e->fixed_height ? e->fixed_height : wizard_scaled(e->height, dpi);
}

int32_t wizard_body_height(int32_t height, int32_t dpi, int32_t base)
{
    return wizard_muldiv(height, dpi, base > 0 ? base : 96);
}

int32_t wizard_title_height(int32_t body_height)
{
    return body_height * 3 / 2;
}

int32_t wizard_scroll_clamp(int32_t pos, int32_t content_px, int32_t client_h)
{
    int32_t max = content_px - client_h;
    if (pos > max)
        pos = max;
    if (pos < 0)
        pos = 0;
    return pos;
}

int32_t wizard_vscroll_pos(int code, int32_t scroll_pos, int32_t client_h, int32_t track,
                           int32_t content_height, int32_t dpi)
{
    switch (code) {
    case WIZARD_SB_LINEUP:
        return scroll_pos - wizard_scaled(20, dpi);
    case WIZARD_SB_LINEDOWN:
        return scroll_pos + wizard_scaled(20, dpi);
    case WIZARD_SB_PAGEUP:
        return scroll_pos - client_h;
    case WIZARD_SB_PAGEDOWN:
        return scroll_pos + client_h;
    case WIZARD_SB_THUMBPOSITION:
    case WIZARD_SB_THUMBTRACK:
        return track;
    case WIZARD_SB_TOP:
        return 0;
    case WIZARD_SB_BOTTOM:
        return wizard_scaled(content_height, dpi);
    default:
        return scroll_pos;
    }
}

int32_t wizard_wheel_pos(int32_t scroll_pos, int32_t delta, int32_t lines, int32_t dpi)
{
    if (lines == -1)
        lines = 10;
    return scroll_pos - wizard_muldiv(delta, wizard_scaled(20, dpi) * lines, 120);
}

int32_t wizard_focus_pos(int32_t item_y, int32_t item_height, int32_t scroll_pos,
                         int32_t client_h, int32_t dpi)
{
    int32_t top = wizard_scaled(item_y - 6, dpi);
    int32_t bottom = wizard_scaled(item_y + item_height + 6, dpi);
    if (top < scroll_pos)
        return top;
    if (bottom > scroll_pos + client_h)
        return bottom - client_h;
    return scroll_pos;
}

int32_t wizard_text_height(int32_t measured, int32_t line_height, int32_t dpi)
{
    if (line_height > 0) {
        int32_t lines = (measured + line_height - 1) / line_height;
        if (lines >= 2)
            return wizard_muldiv(line_height * lines, 96, dpi > 0 ? dpi : 96) + 3;
    }
    return 18;
}

void wizard_list_layout(const wizard_list_item *items, size_t n, int32_t dpi,
                        wizard_list_geometry *g)
{
    int32_t y = 8;
    for (size_t i = 0; i < WIZARD_ITEMS; i++) {
        g->item_y[i] = 0;
        g->item_height[i] = 0;
        g->text_height[i] = 0;
    }
    for (size_t i = 0; i < n && i < WIZARD_ITEMS; i++) {
        if (!items[i].present)
            continue;
        g->item_y[i] = y;
        g->item_height[i] = 20;
        if (!items[i].has_text) {
            y += 28;
            continue;
        }
        int32_t h = wizard_text_height(items[i].measured, items[i].line_height, dpi);
        g->text_height[i] = h;
        g->item_height[i] += h;
        y += h + 28;
    }
    g->content_height = y;
}

void wizard_step_show(uint64_t wparam, const char16_t *text, wizard_step_view *v)
{
    uint64_t index = (wparam >> 16) & 0xFFFFFFFFFFFFull;
    uint64_t count = wparam & 0xFFFF;
    uint64_t pos = index < count ? index : count;
    v->pos = pos;
    v->count = count;
    v->marquee = 0;
    v->bar = 0;
    if (count >= 2) {
        uint64_t shown = index < count ? index + 1 : count;
        wizard_format16(v->line, sizeof v->line / sizeof v->line[0], u"Schritt %u von %u: %ls",
                        (unsigned)shown, (unsigned)count, text);
        v->bar = (int32_t)(pos * 1000 / count);
    } else {
        wizard_format16(v->line, sizeof v->line / sizeof v->line[0], u"%ls", text);
        v->marquee = 1;
    }
}

int32_t wizard_bytes_bar(uint64_t step_pos, uint64_t step_count, uint64_t done, uint64_t total)
{
    if (total == 0 || step_count <= 1)
        return -1;
    return (int32_t)((step_pos * 1000 + done * 1000 / total) / step_count);
}
