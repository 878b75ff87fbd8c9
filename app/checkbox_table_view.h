// The device table view: check-box header, row check boxes, hover row, address as a link.
#pragma once

#include <QTableView>

class CheckBoxHeaderView;

class CheckBoxTableView : public QTableView {
    Q_OBJECT
public:
    explicit CheckBoxTableView(QWidget* parent = nullptr);

    void InitStyle();
    void setModelAndDelegate(QAbstractItemModel* proxy, int checkColumn);
    // Widens every column narrower than its header text needs (the header font is bold,
    // and other languages' texts are longer), so no header is clipped. Stretched last
    // sections are left to the header.
    void widenToHeaders();
    int getHeadCheckState() const;
    int hoverRow() const { return m_nHoverRow; }
    CheckBoxHeaderView* headerView() const { return m_pHeader; }

signals:
    void headCheckChanged(Qt::CheckState state);

public slots:
    void updateHeadCheckStateToModel(Qt::CheckState state);
    void updateHeadCheckStateToDelgate(Qt::CheckState state);
    void sortByColumnRes(int column);

protected:
    void mouseMoveEvent(QMouseEvent* event) override;
    void wheelEvent(QWheelEvent* event) override;
    void leaveEvent(QEvent* event) override;

private:
    void updateRow(int row);

    CheckBoxHeaderView* m_pHeader = nullptr;
    int m_nHoverRow = -1;
};
