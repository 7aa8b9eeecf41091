// The window's push button: a flat face in one colour per state, the caption
// centred in the caption font.
#pragma once

#include <QAbstractButton>
#include <QColor>

namespace adv {

class FlatColourButton : public QAbstractButton {
    Q_OBJECT

public:
    // Face colour for each state the button can be in.
    struct Faces {
        QColor normal;
        QColor over;   // the mouse is over it
        QColor down;   // pressed
        QColor focus;  // it has the keyboard focus
        QColor disabled;
    };

    // The faces both of the window's buttons use: light blue, light cream
    // under the mouse.
    static Faces standardFaces();

    explicit FlatColourButton(const QString& caption, QWidget* parent = nullptr);

    void setFaces(const Faces& faces);
    const Faces& faces() const { return faces_; }

    // The colour the face is painted in right now. Disabled wins over
    // pressed, pressed over the mouse, the mouse over the focus.
    QColor faceColor() const;

    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;
    void enterEvent(QEnterEvent* event) override;
    void leaveEvent(QEvent* event) override;

private:
    Faces faces_;
    bool hovered_ = false;
};

}  // namespace adv
