#pragma once
#include <QWidget>

class QGroupBox;
class QLabel;
class QPlainTextEdit;
class QPushButton;

// The companion window: the chosen stream file's full header and the lines of the current run.
// Closing it only hides it.
class TFormDebug : public QWidget {
    Q_OBJECT
public:
    explicit TFormDebug(QWidget* parent = nullptr);

    // Shows a header value beside its caption, cut to its space when it is too long.
    void SetValue(QLabel* value, const QString& text);

    QGroupBox* GroupBoxHeader = nullptr;
    QLabel* LabelSwVer = nullptr;
    QLabel* LabelProdName = nullptr;
    QLabel* LabelFlashType = nullptr;
    QLabel* LabelHeaderLength = nullptr;
    QLabel* LabelStrVer = nullptr;
    QLabel* LabelSpeedOff = nullptr;
    QLabel* LabelCrcHex = nullptr;
    QLabel* LabelBootTypeHex = nullptr;
    QPlainTextEdit* Memo = nullptr;
    QPushButton* ButtonClear = nullptr;

private:
    void ButtonClearClick();
};
