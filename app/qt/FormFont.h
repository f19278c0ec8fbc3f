#pragma once
#include <QFont>
#include <QWidget>

// The layouts are pixel-exact for a small dialog font; the desktop's usual 10-point font would
// cut the 17-pixel buttons and run the header labels into each other.
inline void UseFormFont(QWidget& form) {
    QFont f = form.font();
    f.setPixelSize(11);
    f.setStretch(QFont::SemiCondensed);
    form.setFont(f);
}
