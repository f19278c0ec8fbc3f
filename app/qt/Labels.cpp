#include "Labels.h"

#include "LabelLayout.h"

#include <QEvent>
#include <QFontMetrics>
#include <QVariant>

namespace {

constexpr const char* kFullText = "zemFullText";
constexpr const char* kCaption = "zemCaption";
constexpr const char* kValueRight = "zemValueRight";

} // namespace

void PairValueLabel(QLabel* value, QLabel* caption, int valueRight) {
    value->setTextFormat(Qt::PlainText);
    value->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    value->setProperty(kCaption, QVariant::fromValue<QObject*>(caption));
    value->setProperty(kValueRight, valueRight);
}

void SetValueText(QLabel* value, const QString& text) {
    auto* caption = qobject_cast<QLabel*>(value->property(kCaption).value<QObject*>());
    const int captionRight = caption ? caption->x() + caption->sizeHint().width() : 0;
    const QFontMetrics metrics = value->fontMetrics();
    zem::ValueLabel v = zem::LayOutValueLabel(
        text.toStdString(), captionRight, value->property(kValueRight).toInt(),
        [&](const std::string& s) { return metrics.horizontalAdvance(QString::fromStdString(s)); });
    value->setProperty(kFullText, text);
    value->setGeometry(v.left, value->y(), v.width, value->height());
    value->setText(QString::fromStdString(v.shown));
    value->setToolTip(v.cut ? text : QString());
}

QString FullText(const QLabel* label) {
    QVariant full = label->property(kFullText);
    return full.isValid() ? full.toString() : label->text();
}

ElidingLabel::ElidingLabel(QWidget* parent) : QLabel(parent) {
    setTextFormat(Qt::PlainText);
    // The text never widens the label; it is cut to the label instead.
    setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    setMinimumWidth(1);
}

void ElidingLabel::SetFullText(const QString& text) {
    full_ = text;
    setProperty(kFullText, text);
    Elide();
}

void ElidingLabel::resizeEvent(QResizeEvent* event) {
    QLabel::resizeEvent(event);
    Elide();
}

void ElidingLabel::changeEvent(QEvent* event) {
    QLabel::changeEvent(event);
    if (event->type() == QEvent::FontChange || event->type() == QEvent::StyleChange) Elide();
}

void ElidingLabel::Elide() {
    const QString shown = fontMetrics().elidedText(full_, Qt::ElideRight, contentsRect().width());
    setText(shown);
    setToolTip(shown == full_ ? QString() : full_);
}
