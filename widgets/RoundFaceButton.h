// A face button whose face, while hovered or pressed, is a rectangle (with rounded corners when
// set) outlined in black and filled with its first colour.
#pragma once

#include "FaceButton.h"

class CRoundFaceButton : public CFaceButton {
    Q_OBJECT
public:
    using CFaceButton::CFaceButton;

    void SetRounded(bool rounded, bool repaint = true);
    bool IsRounded() const { return m_rounded; }

protected:
    void DrawFace(QPainter& painter, QRect rect, bool pressed) override;

private:
    bool m_rounded = false;
};
