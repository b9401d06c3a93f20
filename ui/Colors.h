// Colour values as the settings and the drawing rules give them: red in the low byte, then
// green, then blue, and their Qt equivalents. Pure functions, any thread.
#pragma once

#include <QColor>
#include <cstdint>

using COLORREF = std::uint32_t;

constexpr COLORREF RGB(unsigned r, unsigned g, unsigned b) { return r | (g << 8) | (b << 16); }
inline QColor ColorFromRef(COLORREF cr) {
    return QColor(cr & 0xFF, (cr >> 8) & 0xFF, (cr >> 16) & 0xFF);
}
inline COLORREF RefFromColor(const QColor& color) {
    return RGB(color.red(), color.green(), color.blue());
}
