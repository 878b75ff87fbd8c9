// The horizontal header of a device table: a check box drawn in the check column's
// section that checks or unchecks every visible row.
#pragma once

#include <QHeaderView>

class CheckBoxHeaderView : public QHeaderView {
    Q_OBJECT
public:
    explicit CheckBoxHeaderView(Qt::Orientation orientation, QWidget* parent = nullptr);

    int m_nCheckColumn = 0;
    int m_nHeadCheckState = 0; // 0 none, 1 some, 2 all rows checked

    // The box in viewport coordinates (12 x 12 at 3 + the sections before the column, 6).
    QRect checkBoxRect() const;
    void repaintCheckSection() { updateSection(m_nCheckColumn); }

signals:
    void updateHeadCheckStateToModel(Qt::CheckState state);

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void paintSection(QPainter* painter, const QRect& rect, int logicalIndex) const override;
};
