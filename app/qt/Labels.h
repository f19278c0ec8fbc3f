#pragma once
#include <QLabel>
#include <QString>

// Labels show their texts exactly as given, never as markup. A header value keeps to the space
// right of its caption and is cut there (LayOutValueLabel); a status text is cut at the label's
// width. Either way the full text is the label's hint, and FullText gives it back.

// Makes `value` the value of `caption`, ending at `valueRight` in their parent.
void PairValueLabel(QLabel* value, QLabel* caption, int valueRight);
void SetValueText(QLabel* value, const QString& text);

// The text last given to a label, uncut.
QString FullText(const QLabel* label);

class ElidingLabel : public QLabel {
public:
    explicit ElidingLabel(QWidget* parent = nullptr);
    void SetFullText(const QString& text);

protected:
    void resizeEvent(QResizeEvent* event) override;
    void changeEvent(QEvent* event) override; // a new font (the outcome's bold) cuts anew

private:
    void Elide();
    QString full_;
};
