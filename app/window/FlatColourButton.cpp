#include "app/window/FlatColourButton.h"

#include <QEnterEvent>
#include <QPainter>

namespace adv {

FlatColourButton::Faces FlatColourButton::standardFaces()
{
    const QColor blue(182, 209, 245);
    return {.normal = blue, .over = QColor(255, 244, 204), .down = blue, .focus = blue, .disabled = blue};
}

FlatColourButton::FlatColourButton(const QString& caption, QWidget* parent)
    : QAbstractButton(parent), faces_(standardFaces())
{
    setText(caption);
    setFocusPolicy(Qt::StrongFocus);
}

void FlatColourButton::setFaces(const Faces& faces)
{
    faces_ = faces;
    update();
}

QColor FlatColourButton::faceColor() const
{
    if (!isEnabled())
        return faces_.disabled;
    if (isDown())
        return faces_.down;
    if (hovered_)
        return faces_.over;
    if (hasFocus())
        return faces_.focus;
    return faces_.normal;
}

QSize FlatColourButton::sizeHint() const
{
    return fontMetrics().size(Qt::TextSingleLine, text()) + QSize(24, 16);
}

void FlatColourButton::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    const QRect face = rect();
    painter.fillRect(face, faceColor());

    // A thin edge, lighter above and darker below, so the face reads as a
    // button; pressed, the light and dark swap.
    const QColor light = faceColor().lighter(115);
    const QColor dark = faceColor().darker(140);
    const bool sunken = isDown();
    painter.setPen(sunken ? dark : light);
    painter.drawLine(face.topLeft(), face.topRight());
    painter.drawLine(face.topLeft(), face.bottomLeft());
    painter.setPen(sunken ? light : dark);
    painter.drawLine(face.bottomLeft(), face.bottomRight());
    painter.drawLine(face.topRight(), face.bottomRight());

    QRect caption = face.adjusted(2, 2, -2, -2);
    if (sunken)
        caption.translate(1, 1);
    painter.setFont(font());
    painter.setPen(palette().color(isEnabled() ? QPalette::Active : QPalette::Disabled, QPalette::ButtonText));
    painter.drawText(caption, Qt::AlignCenter | Qt::TextShowMnemonic, text());

    if (hasFocus()) {
        // The caption's own rectangle, dotted, as the platform's buttons do.
        QRect ring = painter.boundingRect(caption, Qt::AlignCenter, text()).adjusted(-4, -2, 4, 2);
        ring = ring.intersected(face.adjusted(3, 3, -4, -4));
        QPen pen(palette().color(QPalette::ButtonText));
        pen.setStyle(Qt::DotLine);
        painter.setPen(pen);
        painter.setBrush(Qt::NoBrush);
        painter.drawRect(ring);
    }
}

void FlatColourButton::enterEvent(QEnterEvent* event)
{
    hovered_ = true;
    update();
    QAbstractButton::enterEvent(event);
}

void FlatColourButton::leaveEvent(QEvent* event)
{
    hovered_ = false;
    update();
    QAbstractButton::leaveEvent(event);
}

}  // namespace adv
