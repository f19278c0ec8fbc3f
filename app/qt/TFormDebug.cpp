#include "TFormDebug.h"

#include "FormFont.h"
#include "Labels.h"
#include "Texts.h"

#include <QGroupBox>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>

namespace {

// Client area of a sizeable window of 218 x 438 with a classic frame (4-pixel border, 19-pixel
// caption).
constexpr int kClientWidth = 218 - 2 * 4;
constexpr int kClientHeight = 438 - 2 * 4 - 19;

constexpr int kLabelHeight = 13;

} // namespace

TFormDebug::TFormDebug(QWidget* parent) : QWidget(parent, Qt::Window) {
    setObjectName("FormDebug");
    setWindowTitle(zem::txt::kDebugCaption);
    UseFormFont(*this);
    resize(kClientWidth, kClientHeight);

    GroupBoxHeader = new QGroupBox("Header Info", this);
    GroupBoxHeader->setObjectName("GroupBoxHeader");
    GroupBoxHeader->setGeometry(8, 8, 193, 161);

    struct Pair {
        const char* captionName;
        const char* caption;
        const char* valueName;
        const char* design;
        int top;
        QLabel** value;
    };
    const Pair pairs[] = {
        {"LabelSV", "Software Version:", "LabelSwVer", "Sw Ver", 24, &LabelSwVer},
        {"LabelPN", "Product Name:", "LabelProdName", "Prod Name", 40, &LabelProdName},
        {"LabelFT", "Flash Type:", "LabelFlashType", "Falsh Type", 56, &LabelFlashType},
        {"LabelHL", "Header Length:", "LabelHeaderLength", "Header Length", 72, &LabelHeaderLength},
        {"LabelStrV", "Stream Version:", "LabelStrVer", "Stream Version", 88, &LabelStrVer},
        {"LabelSO", "Speed Offset:", "LabelSpeedOff", "Speed Offset", 104, &LabelSpeedOff},
        {"LabelCrc", "Crc: ", "LabelCrcHex", "CrcHex", 120, &LabelCrcHex},
        {"LabelBootType", "BootType: ", "LabelBootTypeHex", "BootTypeHex", 136, &LabelBootTypeHex},
    };
    for (const Pair& p : pairs) {
        auto* caption = new QLabel(p.caption, GroupBoxHeader);
        caption->setObjectName(p.captionName);
        caption->setTextFormat(Qt::PlainText);
        caption->move(8, p.top);
        caption->adjustSize();
        auto* value = new QLabel(GroupBoxHeader);
        value->setObjectName(p.valueName);
        value->setGeometry(8, p.top, 193 - 16, kLabelHeight);
        PairValueLabel(value, caption, 193 - 8);
        SetValueText(value, p.design);
        *p.value = value;
    }

    Memo = new QPlainTextEdit(this);
    Memo->setObjectName("Memo");
    Memo->setGeometry(8, 184, 193, 153);
    Memo->setReadOnly(true);
    Memo->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);

    ButtonClear = new QPushButton("Clear", this);
    ButtonClear->setObjectName("ButtonClear");
    ButtonClear->setGeometry(104, 352, 91, 17);
    connect(ButtonClear, &QPushButton::clicked, this, &TFormDebug::ButtonClearClick);
}

void TFormDebug::SetValue(QLabel* value, const QString& text) {
    SetValueText(value, text);
}

void TFormDebug::ButtonClearClick() {
    Memo->clear();
}
