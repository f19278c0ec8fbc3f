#pragma once
#include <functional>
#include <string>

namespace zem {

// Width of a text in pixels, in the font it will be drawn with.
using TextWidth = std::function<int(const std::string&)>;

// The text cut at its end, with "...", to fit maxWidth; the text itself when it fits.
std::string ElideRight(const std::string& text, int maxWidth, const TextWidth& width);

// A value drawn right-aligned after its caption on the same line ("Product Name:   Radio Z").
// It keeps to its own space, from the caption's right edge plus a gap to its own right edge, so
// that it is never drawn over the caption; a value too wide for that space is cut, and its full
// text goes into the label's hint.
struct ValueLabel {
    int left = 0;
    int width = 0;
    std::string shown;
    bool cut = false;
};
constexpr int kCaptionGap = 4;
ValueLabel LayOutValueLabel(const std::string& text, int captionRight, int valueRight,
                            const TextWidth& width);

} // namespace zem
