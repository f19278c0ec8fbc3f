#include "LabelLayout.h"

#include <gtest/gtest.h>

namespace {

// A font in which every character is 6 pixels wide, and a wider one for capitals (as a UI font
// on Wine is wider than the design's).
int Narrow(const std::string& s) {
    return static_cast<int>(s.size()) * 6;
}
int WideCapitals(const std::string& s) {
    int w = 0;
    for (char c : s)
        w += (c >= 'A' && c <= 'Z') ? 9 : 6;
    return w;
}

} // namespace

// Header values stay right of their captions, cut with "..." when they do not fit.
TEST(ValueLabel, KeepsToItsOwnSpace) {
    struct Row {
        const char* text;
        int (*width)(const std::string&);
        const char* shown;
        bool cut;
    };
    // Caption ends at 80, values end at 193: 109 pixels of room after the gap.
    const Row rows[] = {
        {"SW 1.02", Narrow, "SW 1.02", false},
        {"ZEM TEST MODULE", Narrow, "ZEM TEST MODULE", false},    // 90 wide
        {"ZEM TEST MODULE", WideCapitals, "ZEM TEST M...", true}, // 129 wide in full
        {"", Narrow, "", false},
        {"A product name far too long for the box", Narrow, "A product name ...", true},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.text);
        zem::ValueLabel v = zem::LayOutValueLabel(r.text, 80, 193, r.width);
        EXPECT_EQ(v.shown, r.shown);
        EXPECT_EQ(v.cut, r.cut);
        EXPECT_GE(v.left, 80 + zem::kCaptionGap);
        EXPECT_EQ(v.left + v.width, 193);
        EXPECT_LE(r.width(v.shown), v.width);
    }
    // A caption that leaves no room: nothing is drawn over it.
    zem::ValueLabel none = zem::LayOutValueLabel("SW 1.02", 192, 193, Narrow);
    EXPECT_EQ(none.shown, "");
    EXPECT_EQ(none.width, 0);
    EXPECT_TRUE(none.cut);
}
