#include "NumberSpinCtrl.h"

#include <QEvent>
#include <QKeyEvent>
#include <QLineEdit>
#include <QToolButton>
#include <QVBoxLayout>
#include <QWheelEvent>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

CNumberSpinCtrl::CNumberSpinCtrl(QWidget* parent) : QWidget(parent) {
    m_up = new QToolButton(this);
    m_down = new QToolButton(this);
    for (QToolButton* b : {m_up, m_down}) {
        b->setArrowType(b == m_up ? Qt::UpArrow : Qt::DownArrow);
        b->setAutoRepeat(true);
        b->setAutoRepeatDelay(400);
        b->setAutoRepeatInterval(60);
        b->setFocusPolicy(Qt::NoFocus);
        b->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Expanding);
        b->setFixedWidth(16);
    }
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->addWidget(m_up);
    layout->addWidget(m_down);
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Preferred);
    connect(m_up, &QToolButton::clicked, this, [this] { Step(1); });
    connect(m_down, &QToolButton::clicked, this, [this] { Step(-1); });
}

QSize CNumberSpinCtrl::sizeHint() const {
    const int height = m_buddy ? m_buddy->sizeHint().height() : 22;
    return {16, height};
}

void CNumberSpinCtrl::SetBuddy(QLineEdit* buddy) {
    if (m_buddy) {
        m_buddy->removeEventFilter(this);
    }
    m_buddy = buddy;
    if (m_buddy) {
        m_buddy->installEventFilter(this);
        setFixedHeight(m_buddy->sizeHint().height());
    }
}

void CNumberSpinCtrl::SetRangeAndDelta(double minimum, double maximum, double delta) {
    m_min = minimum;
    m_max = maximum;
    m_delta = delta;
    const double steps = delta != 0.0 ? std::fabs((maximum - minimum) / delta) : 0.0;
    m_intRange = steps >= kMaxIntRange || std::isnan(steps) ? kMaxIntRange : static_cast<int>(steps);
    m_intPos = std::clamp(m_intPos, 0, m_intRange);
}

void CNumberSpinCtrl::GetRangeAndDelta(double& minimum, double& maximum, double& delta) const {
    minimum = m_min;
    maximum = m_max;
    delta = m_delta;
}

void CNumberSpinCtrl::SetDecimalPlaces(int places) {
    m_decimals = places < 0 ? -1 : places;
}

QString CNumberSpinCtrl::FormatValue(double value) const {
    char text[64];
    std::snprintf(text, sizeof text, "%g", value);
    if (m_decimals >= 0) {
        const bool exponent = std::strchr(text, 'e') != nullptr;
        const int places = std::min(m_decimals, 30);
        std::snprintf(text, sizeof text, exponent ? "%.*e" : "%.*f", places, value);
    }
    return QString::fromLatin1(text);
}

int CNumberSpinCtrl::IntPosOf(double value) const {
    if (value <= m_min) {
        return 0;
    }
    if (value >= m_max) {
        return m_intRange;
    }
    return static_cast<int>((value - m_min) / (m_max - m_min) * m_intRange + 0.5);
}

void CNumberSpinCtrl::SetPos(double value) {
    m_intPos = IntPosOf(value);
    if (m_buddy) {
        m_buddy->setText(FormatValue(value));
    }
}

double CNumberSpinCtrl::GetPos() const {
    if (!m_buddy) {
        return 0.0;
    }
    bool ok = false;
    const double value = m_buddy->text().trimmed().toDouble(&ok);
    return ok ? value : 0.0;
}

double CNumberSpinCtrl::Step(int steps) {
    double value = GetPos() + steps * m_delta;
    if (steps < 0) {
        value = std::max(value, m_min);
    } else {
        value = std::min(value, m_max);
    }
    SetPos(value);
    if (m_buddy) {
        m_buddy->end(false);
    }
    emit ValueStepped(value);
    return value;
}

bool CNumberSpinCtrl::eventFilter(QObject* watched, QEvent* event) {
    if (watched == m_buddy && isEnabled()) {
        if (event->type() == QEvent::KeyPress) {
            const int key = static_cast<QKeyEvent*>(event)->key();
            if (key == Qt::Key_Up || key == Qt::Key_Down) {
                Step(key == Qt::Key_Up ? 1 : -1);
                return true;
            }
        } else if (event->type() == QEvent::Wheel && m_buddy->hasFocus()) {
            const int delta = static_cast<QWheelEvent*>(event)->angleDelta().y();
            if (delta != 0) {
                Step(delta > 0 ? 1 : -1);
                return true;
            }
        }
    }
    return QWidget::eventFilter(watched, event);
}
